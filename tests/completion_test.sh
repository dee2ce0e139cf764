#!/bin/bash
# SPDX-License-Identifier: BSD-2-Clause
# Tests the bash and zsh completions of morlvane against a made-up /proc/sys.
#
#   completion_test.sh bash SRCDIR       the bash function, words as bash splits them
#   completion_test.sh bash-tmux SRCDIR  an interactive bash in tmux (77: no tmux)
#   completion_test.sh zsh SRCDIR        an interactive zsh through zpty (77: no zsh)
#
# Needs root: it mounts a tmpfs over /proc/sys in a private mount namespace and
# fills it there; the machine's own /proc/sys and /etc are never written.
set -u
mode=${1-} src=${2-}
case $mode in bash | bash-tmux | zsh) ;; *) mode= ;; esac
if [[ -z $mode || ! -f $src/completion/morlvane.bash ]]; then
    echo "usage: $0 bash|bash-tmux|zsh SRCDIR" >&2
    exit 2
fi
src=$(cd "$src" && pwd)

fail() {
    echo "FAIL: $*"
    exit 1
}

if [[ -z ${MORLVANE_OUTER_NS-} ]]; then
    case $mode in
    bash-tmux) command -v tmux >/dev/null || { echo "SKIP: tmux is not installed"; exit 77; } ;;
    zsh) command -v zsh >/dev/null || { echo "SKIP: zsh is not installed"; exit 77; } ;;
    esac
    ((EUID == 0)) || fail "must run as root (it mounts a tmpfs over /proc/sys in a private namespace)"
    tmp=$(mktemp -d) && chmod 0755 "$tmp" || fail "mktemp"
    MORLVANE_OUTER_NS=$(readlink /proc/self/ns/mnt) MORLVANE_TMP=$tmp \
        timeout 120 unshare -m --propagation private bash "$0" "$mode" "$src"
    rc=$?
    rm -rf "$tmp"
    ((rc == 124)) && fail "timed out"
    exit $rc
fi

# Inside the namespace: write nothing unless /proc/sys is a fresh tmpfs there.
[[ $(readlink /proc/self/ns/mnt) != "$MORLVANE_OUTER_NS" ]] || fail "no private mount namespace"
mount -t tmpfs tmpfs /proc/sys || fail "cannot mount a tmpfs over /proc/sys"
[[ $(stat -f -c %T /proc/sys) == tmpfs ]] || fail "/proc/sys is not a tmpfs"
trap 'exit 1' TERM INT
tmp=$MORLVANE_TMP

entry() {
    mkdir -p "/proc/sys/${1%/*}" && printf %s "$2" > "/proc/sys/$1" || fail "cannot make $1"
}
entry kernel/ostype $'Linux\n'
entry kernel/osrelease $'6.1.0-test\n'
entry kernel/core_pattern $'core:%e %p\n'
entry kernel/empty ''
entry kernel/random/uuid $'0f0e0d0c\n'
entry kernel/multiline $'first\nsecond\n'
entry net/ipv4/tcp_rmem $'4096\t131072\t6291456\n'
entry net/ipv4/conf/eth0.1/rp_filter $'1\n'
entry net/ipv4/conf/all/rp_filter $'2\n'
entry vm/swappiness $'60\n'
entry kernel/quotes $'a\'b"c$d\\e\n'
entry vm/compact_memory $'secret\n'
chmod 0200 /proc/sys/vm/compact_memory
entry vm/hidden $'secret\n'
chmod 0000 /proc/sys/vm/hidden
mkfifo /proc/sys/kernel/fifo || fail "mkfifo"
ln -s /nonexistent /proc/sys/kernel/dangling || fail "ln"
# A readable file outside /proc/sys, and a name leading to it through "..".
printf 'outside\n' > "$tmp/outside" || fail "cannot make $tmp/outside"
outside=$tmp/outside
outside=${outside//./$'\1'} outside=${outside//\//.} outside=${outside//$'\1'/\/}
export outside=//.//.//.//.//.//.//.//.$outside

# Stands in for FreeBSD's sysctl.
fake_sysctl() {
    case $* in
    -aN) printf '%s\n' kern.ostype kern.osrelease kern.version hw.machine ;;
    '-n -- kern.ostype') echo FreeBSD ;;
    '-n -- kern.version') echo 'Free BSD 14' ;;
    *) echo "sysctl: unknown oid" >&2; return 1 ;;
    esac
}

