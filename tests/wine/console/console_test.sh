#!/usr/bin/env bash
# skconsole's command line against the simulator on a socat pair:
#   console_test.sh PREFIX BIN_DIR MODEL COM_BASE
set -u
prefix=$1 bin=$2 model=$3 base=$4
here=$(cd "$(dirname "$0")/.." && pwd)
. "$here/wine_env.sh" "$prefix" || exit 1
. "$here/pairs.sh"
sk_wine_up 10
size=4910  # the channel record the driver asks for: the twin's holds 64-bit pointers
[ "$WINEARCH" = win64 ] && size=4934
work=$(mktemp -d)
sim_pid=""
cleanup() {
  [ -n "$sim_pid" ] && { kill "$sim_pid" 2>/dev/null; wait "$sim_pid" 2>/dev/null; }
  sk_pairs_down
  rm -rf "$work"
}
trap cleanup EXIT
sk_pairs_up "$base" 1 || exit 1
port=COM$base
wine "$bin/sksim.exe" --port "COM$((base + 1))" --model "$(sk_winpath "$model")" --quiet >"$work/sim.log" 2>&1 &
sim_pid=$!
sleep 1

passed=0 failed=0
check() {  # check NAME CONDITION-EXIT-CODE
  if [ "$2" -eq 0 ]; then passed=$((passed + 1)); echo "ok   $1"; else failed=$((failed + 1)); echo "FAIL $1"; fi
}
console() {  # console OUT ERR args… ; sets rc
  local out=$1 errf=$2
  shift 2
  (cd "$bin" && wine skconsole.exe "$@" >"$out" 2>"$errf")
  rc=$?
  sed -i 's/\r$//' "$out" "$errf"  # a Windows console program ends its lines with CR LF
}

console "$work/o" "$work/e" --help
check "--help exits 0 and shows the commands" $([ $rc -eq 0 ] && grep -q "read" "$work/o" && grep -q "poll" "$work/o"; echo $?)

console "$work/o" "$work/e" --bogus read 01_
check "an unknown option exits 2 with a hint" $([ $rc -eq 2 ] && grep -q -- "--help" "$work/e"; echo $?)

console "$work/o" "$work/e" --port "$port" read
check "read without gates exits 2" $([ $rc -eq 2 ]; echo $?)

console "$work/o" "$work/e" --port "$port" --parity sideways read 01_
check "a parity outside the list exits 2" $([ $rc -eq 2 ]; echo $?)

console "$work/o" "$work/e" --json describe
check "describe --json names the driver and its record size" \
  $([ $rc -eq 0 ] && python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); assert d["name"]=="5820 IntelliKnight fire system" and d["channelSize"]==int(sys.argv[2]) and d["baud"]==19200' "$work/o" "$size"; echo $?)

console "$work/o" "$work/e" --port "$port" --csv read 04_001 08_001002 10_
check "read --csv: header, three rows, the panel's texts" \
  $([ $rc -eq 0 ] && [ "$(head -1 "$work/o")" = "gate,command,operation,kind,value,hex,status,code,ms" ] \
    && grep -q '^04_001,|,read,text,LOBBY,,ok,0,' "$work/o" && grep -q '^08_001002,q,read,text,SMOKE L1 D002,,ok,0,' "$work/o" \
    && grep -q '^10_,v,read,text,5820XL 4.10 SIM,,ok,0,' "$work/o" && [ "$(wc -l <"$work/o")" -eq 4 ]; echo $?)
check "the host log goes to stderr with --csv" $(grep -q "ColdStart() end OK" "$work/e" && ! grep -q "ColdStart" "$work/o"; echo $?)

console "$work/o" "$work/e" --port "$port" --json read 01_ 16_
check "a refused gate exits 1 and shows as status 1" \
  $([ $rc -eq 1 ] && python3 -c 'import json,sys; r=json.load(open(sys.argv[1])); assert r[0]["status"]==0 and r[0]["ok"] and isinstance(r[0]["value"],int); assert r[1]["status"]==1 and r[1]["value"] is None' "$work/o"; echo $?)

console "$work/o" "$work/e" --port "$port" write 15_ "24/12/2030 09:15:30"
check "a date write exits 0" $([ $rc -eq 0 ] && grep -q '15_ .*Y .*write .*"24/12/2030 09:15:30" .*ok' "$work/o"; echo $?)
console "$work/o" "$work/e" --port "$port" -q read 09_
check "-q prints the read-back date alone" $([ $rc -eq 0 ] && grep -Eq '^24/12/2030 09:15:3[0-9]$' "$work/o" && [ "$(wc -l <"$work/o")" -eq 1 ]; echo $?)

console "$work/o" "$work/e" --port "$port" --log "$(sk_winpath "$work/host.log")" block 07_001001 -n 8
check "block read with --log: values in the table, the log in the file" \
  $([ $rc -eq 0 ] && grep -q '07_001001 .*p .*block .*\[' "$work/o" && ! grep -q "host log" "$work/o" && grep -q "ColdStart() end OK" "$work/host.log"; echo $?)

console "$work/o" "$work/e" --port "$port" --csv poll 01_ --every 0 --rounds 2
check "poll: two rounds and a summary" $([ $rc -eq 0 ] && [ "$(grep -c '^01_,' "$work/o")" -eq 2 ] && grep -q "summary: 2 requests, 0 failed" "$work/e"; echo $?)

SK5820_TRACE=1 console "$work/o" "$work/e" --port "$port" read 01_
check "SK5820_TRACE=1 in the host's environment traces every exchange" \
  $([ $rc -eq 0 ] && grep -q 'trace -> announce, 10 bytes \[PC: SKGateway\]: 53 4B 20 47 41 54 45 57 41 59' "$work/o" \
    && grep -q "trace -> request 's' (command 1), seq 11, 10 bytes" "$work/o" && [ "$(grep -c ': trace ' "$work/o")" -eq 8 ]; echo $?)
console "$work/o" "$work/e" --port "$port" read 01_
check "without it, no trace" $([ $rc -eq 0 ] && ! grep -q ': trace ' "$work/o"; echo $?)

console "$work/o" "$work/e" --port COM588 read 01_
check "a port that does not exist exits 1 and says so" $([ $rc -eq 1 ] && grep -q "did not start" "$work/e" && grep -q "Fail to open COM588" "$work/o"; echo $?)

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
