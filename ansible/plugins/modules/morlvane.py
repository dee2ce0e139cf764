# -*- coding: utf-8 -*-

# Copyright: (c) 2026, morlvane developers
# GNU General Public License v3.0+ (see LICENSE or https://www.gnu.org/licenses/gpl-3.0.txt)
# SPDX-License-Identifier: GPL-3.0-or-later

from __future__ import absolute_import, division, print_function
__metaclass__ = type


DOCUMENTATION = r'''
---
module: morlvane
short_description: Record kernel variable settings in /etc/sysctl.conf with morlvane
description:
  - Records settings of kernel variables (sysctl variables) in C(/etc/sysctl.conf)
    through one run of the C(morlvane) tool, which must be installed on the host.
  - The tool rewrites every line that sets a named variable, copies every other
    line byte for byte (comments, indentation, blank lines, lines it does not
    set, repeated lines) and appends the names that no line set. Where a later
    line sets the same variable in another spelling that the readers of the file
    take (blanks before the C(=), a leading C(-), a C(:) in place of the C(=),
    the slash form), the setting is appended once more after it, so that it has
    the last word. The
    module never writes or locks the file itself; the tool replaces it under an
    exclusive lock, through a synced temporary file and one rename.
  - The task reports C(changed) exactly when the file's bytes, permission bits,
    owner, group or type (a symbolic link that became a regular file) differ from
    before.
  - On Linux, as root, the module first runs the tool on a throwaway view of
    C(/etc) (see the notes) and leaves the real file alone when it would stay byte
    for byte the same, so an C(ok) task keeps its inode and modification time.
    Where the view cannot be made, the tool runs on the real file and the task
    reports C(ok) when nothing differs, but the file was still replaced (new inode
    and modification time).
  - The tool waits for the file's lock without a time limit; bound the task with
    the task keyword C(timeout) where another run may hold it long.
  - The settings take effect at the next boot, or at once with I(apply).
options:
  settings:
    description:
      - Mapping of variable name to value, recorded in the order given.
      - Quote every value. YAML turns C(yes) into true, C(010) into 8 and C(1.50)
        into 1.5 before the module sees them. Booleans are stored as C(1) or C(0),
        integers as decimal text, strings as written; a float, a null, a list or a
        mapping fails the task.
      - The tool checks each name (it must contain a C(.) and no blank) and value
        (not empty, no line feed); its message fails the task and leaves the file
        untouched. A name that the running kernel does not have draws a warning and
        is stored all the same.
      - An empty mapping does nothing and reports C(ok).
    type: dict
    required: true
  binary:
    description:
      - Absolute path of the C(morlvane) binary.
      - Without it, C(/usr/sbin/morlvane), else C(/usr/local/sbin/morlvane); the
        PATH is never searched, since under become it may hold directories that
        others can write.
      - The binary must be owned by root and not writable by group or others.
    type: path
  apply:
    description:
      - Once the file is right, also set the running value of each requested
        variable whose running value differs from the request, compared field by
        field as the kernel shows it, with C(sysctl -w NAME=VALUE) on Linux or
        C(sysctl NAME=VALUE) on FreeBSD, one name at a time. A second run with
        nothing to do sets nothing.
      - Any message or non-zero status from C(sysctl) fails the task with that
        message.
      - Variables that the running kernel does not have are not set, with a
        warning; nor are write-only ones (C(vm.drop_caches), say), whose running
        value cannot be read and so cannot be found equal.
      - Give values as the kernel shows them (C(1) rather than C(01)); a value the
        kernel shows differently after setting it draws a warning, since every run
        would set it again.
      - In check mode nothing is set, and I(applied) lists what would be.
    type: bool
    default: false
extends_documentation_fragment:
  - action_common_attributes
attributes:
  check_mode:
    support: full
    details: On Linux as root, with overlay support; skipped elsewhere, always on FreeBSD.
  diff_mode:
    support: full
  platform:
    platforms: posix
notes:
  - Check mode runs the real tool on a throwaway view of C(/etc) and reports its
    outcome, C(changed), the diff and its warnings; a failure there fails the task
    with the tool's message, as the real run would fail. The view is an overlay
    over C(/etc) whose upper layer is on a fresh tmpfs in a private mount namespace,
    gone when the run ends; the module checks that it is in place before it runs
    the tool.
  - Check mode needs Linux, root and overlay support, and the real system must let
    the real run succeed wherever the view does. C(/etc) must not be mounted
    read-only, nothing may be mounted over C(/etc/sysctl.conf) nor lie on the way
    to the file it names, neither the file nor C(/etc) may be immutable or
    append-only, and C(/etc) must have room for the new file. Otherwise the task is skipped with a message that check mode
    cannot predict it; it is always skipped on FreeBSD.
  - Removing a setting (C(state=absent)) is not supported.
  - The file must exist; the tool never creates it. Debian 13 ships no
    C(/etc/sysctl.conf), and its systemd-sysctl reads the file only through the
    link C(/etc/sysctl.d/99-sysctl.conf); the project's README says how to put
    both back.
  - The new file gets the owner and group (and on SELinux the label) of a file
    that root creates in C(/etc), and the old file's permission bits; run
    C(restorecon /etc/sysctl.conf) where the label matters.
requirements:
  - morlvane on the managed host
  - Linux mount namespaces and the overlay file system, for check mode and for
    leaving an unchanged file alone
author:
  - morlvane developers (!UNKNOWN)
'''