# A stand-in for the builtin, which works only while bash completes.
compopt() { [[ $* == "-o nospace" ]] && nospace=" nospace"; }

# check EXPECTED LINE CWORD WORD...: completes LINE (cursor at its end), which
# bash split into WORD... with COMP_CWORD=CWORD; EXPECTED is the sorted replies
# joined by "|", then " nospace" if that was asked for. With LINE "-"
# COMP_LINE and COMP_POINT are unset.
check() {
    local expected=$1 line=$2 got
    if [[ $line == - ]]; then
        unset COMP_LINE COMP_POINT
    else
        COMP_LINE=$line COMP_POINT=${#line}
    fi
    COMP_CWORD=$3
    shift 3
    COMP_WORDS=("$@")
    nospace=
    _morlvane morlvane "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}"
    got=$(printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort | paste -sd '|')$nospace
    [[ $line == - ]] && line="(no COMP_LINE) ${COMP_WORDS[*]@Q}"
    [[ $got == "$expected" ]] ||
        fail "bash: ${line@Q} as words (${COMP_WORDS[*]@Q}) cword $COMP_CWORD: expected ${expected@Q}, got ${got@Q}"
    echo "ok: ${line@Q} -> ${got@Q}"
}

test_bash() {
    # shellcheck source=/dev/null
    . "$src/completion/morlvane.bash" || fail "cannot source morlvane.bash"

    # Names.
    check 'kernel.osrelease=|kernel.ostype= nospace' 'morlvane kernel.os' 1 morlvane kernel.os
    check 'vm.compact_memory=|vm.hidden=|vm.swappiness= nospace' 'morlvane vm.' 1 morlvane vm.
    check 'net.ipv4.conf.eth0/1.rp_filter= nospace' 'morlvane net.ipv4.conf.e' 1 morlvane net.ipv4.conf.e
    check 'kernel.random.uuid= nospace' 'morlvane kernel.ra' 1 morlvane kernel.ra
    check '' 'morlvane nosuch' 1 morlvane nosuch
    check '' 'morlvane kernel.fi' 1 morlvane kernel.fi
    check '' 'morlvane kernel.da' 1 morlvane kernel.da
    check '' 'morlvane //./' 1 morlvane //./
    all=$(find /proc/sys -type f | sed 's|^/proc/sys/||; y|./|/.|; s/$/=/' | LC_ALL=C sort | paste -sd '|')
    check "$all nospace" 'morlvane ' 1 morlvane ''
    check 'kernel.ostype= nospace' 'morlvane vm.swappiness=10 kernel.ost' 4 morlvane vm.swappiness = 10 kernel.ost
    # "name= " ends that word: the next one is a name again.
    check 'kernel.ostype= nospace' 'morlvane kernel.ostype= kernel.ost' 3 morlvane kernel.ostype = kernel.ost

    # Values: after "name=" bash gives "=" as the word being completed.
    check 'Linux' 'morlvane kernel.ostype=' 2 morlvane kernel.ostype =
    check 'Linux' 'morlvane kernel.ostype=Li' 3 morlvane kernel.ostype = Li
    check '' 'morlvane kernel.ostype=X' 3 morlvane kernel.ostype = X
    check '1' 'morlvane net.ipv4.conf.eth0/1.rp_filter=' 2 morlvane net.ipv4.conf.eth0/1.rp_filter =
    check '60' 'morlvane kernel.ostype=Linux vm.swappiness=' 5 morlvane kernel.ostype = Linux vm.swappiness =
    # The same without COMP_LINE, an empty word after "=".
    check 'Linux' - 3 morlvane kernel.ostype = ''
    check 'Linux' - 3 morlvane kernel.ostype = Li
    # COMP_WORDBREAKS without "=": one word.
    check 'kernel.ostype=Linux' 'morlvane kernel.ostype=' 1 morlvane kernel.ostype=
    check 'kernel.ostype=Linux' 'morlvane kernel.ostype=Li' 1 morlvane kernel.ostype=Li
    # Nothing that cannot be read or stored.
    check '' 'morlvane kernel.nosuch=' 2 morlvane kernel.nosuch =
    check '' 'morlvane kernel.empty=' 2 morlvane kernel.empty =
    check '' 'morlvane kernel.random=' 2 morlvane kernel.random =
    check '' 'morlvane kernel.fifo=' 2 morlvane kernel.fifo =
    check '' 'morlvane kernel.dangling=' 2 morlvane kernel.dangling =
    check '' 'morlvane kernel.multiline=' 2 morlvane kernel.multiline =
    check '' "morlvane $outside=" 2 morlvane "$outside" =
    # Blanks and tabs come escaped, making one shell word.
    check "\$'4096\\t131072\\t6291456'" 'morlvane net.ipv4.tcp_rmem=' 2 morlvane net.ipv4.tcp_rmem =
    check "\$'4096\\t131072\\t6291456'" 'morlvane net.ipv4.tcp_rmem=4096' 3 morlvane net.ipv4.tcp_rmem = 4096
    check "net.ipv4.tcp_rmem=\$'4096\\t131072\\t6291456'" 'morlvane net.ipv4.tcp_rmem=' 1 morlvane net.ipv4.tcp_rmem=
    local -a words
    eval "words=(net.ipv4.tcp_rmem=${COMPREPLY[0]#net.ipv4.tcp_rmem=})"
    [[ ${#words[@]} == 1 && ${words[0]} == net.ipv4.tcp_rmem=$'4096\t131072\t6291456' ]] ||
        fail "bash: tcp_rmem reply is not one right word: ${words[*]@Q}"
    check 'core:%e\ %p' 'morlvane kernel.core_pattern=' 2 morlvane kernel.core_pattern =
    # A ":" splits the value as well; readline replaces only what follows it.
    check '%e\ %p' 'morlvane kernel.core_pattern=core:' 4 morlvane kernel.core_pattern = core :
    # Within an opening quote readline adds the closing one.
    check $'4096\t131072\t6291456' "morlvane net.ipv4.tcp_rmem='40" 3 morlvane net.ipv4.tcp_rmem = "'40"
    # A quote opened before the name: bash gives it all as one word, readline
    # replaces all after the quote, so the reply is "name=" and the value
    # escaped for that quote.
    check 'vm.swappiness=60' "morlvane 'vm.swappiness=" 1 morlvane "'vm.swappiness="
    check 'vm.swappiness=60' "morlvane 'vm.swappiness=6" 1 morlvane "'vm.swappiness=6"
    check '' "morlvane 'vm.swappiness=X" 1 morlvane "'vm.swappiness=X"
    check 'vm.swappiness=60' "morlvane kernel.ostype=Linux 'vm.swappiness=" 4 morlvane kernel.ostype = Linux "'vm.swappiness="
    check 'vm.swappiness=60' - 1 morlvane "'vm.swappiness="
    check $'net.ipv4.tcp_rmem=4096\t131072\t6291456' 'morlvane "net.ipv4.tcp_rmem=' 1 morlvane '"net.ipv4.tcp_rmem='
    check $'net.ipv4.tcp_rmem=4096\t131072\t6291456' 'morlvane "net.ipv4.tcp_rmem=40' 1 morlvane '"net.ipv4.tcp_rmem=40'
    check 'kernel.core_pattern=core:%e %p' "morlvane 'kernel.core_pattern=core:" 1 morlvane "'kernel.core_pattern=core:"
    check "kernel.quotes=a'\\''b\"c\$d\\e" "morlvane 'kernel.quotes=" 1 morlvane "'kernel.quotes="
    check "kernel.quotes=a'b\\\"c\\\$d\\\\e" 'morlvane "kernel.quotes=' 1 morlvane '"kernel.quotes='

    # Options.
    check '-h' 'morlvane -' 1 morlvane -
    check '' 'morlvane -h ' 2 morlvane -h ''
    check '' 'morlvane -h kernel.os' 2 morlvane -h kernel.os
    check 'kernel.osrelease=|kernel.ostype= nospace' 'morlvane -- kernel.os' 2 morlvane -- kernel.os
    check 'Linux' 'morlvane -- kernel.ostype=' 3 morlvane -- kernel.ostype =
}

# Without /proc/sys the names and values come from sysctl, as on FreeBSD. Runs
# last: it hides /proc.
test_bash_sysctl() {
    sysctl() { fake_sysctl "$@"; }
    mount -t tmpfs tmpfs /proc || fail "cannot mount a tmpfs over /proc"
    check 'kern.osrelease=|kern.ostype= nospace' 'morlvane kern.os' 1 morlvane kern.os
    check 'FreeBSD' 'morlvane kern.ostype=' 2 morlvane kern.ostype =
    check 'Free\ BSD\ 14' 'morlvane kern.version=' 2 morlvane kern.version =
    check '' 'morlvane kern.nosuch=' 2 morlvane kern.nosuch =
}

# Run as an unprivileged user, for whom the kernel's write-only entries cannot
# be read (root reads everything on a tmpfs).
test_bash_user() {
    local out
    cp "$src/completion/morlvane.bash" "$tmp/" && chmod 0644 "$tmp/morlvane.bash" || fail "cp"
    out=$(cd "$tmp" && setpriv --reuid=65534 --regid=65534 --clear-groups bash -c '
        . ./morlvane.bash
        for name in vm.compact_memory vm.hidden kernel.ostype; do
            COMP_LINE="morlvane $name=" COMP_POINT=${#COMP_LINE}
            COMP_WORDS=(morlvane "$name" =) COMP_CWORD=2
            _morlvane
            echo "$name:${COMPREPLY[*]}"
        done') || fail "bash as an unprivileged user failed"
    [[ $out == $'vm.compact_memory:\nvm.hidden:\nkernel.ostype:Linux' ]] ||
        fail "bash as an unprivileged user: got ${out@Q}"
    echo "ok: unreadable entries as an unprivileged user"
}

# Types into an interactive bash in tmux: each line, a Tab, then a key that
# writes the line buffer to a file and clears it.
test_bash_tmux() {
    local sock=$tmp/tmux.sock out=$tmp/buffer i
    cat > "$tmp/bashrc" <<RC
PS1='ready\$ '
. '$src/completion/morlvane.bash'
dump() { printf '%s\n' "\$READLINE_LINE" > '$out.new' && mv '$out.new' '$out'; READLINE_LINE=; }
bind -x '"\C-x\C-d": dump'
RC
    tmux -S "$sock" -f /dev/null new-session -d -x 200 -y 20 "bash --noprofile --rcfile '$tmp/bashrc' -i" ||
        fail "cannot start tmux"
    trap "tmux -S '$sock' kill-server 2>/dev/null" EXIT
    for ((i = 0; i < 100; i++)); do
        tmux -S "$sock" capture-pane -p | grep -q 'ready\$' && break
        sleep 0.1
    done
    ((i < 100)) || fail "bash did not start in tmux"

    # typein KEYS EXPECTED: types KEYS, Tab, and compares the buffer.
    typein() {
        local got
        rm -f "$out"
        tmux -S "$sock" send-keys -l "$1" && tmux -S "$sock" send-keys Tab C-x C-d ||
            fail "tmux send-keys"
        for ((i = 0; i < 100; i++)); do
            [[ -f $out ]] && break
            sleep 0.1
        done
        [[ -f $out ]] || fail "bash in tmux: typed ${1@Q}<Tab>: no line buffer"
        got=$(< "$out")
        [[ $got == "$2" ]] || fail "bash in tmux: typed ${1@Q}<Tab>, expected ${2@Q}, got ${got@Q}"
        echo "ok: ${1@Q}<Tab> -> ${got@Q}"
    }
    typein 'morlvane kernel.ost' 'morlvane kernel.ostype='
    typein 'morlvane kernel.ostype=' 'morlvane kernel.ostype=Linux '
    typein 'morlvane kernel.ostype=Li' 'morlvane kernel.ostype=Linux '
    typein 'morlvane kernel.ostype= kernel.ost' 'morlvane kernel.ostype= kernel.ostype='
    typein 'morlvane net.ipv4.conf.eth' 'morlvane net.ipv4.conf.eth0/1.rp_filter='
    typein 'morlvane net.ipv4.conf.eth0/1.rp_filter=' 'morlvane net.ipv4.conf.eth0/1.rp_filter=1 '
    typein 'morlvane net.ipv4.tcp_rmem=' "morlvane net.ipv4.tcp_rmem=\$'4096\\t131072\\t6291456' "
    typein "morlvane net.ipv4.tcp_rmem='40" $'morlvane net.ipv4.tcp_rmem=\'4096\t131072\t6291456\' '
    typein 'morlvane net.ipv4.tcp_rmem="40' $'morlvane net.ipv4.tcp_rmem="4096\t131072\t6291456" '
    typein "morlvane net.ipv4.tcp_rmem=\$'40" $'morlvane net.ipv4.tcp_rmem=$\'4096\t131072\t6291456\' '
    # A quote opened before the name.
    typein "morlvane 'vm.swappiness=" "morlvane 'vm.swappiness=60' "
    typein "morlvane 'vm.swappiness=6" "morlvane 'vm.swappiness=60' "
    typein 'morlvane "net.ipv4.tcp_rmem=' $'morlvane "net.ipv4.tcp_rmem=4096\t131072\t6291456" '
    typein 'morlvane "net.ipv4.tcp_rmem=40' $'morlvane "net.ipv4.tcp_rmem=4096\t131072\t6291456" '
    typein "morlvane kernel.ostype=Linux 'vm.swappiness=" "morlvane kernel.ostype=Linux 'vm.swappiness=60' "
    typein "morlvane 'kernel.quotes=" "morlvane 'kernel.quotes=a'\\''b\"c\$d\\e' "
    typein 'morlvane "kernel.quotes=' "morlvane \"kernel.quotes=a'b\\\"c\\\$d\\\\e\" "
    typein 'morlvane kernel.core_pattern=core:' 'morlvane kernel.core_pattern=core:%e\ %p '
    typein 'morlvane kernel.nosuch=' 'morlvane kernel.nosuch='
    typein 'morlvane kernel.fifo=' 'morlvane kernel.fifo='
    typein 'morlvane -' 'morlvane -h '
    typein 'morlvane -h kernel.ost' 'morlvane -h kernel.ost'
    tmux -S "$sock" send-keys -l 'COMP_WORDBREAKS=${COMP_WORDBREAKS//=}' && tmux -S "$sock" send-keys Enter
    typein 'morlvane kernel.ostype=Li' 'morlvane kernel.ostype=Linux '
    typein 'morlvane net.ipv4.tcp_rmem=' "morlvane net.ipv4.tcp_rmem=\$'4096\\t131072\\t6291456' "
    typein 'morlvane "net.ipv4.tcp_rmem=' $'morlvane "net.ipv4.tcp_rmem=4096\t131072\t6291456" '
}

case $mode in
bash) test_bash && test_bash_user && test_bash_sysctl ;;
bash-tmux) test_bash_tmux ;;
zsh) zsh -f "$src/tests/completion_test.zsh" "$src" "$tmp" ;;
esac || exit 1
echo "PASS: $mode completion"
