#!/usr/bin/env bash
# The test VM: a small Debian 12 system whose kernel runs 32-bit programs,
# for machines whose own kernel does not. It runs the 32-bit product's
# Windows tests under 32-bit Wine, at about a fifth of native speed (qemu's
# TCG: these machines have no KVM).
#
#   vm.sh image          builds the image if its recipe changed (about 6 min;
#                        Debian's packages from the machine's mirror), then
#                        boots it once to make its 32-bit Wine prefix (1.5 to
#                        4 min); kept under build/vm/ and reused while the
#                        recipe stands
#   vm.sh base           only the first half (no VM runs: it can go on beside
#                        other work without taking its processor time)
#   vm.sh run JOB [SECS] boots the VM and runs JOB (a script path relative to
#                        the project) in it, with the project folder shared
#                        over 9p at the same path; prints the VM's console,
#                        exits with JOB's exit code; a VM still running after
#                        SECS seconds (default 2400) is stopped and its
#                        console shown
#
# The image boots Debian's own kernel directly (-kernel/-initrd) with
# /sbin/sk-init (tests/vm/init.sh) as its first process. Test boots use the
# image read-only (snapshot=on); only the boot that prepares it writes.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

. tests/vm/recipe.sh
recipe_files=(tests/vm/recipe.sh tests/vm/init.sh tests/vm/prepare.sh)

recipe=$(cat "${recipe_files[@]}" | sha256sum | cut -c1-12)
vmdir=$root/build/vm
image=$vmdir/image-$recipe

