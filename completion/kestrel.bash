# bash completion for kestrel.                                -*- shell-script -*-
# Option values stick to their letter (-c33, -b115200, -ulog.bin, -m7E1); only
# -b, -l, -r, -F, -S and -E also take their value from the next word. The options end at the first
# word that is not one, and kestrel reads nothing after it.

# The device folder: the build's, or KESTREL_COMPLETION_DEV_DIR (for tests).
_kestrel_dev_dir()
{
    printf '%s' "${KESTREL_COMPLETION_DEV_DIR:-@KESTREL_DEV_DIR@}"
}

# Node name of a COM number, by the fixed table of the Linux build.
_kestrel_node()
{
    local n=$1
    if ((n <= 32)); then
        printf 'ttyS%d' $((n - 1))
    elif ((n <= 64)); then
        printf 'ttyUSB%d' $((n - 33))
    elif ((n <= 96)); then
        printf 'ttyACM%d' $((n - 65))
    else
        printf 'ttyAMA%d' $((n - 97))
    fi
}

# COM numbers of the registered ports, highest first: the table's nodes that
# exist, less ttyS nodes that sysfs reports without a UART (type 0). No node
# is ever opened: opening a serial port can reset the board behind it.
_kestrel_table_ports()
{
    local dir n node name type
    dir=$(_kestrel_dev_dir)
    for ((n = 99; n >= 1; n--)); do
        node=$dir/$(_kestrel_node "$n")
        [[ -c $node ]] || continue
        name=${node##*/}
        [[ -L $node ]] && name=$(readlink -f -- "$node") && name=${name##*/}
        if [[ $name == ttyS* && -r /sys/class/tty/$name/type ]]; then
            read -r type <"/sys/class/tty/$name/type" && [[ $type == 0 ]] && continue
        fi
        printf '%s\n' "$n"
    done
}

# COM numbers from `kestrel -L` when the program has that mode (older builds
# would take -L for no option and start a terminal, so the program file is
# checked for the mode's own message first), else from the table.
_kestrel_ports()
{
    local bin
    bin=$(type -P -- "$1" 2>/dev/null)
    if [[ -n $bin ]] && grep -qa 'no serial ports' -- "$bin" 2>/dev/null; then
        timeout 2 "$bin" -L </dev/null 2>/dev/null |
            while read -r first _; do
                [[ $first =~ ^COM([0-9]+)$ ]] && printf '%s\n' "${BASH_REMATCH[1]}"
            done
        return
    fi
    _kestrel_table_ports
}

# Adds the files and folders that start with $2 to COMPREPLY, each preceded
# by $1 (the option letter, or nothing).
_kestrel_files()
{
    local path f q
    local IFS=$'\n'
    for path in $(compgen -f -- "$2"); do
        f=$path
        [[ -d $path ]] && f+=/ && compopt -o nospace 2>/dev/null
        printf -v q '%q' "$f"
        COMPREPLY+=("$1$q")
    done
}

_kestrel()
{
    local cur=${COMP_WORDS[COMP_CWORD]} word i
    local value_options='-c -b -l -u -U -m -f -r -F -S -E'
    local framings='8N1 8N2 8E1 8O1 7E1 7O1 7E2 7O2 7N1 7N2 8M1 8S1 8E2 8O2 5N1 6N1'
    COMPREPLY=()
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        if [[ $word == -b || $word == -l || $word == -r || $word == -F || $word == -S || $word == -E ]]; then
            if ((i + 1 == COMP_CWORD)); then
                # the value of -b, -l, -r, -F, -S or -E in a word of its own
                if [[ $word == -E || $word == -F ]]; then
                    : # steps and commands are the user's to type
                elif [[ $word == -r ]]; then
                    COMPREPLY=($(compgen -W 'dtr=0,100,dtr=1' -- "$cur"))
                elif [[ $word == -b ]]; then
                    COMPREPLY=($(compgen -W '9600 19200 38400 57600 115200 230400 460800 921600 1000000 2000000 3000000' -- "$cur"))
                else
                    _kestrel_files '' "$cur"
                fi
                return 0
            fi
            ((i++))
            continue
        fi
        [[ $word == -* ]] || return 0 # the options have ended
    done

    case $cur in
    -c[a-zA-Z]*)
        # a network port: the schemes, then HOST:PORT is the user's to type
        COMPREPLY=($(compgen -W '-crfc2217:// -ctcp://' -- "$cur"))
        [[ ${COMPREPLY[0]} == *:// ]] && compopt -o nospace 2>/dev/null
        ;;
    -c*)
        local n ports=()
        for n in $(_kestrel_ports "${COMP_WORDS[0]}"); do ports+=("-c$n"); done
        COMPREPLY=($(compgen -W "${ports[*]}" -- "$cur"))
        ;;
    -b*)
        COMPREPLY=($(compgen -P -b -W '9600 19200 38400 57600 115200 230400 460800 921600 1000000 2000000 3000000' -- "${cur#-b}"))
        ;;
    -[luUS]*)
        _kestrel_files "${cur:0:2}" "${cur:2}"
        ;;
    -m*)
        COMPREPLY=($(compgen -P -m -W "$framings" -- "${cur#-m}"))
        ;;
    -f*)
        COMPREPLY=($(compgen -P -f -W 'n h s' -- "${cur#-f}"))
        ;;
    -* | '')
        COMPREPLY=($(compgen -W "$value_options -s -e -t -d -p -L -w -k -h -T -x --help --version" -- "$cur"))
        # a value follows its letter without a blank
        if ((${#COMPREPLY[@]} == 1)) && [[ " $value_options " == *" ${COMPREPLY[0]} "* ]]; then
            compopt -o nospace 2>/dev/null
        fi
        ;;
    esac
    return 0
}
complete -F _kestrel kestrel
