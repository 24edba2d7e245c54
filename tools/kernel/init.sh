#!/bin/sh
# /init of the kernel-tier machine. Sets up the router's run-time folders,
# the log daemon on /dev/log and the bus recorder, loads the flash modules
# (nandsim itself is loaded by each scenario with its own bad blocks), runs
# /kt/run.sh from the test's overlay archive and powers off. Everything the
# host reads comes over the serial console, between KT- markers.
/bin/busybox mkdir -p /bin /sbin /usr/bin /usr/sbin
/bin/busybox --install -s
export PATH=/bin:/sbin:/usr/bin:/usr/sbin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev 2>/dev/null
mount -t tmpfs tmpfs /tmp
mount -t tmpfs tmpfs /var/run
mkdir -p /var/run/kqipc /var/log /2ndfile
echo "KT-BOOTED $(uname -m) $(uname -r) at $(cut -d" " -f1 /proc/uptime) s"
while read -r m; do
    [ "$m" = nandsim ] && continue
    insmod "/lib/modules-kt/$m.ko" || echo "KT-ERROR insmod $m"
done < /lib/modules-kt/load-order
syslogd -O /var/log/messages
kt_busrec /var/log/bus.jsonl &
sleep 1
if [ -x /kt/run.sh ]; then
    /kt/run.sh
else
    echo "KT-ERROR no /kt/run.sh in the initramfs"
fi
echo "KT-DONE"
sync
reboot -f
