# bash completion for kelvane, kelvane-server, kelvane-dump and
# kelvane-logview: options and commands as the tool's own --help lists them,
# file names for the options that take a path.
_kelvane_tools()
{
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
    case $prev in
        --lib|--images|--file|--ready-file|--image-root)
            compopt -o filenames
            mapfile -t COMPREPLY < <(compgen -f -- "$cur")
            return ;;
    esac
    local help words
    help=$("${COMP_WORDS[0]}" --help 2>/dev/null) || return
    if [[ $cur == -* ]]; then
        words=$(sed -n 's/^  \(-[a-zA-Z],\)\{0,1\}\(--[a-z][a-z-]*\).*/\2/p' <<<"$help")
    else
        # Commands (kelvane's) from the "Commands:" block; none: file names.
        words=$(sed -n '/^Commands:/,/^$/s/^  \([a-z][a-z-]*\) .*/\1/p' <<<"$help")
    fi
    mapfile -t COMPREPLY < <(compgen -W "$words" -- "$cur")
}
complete -o default -F _kelvane_tools kelvane kelvane-server kelvane-dump kelvane-logview
