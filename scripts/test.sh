#!/usr/bin/env bash
# Everything, on either kind of machine: installs what is missing, builds
# every preset this machine needs, and runs
#   - the native tests at the host's width (ASan+UBSan), and -m32 (here
#     where the kernel runs 32-bit programs, else in the test VM)
#   - the channel life's native test under ThreadSanitizer
#   - the PE table checks of both DLLs (they read files: every machine)
#   - the 64-bit twin's Windows tests under 64-bit Wine
#   - the 32-bit product's Windows tests: under 32-bit Wine here where the
#     kernel runs 32-bit programs and 32-bit Wine is installed, else in the
#     test VM (scripts/vm.sh), all but the proof runs
#   - a short fuzz smoke
# The capability check (scripts/capability.sh) picks the paths; set
# SK_PRETEND_NO32=1 to take the VM path on a machine that would not need it.
# One closing line counts every test; a part that could not run counts as
# failed. Exit 0 only when everything ran and passed.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
mkdir -p build
log=$root/build/test-run.log
: >"$log"
status=0 missed=0
timings=()

fail_part() {  # fail_part WHAT: a part that could not run
  echo "test.sh: $1"
  status=1 missed=$((missed + 1))
}

part() {  # part NAME COMMAND…: runs a part, its output also into the log
  local name=$1 start=$SECONDS rc
  shift
  echo "== $name"
  "$@" 2>&1 | tee -a "$log"
  rc=${PIPESTATUS[0]}
  timings+=("$name: $((SECONDS - start)) s")
  [ "$rc" -eq 0 ] || status=1
  return "$rc"
}

# wine_ctest WIDTH CTEST-ARGS…: the Windows tests of one build, with one
# Wine server for the whole run (scripts/lib.sh).
wine_ctest() {
  local width=$1
  shift
  sk_wine_ctest "$width" --test-dir "build/win$width" --output-on-failure -j2 "$@"
}

start=$SECONDS
part setup bash scripts/setup.sh || { fail_part "setup failed: nothing else can run"; echo "test.sh: 0 passed, $missed failed"; exit 1; }
. scripts/capability.sh
. scripts/lib.sh
sk_capability_line | tee -a "$log"

# The test VM's image (when this machine needs it and has none for the
# current recipe) is taken from the machine's image cache or made while the
# trees build: that half needs the network and dpkg more than the processor.
# Its first boot waits for the VM part.
image_pid=""
if [ -z "$SK_WINE32" ] && [ -n "$SK_QEMU" ]; then
  bash scripts/vm.sh base >build/vm-image.log 2>&1 &
  image_pid=$!
  trap 'kill "$image_pid" 2>/dev/null' EXIT
fi

presets=(native tsan win64 win32 fuzz native32)
if ! part "build ${presets[*]}" bash scripts/build.sh "${presets[@]}"; then
  fail_part "the build failed: no test ran"
  echo "test.sh: 0 passed, $missed failed"
  exit 1
fi

part "native tests (host width)" ctest --no-tests=error --test-dir build/native --output-on-failure -j2
part "channel life under ThreadSanitizer" ctest --no-tests=error --test-dir build/tsan -R '^native\.channel_test$' --output-on-failure
if [ "$SK_RUN32" = 1 ]; then
  part "native tests (-m32)" ctest --no-tests=error --test-dir build/native32 --output-on-failure -j2
fi  # else they run in the test VM, with the 32-bit Windows tests
part "PE tables: the 32-bit product" ctest --no-tests=error --test-dir build/win32 -L pe --output-on-failure
part "PE tables: the 64-bit twin" ctest --no-tests=error --test-dir build/win64 -L pe --output-on-failure

if [ -n "$SK_WINE64" ]; then
  part "the 64-bit twin's Windows tests under 64-bit Wine" wine_ctest 64 -L wine
else
  fail_part "the 64-bit twin's Windows tests did not run: 64-bit Wine is missing or does not start"
fi

if [ -n "$SK_WINE32" ]; then
  part "the 32-bit product's Windows tests under 32-bit Wine" wine_ctest 32 -L wine
elif [ -n "$SK_QEMU" ]; then  # the -m32 native tests and the 32-bit Windows tests
  image_rc=0
  wait "$image_pid" || image_rc=$?
  cat build/vm-image.log
  timings+=("test VM image (made beside the builds): see its lines above")
  rm -f build/vm/ctest-win32.log  # only this run's log may say the tests ran
  if [ "$image_rc" -ne 0 ]; then
    fail_part "the 32-bit product's Windows tests did not run: the test VM image could not be made (see above)"
  elif ! part "native -m32 tests and the 32-bit product's Windows tests in the test VM" \
      bash scripts/vm.sh run tests/vm/win32-tests.sh 2700; then
    grep -q 'tests failed out of' build/vm/ctest-win32.log 2>/dev/null ||
      fail_part "the 32-bit product's Windows tests did not finish in the test VM (see above)"
  fi
else
  fail_part "the 32-bit product's Windows tests did not run: ${SK_RUN32_WHY:-32-bit Wine is missing or does not start}, and qemu is missing"
fi

fuzz=0
part "fuzz smoke" bash scripts/fuzz_smoke.sh "${SK_FUZZ_SECONDS:-60}" || fuzz=1

echo "== times"
printf '  %s\n' "${timings[@]}" "all: $((SECONDS - start)) s"
# One closing line over every ctest run (the VM's among them) and the fuzz
# smoke (counted as one); a part that could not run counts as one failed.
total=$(grep -Eo 'tests failed out of [0-9]+' "$log" | awk '{s += $5} END {print s + 0}')
failed=$(grep -Eo '[0-9]+ tests failed out of' "$log" | awk '{s += $1} END {print s + 0}')
if [ "$status" -ne 0 ] && [ "$failed" -eq 0 ] && [ "$fuzz" -eq 0 ] && [ "$missed" -eq 0 ]; then
  missed=1  # a part that failed without a count
fi
echo "test.sh: $((total - failed + 1 - fuzz)) passed, $((failed + fuzz + missed)) failed"
exit $status
