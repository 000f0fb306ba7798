#!/usr/bin/env bash
# Sourced by scripts/vm.sh: what goes into the test VM's image. A change
# here, in init.sh or in prepare.sh makes a new image.
suite=bookworm
guest_packages=linux-image-amd64,initramfs-tools,kmod,procps,socat,wine,wine32:i386,cmake,python3
guest_hooks=(
  --customize-hook='echo skvm >"$1/etc/hostname"'
  --customize-hook='copy-in tests/vm/init.sh /sbin'
  --customize-hook='mv "$1/sbin/init.sh" "$1/sbin/sk-init"; chmod 755 "$1/sbin/sk-init"'
  --customize-hook='printf "virtio_pci\nvirtio_blk\next4\n" >>"$1/etc/initramfs-tools/modules"; chroot "$1" update-initramfs -u -k all'
  --customize-hook='rm -rf "$1/var/cache/apt/archives"/*.deb "$1/usr/share/doc" "$1/usr/share/man"'
)
guest_disk=4G
