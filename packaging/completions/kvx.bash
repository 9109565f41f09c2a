# bash completion for the command-line programs of the KVX field-bus link; installed once
# under each program's name.

_kvx_words() {
    # Subcommands and options of one program and subcommand.
    case "$1 $2" in
        "linkspy-cli ") echo "-C --port --delay --help --version ports port-test port scan test report generate fetch" ;;
        "linkspy-cli port") echo "set" ;;
        "linkspy "*) echo "-C --port --help --help-all --version" ;;
        "linkspy-cli scan") echo "--json" ;;
        "linkspy-cli test") echo "--cycles --json" ;;
        "linkspy-cli report") echo "--cycles --type --file --comment" ;;
        "linkspy-cli generate") echo "--system-dir --com" ;;
        "linkspy-cli fetch") echo "--addr --data --count" ;;
        "kxcfg ") echo "--help --version dump check" ;;
        "kxcfg dump") echo "--tool" ;;
        "kxbus-sim "*) echo "--member --scenario --link --no-wire-timing --seed --log --log-time --changes --help --version" ;;
        "fenlo-host ") echo "--plugin --help --version describe browse session read write watch status" ;;
        "fenlo-host read") echo "--wait-good" ;;
        "fenlo-host watch") echo "--interval --count" ;;
        "fenlo-host status") echo "--settle --json" ;;
        "fenlo-opcua "*) echo "--help --version --host --port --pki --read-only --security --user --no-anonymous --plugin --mqtt --primary-host --mqtt-ca --mqtt-user --mqtt-password-file --group --edge-node --no-opcua --trace-batches --max-connections --max-sessions --max-subscriptions --max-monitored-items --min-publishing-interval --state --metrics --no-extension" ;;
        "fenlo-ua-client "*) echo "--write --match --interval --once --help --version" ;;
    esac
    # Every subcommand takes --help.
    if [ -n "$2" ]; then echo "--help"; fi
}

_kvx_complete() {
    local cur prev program sub="" i words
    cur="${COMP_WORDS[COMP_CWORD]}"
    prev="${COMP_WORDS[COMP_CWORD-1]}"
    program="$(basename "${COMP_WORDS[0]}")"
    case "$prev" in
        --scenario|--file|-C|--pki|--plugin|--mqtt-ca|--mqtt-password-file|--link|--state)
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

complete -F _kvx_complete linkspy linkspy-cli kxcfg kxbus-sim fenlo-host fenlo-opcua fenlo-ua-client
