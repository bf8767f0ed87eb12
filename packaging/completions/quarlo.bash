# bash completion for quarlo: the commands, their flags, the repositories
# of the listing for show and fetch, folders for status's roots.

# Adds the repositories whose path begins with $1 (~/ read as the home
# folder): the paths alone, found without running git. Matched as text,
# never expanded, so a name holding $ or a quote stays as it is.
_quarlo_repositories() {
    local word=$1 path
    [[ $word == "~/"* ]] && word=$HOME/${word#"~/"}
    compopt -o filenames 2>/dev/null
    while IFS= read -r path; do
        [[ $path == "$word"* ]] && COMPREPLY+=("$path")
    done < <(quarlo status --paths 2>/dev/null)
}

_quarlo() {
    local cur=${COMP_WORDS[COMP_CWORD]}
    COMPREPLY=()
    if ((COMP_CWORD == 1)); then
        COMPREPLY=($(compgen -W 'status show fetch help --help --version --meta' -- "$cur"))
        return
    fi
    local cmd=${COMP_WORDS[1]} i operands=0 flags_end=0
    for ((i = 2; i < COMP_CWORD; i++)); do
        case ${COMP_WORDS[i]} in
        --) flags_end=1 ;;
        -*) ((flags_end)) && operands=$((operands + 1)) ;;
        *) operands=$((operands + 1)) ;;
        esac
    done
    if [[ $cur == -* ]] && ((!flags_end)); then
        case $cmd in
        status) COMPREPLY=($(compgen -W '--json --paths --only-here --exit-code' -- "$cur")) ;;
        show) COMPREPLY=($(compgen -W '--json' -- "$cur")) ;;
        fetch) COMPREPLY=($(compgen -W '--all' -- "$cur")) ;;
        esac
        return
    fi
    case $cmd in
    status)
        local IFS=$'\n'
        compopt -o filenames 2>/dev/null
        COMPREPLY=($(compgen -d -- "$cur"))
        ;;
    show)
        ((operands == 0)) && _quarlo_repositories "$cur"
        ;;
    fetch)
        _quarlo_repositories "$cur"
        ;;
    esac
}

complete -F _quarlo quarlo
