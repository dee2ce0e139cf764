#!/usr/bin/python3
# SPDX-License-Identifier: BSD-2-Clause
"""The Ansible module, built, installed and documented by ansible-core, and one
playbook run against localhost in a private mount and network namespace with a
tmpfs over /etc; with Debian's ansible-core, or with the pinned one in a
virtual environment that it makes; and ansible-test sanity on the collection.
usage (as root): ansible_test.py run BINARY COLLECTION_DIR [VENV]
                 ansible_test.py venv VENV REQUIREMENTS
                 ansible_test.py sanity VENV COLLECTION_DIR WORK_DIR"""
import base64
import json
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import unittest

ARGS = [os.path.abspath(a) for a in sys.argv[2:]]
TTL = '/proc/sys/net/ipv4/ip_default_ttl'
START = b'# tuned \xe9\n  vm.swappiness=60\n#vm.swappiness=30\nkernel.panic=10'
FIRST = b'# tuned \xe9\nvm.swappiness=10\n#vm.swappiness=30\nkernel.panic=10\nnet.ipv4.ip_forward=1\n'
TYPES = b'z.yes=1\ny.no=0\nx.oct=8\nw.str=010\nv.neg=-5\nu.var=$HOME ~\n-t.dash=1\n'

PLAYBOOK = r'''
- hosts: localhost
  gather_facts: false
  module_defaults: {morlvane.sysctl.morlvane: {binary: '{{ bin }}'}}
  tasks:
  - {name: s0, stat: {path: /etc/sysctl.conf}}
  - {name: check, morlvane.sysctl.morlvane: &set {settings: {vm.swappiness: '10', net.ipv4.ip_forward: yes}}, check_mode: true, diff: true}
  - {name: s1, stat: {path: /etc/sysctl.conf}}
  - {name: mounts, command: cat /proc/self/mountinfo}
  - {name: first, morlvane.sysctl.morlvane: *set}
  - {name: first bytes, slurp: {src: /etc/sysctl.conf}}
  - {name: s2, stat: {path: /etc/sysctl.conf}}
  - {name: again, morlvane.sysctl.morlvane: *set}
  - {name: s3, stat: {path: /etc/sysctl.conf}}
  - {name: check again, morlvane.sysctl.morlvane: *set, check_mode: true}
  - {name: fallback, morlvane.sysctl.morlvane: *set, vars: {ansible_remote_tmp: '{{ w }}/odd,dir'}}
  - {name: s4, stat: {path: /etc/sysctl.conf}}
  - {name: empty, morlvane.sysctl.morlvane: {settings: {}}}
REFUSALS
  - {name: s5, stat: {path: /etc/sysctl.conf}}
SKIPS
  - {name: s6, stat: {path: /etc/sysctl.conf}}
  - {name: types, morlvane.sysctl.morlvane: {settings: {z.yes: yes, y.no: no, x.oct: 010, w.str: '010', v.neg: -5, u.var: '$HOME ~', -t.dash: '1'}}}
  - {name: types bytes, slurp: {src: /etc/sysctl.conf}}
  - {name: netns, command: readlink /proc/self/ns/net}
  - {name: apply check, morlvane.sysctl.morlvane: &apply {settings: {net.ipv4.ip_default_ttl: '77', net.ipv4.tcp_rmem: '4096 87380 6291456', net.no_such.knob: '1', net.ipv4.route.flush: '1'}, apply: true}, check_mode: true}
  - {name: ttl after check, command: 'cat {{ ttl }}'}
  - {name: apply, morlvane.sysctl.morlvane: *apply}
  - {name: ttl after apply, command: 'cat {{ ttl }}'}
  - {name: apply again, morlvane.sysctl.morlvane: *apply}
  - {name: apply odd, morlvane.sysctl.morlvane: {settings: {net.ipv4.ip_default_ttl: '077'}, apply: true}}
  - {name: s7, stat: {path: /etc/sysctl.conf}}
  - {name: apply bad, morlvane.sysctl.morlvane: {settings: {net.ipv4.tcp_rmem: '4096 131072 6291456', net.ipv4.ip_default_ttl: '0'}, apply: true}, ignore_errors: true}
  - {name: s8, stat: {path: /etc/sysctl.conf}}
  - {name: rmem after bad, command: cat /proc/sys/net/ipv4/tcp_rmem}
  - {name: unlinked before, command: rm /etc/sysctl.d/99-sysctl.conf}
  - {name: unlinked, morlvane.sysctl.morlvane: *set}
  - {name: unlinked after, command: ln -s ../sysctl.conf /etc/sysctl.d/99-sysctl.conf}
  - {name: missing before, command: mv /etc/sysctl.conf /etc/gone}
  - {name: missing, morlvane.sysctl.morlvane: *set, ignore_errors: true}
  - {name: missing after, command: mv /etc/gone /etc/sysctl.conf}
  - {name: full before, command: 'mount -o remount,size=600k /etc'}
  - {name: full, morlvane.sysctl.morlvane: *set}
  - {name: full after, command: 'mount -o remount,size=50% /etc'}
'''
# Tasks that fail, with what the message must say; the file stays untouched.
REFUSALS = (('no dot', "{nodot: '1'}", 'Error: Invalid sysctl name'),
            ('empty value', "{vm.swappiness: ''}", "Error: No value defined for 'vm.swappiness'"),
            ('float', '{vm.swappiness: 1.50}', 'vm.swappiness is a float (1.5); quote it'),
            ('a null', '{vm.swappiness: null}', 'is a null (None); quote it'),
            # ansible-core 2.19 refuses it before the module runs.
            ('null settings', 'null', ('settings must be a mapping of names to values, not null',
                                       "'settings' is of type NoneType")),
            ('list', '{vm.swappiness: [1]}', 'is a list ([1]); quote it'),
            ('equals', "{a.b=c: '1'}", "holds '='"),
            ('relative', "{a.b: '1'}, binary: morlvane", 'must be an absolute path'),
            ('group', "{a.b: '1'}, binary: '{{ w }}/group'", 'writable by group.'),
            ('others', "{a.b: '1'}, binary: '{{ w }}/others'", 'writable by others.'),
            ('owner', "{a.b: '1'}, binary: '{{ w }}/owner'", 'not owned by root'))
