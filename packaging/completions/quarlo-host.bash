# bash completion for quarlo-host: its flags, and a file for --program.

_quarlo_host() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
    COMPREPLY=()
    case $prev in
    --program)
        local IFS=$'\n'
        compopt -o filenames 2>/dev/null
        COMPREPLY=($(compgen -f -- "$cur"))
        return
        ;;
    --bind | --port | --timeout | --max-runs | --queue) return ;;
    esac
    COMPREPLY=($(compgen -W '--bind --port --program --timeout --max-runs --queue --help' -- "$cur"))
}

complete -F _quarlo_host quarlo-host
