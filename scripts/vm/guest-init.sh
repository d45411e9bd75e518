#!/bin/bash
# The test VM's only process (init=): runs /job.sh of the second disk and powers the VM off,
# whatever the job does, so that the host never waits on a guest that will not end. No systemd
# runs; what a job needs of a booted system is mounted here.
#
# The second disk gets out/output.log (the job's output) and out/status (its exit status); a
# missing status tells the host that the job never finished.
#
# The kernel option ktl.timeout=SECONDS bounds the job (default 3600).

PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
export PATH HOME=/root

power_off() {
  sync
  umount /job 2>/dev/null
  echo o >/proc/sysrq-trigger
  # PID 1 must not end: the kernel would panic instead of powering off.
  sleep 600
}

# The initrd hands some of these over already mounted.
mount_once() {
  mkdir -p "$2"
  mountpoint -q "$2" || mount -t "$1" "$1" "$2"
}
mount_once proc /proc
mount_once sysfs /sys
mount_once devtmpfs /dev
mount_once devpts /dev/pts
mount_once tmpfs /dev/shm
mount_once tmpfs /run
mount_once tmpfs /tmp
hostname ktl-vm

mkdir -p /job
if ! mount -t ext4 /dev/vdb /job; then
  echo "guest-init: cannot mount the job disk /dev/vdb" >/dev/console
  power_off
fi
mkdir -p /job/out

limit=3600
for word in $(cat /proc/cmdline); do
  case $word in
    ktl.timeout=*) limit=${word#ktl.timeout=} ;;
  esac
done
case $limit in
  '' | *[!0-9]*) limit=3600 ;;
esac

# timeout kills the job's whole process group; a process stuck past that (or one that left the
# group) still cannot keep the VM up.
( sleep $((limit + 60)); echo "guest-init: the job did not end: powering off" >/dev/console
  power_off ) &

echo "guest-init: running the job (at most $limit s)" >/dev/console
# Into a file, not a pipe: a Wine process left behind would hold a pipe open forever.
cd /job
timeout -k 30 "$limit" bash /job/job.sh </dev/null >/job/out/output.log 2>&1
status=$?
if [ "$status" = 124 ] || [ "$status" = 137 ]; then
  echo "guest-init: the job ran out of its $limit s" >>/job/out/output.log
fi
echo "$status" >/job/out/status
echo "guest-init: the job ended with status $status" >/dev/console
power_off
