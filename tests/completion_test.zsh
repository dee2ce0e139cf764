# SPDX-License-Identifier: BSD-2-Clause
# Types into an interactive zsh (zsh -f, compinit, the completion on fpath)
# through zpty: each line, a Tab, then a key that writes the line buffer to a
# file and clears it. Run by completion_test.sh: zsh -f completion_test.zsh
# SRCDIR TMPDIR, with the made-up /proc/sys in place.
src=$1 out=$2/zbuffer

fail() {
  print -r -- "FAIL: zsh: $*"
  zpty -d z 2>/dev/null
  exit 1
}

zmodload zsh/zpty || fail "no zsh/zpty module"
zpty z zsh -f -i || fail "cannot start zsh in a pty"
zpty -w z "PS1='%# '; fpath=(${(q)src}/completion \$fpath); autoload -Uz compinit; compinit -u -D"
zpty -w z "dump() { print -r -- \"\$BUFFER\" > ${(q)out}.new && mv ${(q)out}.new ${(q)out}; BUFFER= }"
zpty -w z "zle -N dump; bindkey '^X^D' dump; print star''ted"
zpty -r z line '*started*' || fail "zsh did not start"

# buffer_after KEYS: types KEYS and a Tab; sets got to the line buffer.
buffer_after() {
  local i chunk
  rm -f $out
  zpty -w -n z "$1"$'\t\x18\x04'
  for (( i = 0; i < 100; i++ )); do
    # Drain the output, lest the pty fill up.
    while zpty -rt z chunk; do :; done
    [[ -f $out ]] && break
    sleep 0.1
  done
  [[ -f $out ]] || fail "typed ${(qq)1}<Tab>: no line buffer"
  got=$(<$out)
}

# typein KEYS EXPECTED: the buffer after KEYS<Tab> is EXPECTED.
typein() {
  buffer_after $1
  [[ $got == $2 ]] || fail "typed ${(qq)1}<Tab>, expected ${(qq)2}, got ${(qq)got}"
  print -r -- "ok: ${(qq)1}<Tab> -> ${(qq)got}"
}

# word KEYS WORD: the buffer after KEYS<Tab> is "morlvane WORD" as shell words.
word() {
  local -a words
  buffer_after $1
  words=( ${(Q)${(z)got}} )
  [[ ${#words} == 2 && $words[1] == morlvane && $words[2] == $2 ]] ||
    fail "typed ${(qq)1}<Tab>, expected words morlvane ${(qq)2}, got ${(qq)got}"
  [[ $got == *' ' ]] || fail "typed ${(qq)1}<Tab>: no space after ${(qq)got}"
  print -r -- "ok: ${(qq)1}<Tab> -> ${(qq)got}"
}

typein 'morlvane kernel.ost' 'morlvane kernel.ostype='
typein 'morlvane kernel.ostype=' 'morlvane kernel.ostype=Linux '
typein 'morlvane kernel.ostype=Li' 'morlvane kernel.ostype=Linux '
typein 'morlvane net.ipv4.conf.eth' 'morlvane net.ipv4.conf.eth0/1.rp_filter='
typein 'morlvane net.ipv4.conf.eth0/1.rp_filter=' 'morlvane net.ipv4.conf.eth0/1.rp_filter=1 '
typein 'morlvane vm.swappiness=10 kernel.ost' 'morlvane vm.swappiness=10 kernel.ostype='
word 'morlvane net.ipv4.tcp_rmem=' net.ipv4.tcp_rmem=$'4096\t131072\t6291456'
word 'morlvane net.ipv4.tcp_rmem=40' net.ipv4.tcp_rmem=$'4096\t131072\t6291456'
word 'morlvane kernel.core_pattern=' 'kernel.core_pattern=core:%e %p'
typein 'morlvane kernel.nosuch=' 'morlvane kernel.nosuch='
typein 'morlvane kernel.ostype=X' 'morlvane kernel.ostype=X'
typein 'morlvane kernel.empty=' 'morlvane kernel.empty='
typein 'morlvane kernel.random=' 'morlvane kernel.random='
typein 'morlvane kernel.fifo=' 'morlvane kernel.fifo='
typein 'morlvane kernel.dangling=' 'morlvane kernel.dangling='
typein 'morlvane kernel.multiline=' 'morlvane kernel.multiline='
typein "morlvane $outside=" "morlvane $outside="
typein 'morlvane nosuch' 'morlvane nosuch'
typein 'morlvane -' 'morlvane -h '
typein 'morlvane -h kernel.ost' 'morlvane -h kernel.ost'
typein 'morlvane -- kernel.ost' 'morlvane -- kernel.ostype='
# A quote opened before the name.
typein "morlvane 'vm.swappiness=" "morlvane 'vm.swappiness=60' "
word 'morlvane "net.ipv4.tcp_rmem=' net.ipv4.tcp_rmem=$'4096\t131072\t6291456'
word "morlvane 'kernel.quotes=" "kernel.quotes=a'b\"c\$d\\e"
word 'morlvane "kernel.quotes=' "kernel.quotes=a'b\"c\$d\\e"

# Without /proc/sys the names and values come from sysctl, as on FreeBSD.
zpty -w z "sysctl() { case \$* in -aN) print -l kern.ostype kern.osrelease kern.version;; '-n -- kern.ostype') print FreeBSD;; '-n -- kern.version') print 'Free BSD 14';; *) return 1;; esac }"
mount -t tmpfs tmpfs /proc || fail "cannot mount a tmpfs over /proc"
typein 'morlvane kern.ost' 'morlvane kern.ostype='
typein 'morlvane kern.ostype=' 'morlvane kern.ostype=FreeBSD '
word 'morlvane kern.version=' 'kern.version=Free BSD 14'
typein 'morlvane kern.nosuch=' 'morlvane kern.nosuch='
zpty -d z
