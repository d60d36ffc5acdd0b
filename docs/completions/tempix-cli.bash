# bash completion for tempix-cli
_tempix_cli()
{
    local cur prev
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=${COMP_WORDS[COMP_CWORD-1]}
    local i
    for ((i = 1; i < COMP_CWORD; i++)); do
        # After "--" every word is a path.
        if [[ ${COMP_WORDS[i]} == -- ]]; then
            compopt -o filenames 2>/dev/null
            COMPREPLY=($(compgen -f -- "$cur"))
            return
        fi
    done

    case $prev in
        --library-file | --journal-discard)
            compopt -o filenames 2>/dev/null
            COMPREPLY=($(compgen -f -- "$cur"))
            return
            ;;
        --jobs | -j)
            COMPREPLY=($(compgen -W "1 2 4 8 16" -- "$cur"))
            return
            ;;
        --playlist | -p | --map-location | --skip-genres | --only-genres)
            return
            ;;
    esac

    if [[ $cur == -* ]]; then
        local options="-h --help --version --analyze --json --dump --library --playlist --library-file
            --map-location --dry-run --detect-bpm --no-detect-bpm --overwrite-bpm --optimize-times
            --less-intro --overwrite-times --adjust-volume --overwrite-volume --export --no-export
            --reprocess --jobs --all-genres --skip-genres --only-genres --journal --journal-discard --yes --replaygain --true-peak
            -q --quiet -v --verbose -j -l -n -p --list"
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
        return
    fi
    compopt -o filenames 2>/dev/null
    COMPREPLY=($(compgen -f -- "$cur"))
}
complete -F _tempix_cli tempix-cli