# The Debian mirror this machine's apt uses (the image comes from the same).
mirror() {
  local uri
  uri=$(grep -h -E '^\s*URIs:' /etc/apt/sources.list.d/*.sources 2>/dev/null | awk '{print $2}' | grep -v security | head -1)
  [ -n "$uri" ] || uri=$(grep -h -E '^\s*deb\s' /etc/apt/sources.list 2>/dev/null | awk '{print $2}' | grep -v security | head -1)
  echo "${uri:-http://deb.debian.org/debian}"
}

boot() {  # boot IMAGE_DIR JOB SECS SNAPSHOT(on|off) CONSOLE_LOG
  local dir=$1 job=$2 secs=$3 snap=$4 log=$5 rc
  mkdir -p "$root/build/wineprefix-win32"  # the guest mounts its own prefix here
  : >"$log"
  set +e
  timeout --kill-after=10 "$secs" qemu-system-x86_64 \
    -accel tcg,thread=multi -cpu max,smap=off -smp 2 -m 3072 \
    -kernel "$dir/vmlinuz" -initrd "$dir/initrd.img" \
    -append "root=/dev/vda rw console=ttyS0 quiet panic=1 init=/sbin/sk-init sk.root=$root sk.job=$job" \
    -drive "file=$dir/rootfs.img,format=raw,if=virtio,snapshot=$snap" \
    -virtfs "local,path=$root,mount_tag=skroot,security_model=passthrough,id=skroot" \
    -nic none -display none -monitor none -serial "file:$log" -no-reboot </dev/null
  rc=$?
  set -e
  if [ "$rc" -eq 124 ] || [ "$rc" -eq 137 ]; then
    echo "vm: the VM did not finish $job within $secs s and was stopped; its console:"
    tail -60 "$log"
    return 124
  fi
  if [ "$rc" -ne 0 ]; then
    echo "vm: qemu ended with exit code $rc; the VM's console:"
    tail -60 "$log"
    return "$rc"
  fi
  rc=$(sed -n 's/^sk-vm: job .* ended with exit code \([0-9]*\).*/\1/p' "$log" | tail -1)
  if [ -z "$rc" ]; then
    echo "vm: the VM stopped before $job ended; its console:"
    tail -60 "$log"
    return 1
  fi
  return "$rc"
}

# newest FILE-PREFIX: the newest of the tree's kernel (or initrd) files, by
# version order (6.1.0-10 after 6.1.0-9), or a failure when there is none.
newest() {
  local found
  found=$(ls -d "$1"* 2>/dev/null | sort -V | tail -1)
  [ -n "$found" ] || { echo "vm: no $(basename "$1")* in $(dirname "$1")" >&2; return 1; }
  echo "$found"
}

# The image's steps. Each one is checked by hand: a caller's `|| return 1`
# turns set -e off inside a function (and inside any subshell it starts), so
# set -e alone would let a failed step through. "built" is written only
# when every step went through.
build_image_steps() {
  local tree=$image/tree log=$image/build.log kernel initrd
  echo "vm: building the test VM image from $(mirror) (about 6 minutes; log in $log)"
  if ! mmdebstrap --variant=minbase --architectures=amd64,i386 --include="$guest_packages" "${guest_hooks[@]}" \
      "$suite" "$tree" "$(mirror)" >"$log" 2>&1 </dev/null; then
    echo "vm: mmdebstrap failed (a machine without its Debian mirror cannot build the image); the end of its log:"
    tail -30 "$log"
    return 1
  fi
  kernel=$(newest "$tree/boot/vmlinuz-") || return 1
  initrd=$(newest "$tree/boot/initrd.img-") || return 1
  cp "$kernel" "$image/vmlinuz" || { echo "vm: copying the kernel $kernel failed"; return 1; }
  cp "$initrd" "$image/initrd.img" || { echo "vm: copying the initrd $initrd failed"; return 1; }
  mke2fs -q -t ext4 -L skroot -d "$tree" "$image/rootfs.img" "$guest_disk" >>"$log" 2>&1 || {
    echo "vm: mke2fs failed; the end of $log:"; tail -20 "$log"; return 1; }
  rm -rf "$tree" || { echo "vm: removing the image's tree $tree failed"; return 1; }
  touch "$image/built" || { echo "vm: marking the image built failed"; return 1; }
}

build_image() {
  if [ -f "$image/built" ]; then
    return 0
  fi
  command -v mmdebstrap >/dev/null && command -v qemu-system-x86_64 >/dev/null && command -v mke2fs >/dev/null || {
    echo "vm: mmdebstrap, qemu-system-x86_64 or mke2fs is missing: bash scripts/setup.sh installs them"; return 1; }
  rm -rf "$vmdir"/image-*
  mkdir -p "$image" || return 1
  local start=$SECONDS rc=0
  build_image_steps || rc=$?
  if [ "$rc" -ne 0 ]; then
    echo "vm: the image was not built (a step above failed, exit code $rc)"
    return 1
  fi
  echo "vm: image built in $((SECONDS - start)) s"
}

prepare_image() {
  build_image || return 1
  [ -f "$image/ready" ] && return 0
  local start=$SECONDS
  if ! boot "$image" tests/vm/prepare.sh 900 off "$image/prepare.log"; then
    echo "vm: preparing the image (its 32-bit Wine prefix) failed"
    rm -f "$image/built"  # the image may be half-written: made anew next time
    return 1
  fi
  touch "$image/ready"
  echo "vm: image prepared (32-bit Wine prefix) in $((SECONDS - start)) s"
}

case "${1:-}" in
  base) build_image ;;
  image) prepare_image ;;
  run)
    [ -n "${2:-}" ] || { echo "usage: vm.sh run JOB [SECONDS]"; exit 2; }
    prepare_image
    mkdir -p "$vmdir"
    log=$vmdir/console-$(basename "$2" .sh).log
    start=$SECONDS
    status=0
    boot "$image" "$2" "${3:-2400}" on "$log" || status=$?
    [ "$status" -ne 0 ] || cat "$log"  # on failure boot() has shown its end already
    echo "vm: $2 ran in the VM in $((SECONDS - start)) s (exit code $status); console in $log"
    exit $status
    ;;
  *) echo "usage: vm.sh base | vm.sh image | vm.sh run JOB [SECONDS]"; exit 2 ;;
esac
