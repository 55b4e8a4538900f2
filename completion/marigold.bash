# bash completion for marigold.                               -*- shell-script -*-
# Options stand before the input file; the word after it is the output file
# (of -f and -x, whose extension names the kind), and marigold reads nothing
# after that, but with -x (several inputs, then the output) and -d (two
# files), which take every word.

_marigold()
{
    local cur=${COMP_WORDS[COMP_CWORD]} paths=0 many=0 i
    COMPREPLY=()
    for ((i = 1; i < COMP_CWORD; i++)); do
        [[ $paths -eq 0 && ${COMP_WORDS[i]} == -[xdK]* ]] && many=1
        [[ $paths -gt 0 || ${COMP_WORDS[i]} != -* ]] && ((paths++))
    done
    [[ $many -eq 1 ]] && paths=0 # every word a firmware file or image
    compopt -o filenames 2>/dev/null
    local IFS=$'\n'
    case $paths in
    0)
        if [[ $cur == -F[0-9a-fA-F]?([0-9a-fA-F]) || $cur == -F[0-9a-fA-F]*:* ]]; then
            # a fill byte, and its :large form for a fill past 256 MiB
            COMPREPLY=($(compgen -W "${cur%%:*}"$'\n'"${cur%%:*}:large" -- "$cur"))
        elif [[ $cur == -K* ]]; then
            # the checksum catalogue, a custom CRC and identify
            COMPREPLY=($(compgen -P -K -W $'crc32\ncrc32c\ncrc32-mpeg2\nstm32\ncrc16-ccitt-false\ncrc16-xmodem\ncrc16-modbus\ncrc16-arc\ncrc8\nsum8\nsum16\nsum32\nneg-sum32\nnot-sum32\nfletcher16\nadler32\nword7\ncrc:\n?@' -- "${cur#-K}"))
            compopt -o nospace 2>/dev/null
        elif [[ $cur == -* ]]; then
            COMPREPLY=($(compgen -W $'-f\n-i\n-x\n-d\n-K\n-c\n-w\n-b\n-F\n-R\n--version\n--help' -- "$cur"))
        else
            # firmware files and images, and folders to look in
            local extglob_was
            extglob_was=$(shopt -p extglob)
            shopt -s extglob
            COMPREPLY=($(compgen -f -X '!*.@(hex|ihx|s19|s28|s37|srec|mot|bin|elf|HEX|IHX|S19|S28|S37|SREC|MOT|BIN|ELF)' -- "$cur")
                       $(compgen -d -- "$cur"))
            eval "$extglob_was"
        fi
        ;;
    1)
        COMPREPLY=($(compgen -f -- "$cur"))
        ;;
    esac
    return 0
}
complete -F _marigold marigold
