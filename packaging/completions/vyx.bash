# bash completion for vyx(1)

_vyx()
{
    local cur prev words cword
    _init_completion -s || return

    if ((cword == 1)); then
        COMPREPLY=($(compgen -W 'encrypt decrypt genkey --help --version' -- "$cur"))
        return
    fi

    case ${words[1]} in
        encrypt | decrypt) ;;
        *) return ;;
    esac

    case $prev in
        -k | --key-file | -o | --output)
            _filedir
            return
            ;;
    esac

    $split && return

    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W '-k --key-file= -o --output= -f --force -r --recursive
            -n --dry-run -v --verbose -q --quiet -h --help' -- "$cur"))
        [[ ${COMPREPLY-} == *= ]] && compopt -o nospace
        return
    fi

    _filedir
} &&
    complete -F _vyx vyx

# ex: filetype=sh
