# -*- coding: utf-8 -*-

# Copyright: (c) 2026, morlvane developers
# GNU General Public License v3.0+ (see LICENSE or https://www.gnu.org/licenses/gpl-3.0.txt)
# SPDX-License-Identifier: GPL-3.0-or-later

"""The throwaway view of /etc: the tool run on an overlay of the real /etc whose
upper layer is a fresh tmpfs in a private mount namespace, gone when the run
ends, and what the module compares of the file before and after."""

from __future__ import absolute_import, division, print_function
__metaclass__ = type

import ctypes
import errno
import fcntl
import os
import pickle
import platform
import re
import shutil
import stat
import struct
import tempfile

CONF = '/etc/sysctl.conf'
COMPARED = ('type', 'mode', 'uid', 'gid', 'content')
# _IOR('f', 1, long), _IOW('f', 2, long) and the flags that refuse a write or
# a rename.
FS_IOC_GETFLAGS = 0x80006601 | struct.calcsize('l') << 16
FS_IOC_SETFLAGS = 0x40006602 | struct.calcsize('l') << 16
FS_IMMUTABLE_FL = 0x10
FS_APPEND_FL = 0x20
CLONE_NEWNS = 0x20000
MS_REC = 0x4000
MS_PRIVATE = 1 << 18
# Room that the real /etc must have beyond the new file's size.
SPACE_MARGIN = 1 << 20


def snapshot():
    """Returns what changed compares of the file (its type as lstat sees it; the
    permission bits, owner, group and, for a regular file, the bytes of what it
    names) and what identifies it, or None when there is no file to read (the
    tool then says why)."""
    try:
        lst = os.lstat(CONF)
        st = os.stat(CONF)
    except OSError:
        return None
    content = None
    if stat.S_ISREG(st.st_mode):
        # Non-blocking, so a FIFO swapped in meanwhile cannot hang the read.
        fd = os.open(CONF, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY)
        with os.fdopen(fd, 'rb') as f:
            st = os.fstat(fd)
            content = f.read() if stat.S_ISREG(st.st_mode) else None
    return dict(type=stat.S_IFMT(lst.st_mode), mode=stat.S_IMODE(st.st_mode),
                uid=st.st_uid, gid=st.st_gid, content=content,
                ident=(lst.st_dev, lst.st_ino, st.st_dev, st.st_ino, st.st_mtime_ns))


def differs(before, after):
    if before is None or after is None:
        return before is not after
    return any(before[k] != after[k] for k in COMPARED)


def same_file(before):
    now = snapshot()
    return now is not None and not differs(before, now) and now['ident'] == before['ident']


def run_tool(module, argv, handle_exceptions=True):
    # Operands go to the tool as given: no ~ or $VAR expansion.
    return module.run_command(argv, expand_user_and_vars=False, errors='replace',
                              handle_exceptions=handle_exceptions)


def mounts():
    """Returns the mount table of this process's namespace, in mount order, as
    (mount point, optional fields, type, super options) with the mount point's
    octal escapes decoded."""
    table = []
    with open('/proc/self/mountinfo', 'rb') as f:
        for line in f:
            fields = line.split()
            sep = fields.index(b'-', 6)
            point = re.sub(rb'\\([0-7]{3})', lambda m: bytes([int(m.group(1), 8)]),
                           fields[4])
            table.append((point, fields[6:sep], fields[sep + 1], fields[-1]))
    return table


def top_mount(point):
    return [m for m in mounts() if m[0] == point][-1]


def inode_flags(path, clear=0):
    """Returns the inode flags of the regular file or directory that path names,
    0 for anything else and where the file system keeps no such flags, None
    where they cannot be read; first clears the flags in clear where they are
    set (never through a symbolic link)."""
    try:
        if clear and os.path.islink(path):
            return 0
        if not stat.S_ISREG(os.stat(path).st_mode) and not os.path.isdir(path):
            return 0
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY |
                     (os.O_NOFOLLOW if clear else 0))
    except FileNotFoundError:
        return 0
    except OSError:
        return None
    buf = bytearray(struct.calcsize('l'))
    try:
        fcntl.ioctl(fd, FS_IOC_GETFLAGS, buf)
        flags = struct.unpack('i', buf[:4])[0]
        if flags & clear:
            flags &= ~clear
            fcntl.ioctl(fd, FS_IOC_SETFLAGS, struct.pack('l', flags))
    except OSError as e:
        if e.errno in (errno.ENOTTY, errno.EOPNOTSUPP, errno.EINVAL, errno.ENOSYS):
            return 0
        return None
    finally:
        os.close(fd)
    return flags


def below(path, point):
    return path == point or path.startswith(point.rstrip(b'/') + b'/')


