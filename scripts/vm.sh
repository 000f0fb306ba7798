#!/usr/bin/env bash
# The test VM: a small Debian 12 system whose kernel runs 32-bit programs,
# for machines whose own kernel does not. It runs the 32-bit product's
# Windows tests under 32-bit Wine, at about a fifth of native speed (qemu's
# TCG: these machines have no KVM).
#
#   vm.sh image          takes the image from the machine's cache (below), or
#                        builds it (about 6 min; Debian's packages from the
#                        machine's mirror) and boots it once to make its
#                        32-bit Wine prefix (1.5 to 4 min), then stores it in
#                        the cache; kept under build/vm/ and reused while the
#                        recipe stands
#   vm.sh base           only the first half: the cache's image, or the image
#                        built without its prefix (no VM runs: it can go on
#                        beside other work without taking its processor time)
#   vm.sh run JOB [SECS] boots the VM and runs JOB (a script path relative to
#                        the project) in it, with the project folder shared
#                        over 9p at the same path; prints the VM's console,
#                        exits with JOB's exit code; a VM still running after
#                        SECS seconds (default 2400) is stopped and its
#                        console shown
#   vm.sh cache-test     the cache's logic on a fake image in a temporary
#                        folder (no mirror, no qemu): miss, hit, broken
#                        entries, pruning, the recipe's hash (ctest
#                        native.vm_cache)
#
# The image boots Debian's own kernel directly (-kernel/-initrd) with
# /sbin/sk-init (tests/vm/init.sh) as its first process. Test boots use the
# image read-only (snapshot=on); only the boot that prepares it writes.
#
# The cache: a prepared image is kept outside the clone, in
# ${XDG_CACHE_HOME:-$HOME/.cache}/sk5820-vm/<recipe>/ (vmlinuz, initrd.img,
# rootfs.img and their SHA256SUMS), <recipe> being the first 12 hex digits of
# the sha256 of the recipe files (recipe_files below: what goes into the
# image and what its preparing boot runs). A clone without the image takes
# it from there, hard-linked when build/ is on the same file system, else
# copied (sparse), after checking every file against SHA256SUMS (about 3 s
# of processor time): a second CI run on the same machine builds nothing
# (building and preparing take about 9 minutes). An entry with a file
# missing or empty or not matching its checksum is said, removed and built
# anew. A new image is stored under a temporary name and renamed into place
# (a run that finds the entry there already keeps that one); then only the
# 2 entries used last are kept (older recipes' and temporary folders older
# than a day go). A failure to store is said and the run goes on: the next
# run builds again. The cache keeps the Debian packages of the day it was
# built: remove the folder to build from the mirror's current ones.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

. tests/vm/recipe.sh
# What makes the image: its recipe, its first process, and what the boot
# that prepares it runs (prepare.sh; wine_env.sh makes the Wine prefix).
recipe_files=(tests/vm/recipe.sh tests/vm/init.sh tests/vm/prepare.sh tests/wine/wine_env.sh)
# A prepared image: these files, and the marks "built" and "ready".
image_files=(vmlinuz initrd.img rootfs.img)
cache_keep=2

# recipe_hash DIR: the image's name, from the recipe files as DIR holds them.
recipe_hash() {
  local f sum
  for f in "${recipe_files[@]}"; do
    [ -f "$1/$f" ] || { echo "vm: the recipe file $f is missing" >&2; return 1; }
  done
  sum=$(cd "$1" && cat "${recipe_files[@]}" | sha256sum) || return 1
  echo "${sum:0:12}"
}

recipe=$(recipe_hash "$root")
vmdir=$root/build/vm
image=$vmdir/image-$recipe
cache_base=""
if [ -n "${XDG_CACHE_HOME:-}${HOME:-}" ]; then
  cache_base=${XDG_CACHE_HOME:-$HOME/.cache}/sk5820-vm
fi

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