EXAMPLES = r'''
- name: Record kernel settings in /etc/sysctl.conf
  morlvane.sysctl.morlvane:
    settings:
      vm.swappiness: '10'
      net.ipv4.ip_forward: '1'

- name: Record and set them in the running kernel, with a tool in /opt
  morlvane.sysctl.morlvane:
    binary: /opt/morlvane/sbin/morlvane
    settings:
      net.ipv4.tcp_rmem: '4096 131072 6291456'
    apply: true
  timeout: 60
'''

RETURN = r'''
applied:
  description: The names whose running value was set (in check mode, would be
    set), in the order given; empty without I(apply).
  returned: success
  type: list
  elements: str
  sample: [vm.swappiness]
replaced:
  description: Whether the tool replaced the real file. False when the
    throwaway view showed that nothing would differ, in check mode, and for an
    empty I(settings).
  returned: success
  type: bool
  sample: true
rc:
  description: The exit status of the tool or of C(sysctl) that failed.
  returned: failure
  type: int
  sample: 1
msg:
  description: On failure the message of the tool or of C(sysctl); when check
    mode is skipped, why it cannot predict the task.
  returned: failure, skipped
  type: str
  sample: "morlvane: Error: Invalid sysctl name"
'''

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

from ansible.module_utils.basic import AnsibleModule

CONF = '/etc/sysctl.conf'
BINARIES = ('/usr/sbin/morlvane', '/usr/local/sbin/morlvane')
SYSCTL_DIRS = ('/usr/sbin', '/sbin', '/usr/bin', '/bin')
COMPARED = ('type', 'mode', 'uid', 'gid', 'content')
# _IOR('f', 1, long) and the flags that refuse a write or a rename.
FS_IOC_GETFLAGS = 0x80006601 | struct.calcsize('l') << 16
FS_IMMUTABLE_FL = 0x10
FS_APPEND_FL = 0x20
CLONE_NEWNS = 0x20000
MS_REC = 0x4000
MS_PRIVATE = 1 << 18
# Room that the real /etc must have beyond the new file's size.
SPACE_MARGIN = 1 << 20
UNKNOWN = re.compile(r"Unknown sysctl name '(.*)'$")


def operands(module, settings):
    """Returns the tool's name=value operands for settings, in order; fails the
    task on a value that has no exact text or a name the tool cannot take."""
    ops = []
    for name, value in settings.items():
        if '=' in name:
            module.fail_json(msg="The name %r holds '=', which the tool reads as "
                                 "the end of the name." % name)
        if isinstance(value, bool):
            value = '1' if value else '0'
        elif isinstance(value, int):
            value = str(value)
        elif not isinstance(value, str):
            kind = 'null' if value is None else type(value).__name__
            module.fail_json(msg="The value of %s is a %s (%r); quote it in the "
                                 "playbook, e.g. %s: '...', so that it is stored "
                                 "as written." % (name, kind, value, name))
        ops.append((name, value))
    return ops