# Between a command that makes a real write fail and one that undoes it: a
# converged task, ok where the view still shows the real file, else skipped in
# check mode and failing for real; a task that must write, skipped in check
# mode with this reason and failing for real with this message after it set
# the running value.
SKIPS = (('immutable', 'chattr +i /etc/sysctl.conf',
          'lsattr -l /etc/sysctl.conf | grep -q Immutable && chattr -i /etc/sysctl.conf',
          '/etc/sysctl.conf is immutable', 'fopen(/etc/sysctl.conf): Operation not permitted'),
         ('mounted over', 'mount --bind {{ w }}/other /etc/sysctl.conf', 'umount /etc/sysctl.conf',
          'a file system is mounted over /etc/sysctl.conf', 'rename(): Device or resource busy'),
         ('read-only', 'mount -o remount,ro /etc', 'mount -o remount,rw /etc',
          '/etc is mounted read-only', 'fopen(/etc/sysctl.conf): Read-only file system'),
         ('mounted below', 'mkdir -p {{ w }}/sub /etc/sub && cp /etc/sysctl.conf {{ w }}/sub && '
          'mount --bind -o ro {{ w }}/sub /etc/sub && mv /etc/sysctl.conf /etc/saved && '
          'ln -s sub/sysctl.conf /etc/sysctl.conf', 'mv /etc/saved /etc/sysctl.conf && umount /etc/sub',
          '/etc/sysctl.conf is reached through /etc/sub, mounted below /etc',
          'fopen(/etc/sysctl.conf): Read-only file system'))
PLAYBOOK = PLAYBOOK.replace('REFUSALS\n', ''.join(
    "  - {name: %s, morlvane.sysctl.morlvane: {settings: %s}, ignore_errors: true}\n" % r[:2]
    for r in REFUSALS)).replace('SKIPS\n', ''.join(
        "  - {name: %s before, shell: '%s'}\n"
        "  - {name: %s, morlvane.sysctl.morlvane: *set, check_mode: true}\n"
        "  - {name: %s real, morlvane.sysctl.morlvane: *set, ignore_errors: true}\n"
        "  - {name: %s change, morlvane.sysctl.morlvane: {settings: {net.ipv4.ip_default_ttl: '6%d'}}, check_mode: true}\n"
        "  - {name: %s change real, morlvane.sysctl.morlvane: {settings: {net.ipv4.ip_default_ttl: '6%d'}, apply: true}, ignore_errors: true}\n"
        "  - {name: %s after, shell: '%s'}\n" % (name, cmd, name, name, name, i, name, i, name, undo)
        for i, (name, cmd, undo, _, _) in enumerate(SKIPS)))
