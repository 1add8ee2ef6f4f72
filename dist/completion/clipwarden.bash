# bash completion for clipwarden                                  -*- shell-script -*-
#
# Completes the commands, their options, the values of the options that take a fixed set, the
# folder of -P, the files of -i and the files that convert takes. The option list mirrors the
# program's own option table; both commands accept every option.
#
# Uses bash's own builtins only (compgen, compopt), so it works with or without the
# bash-completion package.

_clipwarden()
{
    local cur=${COMP_WORDS[COMP_CWORD]}
    local -a commands=(get convert)
    local -a qualities=(normal hq hd best)
    local -a presets=(ipod iphone psp 3gp wmv xvid avi mp3 wav mpg wma)
    local -a options=(
        -P --directory -o --output -i --input-file -f --quality -t --to --convert
        --list-presets -x --connections -j --jobs -c --continue --retries --timeout --proxy
        --cacert --cookies --limit-rate --keep-video --no-subs --overwrite --json -q --quiet -v --verbose -h --help
        -V --version
    )
    # Meaningful before a command too: each ends the run with an answer of its own.
    local -a alone=(-h --help -V --version --list-presets)
    # The options whose value is the next word when not written on.
    local takes_value=' -P --directory -o --output -i --input-file -f --quality -t --to --convert -x --connections -j --jobs --retries --timeout --proxy --cacert --cookies --limit-rate '
    local value_letters=Poitfxj

    COMPREPLY=()

    # The first word names the command; options there only end the run.
    if ((COMP_CWORD == 1)); then
        if [[ $cur == -* ]]; then
            mapfile -t COMPREPLY < <(compgen -W "${alone[*]}" -- "$cur")
        else
            mapfile -t COMPREPLY < <(compgen -W "${commands[*]}" -- "$cur")
        fi
        return 0
    fi
    local command=${COMP_WORDS[1]}
    [[ $command == get || $command == convert ]] || return 0

    # Walk the words before the cursor: which option, if any, the current word is the value of,
    # and whether "--" has ended the options. "=" is a word of its own when bash splits
    # "--quality=hd" at it.
    local i word owner='' ended=0
    for ((i = 2; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        if [[ -n $owner ]]; then
            [[ $word == = && $owner == --* ]] && continue
            owner=
            continue
        fi
        ((ended)) && continue
        case $word in
            --) ended=1 ;;
            --*=*) ;;
            --*) [[ $takes_value == *" $word "* ]] && owner=$word ;;
            -?*)
                # Letters stand together; one that takes a value takes the rest of the word.
                local k letter
                for ((k = 1; k < ${#word}; k++)); do
                    letter=${word:k:1}
                    if [[ $value_letters == *"$letter"* ]]; then
                        ((k == ${#word} - 1)) && owner=-$letter
                        break
                    fi
                done
                ;;
        esac
    done

    # "--quality=h" kept whole: complete the value after its "=".
    local prefix=
    if [[ -z $owner && $ended == 0 && $cur == --*=* ]]; then
        owner=${cur%%=*}
        prefix=$owner=
        cur=${cur#*=}
        [[ $takes_value == *" $owner "* ]] || return 0
    fi
    # The cursor right after a split-off "=": the value is still empty.
    [[ -n $owner && $cur == = ]] && cur=

    if [[ -n $owner ]]; then
        case $owner in
            -f | --quality) mapfile -t COMPREPLY < <(compgen -W "${qualities[*]}" -- "$cur") ;;
            -t | --to | --convert) mapfile -t COMPREPLY < <(compgen -W "${presets[*]}" -- "$cur") ;;
            -P | --directory)
                compopt -o filenames 2>/dev/null
                mapfile -t COMPREPLY < <(compgen -d -- "$cur")
                ;;
            -i | --input-file | --cacert | --cookies)
                compopt -o filenames 2>/dev/null
                mapfile -t COMPREPLY < <(compgen -f -- "$cur")
                ;;
            -o | --output)
                # A few templates to start from; any mix of the fields is taken.
                local -a templates=('{title}.{ext}' '{site}-{id}.{ext}' '{title} [{id}].{ext}')
                local t
                for t in "${templates[@]}"; do [[ $t == "$cur"* ]] && COMPREPLY+=("$t"); done
                ;;
        esac
        # Numbers and proxy addresses have nothing to offer.
        if [[ -n $prefix ]]; then
            local n
            for n in "${!COMPREPLY[@]}"; do COMPREPLY[n]=$prefix${COMPREPLY[n]}; done
        fi
        return 0
    fi

    if [[ $ended == 0 && $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "${options[*]}" -- "$cur")
        return 0
    fi
    # Operands: files to convert; the addresses of get are the user's to type.
    if [[ $command == convert ]]; then
        compopt -o filenames 2>/dev/null
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
    fi
    return 0
} &&
    complete -F _clipwarden clipwarden

# ex: filetype=sh