def find_binary(module, path):
    """Returns the tool's path, failing the task unless it is absolute, owned by
    root and writable by its owner alone."""
    if path is None:
        path = next((p for p in BINARIES if os.path.exists(p)), None)
        if path is None:
            module.fail_json(msg='morlvane is not installed as %s; install it or '
                                 'give its path in binary.' % ' or '.join(BINARIES))
    if not os.path.isabs(path):
        module.fail_json(msg='binary must be an absolute path, not %s.' % path)
    try:
        st = os.stat(path)
    except OSError as e:
        module.fail_json(msg='binary %s: %s' % (path, e.strerror))
    if not stat.S_ISREG(st.st_mode) or not os.access(path, os.X_OK):
        module.fail_json(msg='binary %s is not an executable file.' % path)
    writers = [who for who, bit in (('group', stat.S_IWGRP), ('others', stat.S_IWOTH))
               if st.st_mode & bit]
    if st.st_uid != 0:
        module.fail_json(msg='Refusing %s: it is not owned by root.' % path)
    if writers:
        module.fail_json(msg='Refusing %s: it is writable by %s.'
                             % (path, ' and '.join(writers)))
    return path


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


def text(snap):
    if snap is None or snap['content'] is None:
        return ''
    return snap['content'].decode('utf-8', errors='backslashreplace')


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


def inode_flags(path):
    """Returns the inode flags of the regular file or directory that path names,
    0 for anything else and where the file system keeps no such flags, None
    where they cannot be read."""
    try:
        if not stat.S_ISREG(os.stat(path).st_mode) and not os.path.isdir(path):
            return 0
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY)
    except FileNotFoundError:
        return 0
    except OSError:
        return None
    buf = bytearray(struct.calcsize('l'))
    try:
        fcntl.ioctl(fd, FS_IOC_GETFLAGS, buf)
    except OSError as e:
        if e.errno in (errno.ENOTTY, errno.EOPNOTSUPP, errno.EINVAL, errno.ENOSYS):
            return 0
        return None
    finally:
        os.close(fd)
    return struct.unpack('i', buf[:4])[0]


def below(path, point):
    return path == point or path.startswith(point.rstrip(b'/') + b'/')


def untrusted():
    """Returns why the real run could fail where the view succeeds, or None."""
    if os.statvfs('/etc').f_flag & os.ST_RDONLY:
        return '/etc is mounted read-only'
    if any(m[0] == CONF.encode() for m in mounts()):
        return 'a file system is mounted over %s' % CONF
    # The view shows /etc's own file system alone: the file must not be
    # reached through a mount below it.
    real = os.path.realpath(CONF).encode()
    for point in (m[0] for m in mounts()):
        if below(point, b'/etc') and point != b'/etc' and below(real, point):
            return '%s is reached through %s, mounted below /etc' % (
                CONF, point.decode(errors='replace'))
    for path in ('/etc', CONF):
        flags = inode_flags(path)
        if flags is None:
            return 'the flags of %s cannot be read' % path
        if flags & (FS_IMMUTABLE_FL | FS_APPEND_FL):
            return '%s is immutable or append-only' % path
    return None


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


def run_tool(module, argv, handle_exceptions=True):
    # Operands go to the tool as given: no ~ or $VAR expansion.
    return module.run_command(argv, expand_user_and_vars=False, errors='replace',
                              handle_exceptions=handle_exceptions)


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
    rc, out, err = run_tool(module, argv, handle_exceptions=False)
    return dict(rc=rc, out=out, err=err, after=snapshot() if rc == 0 else None)


def predict(module, argv, before):
    """Runs argv on a throwaway view of /etc in a child process; returns its
    outcome, or a dict whose reason says why there is none."""
    if platform.system() != 'Linux':
        return dict(reason='the throwaway view needs Linux')
    if os.geteuid() != 0:
        return dict(reason='the throwaway view needs root')
    reason = untrusted()
    if reason:
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
        outcome['reason'] = no_room(outcome['after'])
    return outcome


