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
    for byte the same, so an C(ok) task keeps its inode and modification time,
    and succeeds on a converged host even where C(/etc) is read-only, the file or
    C(/etc) immutable or append-only, or C(/etc) nearly full. Where the view
    cannot be made, the tool runs on the real file and the task reports C(ok)
    when nothing differs, but the file was still replaced (new inode and
    modification time).
  - After a successful run the task warns, naming the file, when a file read
    after C(/etc/sysctl.conf) at boot sets one of its variables again (its value
    wins at boot), and when C(/etc/sysctl.conf) is not read at boot at all. On
    Linux the order is systemd-sysctl's own (C(systemd-sysctl --cat-config)), on
    FreeBSD C(/etc/sysctl.conf.local) comes after it. A line sets a variable
    when, after leading whitespace and at most one C(-), it has the name, optional
    whitespace and C(=) or C(:) (a name whose first separator is C(/) is read
    with C(/) and C(.) swapped); comments and names holding C(*) set nothing.
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
      - An empty mapping does nothing and reports C(ok); a null (a group
        variable whose entries are all commented out) fails the task.
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
      - Also set the running value of each requested variable whose running
        value differs from the request, compared field by field as the kernel
        shows it, with C(sysctl -w NAME=VALUE) on Linux or C(sysctl NAME=VALUE) on
        FreeBSD, one name at a time, before the file is updated. A second run with
        nothing to do sets nothing.
      - If the kernel refuses a value, or a value set cannot be read back, the
        values set before it are put back and the task fails with
        C(changed=false), the file untouched (C(changed=true), with the values
        that could not be put back in I(applied), where one could not). If the file
        update fails after values were set, the task fails with C(changed=true)
        and lists them in I(applied). Any other message or non-zero status from
        C(sysctl) fails the task with that message.
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
    details: On Linux as root, with overlay support; skipped elsewhere, always on
      FreeBSD, except that a converged task is C(ok) where the view shows it.
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
    append-only, and C(/etc) must have room for the new file. Otherwise the task is
    skipped with a message that check mode cannot predict it, unless the view
    still shows the real file (all but a mount) and nothing would change, or the
    tool fails in it (then the task fails, in check mode or not, before any
    running value is set); it is always skipped on FreeBSD.
  - Removing a setting (C(state=absent)) is not supported.
  - The file must exist; the tool never creates it. Debian 13 ships no
    C(/etc/sysctl.conf) and nothing that reads it at boot; the failure says to
    install the morlvane package or follow the project's README.
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
    set), in the order given; empty without I(apply). On a failed file update,
    those set before it; when a value the kernel refused was not all put back,
    those still set.
  returned: success, and on failure after a value was set
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

import os
import platform
import re
import stat

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.morlvane.sysctl.plugins.module_utils.view import (
    CONF, differs, predict, run_tool, same_file, snapshot)

BINARIES = ('/usr/sbin/morlvane', '/usr/local/sbin/morlvane')
SYSCTL_DIRS = ('/usr/sbin', '/sbin', '/usr/bin', '/bin')
SYSTEMD_SYSCTL = '/usr/lib/systemd/systemd-sysctl'
# Read after /etc/sysctl.conf at boot on FreeBSD.
LOCAL_CONF = '/etc/sysctl.conf.local'
WHITESPACE = ' \t\n\v\f\r'
# How systemd-sysctl --cat-config heads each file it reads.
HEADER = re.compile(r'# (/\S*/sysctl\.d/[^/\s]+\.conf)$')
UNKNOWN = re.compile(r"Unknown sysctl name '(.*)'$")


def operands(module, settings):
    """Returns the tool's name=value operands for settings, in order; fails the
    task on settings that are no mapping, a value that has no exact text or a
    name the tool cannot take."""
    if not isinstance(settings, dict):
        kind = 'null' if settings is None else type(settings).__name__
        module.fail_json(msg='settings must be a mapping of names to values, not %s; '
                             'give {} for none.' % kind)
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


def text(snap):
    if snap is None or snap['content'] is None:
        return ''
    return snap['content'].decode('utf-8', errors='backslashreplace')


def report_warnings(module, err):
    """Turns the tool's warnings into the task's."""
    for line in err.splitlines():
        warning = line.partition('Warning: ')[2]
        if warning:
            module.warn(warning)