SOFT = ('immutable', 'read-only')
# A file read after /etc/sysctl.conf at boot: only its last line sets a
# variable of the play's again; the comment before it is no file's header.
OVERRIDE = (b'# vm.swappiness = 1\nvm.swapp*ness = 1\n\n# /proc/sys/net/ipv4/ip_forward: off\n'
            b' - net/ipv4/ip_forward = 0\n')
WINS = ('/usr/lib/sysctl.d/99-zzz-override_cilium.conf, read after /etc/sysctl.conf at '
        'boot, sets net.ipv4.ip_forward again: its value wins at boot.')

# ansible-core has no JSON output of its own: this prints every task's result
# by name once the play is over.
RECORDER = '''
import json
from ansible.plugins.callback import CallbackBase
class CallbackModule(CallbackBase):
    CALLBACK_VERSION, CALLBACK_TYPE, CALLBACK_NAME = 2.0, 'stdout', 'record'
    results = {}
    def record(self, result, status):
        self.results[result._task.get_name()] = dict(result._result, status=status)
    def v2_runner_on_ok(self, result):
        self.record(result, 'ok')
    def v2_runner_on_failed(self, result, ignore_errors=False):
        self.record(result, 'failed')
    def v2_runner_on_skipped(self, result):
        self.record(result, 'skipped')
    def v2_playbook_on_stats(self, stats):
        print(json.dumps(self.results, default=str))
'''


def write(path, data):
    p = pathlib.Path(path)
    p.write_bytes(data) if isinstance(data, bytes) else p.write_text(data)


def run(argv, env, **kw):
    return subprocess.run(argv, env=env, capture_output=True, text=True, **kw)


class AnsibleModuleTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        bindir = ARGS[2] + '/bin' if len(ARGS) > 2 else '/usr/bin'
        cls.w = w = tempfile.mkdtemp(prefix='morlvane-ansible.')
        cls.env = env = dict(os.environ, HOME=w, ANSIBLE_CONFIG=w + '/none.cfg',
                             ANSIBLE_COLLECTIONS_PATH=w + '/c', ANSIBLE_NOCOLOR='1',
                             ANSIBLE_LOCAL_TEMP=w + '/local', ANSIBLE_REMOTE_TEMP=w + '/remote',
                             ANSIBLE_STDOUT_CALLBACK='record', ANSIBLE_CALLBACK_PLUGINS=w)
        for name, mode, uid in (('group', 0o775, 0), ('others', 0o757, 0), ('owner', 0o755, 65534)):
            shutil.copy(BIN, w + '/' + name)
            os.chmod(w + '/' + name, mode)
            os.chown(w + '/' + name, uid, 0)
        for name in ('passwd', 'group'):
            shutil.copy('/etc/' + name, w + '/etc.' + name)
        write(w + '/other', START)
        write(w + '/start', START)
        write(w + '/override', OVERRIDE)
        write(w + '/site.yml', PLAYBOOK)
        write(w + '/record.py', RECORDER)
        cls.build = run([bindir + '/ansible-galaxy', 'collection', 'build', SRC, '--output-path', w], env)
        cls.install = run([bindir + '/ansible-galaxy', 'collection', 'install', '-p', w + '/c',
                           w + '/morlvane-sysctl-1.0.0.tar.gz'], env)
        cls.doc = run([bindir + '/ansible-doc', 'morlvane.sysctl.morlvane'], env)
        cls.ttl = pathlib.Path(TTL).read_text()
        # Shared mounts, so that a view that failed to keep its mounts to itself
        # would leave them in the play's namespace for the test to see. The
        # file is read at boot through Debian 12's link, and before a copy of
        # /usr/lib/sysctl.d with one more file.
        script = ('mount --make-rshared / && mount -t tmpfs tmpfs /etc && for f in passwd group; do cp "$W/etc.$f" /etc/$f; done'
                  ' && cp "$W/start" /etc/sysctl.conf && mkdir /etc/sysctl.d && ln -s ../sysctl.conf /etc/sysctl.d/99-sysctl.conf'
                  ' && cp -a /usr/lib/sysctl.d "$W/lib" && cp "$W/override" "$W/lib/99-zzz-override_cilium.conf"'
                  ' && mount --bind "$W/lib" /usr/lib/sysctl.d && cd "$W" && exec "$A/ansible-playbook"'
                  ' -i localhost, -c local site.yml -e ansible_python_interpreter=/usr/bin/python3'
                  ' -e "bin=$BIN w=$W ttl=$TTL"')
        cls.play = run(['unshare', '-m', '-n', '--propagation', 'private', 'sh', '-c', script],
                       dict(env, W=w, BIN=BIN, TTL=TTL, A=bindir))
        cls.ttl_after = pathlib.Path(TTL).read_text()
        cls.r = json.loads(cls.play.stdout) if cls.play.stdout.startswith('{') else {}

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.w)

    def task(self, name):
        if name not in self.r:
            self.fail('no result for %r: %s' % (name, self.play.stderr[-3000:]))
        return self.r[name]

    def same_file(self, a, b):
        a, b = self.task(a)['stat'], self.task(b)['stat']
        self.assertEqual((a['inode'], a['mtime'], a['checksum']), (b['inode'], b['mtime'], b['checksum']))

    def test_collection_builds_installs_and_renders(self):
        self.assertEqual(self.build.returncode, 0, self.build.stderr)
        self.assertEqual(self.install.returncode, 0, self.install.stderr)
        self.assertEqual(self.doc.returncode, 0, self.doc.stderr)
        self.assertIn('settings', self.doc.stdout)
        for out in (self.build, self.install, self.doc):
            self.assertNotIn('[WARNING]', out.stdout + out.stderr)

    def test_check_mode_predicts_and_leaves_the_file(self):
        r = self.task('check')
        self.assertTrue(r['changed'])
        self.assertEqual(r['diff']['before'], START.decode('latin-1').replace('\xe9', '\\xe9'))
        self.assertEqual(r['diff']['after'].encode(), FIRST.replace(b'\xe9', b'\\xe9'))
        self.assertEqual(r['diff']['after_header'], '/etc/sysctl.conf')
        self.same_file('s0', 's1')
        self.assertNotIn('morlvane-view', self.task('mounts')['stdout'])

    def test_first_run_changes_and_second_leaves_inode_and_mtime(self):
        self.assertTrue(self.task('first')['changed'])
        self.assertEqual(base64.b64decode(self.task('first bytes')['content']), FIRST)
        for name, changed, replaced in (('again', False, False), ('check again', False, False),
                                        ('fallback', False, True), ('empty', False, False)):
            self.assertEqual((self.task(name)['changed'], self.task(name)['replaced']),
                             (changed, replaced), name)
        self.same_file('s2', 's3')
        self.assertNotEqual(self.task('s3')['stat']['inode'], self.task('s4')['stat']['inode'])

    def test_refusals_fail_and_leave_the_file(self):
        for name, _, words in REFUSALS:
            self.assertEqual(self.task(name)['status'], 'failed', name)
            msg = self.task(name)['msg']
            self.assertTrue(any(w in msg for w in (words if isinstance(words, tuple) else (words,))), msg)
        self.assertEqual(self.task('no dot')['rc'], 1)
        self.same_file('s4', 's5')

    def test_check_mode_skips_where_the_view_cannot_be_trusted(self):
        for name, _, _, why, words in SKIPS:
            if name in SOFT:
                for task in (name, name + ' real'):
                    r = self.task(task)
                    self.assertEqual((r['status'], r['changed'], r['replaced']), ('ok', False, False), task)
            else:
                self.assertEqual(self.task(name)['status'], 'skipped', name)
                self.assertIn('Check mode cannot predict this task: ' + why, self.task(name)['msg'])
                r = self.task(name + ' real')
                self.assertEqual((r['status'], r['rc']), ('failed', 1), name)
                self.assertIn(words, r['msg'])
            self.assertIn('Check mode cannot predict this task: ' + why, self.task(name + ' change')['msg'])
            r = self.task(name + ' change real')
            self.assertEqual((r['status'], r['changed'], r['applied']),
                             ('failed', True, ['net.ipv4.ip_default_ttl']), name)
            self.assertIn(words, r['msg'])
        self.same_file('s5', 's6')
        self.assertEqual([self.task('full')[k] for k in ('status', 'changed', 'replaced')], ['ok', False, False])

    def test_warns_where_the_setting_loses_at_boot(self):
        self.assertEqual([w for w in self.task('first')['warnings'] if 'boot' in w], [WINS])
        self.assertIn('/etc/sysctl.conf is not read at boot', ' '.join(self.task('unlinked')['warnings']))
        self.assertNotIn('not read at boot', ' '.join(self.task('again').get('warnings', [])))
        self.assertIn('Debian 13 ships none: install the morlvane package', self.task('missing')['msg'])

    def test_values_are_converted_and_unknown_names_warned_and_stored(self):
        self.assertEqual(base64.b64decode(self.task('types bytes')['content']), FIRST + TYPES)
        warned = [w for w in self.task('types').get('warnings', []) if w.startswith('Unknown sysctl')]
        self.assertEqual(len(warned), 7, warned)
        self.assertIn("Unknown sysctl name 'u.var'", warned)

    def test_apply_sets_differing_values_in_its_own_network_namespace(self):
        self.assertNotEqual(self.task('netns')['stdout'], os.readlink('/proc/self/ns/net'))
        want = ['net.ipv4.ip_default_ttl', 'net.ipv4.tcp_rmem']
        self.assertEqual(self.task('apply check')['applied'], want)
        self.assertNotEqual(self.task('ttl after check')['stdout'], '77')
        self.assertEqual(self.task('apply')['applied'], want)
        self.assertIn('net.no_such.knob is not applied', ' '.join(self.task('apply')['warnings']))
        self.assertIn('net.ipv4.route.flush is not applied', ' '.join(self.task('apply')['warnings']))
        self.assertEqual(self.task('ttl after apply')['stdout'], '77')
        self.assertEqual((self.task('apply again')['applied'], self.task('apply again')['changed']),
                         ([], False))
        self.assertIn("after it was set to '077'", ' '.join(self.task('apply odd')['warnings']))
        r = self.task('apply bad')
        self.assertIn('Invalid argument', r['msg'])
        self.assertIn('net.ipv4.tcp_rmem were put back', r['msg'])
        self.assertEqual((r['changed'], self.task('rmem after bad')['stdout'].split()), (False, ['4096', '87380', '6291456']))
        self.same_file('s7', 's8')
        self.assertEqual(self.ttl_after, self.ttl)