def untrusted():
    """Returns why the real run could fail where the view succeeds, or None, and
    whether the view still shows the real file all the same."""
    if any(m[0] == CONF.encode() for m in mounts()):
        return 'a file system is mounted over %s' % CONF, False
    # The view shows /etc's own file system alone: the file must not be
    # reached through a mount below it.
    real = os.path.realpath(CONF).encode()
    for point in (m[0] for m in mounts()):
        if below(point, b'/etc') and point != b'/etc' and below(real, point):
            return '%s is reached through %s, mounted below /etc' % (
                CONF, point.decode(errors='replace')), False
    if os.statvfs('/etc').f_flag & os.ST_RDONLY:
        return '/etc is mounted read-only', True
    for path in ('/etc', CONF):
        flags = inode_flags(path)
        if flags is None:
            return 'the flags of %s cannot be read' % path, False
        if flags & (FS_IMMUTABLE_FL | FS_APPEND_FL):
            return '%s is immutable or append-only' % path, True
    return None, True


def no_room(after):
    vfs = os.statvfs('/etc')
    if vfs.f_bfree * vfs.f_frsize < len(after['content'] or b'') + SPACE_MARGIN or \
            (vfs.f_files and vfs.f_ffree < 1):
        return '/etc has little free space'
    return None


def syscall(fn, *args):
    if fn(*args) != 0:
        e = ctypes.get_errno()
        raise OSError(e, os.strerror(e))


def in_view(module, view, argv, before):
    """Makes the throwaway view in this process's own mount namespace (/etc an
    overlay of the real one, upper layer on a fresh tmpfs at view), checks that
    it is private, really there and showing the file as before, runs argv in it
    and returns the outcome."""
    libc = ctypes.CDLL(None, use_errno=True)
    syscall(libc.unshare, CLONE_NEWNS)
    syscall(libc.mount, b'none', b'/', None, MS_REC | MS_PRIVATE, None)
    # Nothing is mounted until no mount can carry it back to the host.
    if any(tag.startswith(b'shared:') for m in mounts() for tag in m[1]):
        return dict(reason='the mounts of the view could not be made private')
    syscall(libc.mount, b'morlvane-view', view.encode(), b'tmpfs', 0, b'mode=0700')
    os.mkdir(view + '/upper')
    os.mkdir(view + '/work')
    options = 'lowerdir=/etc,upperdir=%s/upper,workdir=%s/work' % (view, view)
    syscall(libc.mount, b'morlvane-view', b'/etc', b'overlay', 0, options.encode())
    root, etc = top_mount(b'/'), top_mount(b'/etc')
    if etc[2] != b'overlay' or b'upperdir=%s/upper' % view.encode() not in etc[3] or \
            any(tag.startswith(b'shared:') for tag in root[1] + etc[1]):
        return dict(reason='the view of /etc is not in place or not private')
    if differs(before, snapshot()):
        return dict(reason='the view does not show %s as it is' % CONF)
    # Only the view's own copy loses the flags; the real file keeps them.
    if inode_flags(CONF, FS_IMMUTABLE_FL | FS_APPEND_FL) is None:
        return dict(reason='the flags of %s cannot be cleared in the view' % CONF)
    rc, out, err = run_tool(module, argv, handle_exceptions=False)
    return dict(rc=rc, out=out, err=err, after=snapshot() if rc == 0 else None)


def predict(module, argv, before):
    """Runs argv on a throwaway view of /etc in a child process; returns its
    outcome (rc, out, err, after) where the view shows the real file, and a
    reason where the real run could still fail or there is no outcome."""
    if platform.system() != 'Linux':
        return dict(reason='the throwaway view needs Linux')
    if os.geteuid() != 0:
        return dict(reason='the throwaway view needs root')
    reason, shows_real = untrusted()
    if not shows_real:
        return dict(reason=reason)
    view = tempfile.mkdtemp(prefix='view.', dir=module.tmpdir)
    if not re.match(r'^[A-Za-z0-9_./-]+$', view):
        shutil.rmtree(view, ignore_errors=True)
        return dict(reason='the temporary directory %s cannot hold the view' % view)
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:
        # The child must never return into the module: it would answer twice.
        try:
            os.close(r)
            try:
                outcome = in_view(module, view, argv, before)
            except BaseException as e:
                outcome = dict(reason='the throwaway view could not be made: %s' % e)
            with os.fdopen(w, 'wb') as f:
                pickle.dump(outcome, f)
        finally:
            os._exit(0)
    os.close(w)
    with os.fdopen(r, 'rb') as f:
        data = f.read()
    os.waitpid(pid, 0)
    shutil.rmtree(view, ignore_errors=True)
    if not data:
        return dict(reason='the throwaway view ended without a result')
    outcome = pickle.loads(data)
    if outcome.get('after'):
        reason = reason or no_room(outcome['after'])
    if 'rc' in outcome:
        outcome['reason'] = reason
    return outcome