def report_warnings(module, err):
    """Turns the tool's warnings into the task's; returns the unknown names."""
    unknown = set()
    for line in err.splitlines():
        warning = line.partition('Warning: ')[2]
        if warning:
            module.warn(warning)
            m = UNKNOWN.match(warning)
            if m:
                unknown.add(m.group(1))
    return unknown


def fail_tool(module, rc, out, err):
    lines = [l for l in err.splitlines() if 'Warning: ' not in l] or out.splitlines()
    module.fail_json(msg='\n'.join(lines) or 'morlvane exited with status %d' % rc,
                     rc=rc, stdout=out, stderr=err)


def sysctl(module, path, args):
    rc, out, err = module.run_command([path] + args, expand_user_and_vars=False)
    if rc != 0 or err.strip():
        module.fail_json(msg=err.strip() or '%s exited with status %d' % (path, rc),
                         rc=rc, stdout=out, stderr=err)
    return out


def apply_settings(module, ops, unknown):
    """Sets each running value that differs from its setting, unless in check
    mode; returns the names set (or that would be)."""
    path = next((p for p in (os.path.join(d, 'sysctl') for d in SYSCTL_DIRS)
                 if os.access(p, os.X_OK)), None)
    if path is None:
        module.fail_json(msg='No sysctl in %s.' % ', '.join(SYSCTL_DIRS))
    write = ['-w'] if platform.system() == 'Linux' else []
    applied = []
    for name, value in ops:
        if name in unknown:
            module.warn("%s is not applied: the running kernel has no such variable."
                        % name)
            continue
        # "--", so that no name is taken for an option of sysctl's.
        shown = sysctl(module, path, ['-n', '--', name])
        if not shown.strip():
            module.warn('%s is not applied: its running value cannot be read (a '
                        'write-only variable), so no run could tell that it is set.'
                        % name)
            continue
        if shown.split() == value.split():
            continue
        applied.append(name)
        if module.check_mode:
            continue
        sysctl(module, path, write + ['--', '%s=%s' % (name, value)])
        shown = sysctl(module, path, ['-n', '--', name])
        if shown.split() != value.split():
            module.warn('The kernel shows %s as %r after it was set to %r; give the '
                        'value as the kernel shows it, or every run sets it again.'
                        % (name, shown.strip(), value))
    return applied


def same_file(before):
    now = snapshot()
    return now is not None and not differs(before, now) and now['ident'] == before['ident']


def main():
    module = AnsibleModule(
        argument_spec=dict(
            settings=dict(type='dict', required=True),
            binary=dict(type='path'),
            apply=dict(type='bool', default=False),
        ),
        supports_check_mode=True,
    )
    ops = operands(module, module.params['settings'])
    if not ops:
        module.exit_json(changed=False, replaced=False, applied=[])
    binary = find_binary(module, module.params['binary'])
    argv = [binary, '--'] + ['%s=%s' % op for op in ops]

    before = snapshot()
    guess = predict(module, argv, before)
    trusted = not guess.get('reason')
    if module.check_mode and not trusted:
        module.exit_json(skipped=True, msg='Check mode cannot predict this task: %s.'
                         % guess['reason'])
    if module.check_mode or (trusted and guess['rc'] == 0 and
                             not differs(before, guess['after']) and same_file(before)):
        if guess['rc'] != 0:
            fail_tool(module, guess['rc'], guess['out'], guess['err'])
        after, replaced = guess['after'], False
        unknown = report_warnings(module, guess['err'])
    else:
        before = snapshot()
        rc, out, err = run_tool(module, argv)
        unknown = report_warnings(module, err)
        if rc != 0:
            fail_tool(module, rc, out, err)
        after, replaced = snapshot(), True

    applied = apply_settings(module, ops, unknown) if module.params['apply'] else []
    result = dict(changed=differs(before, after) or bool(applied),
                  replaced=replaced, applied=applied)
    if module._diff:
        result['diff'] = dict(before=text(before), after=text(after),
                              before_header=CONF, after_header=CONF)
    module.exit_json(**result)


if __name__ == '__main__':
    main()
