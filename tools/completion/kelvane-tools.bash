# bash completion for kelvane, kelvane-server, kelvane-dump and
# kelvane-logview: options and commands as the tool's own --help lists them,
# the values of the options that take a word from a list, file names for the
# options that take a path.
_kelvane_tools()
{
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
    local help words i
    COMPREPLY=()
    case $prev in
        --lib|--images|--file|--pcap|--ready-file|--image-root)
            compopt -o filenames
            mapfile -t COMPREPLY < <(compgen -f -- "$cur")
            return ;;
        --color) words="auto always never" ;;
        --level) words="Debug Trace Info Warning Error" ;;
        --split) words="length line none" ;;
        --interface) words="any $(ls /sys/class/net 2>/dev/null)" ;;
    esac
    help=$("${COMP_WORDS[0]}" --help 2>/dev/null) || return
    case $prev in
        --fail|--delay|--bad-length|--no-reply|--unknown-type)
            # The request names of kelvane-server's help: "REQ is a, b ... or z, ...".
            words=$(tr '\n' ' ' <<<"$help" |
                sed -n 's/.*REQ is \([a-z, -]*\) or \([a-z-]*\),.*/\1 \2/p' | tr -d ,)
            case $prev in
                --fail|--delay|--bad-length) words=$(printf '%s= ' $words); compopt -o nospace ;;
            esac ;;
    esac
    if [[ -n $words ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$words" -- "$cur")
        return
    fi
    if [[ $cur == -* ]]; then
        words=$(sed -n 's/^  \(-[a-zA-Z],\)\{0,1\}\(--[a-z][a-z-]*\).*/\2/p' <<<"$help")
        mapfile -t COMPREPLY < <(compgen -W "$words" -- "$cur")
        return
    fi
    # Commands (kelvane's) from the "Commands:" block: only where no command
    # stands yet, or after "help".
    words=$(sed -n '/^Commands:/,/^$/s/^  \([a-z][a-z-]*\) .*/\1/p' <<<"$help")
    [[ -n $words ]] || return  # no commands: the default (file names)
    local list=" ${words//$'\n'/ } "
    for ((i = 1; i < COMP_CWORD; i++)); do
        if [[ $list == *" ${COMP_WORDS[i]} "* ]]; then
            [[ ${COMP_WORDS[i]} == help ]] || { compopt +o default; return; }
        fi
    done
    mapfile -t COMPREPLY < <(compgen -W "$words" -- "$cur")
}
complete -o default -F _kelvane_tools kelvane kelvane-server kelvane-dump kelvane-logview