def venv(path, requirements):
    """Makes the virtual environment at path with the pinned ansible-core, unless
    it holds it already."""
    stamp = pathlib.Path(path, 'requirements.txt')
    want = pathlib.Path(requirements).read_bytes()
    if stamp.exists() and stamp.read_bytes() == want:
        return
    shutil.rmtree(path, ignore_errors=True)
    subprocess.run(['/usr/bin/python3', '-m', 'venv', path], check=True)
    subprocess.run([path + '/bin/pip', 'install', '--quiet', '--no-cache-dir', '--disable-pip-version-check',
                    '--require-hashes', '-r', requirements], check=True)
    stamp.write_bytes(want)


# ansible-test fetches a pip bootstrap script from a host outside PyPI; this
# stand-in takes the pip it asks for from PyPI with the pip of Debian's venv.
GET_PIP = """import ensurepip, subprocess, sys
ensurepip.bootstrap()
args = [a for a in sys.argv[1:] if a not in ('--no-setuptools', '--no-wheel')]
subprocess.check_call([sys.executable, '-m', 'pip', 'install'] + args)
"""


def sanity(path, src, work):
    """Runs ansible-test sanity on a copy of the collection laid out as Galaxy
    installs it (outside the source tree, whose git would hide the copy); exits
    with its status, failing where it checked no module."""
    top = tempfile.mkdtemp(prefix='morlvane-sanity.')
    tree = top + '/ansible_collections/morlvane/sysctl'
    shutil.copytree(src, tree, ignore=shutil.ignore_patterns('*.tar.gz', '__pycache__'))
    home = work + '/home'
    pip = '%s/.ansible/test/cache/get_pip_%s.py' % (home, '24_2')
    os.makedirs(os.path.dirname(pip), exist_ok=True)
    write(pip, GET_PIP)
    env = dict(os.environ, HOME=home, PATH=path + '/bin:' + os.environ['PATH'])
    python = '%d.%d' % sys.version_info[:2]
    r = subprocess.run([path + '/bin/ansible-test', 'sanity', '--venv', '--requirements',
                        '--python', python], cwd=tree, env=env, stdout=subprocess.PIPE,
                       stderr=subprocess.STDOUT, text=True)
    shutil.rmtree(top)
    print(r.stdout)
    sys.exit(r.returncode or 'Running sanity test "validate-modules"' not in r.stdout)


if __name__ == '__main__':
    # Without them the test fails rather than skips, so that a machine missing
    # either cannot pass.
    if os.geteuid() != 0 or not os.path.exists('/usr/bin/ansible-playbook'):
        sys.exit('needs root and ansible-core (/usr/bin/ansible-playbook)')
    if sys.argv[1] == 'venv':
        venv(*ARGS)
    elif sys.argv[1] == 'sanity':
        sanity(*ARGS)
    else:
        BIN, SRC = ARGS[:2]
        unittest.main(argv=sys.argv[:1])