def unknown_names(err):
    """Returns the names that the tool warned the kernel does not have."""
    return set(m.group(1) for m in (UNKNOWN.match(line.partition('Warning: ')[2])
                                    for line in err.splitlines()) if m)


def fail_tool(module, rc, out, err, applied=()):
    lines = [l for l in err.splitlines() if 'Warning: ' not in l] or out.splitlines()
    msg = '\n'.join(lines) or 'morlvane exited with status %d' % rc
    if applied:
        msg += ('\nThe running values of %s were set already, but the file update '
                'failed.' % ', '.join(applied))
    if not os.path.lexists(CONF):
        msg += ('\n%s does not exist, and morlvane never creates it. Debian 13 ships '
                'none: install the morlvane package, which has the file read at boot, '
                'or make the file and the link that systemd-sysctl reads it through as '
                "the project's README says." % CONF)
    module.fail_json(msg=msg, rc=rc, stdout=out, stderr=err, changed=bool(applied),
                     applied=list(applied))


def missing(name, err):
    """Whether the running kernel lacks the variable that sysctl failed to read."""
    if platform.system() == 'Linux':
        path = dot(name).translate(str.maketrans('./', '/.'))
        return not os.path.lexists(os.path.join('/proc/sys', path.lstrip('/')))
    return 'unknown oid' in err


def apply_settings(module, ops, unknown):
    """Sets each running value that differs from its setting, unless in check
    mode; returns the names set (or that would be). If the kernel refuses one,
    puts back those already set and fails the task, unchanged."""
    path = next((p for p in (os.path.join(d, 'sysctl') for d in SYSCTL_DIRS)
                 if os.access(p, os.X_OK)), None)
    if path is None:
        module.fail_json(msg='No sysctl in %s.' % ', '.join(SYSCTL_DIRS))
    write = ['-w'] if platform.system() == 'Linux' else []
    applied, old = [], []
    for name, value in ops:
        # "--", so that no name is taken for an option of sysctl's.
        rc, shown, err = module.run_command([path, '-n', '--', name],
                                            expand_user_and_vars=False)
        if name in unknown or (rc != 0 and missing(name, err)):
            module.warn("%s is not applied: the running kernel has no such variable."
                        % name)
            continue
        if rc != 0 or err.strip():
            undo(module, path, write, old, err.strip() or '%s exited with status %d'
                 % (path, rc), rc, shown, err)
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
        rc, out, err = module.run_command(
            [path] + write + ['--', '%s=%s' % (name, value)], expand_user_and_vars=False)
        if rc != 0 or err.strip():
            undo(module, path, write, old, 'The kernel refused %s=%s (%s)'
                 % (name, value, err.strip() or 'status %d' % rc), rc, out, err)
        old.append((name, ' '.join(shown.split())))
        rc, shown, err = module.run_command([path, '-n', '--', name],
                                            expand_user_and_vars=False)
        if rc != 0 or err.strip():
            undo(module, path, write, old, '%s was set, but reading it back failed (%s)'
                 % (name, err.strip() or 'status %d' % rc), rc, shown, err)
        if shown.split() != value.split():
            module.warn('The kernel shows %s as %r after it was set to %r; give the '
                        'value as the kernel shows it, or every run sets it again.'
                        % (name, shown.strip(), value))
    return applied


def undo(module, path, write, old, msg, rc, out, err):
    """Puts back the running values in old, last set first, and fails the task
    with msg, the file untouched; changed where a value could not be put back."""
    failed = [name for name, value in reversed(old)
              if module.run_command([path] + write + ['--', '%s=%s' % (name, value)],
                                    expand_user_and_vars=False)[0] != 0]
    done = [name for name, value in old if name not in failed]
    if done:
        msg += '; the running values of %s were put back' % ', '.join(done)
    if failed:
        msg += '; those of %s could NOT be put back' % ', '.join(failed)
    module.fail_json(msg='%s; %s was left untouched.' % (msg, CONF), rc=rc, stdout=out,
                     stderr=err, changed=bool(failed),
                     applied=[name for name, value in old if name in failed])


def sets(line):
    """Returns the variable that a line of a sysctl configuration file sets, in
    dot form, or None for a comment, a glob or a line that sets nothing."""
    line = line.lstrip(WHITESPACE)
    if line.startswith('-'):
        line = line[1:].lstrip(WHITESPACE)
    end = min((line.find(c) for c in '=:' if c in line), default=-1)
    name = line[:end].rstrip(WHITESPACE)
    if end < 0 or not name or name[0] in '#;' or '*' in name:
        return None
    return dot(name)