# sum_of FILE: its sha256, the digest sha256sum gives. The disk is a 4 GB
# sparse file: reading its holes costs the kernel about 15 s of processor
# time (and fills the page cache), so Python hashes a hole as the zeros it
# reads as, without reading it (about 3 s over the image); sha256sum where
# there is no python3.
sum_of() {
  local out
  if command -v python3 >/dev/null; then
    out=$(python3 -c '
import errno, hashlib, os, sys
h, zeros, step = hashlib.sha256(), memoryview(bytes(8 << 20)), 8 << 20
fd = os.open(sys.argv[1], os.O_RDONLY)
size, pos = os.fstat(fd).st_size, 0
while pos < size:
    try:
        data = os.lseek(fd, pos, os.SEEK_DATA)
    except OSError as e:
        if e.errno != errno.ENXIO:
            raise
        data = size  # a hole to the end
    while pos < data:  # a hole reads as zeros: hashed without reading it
        n = min(step, data - pos)
        h.update(zeros[:n])
        pos += n
    end = os.lseek(fd, pos, os.SEEK_HOLE) if pos < size else size
    while pos < end:
        chunk = os.pread(fd, min(step, end - pos), pos)
        if not chunk:
            sys.exit("%s: shorter than its size" % sys.argv[1])
        h.update(chunk)
        pos += len(chunk)
print(h.hexdigest())
' "$1") || return 1
  else
    out=$(sha256sum "$1") || return 1
  fi
  [ -n "$out" ] || return 1
  echo "${out%% *}"
}

# write_sums DIR: DIR/SHA256SUMS of the image's files (sha256sum's form),
# whole or not at all.
write_sums() {
  local f sum
  : >"$1/SHA256SUMS.part" || return 1
  for f in "${image_files[@]}"; do
    sum=$(sum_of "$1/$f") || return 1
    printf '%s  %s\n' "$sum" "$f" >>"$1/SHA256SUMS.part" || return 1
  done
  mv "$1/SHA256SUMS.part" "$1/SHA256SUMS"
}

# cache_sound ENTRY: whether a cached image is whole; $why says why not.
cache_sound() {
  local f want got
  for f in "${image_files[@]}" SHA256SUMS; do
    [ -f "$1/$f" ] || { why="$f is missing"; return 1; }
    [ -s "$1/$f" ] || { why="$f is empty"; return 1; }
  done
  for f in "${image_files[@]}"; do
    want=$(awk -v f="$f" '$2 == f { print $1 }' "$1/SHA256SUMS")
    [ -n "$want" ] || { why="SHA256SUMS has no line for $f"; return 1; }
    got=$(sum_of "$1/$f") || { why="$f cannot be read"; return 1; }
    [ "$got" = "$want" ] || { why="$f does not match its checksum"; return 1; }
  done
}

# link_or_copy FROM TO: a hard link where both are on one file system, else
# a sparse copy; $how says which.
link_or_copy() {
  if ln "$1" "$2" 2>/dev/null; then
    how=hard-linked
  else
    cp --sparse=always "$1" "$2" || return 1
    how=copied
  fi
}

# cache_fetch: the cache's image for this recipe into build/vm, checked;
# false (and said) when there is none or it is broken.
cache_fetch() {
  local entry=$cache_base/$recipe tmp f start=$SECONDS
  if [ -z "$cache_base" ]; then
    echo "vm: neither XDG_CACHE_HOME nor HOME is set: no image cache, building the image"
    return 1
  fi
  if [ ! -d "$entry" ]; then
    echo "vm: no cached image for recipe $recipe in $cache_base: building it"
    return 1
  fi
  if ! cache_sound "$entry"; then
    echo "vm: the cached image $entry is broken ($why): removing it and building the image anew"
    rm -rf "$entry" || echo "vm: removing $entry failed"
    return 1
  fi
  rm -rf "$vmdir"/image-* "$vmdir"/.image-*
  tmp=$vmdir/.image-$recipe.$$
  mkdir -p "$tmp" || { echo "vm: cannot make $tmp"; return 1; }
  for f in "${image_files[@]}" SHA256SUMS; do
    link_or_copy "$entry/$f" "$tmp/$f" || { echo "vm: taking $f from $entry failed"; rm -rf "$tmp"; return 1; }
  done
  if ! touch "$tmp/built" "$tmp/ready" || ! mv -T "$tmp" "$image"; then
    echo "vm: putting the cached image in place as $image failed"
    rm -rf "$tmp"
    return 1
  fi
  touch "$entry"  # used last: pruning keeps it
  echo "vm: test VM image (recipe $recipe, prepared) taken from the cache $entry: checked and $how in $((SECONDS - start)) s"
}

# cache_store: the image just prepared into the cache, under a temporary
# name renamed into place; then the cache pruned. A failure is said, and
# the run goes on with its image.
cache_store() {
  local entry=$cache_base/$recipe tmp f start=$SECONDS
  [ -n "$cache_base" ] || { echo "vm: no image cache (neither XDG_CACHE_HOME nor HOME is set): the image is not kept"; return 0; }
  if [ -d "$entry" ]; then
    echo "vm: the cache has an image for recipe $recipe already (another run stored it meanwhile): that one is kept"
    return 0
  fi
  if ! mkdir -p "$cache_base" || ! tmp=$(mktemp -d "$cache_base/.tmp-$recipe.XXXXXX"); then
    echo "vm: cannot write the image cache $cache_base: the image is not kept for the next run"
    return 0
  fi
  for f in "${image_files[@]}"; do
    if ! link_or_copy "$image/$f" "$tmp/$f"; then
      echo "vm: storing $f in the image cache failed: the image is not kept for the next run"
      rm -rf "$tmp"
      return 0
    fi
  done
  if ! write_sums "$tmp"; then
    echo "vm: the checksums of the image could not be written: the image is not kept for the next run"
    rm -rf "$tmp"
    return 0
  fi
  if mv -T "$tmp" "$entry" 2>/dev/null; then
    touch "$entry"
    echo "vm: image stored in the cache $entry ($how, in $((SECONDS - start)) s)"
  else
    rm -rf "$tmp"
    echo "vm: $entry was stored meanwhile by another run: that one is kept"
  fi
  cache_prune || echo "vm: pruning the image cache $cache_base failed"
}

# cache_prune: only the $cache_keep entries used last stay, and temporary
# folders younger than a day (a store may be under way).
cache_prune() {
  local old
  find "$cache_base" -mindepth 1 -maxdepth 1 -type d -regextype posix-extended -regex '.*/[0-9a-f]{12}' \
      -printf '%T@ %p\n' | sort -rn | tail -n +$((cache_keep + 1)) | cut -d' ' -f2- |
    while read -r old; do
      echo "vm: removing the cached image of an older recipe, $old"
      rm -rf "$old" || echo "vm: removing $old failed"
    done
  find "$cache_base" -mindepth 1 -maxdepth 1 -type d -name '.tmp-*' -mmin +1440 -print |
    while read -r old; do
      echo "vm: removing $old, left by a store that did not finish"
      rm -rf "$old" || echo "vm: removing $old failed"
    done
}

vm_tools() {
  command -v mmdebstrap >/dev/null && command -v qemu-system-x86_64 >/dev/null && command -v mke2fs >/dev/null || {
    echo "vm: mmdebstrap, qemu-system-x86_64 or mke2fs is missing: bash scripts/setup.sh installs them"; return 1; }
}

build_image() {
  if [ -f "$image/built" ]; then
    return 0
  fi
  cache_fetch && return 0
  vm_tools || return 1
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
  # This boot writes the disk: never through a link to the cache's copy.
  if [ "$(stat -c %h "$image/rootfs.img")" -gt 1 ]; then
    if ! cp --sparse=always "$image/rootfs.img" "$image/rootfs.img.own" ||
       ! mv -f "$image/rootfs.img.own" "$image/rootfs.img"; then
      echo "vm: the disk $image/rootfs.img is linked to the cache and could not be copied apart"
      return 1
    fi
  fi
  if ! boot "$image" tests/vm/prepare.sh 900 off "$image/prepare.log"; then
    echo "vm: preparing the image (its 32-bit Wine prefix) failed"
    rm -f "$image/built"  # the image may be half-written: made anew next time
    return 1
  fi
  touch "$image/ready"
  echo "vm: image prepared (32-bit Wine prefix) in $((SECONDS - start)) s"
  cache_store
}

# The cache's logic against a fake image: the image's steps and the boot
# are stand-ins that write a few small files and count their calls.
cache_test() {
  local t out fails=0 builds=0 boots=0 f h0 h1 what
  t=$(mktemp -d /tmp/sk-vm-cache-test.XXXXXX) || return 1
  cache_test_dir=$t
  trap 'rm -rf "$cache_test_dir"' EXIT
  vmdir=$t/clone/build/vm cache_base=$t/cache recipe=0123456789ab
  image=$vmdir/image-$recipe out=$t/out
  vm_tools() { :; }
  build_image_steps() {
    builds=$((builds + 1))
    printf 'kernel %s' "$builds" >"$image/vmlinuz" && printf 'initrd' >"$image/initrd.img" &&
      truncate -s 4M "$image/rootfs.img" && printf 'disk' >>"$image/rootfs.img" && touch "$image/built"
  }
  boot() { boots=$((boots + 1)); printf 'prefix' | dd of="$1/rootfs.img" bs=1 seek=4096 conv=notrunc 2>/dev/null; }
  expect() {  # expect CHECK COMMAND…: one check, said
    local check=$1
    shift
    if "$@"; then echo "ok: $check"; else echo "FAILED: $check (the run said: $(tr '\n' '|' <"$out"))"; fails=$((fails + 1)); fi
  }
  said() { grep -qF -- "$1" "$out"; }
  run() { rm -rf "$t/clone"; prepare_image >"$out" 2>&1 || echo "prepare_image failed" >>"$out"; }
  entry_sound() { (cd "$cache_base/$recipe" && sha256sum --quiet -c SHA256SUMS >/dev/null 2>&1); }
  same_file() { [ "$(stat -c %i "$1")" = "$(stat -c %i "$2")" ]; }

  run
  expect "miss: built and prepared once" [ "$builds $boots" = "1 1" ]
  expect "miss: said" said "no cached image for recipe $recipe"
  expect "miss: stored, checksums good" entry_sound
  expect "miss: the image is ready" [ -f "$image/ready" ]
  run
  expect "hit: neither built nor booted" [ "$builds $boots" = "1 1" ]
  expect "hit: said" said "taken from the cache $cache_base/$recipe: checked and hard-linked"
  expect "hit: ready, hard-linked" same_file "$image/rootfs.img" "$cache_base/$recipe/rootfs.img"
  rm "$image/ready"
  prepare_image >"$out" 2>&1 || echo "prepare_image failed" >>"$out"
  expect "a writing boot: the disk copied apart first" [ "$(stat -c %h "$image/rootfs.img")" = 1 ]
  expect "a writing boot: the cache's copy untouched" entry_sound
  for what in "initrd.img is missing" "vmlinuz is empty" "rootfs.img does not match its checksum" \
      "SHA256SUMS is missing" "SHA256SUMS has no line for vmlinuz"; do
    h0=$builds f=$cache_base/$recipe
    case $what in
      initrd*) rm "$f/initrd.img" ;;
      vmlinuz*) : >"$f/vmlinuz" ;;
      rootfs*) printf 'x' | dd of="$f/rootfs.img" bs=1 seek=9 conv=notrunc status=none ;;
      "SHA256SUMS is missing") rm "$f/SHA256SUMS" ;;
      *) sed -i '/vmlinuz/d' "$f/SHA256SUMS" ;;
    esac
    run
    expect "broken, $what: said and removed" said "is broken ($what): removing it"
    expect "broken, $what: built anew" [ "$builds" = $((h0 + 1)) ]
    expect "broken, $what: stored anew" entry_sound
  done
  mkdir -p "$cache_base"/aaaaaaaaaaaa "$cache_base"/bbbbbbbbbbbb "$cache_base"/.tmp-x.old "$cache_base"/.tmp-x.new
  touch -d '3 days ago' "$cache_base"/aaaaaaaaaaaa "$cache_base"/.tmp-x.old
  touch -d '1 day ago' "$cache_base"/bbbbbbbbbbbb
  rm -rf "${cache_base:?}/$recipe"
  run
  expect "prune: the 2 used last stay, an old store's leftovers go" \
    [ "$(cd "$cache_base" && ls -A | LC_ALL=C sort | tr '\n' ' ')" = ".tmp-x.new $recipe bbbbbbbbbbbb " ]
  h0=$(stat -c %i "$cache_base/$recipe/SHA256SUMS")
  cache_store >"$out" 2>&1
  expect "a store that finds the entry there keeps it" [ "$(stat -c %i "$cache_base/$recipe/SHA256SUMS")" = "$h0" ]
  expect "a store that finds the entry there says so" said "that one is kept"
  mkdir -p "$t/recipe"
  (cd "$root" && cp --parents "${recipe_files[@]}" "$t/recipe/")
  h0=$(recipe_hash "$t/recipe")
  expect "the recipe's hash: this tree's" [ "$h0" = "$(recipe_hash "$root")" ]
  for f in "${recipe_files[@]}"; do
    echo >>"$t/recipe/$f"
    h1=$(recipe_hash "$t/recipe")
    expect "the recipe's hash changes with $f" eval '[ -n "$h1" ] && [ "$h1" != "$h0" ]'
    cp "$root/$f" "$t/recipe/$f"
  done
  rm "$t/recipe/${recipe_files[0]}"
  expect "a missing recipe file fails, named" eval '! recipe_hash "$t/recipe" 2>"$out" && said "${recipe_files[0]} is missing"'
  echo "vm.sh cache-test: $fails failed"
  [ "$fails" -eq 0 ]
}

case "${1:-}" in
  cache-test) cache_test ;;
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
  *) echo "usage: vm.sh base | vm.sh image | vm.sh run JOB [SECONDS] | vm.sh cache-test"; exit 2 ;;
esac
