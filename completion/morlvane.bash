# SPDX-License-Identifier: BSD-2-Clause
# bash completion for morlvane                              -*- shell-script -*-
#
# Completes operands as kernel variable names followed by "=" and, after
# "name=", as the variable's current value. Needs nothing but bash itself.

# Swaps "." and "/" in $2 and stores the result in the variable named $1:
# a variable's name and its path under /proc/sys map onto each other so.
_morlvane_swap()
{
    local s=${2//./$'\1'}
    s=${s//\//.}
    printf -v "$1" %s "${s//$'\1'/\/}"
}

# Sets the caller's array "names" to the kernel's variable names that start
# with $1.
_morlvane_names()
{
    local prefix=$1 path dir n list
    local -a all=()
    names=()
    if [[ -d /proc/sys ]]; then
        _morlvane_swap path "$prefix"
        # Only the directory that the typed prefix reaches is searched, and
        # never one outside /proc/sys.
        dir=/proc/sys
        [[ $path == */* ]] && dir+=/${path%/*}
        [[ /$path/ == */../* || /$path/ == */./* || ! -d $dir ]] && return
        # Read from a string, not a process substitution: that needs /dev/fd.
        list=$(find "$dir" -type f 2>/dev/null)
        [[ -n $list ]] && mapfile -t all <<< "$list"
        all=("${all[@]#/proc/sys/}")
        all=("${all[@]//./$'\1'}")
        all=("${all[@]//\//.}")
        all=("${all[@]//$'\1'/\/}")
    else
        list=$(PATH=$PATH:/sbin:/usr/sbin sysctl -aN 2>/dev/null)
        [[ -n $list ]] && mapfile -t all <<< "$list"
    fi
    for n in "${all[@]}"; do
        [[ $n == "$prefix"* ]] && names+=("$n")
    done
}

# Sets the caller's "value" to the current value of the variable named $1, or
# to nothing when it cannot be read.
_morlvane_value()
{
    local path
    value=
    if [[ -d /proc/sys ]]; then
        _morlvane_swap path "$1"
        [[ /$path/ == */../* || /$path/ == */./* ]] && return
        path=/proc/sys/$path
        # Only a regular file: reading a FIFO or a device could block.
        [[ -f $path && -r $path ]] && { value=$(< "$path"); } 2>/dev/null
    else
        value=$(PATH=$PATH:/sbin:/usr/sbin sysctl -n -- "$1" 2>/dev/null)
    fi
    # The tool refuses a value holding a line feed.
    [[ $value == *$'\n'* ]] && value=
}

_morlvane()
{
    local cword=$COMP_CWORD line w i pos=0 first cur full rstart base c
    local name typed value q pre
    local -a start names
    COMPREPLY=()

    # Bash splits words at the characters of COMP_WORDBREAKS ("=", ":"), so
    # the shell word being completed can span several of COMP_WORDS. The
    # command line shows which of them touch.
    if [[ ${COMP_LINE+set} ]]; then
        line=${COMP_LINE:0:COMP_POINT}
    else
        # Called without a command line: "=" and ":" pieces touch their
        # neighbours.
        line=${COMP_WORDS[0]}
        for ((i = 1; i <= cword; i++)); do
            w=${COMP_WORDS[i]}
            [[ -n $w && -z ${w//[=:]/} ]] ||
                [[ -z ${COMP_WORDS[i-1]//[=:]/} ]] || line+=' '
            line+=$w
        done
    fi
    for ((i = 0; i <= cword; i++)); do
        while [[ ${line:pos:1} == [[:space:]] ]]; do ((pos++)); done
        start[i]=$pos
        ((i == cword)) && break
        w=${COMP_WORDS[i]}
        [[ ${line:pos:${#w}} == "$w" ]] || return 0
        ((pos += ${#w}))
    done
    cur=${line:pos}
    first=$cword
    while ((first > 1)); do
        w=${COMP_WORDS[first-1]}
        ((start[first] == start[first-1] + ${#w})) || break
        ((first--))
    done
    full=${line:start[first]}
    # Readline replaces only the text after the last word break character
    # before the cursor (or after an opening quote, further below); the part
    # of full before rstart is cut off every reply.
    if [[ -z ${cur//[=:]/} ]]; then
        rstart=${#full}
    else
        rstart=$((${#full} - ${#cur}))
    fi

    # Options come only before the first operand; an option other than "--"
    # makes the tool print its usage and nothing else.
    if ((first == 1)) && [[ $full == -* ]]; then
        [[ $full == - || $full == -h ]] && COMPREPLY=(-h)
        return 0
    fi
    if ((first > 1)) && [[ ${COMP_WORDS[1]} == -* && ${COMP_WORDS[1]} != -- ]]; then
        return 0
    fi

    base=
    if [[ $full != *=* ]]; then
        name=$full
        if [[ $name == [\'\"]* ]]; then
            base=${name:0:1} name=${name:1} rstart=1
        fi
        _morlvane_names "$name"
        ((${#names[@]})) || return 0
        COMPREPLY=("${names[@]/%/=}")
        compopt -o nospace 2>/dev/null
    else
        name=${full%%=*} typed=${full#*=} pre=
        # A quote opened before the name: the reply holds "name=" as well.
        if [[ $name == [\'\"]* ]]; then
            typed=${name:0:1}$typed name=${name:1} pre=$name=
        fi
        _morlvane_value "$name"
        [[ -n $value ]] || return 0
        # Within an opening quote readline completes the text after it and
        # adds the closing quote itself; elsewhere the value is escaped.
        case $typed in
        \'*)
            base="$name='" typed=${typed:1} c=${value//\'/\'\\\'\'} ;;
        \$\'*)
            base="$name=\$'" typed=${typed:2} c=${value//\\/\\\\} c=${c//\'/\\\'} ;;
        \"*)
            base="$name=\"" typed=${typed:1} c=${value//\\/\\\\}
            c=${c//\"/\\\"} c=${c//\$/\\\$} c=${c//\`/\\\`} ;;
        *)
            printf -v q %q "$value"
            [[ $q == "$typed"* ]] && typed=
            c=$name=$q ;;
        esac
        [[ $value == "$typed"* ]] || return 0
        [[ -n $base ]] && rstart=${#base}
        COMPREPLY=("$pre$c")
    fi
    # Cut each reply to the part that readline replaces.
    rstart=$((rstart - ${#base}))
    for i in "${!COMPREPLY[@]}"; do
        c=${COMPREPLY[i]}
        if [[ ${c:0:rstart} == "${full:${#base}:rstart}" ]]; then
            COMPREPLY[i]=${c:rstart}
        else
            unset 'COMPREPLY[i]'
        fi
    done
    COMPREPLY=("${COMPREPLY[@]}")
    return 0
} &&
    complete -F _morlvane morlvane