def dot(name):
    """Returns name in dot form: a name whose first separator is "/" has "/"
    and "." swapped."""
    first = min((name.find(c) for c in './' if c in name), default=-1)
    if name[first:first + 1] == '/':
        return name.translate(str.maketrans('./', '/.'))
    return name


def later_files(module):
    """Returns the files read after /etc/sysctl.conf at boot, as (path, text),
    in the order they are read; None when the file is not read at boot."""
    if platform.system() == 'FreeBSD':
        if not os.path.exists(LOCAL_CONF):
            return []
        with open(LOCAL_CONF, 'rb') as f:
            return [(LOCAL_CONF, f.read().decode('utf-8', errors='replace'))]
    if not os.path.exists(SYSTEMD_SYSCTL):
        return []
    # systemd-sysctl's own order; it shows the file under the name of the link
    # that it reads it through.
    rc, out, err = module.run_command([SYSTEMD_SYSCTL, '--cat-config', '--no-pager'],
                                      errors='replace')
    if rc != 0:
        module.warn('Whether a file read at boot after %s sets these variables again '
                    'is not known: %s --cat-config failed (%s).'
                    % (CONF, SYSTEMD_SYSCTL, err.strip() or 'status %d' % rc))
        return []
    files, blank = [], True
    for line in out.split('\n'):
        # A file's header follows a blank line; a comment in a file could look
        # alike, but seldom names a sysctl.d file that exists.
        header = HEADER.match(line) if blank else None
        if header and os.path.lexists(header.group(1)):
            files.append((header.group(1), []))
        elif files:
            files[-1][1].append(line)
        blank = not line
    real = os.path.realpath(CONF)
    last = [i for i, item in enumerate(files) if os.path.realpath(item[0]) == real]
    if not last:
        return None
    return [(path, '\n'.join(lines)) for path, lines in files[last[-1] + 1:]]


def warn_boot(module, ops):
    """Warns when the file is not read at boot, or a file read after it sets one
    of the task's variables again and so has the last word."""
    later = later_files(module)
    if later is None:
        module.warn('%s is not read at boot: %s --cat-config does not list it. On '
                    'Debian 13 install the morlvane package, or make the link that '
                    "systemd-sysctl reads it through as the project's README says."
                    % (CONF, SYSTEMD_SYSCTL))
        return
    names = set(dot(op[0][1:] if op[0].startswith('-') else op[0]) for op in ops)
    for path, body in later:
        again = []
        # Lines end at a line feed alone, as systemd-sysctl reads them.
        for line in body.split('\n'):
            name = sets(line)
            if name in names and name not in again:
                again.append(name)
        if again:
            module.warn('%s, read after %s at boot, sets %s again: its value wins at '
                        'boot.' % (path, CONF, ', '.join(again)))


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
    trusted, shown = not guess['reason'], 'rc' in guess
    # Where the view shows the real file and nothing would change, the tool
    # does not run: the task is ok even where the real run could not write.
    unchanged = shown and guess['rc'] == 0 and not differs(before, guess['after']) \
        and same_file(before)
    if module.check_mode and not trusted and not unchanged:
        module.exit_json(skipped=True, msg='Check mode cannot predict this task: %s.'
                         % guess['reason'])
    # A view that shows the real file fails where the real run would: before
    # any running value is set.
    if shown and guess['rc'] != 0:
        report_warnings(module, guess['err'])
        fail_tool(module, guess['rc'], guess['out'], guess['err'])
    write = not (unchanged or module.check_mode)
    if not write:
        report_warnings(module, guess['err'])

    applied = []
    if module.params['apply']:
        applied = apply_settings(module, ops, unknown_names(guess.get('err', '')))
    if write:
        before = snapshot()
        rc, out, err = run_tool(module, argv)
        report_warnings(module, err)
        if rc != 0:
            fail_tool(module, rc, out, err, applied)
        after = snapshot()
    else:
        after = guess['after']
    warn_boot(module, ops)

    result = dict(changed=differs(before, after) or bool(applied),
                  replaced=write, applied=applied)
    if module._diff:
        result['diff'] = dict(before=text(before), after=text(after),
                              before_header=CONF, after_header=CONF)
    module.exit_json(**result)


if __name__ == '__main__':
    main()
