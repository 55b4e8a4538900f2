#!/bin/busybox sh
# The guest's /init: mounts the kernel's file systems, loads the modules that
# /modules.list names (in that order), then runs the commands that the host
# sends over the virtio port: one base64-encoded shell script per line,
# answered with one line "R <base64 of its output> <exit code>".
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
while read -r m; do
    insmod "/lib/modules/$m" || echo "init: insmod $m failed"
done </modules.list
# Kernel messages stay out of the console log; dmesg still has them.
echo 1 >/proc/sys/kernel/printk
# The port's node comes before the port takes opens (ENXIO until then).
ctl=/dev/vport0p1
until (: <>"$ctl") 2>/dev/null; do usleep 20000; done
exec 3<>"$ctl"
echo READY >&3
while read -r line <&3; do
    echo "$line" | base64 -d >/tmp/cmd.sh
    sh -c '. /lib.sh; . /tmp/cmd.sh' </dev/null >/tmp/cmd.out 2>&1 3>&-
    rc=$?
    printf 'R %s %d\n' "$(base64 /tmp/cmd.out | tr -d '\n')" "$rc" >&3
done
poweroff -f
