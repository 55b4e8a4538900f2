# Helpers for the host's commands in the guest (sourced before each one).
# A run NAME keeps its files in /tmp: NAME.keys (a fifo: its keyboard),
# NAME.out, NAME.err, NAME.pid, and once it has ended NAME.rc (its exit
# code); the kernel's log gets the line "run NAME ended".

# start NAME ARGS...: kestrel ARGS in the background.
start() {
    n=$1
    shift
    rm -f /tmp/"$n".*
    mkfifo /tmp/"$n".keys
    (
        # Opened for reading and writing, the fifo never reads as ended.
        kestrel "$@" <>/tmp/"$n".keys >/tmp/"$n".out 2>/tmp/"$n".err &
        echo $! >/tmp/"$n".pid
        wait $!
        rc=$?
        # The kernel's log stamps this on the clock of its disconnect messages.
        echo "run $n ended" >/dev/kmsg
        echo $rc >/tmp/"$n".rc.new
        mv /tmp/"$n".rc.new /tmp/"$n".rc
    ) </dev/null >/dev/null 2>&1 &
    while [ ! -s /tmp/"$n".pid ]; do usleep 10000; done
}

# keys NAME TEXT: types TEXT (printf escapes) on the run's keyboard.
keys() {
    # shellcheck disable=SC2059 # the text is a printf format on purpose
    printf "$2" >/tmp/"$1".keys
}

# ended NAME SECONDS: waits up to SECONDS for the run to end and prints its
# exit code; fails if it is still running.
ended() {
    i=$(($2 * 50))
    while [ ! -e /tmp/"$1".rc ]; do
        [ $i -le 0 ] && return 1
        i=$((i - 1))
        usleep 20000
    done
    cat /tmp/"$1".rc
}

# waitfor FILE TEXT SECONDS: waits until FILE holds TEXT.
waitfor() {
    i=$(($3 * 50))
    until grep -qF -- "$2" "$1" 2>/dev/null; do
        [ $i -le 0 ] && return 1
        i=$((i - 1))
        usleep 20000
    done
}

# node PATH yes|no SECONDS: waits until the device node PATH exists (or not).
node() {
    i=$(($3 * 50))
    while { [ -e "$1" ] && [ "$2" = no ]; } || { [ ! -e "$1" ] && [ "$2" = yes ]; }; do
        [ $i -le 0 ] && return 1
        i=$((i - 1))
        usleep 20000
    done
}

# logged TEXT: the time in the kernel's log of the latest line with TEXT.
logged() {
    dmesg | grep -F -- "$1" | tail -n 1 | sed 's/^\[ *\([0-9.]*\)\].*/\1/'
}

# size FILE BYTES SECONDS: waits until FILE holds at least BYTES bytes.
size() {
    i=$(($3 * 50))
    while [ "$(stat -c %s "$1" 2>/dev/null || echo 0)" -lt "$2" ]; do
        [ $i -le 0 ] && return 1
        i=$((i - 1))
        usleep 20000
    done
}

# count FILE PATTERN N SECONDS: waits until N lines of FILE match PATTERN.
count() {
    i=$(($4 * 50))
    while [ "$(grep -c -- "$2" "$1" 2>/dev/null)" -lt "$3" ]; do
        [ $i -le 0 ] && return 1
        i=$((i - 1))
        usleep 20000
    done
}

# registers: the 16550's line and modem control registers of ttyS1 (0x2fb,
# 0x2fc) in hex, as read from the guest's I/O ports now.
registers() {
    dd if=/dev/port bs=1 skip=$((0x2fb)) count=2 2>/dev/null | od -An -tx1
}
