# bash completion for orvent-update: its commands, each command's options, files for a
# system file, the serial adapters for --serial and the raw MIDI ports for --midi.
# Self-contained, so it works with or without the bash-completion package loaded.

_orvent_update_instrument_options="--instrument-product-id --instrument-member-id
    --instrument-version --instrument-protocol --instrument-packet-size --instrument-flags
    --instrument-write-steps --instrument-reply-delay --instrument-fault --instrument-fault-at
    --instrument-fault-status --instrument-fault-text --instrument-fault-delay"

# What every command takes, and the program before a command.
_orvent_update_output_options="-v --verbose -q --quiet --json --log"

_orvent_update() {
    local cur=${COMP_WORDS[COMP_CWORD]}
    local prev=""
    if ((COMP_CWORD > 0)); then
        prev=${COMP_WORDS[COMP_CWORD - 1]}
    fi
    COMPREPLY=()

    # The command is the first word that is no option and no option's value.
    local command="" i word
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        case $word in
        info | ports | version | update)
            case ${COMP_WORDS[i - 1]} in
            --file | --log | --midi | --serial | --product-id | --instrument-*) ;;
            *)
                command=$word
                break
                ;;
            esac
            ;;
        esac
    done

    case $prev in
    --file | --log)
        compopt -o filenames 2>/dev/null
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
        return 0
        ;;
    --serial)
        compopt -o filenames 2>/dev/null
        mapfile -t COMPREPLY < <(compgen -W "auto $(compgen -G '/dev/ttyUSB*'; compgen -G '/dev/ttyACM*')" -- "$cur")
        return 0
        ;;
    --midi)
        # hw:CARD,DEVICE from the raw MIDI nodes /dev/snd/midiC<card>D<device>.
        local node ports="auto"
        for node in /dev/snd/midiC*D*; do
            [ -e "$node" ] || continue
            node=${node#/dev/snd/midiC}
            ports+=" hw:${node%%D*},${node#*D}"
        done
        mapfile -t COMPREPLY < <(compgen -W "$ports" -- "$cur")
        return 0
        ;;
    --instrument-fault)
        mapfile -t COMPREPLY < <(compgen -W "none no-reply delay status extended-status
            other-product garbage-before wrong-code silent-from-packet write-stalls" -- "$cur")
        return 0
        ;;
    --product-id | --instrument-*)
        # A value of the user's own: nothing to offer.
        return 0
        ;;
    esac

    local options
    case $command in
    "") options="-h --help --version $_orvent_update_output_options" ;;
    info) options="-h --help $_orvent_update_output_options" ;;
    ports) options="-h --help $_orvent_update_output_options --probe --file --product-id" ;;
    version)
        options="-h --help $_orvent_update_output_options --file --product-id --skip-device-check
            --midi --serial --usb --rehearse $_orvent_update_instrument_options"
        ;;
    update)
        options="-h --help $_orvent_update_output_options --skip-version-check
            --skip-device-check -y --yes --midi --serial --usb --rehearse
            $_orvent_update_instrument_options"
        ;;
    esac

    if [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$options" -- "$cur")
    elif [ -z "$command" ]; then
        mapfile -t COMPREPLY < <(compgen -W "info ports version update" -- "$cur")
    elif [ "$command" = info ] || [ "$command" = update ]; then
        compopt -o filenames 2>/dev/null
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
    fi
    return 0
}

complete -F _orvent_update orvent-update
