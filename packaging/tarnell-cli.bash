# bash completion for tarnell-cli

# The ports that --port finds: the COMn entries of $SIO_PORT_DIR when it is
# set, else COM1..32 (ttyS), COM33..40 (ttyUSB), COM41..48 (ttyACM) present.
_tarnell_cli_ports()
{
    local dev n ports=()
    if [[ -n ${SIO_PORT_DIR-} ]]; then
        for dev in "$SIO_PORT_DIR"/COM*; do
            [[ -e $dev || -L $dev ]] && ports+=("${dev##*/}")
        done
    else
        for n in {0..31}; do [[ -e /dev/ttyS$n ]] && ports+=("COM$((n + 1))"); done
        for n in {0..7}; do [[ -e /dev/ttyUSB$n ]] && ports+=("COM$((n + 33))"); done
        for n in {0..7}; do [[ -e /dev/ttyACM$n ]] && ports+=("COM$((n + 41))"); done
    fi
    printf '%s\n' "${ports[@]}"
}

# What --device takes: a network port, a serial device (USB and ACM adapters,
# and the ttyS lines with a UART behind them; not the virtual consoles
# /dev/tty0..63), or a path typed out.
_tarnell_cli_devices()
{
    local dev name type choices=(rfc2217:// tcp://)
    for dev in /dev/ttyUSB* /dev/ttyACM*; do
        [[ -c $dev ]] && choices+=("$dev")
    done
    for dev in /dev/ttyS*; do
        name=${dev##*/}
        [[ -c $dev && -e /sys/class/tty/$name/device ]] || continue
        type=$(cat "/sys/class/tty/$name/type" 2>/dev/null)
        [[ $type == 0 ]] || choices+=("$dev")
    done
    COMPREPLY=($(compgen -W "${choices[*]}" -- "$cur"))
    # An address is typed on after its scheme.
    [[ ${COMPREPLY[*]} == *:// ]] && compopt -o nospace 2>/dev/null
    if [[ ${#COMPREPLY[@]} -eq 0 && $cur == */* && $cur != *://* ]]; then
        _filedir
    fi
}

_tarnell_cli()
{
    local cur prev words cword
    _init_completion || return

    case $prev in
        --port)
            COMPREPLY=($(compgen -W "$(_tarnell_cli_ports)" -- "$cur"))
            return ;;
        --device)
            _tarnell_cli_devices
            return ;;
        --parity)
            COMPREPLY=($(compgen -W "even none" -- "$cur"))
            return ;;
        --type)
            COMPREPLY=($(compgen -W "50 100 30" -- "$cur"))
            return ;;
        --log)
            _filedir
            return ;;
        --address | --baud | --from | --to | --ticks | --interval | --count)
            return ;;
    esac

    # The command, if one has been given already.
    local i command=
    for ((i = 1; i < cword; i++)); do
        case ${words[i]} in
            send | status | version | readout | store | verify | scan | watch)
                command=${words[i]}
                break ;;
        esac
    done

    # Options before the command, and (passed on to it) after the command too.
    local global="--help --version --port --device --address --parity --baud --ticks --json --log"
    case $command in
        "")
            if [[ $cur == -* ]]; then
                COMPREPLY=($(compgen -W "$global" -- "$cur"))
            else
                COMPREPLY=($(compgen -W "send status version readout store verify scan watch" -- "$cur"))
            fi ;;
        readout | store | verify)
            if [[ $cur == -* ]]; then
                local opts=$global
                [[ $command == store ]] && opts="--type $opts"
                COMPREPLY=($(compgen -W "$opts" -- "$cur"))
            else
                _filedir gri
            fi ;;
        scan)
            COMPREPLY=($(compgen -W "--from --to $global" -- "$cur")) ;;
        watch)
            COMPREPLY=($(compgen -W "--interval --count $global" -- "$cur")) ;;
        *)
            [[ $cur == -* ]] && COMPREPLY=($(compgen -W "$global" -- "$cur")) ;;
    esac
} &&
    complete -F _tarnell_cli tarnell-cli
