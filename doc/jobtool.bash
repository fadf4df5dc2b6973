# bash completion for jobtool                             -*- shell-script -*-
# Written by tools/mkdocs.cpp from jobtool's command table: change the
# table, then cmake --build BUILD --target docs.

_jobtool_commands='decode encode check list requests add-result remove-result merge compare format upload'

# A command's options, those of them that take a value (and its kind),
# and the kinds of its arguments in order (... repeats the last).
_jobtool_syntax() {
    case $1 in
    decode) opts='-o' values='-o=xml' args='sjb' ;;
    encode) opts='-o' values='-o=sjb' args='xml' ;;
    check) opts='--json' values='' args='sjb...' ;;
    list) opts='--file --min --json' values='--file=- --min=-' args='dir' ;;
    requests) opts='--min --json' values='--min=-' args='xml -' ;;
    add-result) opts='--unit --method --time --force' values='--unit=- --method=- --time=-' args='xml - -' ;;
    remove-result) opts='' values='' args='xml -' ;;
    merge) opts='--dry-run --force' values='' args='xml file' ;;
    compare) opts='--parameter --sensor --since --until --min --json --csv --svg' values='--parameter=- --sensor=- --since=- --until=- --min=- --svg=file' args='xml...' ;;
    format) opts='' values='' args='- -' ;;
    upload) opts='--method --header --timeout' values='--method=PUT|POST --header=- --timeout=-' args='host - - file' ;;
    *) return 1 ;;
    esac
}

# The value of an option or argument: files of a kind (and directories),
# directories, any file, a host, one of a list, or nothing.
_jobtool_complete() {
    case $1 in
    sjb | xml) _filedir "$1" ;;
    dir) _filedir -d ;;
    file) _filedir ;;
    host) _known_hosts_real -- "$cur" ;;
    *'|'*) mapfile -t COMPREPLY < <(compgen -W "${1//|/ }" -- "$cur") ;;
    esac
}

_jobtool() {
    local cur prev words cword
    _init_completion || return
    local i cmd='' at=0
    for ((i = 1; i < cword; i++)); do
        if [[ ${words[i]} != -* ]]; then
            cmd=${words[i]} at=$i
            break
        fi
    done
    if [[ -z $cmd ]]; then
        if [[ $cur == -* ]]; then
            mapfile -t COMPREPLY < <(compgen -W '-v -q -h --help --version' -- "$cur")
        else
            mapfile -t COMPREPLY < <(compgen -W "$_jobtool_commands help" -- "$cur")
        fi
        return
    fi
    local opts values args
    _jobtool_syntax "$cmd" || return
    local v
    for v in $values; do
        if [[ $prev == "${v%%=*}" ]]; then
            _jobtool_complete "${v#*=}"
            return
        fi
    done
    if [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$opts -h --help" -- "$cur")
        return
    fi
    # Which argument this is: options and their values do not count.
    local n=0 value=''
    for ((i = at + 1; i < cword; i++)); do
        if [[ $value ]]; then
            value=''
        elif [[ " $values " == *" ${words[i]}="* ]]; then
            value=1
        elif [[ ${words[i]} != -?* ]]; then
            n=$((n + 1))
        fi
    done
    local -a kinds
    read -ra kinds <<<"$args"
    if ((n < ${#kinds[@]})); then
        _jobtool_complete "${kinds[n]%...}"
    elif ((${#kinds[@]})) && [[ ${kinds[-1]} == *... ]]; then
        _jobtool_complete "${kinds[-1]%...}"
    fi
} &&
    complete -F _jobtool jobtool
