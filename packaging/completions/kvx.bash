# bash completion for the command-line programs of the KVX field-bus link; installed once
# under each program's name.

_kvx_words() {
    # Subcommands and options of one program and subcommand.
    case "$1 $2" in
        "linkspy-cli ") echo "-C --port --delay --help ports port-test port scan test report generate fetch" ;;
        "linkspy-cli port") echo "set" ;;
        "linkspy-cli scan") echo "--json" ;;
        "linkspy-cli test") echo "--cycles --json" ;;
        "linkspy-cli report") echo "--cycles --type --file --comment" ;;
        "linkspy-cli generate") echo "--system-dir --com" ;;
        "linkspy-cli fetch") echo "--addr --data --count" ;;
        "kxcfg ") echo "--help dump check" ;;
        "kxcfg dump") echo "--tool" ;;
        "kxbus-sim "*) echo "--member --scenario --link --no-wire-timing --seed --log --help" ;;
        "fenlo-host ") echo "--plugin --help describe browse session read write watch" ;;
        "fenlo-host read") echo "--wait-good" ;;
        "fenlo-host watch") echo "--interval --count" ;;
        "fenlo-opcua "*) echo "--help --version --host --port --pki --read-only --security --user --no-anonymous --plugin --mqtt --mqtt-ca --mqtt-user --mqtt-password-file --group --edge-node --no-opcua" ;;
    esac
}

_kvx_complete() {
    local cur prev program sub="" i words
    cur="${COMP_WORDS[COMP_CWORD]}"
    prev="${COMP_WORDS[COMP_CWORD-1]}"
    program="$(basename "${COMP_WORDS[0]}")"
    case "$prev" in
        --scenario|--file|-C|--pki|--plugin|--mqtt-ca|--mqtt-password-file|--link)
            COMPREPLY=($(compgen -f -- "$cur")); return ;;
        --member) COMPREPLY=($(compgen -f -X '!*.[cC][fF][gG]' -- "$cur")); return ;;
        --port|--com) COMPREPLY=($(compgen -W "COM1 COM2 COM3 COM4" -f -- "$cur")); return ;;
        --type) COMPREPLY=($(compgen -W "txt xls" -- "$cur")); return ;;
        --security) COMPREPLY=($(compgen -W "none sign signandencrypt" -- "$cur")); return ;;
    esac
    for ((i = 1; i < COMP_CWORD; i++)); do
        case "${COMP_WORDS[i]}" in
            -*) ;;
            *) [ -z "$sub" ] && [[ " $(_kvx_words "$program" "") " == *" ${COMP_WORDS[i]} "* ]] &&
                   sub="${COMP_WORDS[i]}" ;;
        esac
    done
    words="$(_kvx_words "$program" "$sub")"
    if [ "$program" = kxcfg ] && [ -n "$sub" ] && [[ "$cur" != -* ]]; then
        COMPREPLY=($(compgen -f -X '!*.[cC][fF][gG]' -- "$cur") $(compgen -d -- "$cur"))
        return
    fi
    COMPREPLY=($(compgen -W "$words" -- "$cur"))
}

complete -F _kvx_complete linkspy-cli kxcfg kxbus-sim fenlo-host fenlo-opcua
