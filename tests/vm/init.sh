#!/bin/bash
# The first process of the test VM (installed in its image as /sbin/sk-init).
# It mounts what Wine and socat need, the host's project folder over 9p at
# the same path as on the host (so build trees and test files keep their
# absolute paths), with cache=mmap: Wine maps the programs it loads, and
# without it mapped pages of a 9p file read as zeros. It runs the one job the kernel command line names, says how
# it ended and powers the VM off.
#   kernel command line: init=/sbin/sk-init sk.root=/path/of/project sk.job=relative/job.sh
export HOME=/root LANG=C.UTF-8 PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
mountpoint -q /proc || mount -t proc proc /proc
mountpoint -q /sys || mount -t sysfs sys /sys
mountpoint -q /dev || mount -t devtmpfs dev /dev
mkdir -p /dev/pts /dev/shm
mount -t devpts -o ptmxmode=0666,mode=0620 devpts /dev/pts
mount -t tmpfs tmpfs /dev/shm
mount -t tmpfs tmpfs /tmp
mount -t tmpfs tmpfs /run
hostname skvm
root="" job=""
for word in $(cat /proc/cmdline); do
  case "$word" in
    sk.root=*) root=${word#sk.root=} ;;
    sk.job=*) job=${word#sk.job=} ;;
  esac
done
rc=1
echo "sk-vm: up after $(cut -d' ' -f1 /proc/uptime) s"
if modprobe 9pnet_virtio && modprobe 9p && mkdir -p "$root" &&
   mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144,access=any,cache=mmap skroot "$root"; then
  cd "$root" && bash "$root/$job"
  rc=$?
else
  echo "sk-vm: cannot mount the project folder over 9p"
fi
echo "sk-vm: job $job ended with exit code $rc after $(cut -d' ' -f1 /proc/uptime) s"
sync
echo o >/proc/sysrq-trigger
sleep 10
