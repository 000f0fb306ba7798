#!/usr/bin/env bash
# skconsole's command line against the simulator on a socat pair:
#   console_test.sh PREFIX BIN_DIR MODEL COM_BASE [cli|scan]
# "scan" runs the commissioning scan of the model instead (about 4 minutes).
set -u
prefix=$1 bin=$2 model=$3 base=$4 part=${5:-cli}
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
quiet=--quiet
[ "$part" = scan ] && quiet=""  # the scan's checks read the wire trace
wine "$bin/sksim.exe" --port "COM$((base + 1))" --model "$(sk_winpath "$model")" $quiet >"$work/sim.log" 2>&1 &
sim_pid=$!
sleep 1

passed=0 failed=0
check() {  # check NAME CONDITION-EXIT-CODE
  if [ "$2" -eq 0 ]; then passed=$((passed + 1)); echo "ok   $1"; return; fi
  failed=$((failed + 1))
  echo "FAIL $1 (exit $rc; the console's last output and errors:)"
  tail -n 15 "$work/o" "$work/e" 2>/dev/null | sed 's/^/  | /'
}
console() {  # console OUT ERR args… ; sets rc
  local out=$1 errf=$2
  shift 2
  (cd "$bin" && wine skconsole.exe "$@" >"$out" 2>"$errf")
  rc=$?
  sed -i 's/\r$//' "$out" "$errf"  # a Windows console program ends its lines with CR LF
}

if [ "$part" = scan ]; then
  before=$(wc -l <"$work/sim.log")
  console "$work/o" "$work/e" --port "$port" scan --out "$(sk_winpath "$work/gates")"
  sed -n "$((before + 1)),\$p" "$work/sim.log" >"$work/scan-trace"
  check "a scan of the model finds what the model has, with its labels and status words" \
    $([ $rc -eq 0 ] && python3 - "$model" "$work/gates.csv" "$work/gates.json" <<'PY'
import csv, json, sys
model = json.load(open(sys.argv[1]))["panel"]
rows = list(csv.DictReader(open(sys.argv[2], newline="")))
listed = json.load(open(sys.argv[3]))
assert [(r["address"], r["kind"]) for r in rows] == [(g["address"], g["kind"]) for g in listed["gates"]]
assert listed["scan"]["complete"] and not listed["scan"]["unread"]
word = lambda v: int(v, 0) if isinstance(v, str) else v
def found(kind):
    return sorted((int(r["loop"] or 0), int(r["number"]), r["label"], int(r["status"])) for r in rows if r["kind"] == kind)
assert found("zone") == sorted((0, z["number"], z["label"], word(z["status"])) for z in model["zones"])
assert found("group") == sorted((0, g["number"], g["label"], word(g["status"])) for g in model["groups"])
assert found("point") == sorted((l["number"], p["number"], p["label"], word(p["status"]))
                                for l in model["loops"] for p in l["points"])
for kind in ("zone-label", "group-label", "point-label"):
    assert all(r["text"] == r["label"] != "" for r in rows if r["kind"] == kind)
assert [r["text"] for r in rows if r["kind"] == "version"] == [model["version"]]
for r in rows:
    if r["kind"] == "point":
        assert r["block_gate"] == "07_%03d001" % int(r["loop"]) and int(r["block_index"]) == int(r["number"]) - 1
PY
    echo $?)
  # Each number read for the first time is asked twice (the driver confirms a value it has not reported before).
  check "the scan's wire trace holds only read requests, as many as it counted and confirmed" \
    $(requests=$(grep -c -e "-> .*request '" "$work/scan-trace")
      counted=$(python3 -c 'import json,sys; s=json.load(open(sys.argv[1]))["scan"]; print(s["reads"]+s["block_reads"])' "$work/gates.json")
      confirmed=$(sed -n 's/^line: .* good (\([0-9]*\) confirmed);.*/\1/p' "$work/o")
      [ "$requests" -gt 0 ] && [ -n "$confirmed" ] && [ "$requests" -eq $((counted + confirmed)) ] \
        && ! grep -E -e "-> .*request '[BUDIY]'" "$work/scan-trace"; echo $?)

  # Every row of the list read back through the console, as the host would.
  python3 - "$work/gates.csv" >"$work/readback.txt" <<'PY'
import csv, sys
for r in csv.DictReader(open(sys.argv[1], newline="")):
    print("block %s %s" % (r["address"], r["block_count"]) if r["kind"] == "loop-block" else "read %s %s" % (r["address"], r["gate_type"]))
PY
  console "$work/o" "$work/e" --port "$port" --csv run "$(sk_winpath "$work/readback.txt")"
  check "every row of the gate list reads back as listed" \
    $([ $rc -eq 0 ] && python3 - "$work/gates.csv" "$work/o" <<'PY'
import csv, sys, datetime
listed = list(csv.DictReader(open(sys.argv[1], newline="")))
read = list(csv.DictReader(open(sys.argv[2], newline="")))
assert len(read) == len(listed)
clock = lambda t: datetime.datetime.strptime(t, "%d/%m/%Y %H:%M:%S")
for l, r in zip(listed, read):
    assert l["address"] == r["gate"] and r["status"] == "ok", (l, r)
    if l["kind"] == "clock":
        assert 0 <= (clock(r["value"]) - clock(l["text"])).total_seconds() < 600, (l, r)
    elif l["gate_type"] == "7" or l["kind"] == "loop-block":
        assert r["value"] == l["text"], (l, r)
    else:
        assert r["value"] == l["status"], (l, r)
PY
    echo $?)

  # A panel that leaves the first read unanswered, then a line that drops while
  # the zones are read (which read it drops in depends on timing).
  kill "$sim_pid"; wait "$sim_pid" 2>/dev/null
  wine "$bin/sksim.exe" --port "COM$((base + 1))" --model "$(sk_winpath "$model")" --quiet --ignore-announce 7 \
    >"$work/sim.log" 2>&1 &
  sim_pid=$!
  sleep 1
  out=$(sk_winpath "$work/cut")
  (cd "$bin" && wine skconsole.exe --port "$port" scan --limits 3,0,0,0 --out "$out" >"$work/o" 2>"$work/e") &
  console_pid=$!
  for _ in $(seq 600); do grep -q "reading 03_002" "$work/e" 2>/dev/null && break; sleep 0.1; done
  kill "$sim_pid"; wait "$sim_pid" 2>/dev/null; sim_pid=""
  wait "$console_pid"; rc=$?
  sed -i 's/\r$//' "$work/o" "$work/e"
  check "an unanswered read is reported and the scan goes on; a dropped line ends it, what was found written" \
    $([ $rc -eq 1 ] && grep -q "^not read    10_ (status 1)$" "$work/o" \
      && grep -Eq "^scan ended early: the line stopped answering: 0[34]_00[23] \(status 1\), then 01_ \(status 1\)" "$work/o" \
      && grep -q '^10_,7,version,.*,not read (status 1)$' "$work/cut.csv" && grep -q '^03_001,0,zone,,1,LOBBY,0,' "$work/cut.csv"; echo $?)
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ]
  exit
fi

console "$work/o" "$work/e" --help
check "--help exits 0 and shows the commands" $([ $rc -eq 0 ] && grep -q "read" "$work/o" && grep -q "poll" "$work/o"; echo $?)

console "$work/o" "$work/e" --bogus read 01_
check "an unknown option exits 2 with a hint" $([ $rc -eq 2 ] && grep -q -- "--help" "$work/e"; echo $?)

console "$work/o" "$work/e" --port "$port" read
check "read without gates exits 2" $([ $rc -eq 2 ]; echo $?)

console "$work/o" "$work/e" --port "$port" --parity sideways read 01_
check "a parity outside the list exits 2" $([ $rc -eq 2 ]; echo $?)

console "$work/o" "$work/e" --port "$port" scan --limits 8,5,2
check "scan --limits without four numbers exits 2 and says what it takes" \
  $([ $rc -eq 2 ] && grep -q "zones,groups,loops,points" "$work/e" && [ ! -e "$bin/gates.csv" ]; echo $?)

console "$work/o" "$work/e" --json describe
version=$(sed -n 's/^#define SK_VERSION_TEXT "\(.*\)"/\1/p' "$here/../../host/version.h")
check "describe --json names the driver, its record size and its version as the file and the start log give it" \
  $([ $rc -eq 0 ] && python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); assert d["name"]=="5820 IntelliKnight fire system" and d["channelSize"]==int(sys.argv[2]) and d["baud"]==19200; v=sys.argv[3].split("."); assert d["fileVersion"]==sys.argv[3]+".0" and d["logVersion"]=="01.00"' "$work/o" "$size" "$version"; echo $?)

console "$work/o" "$work/e" --port "$port" --csv read 04_001 08_001002 10_
check "read --csv: header, three rows, the panel's texts" \
  $([ $rc -eq 0 ] && [ "$(head -1 "$work/o")" = "gate,command,operation,kind,value,hex,status,code,ms" ] \
    && grep -q '^04_001,|,read,text,LOBBY,,ok,0,' "$work/o" && grep -q '^08_001002,q,read,text,SMOKE L1 D002,,ok,0,' "$work/o" \
    && grep -q '^10_,v,read,text,5820XL 4.10 SIM,,ok,0,' "$work/o" && [ "$(wc -l <"$work/o")" -eq 4 ]; echo $?)
check "the host log goes to stderr with --csv" $(grep -q "ColdStart() end OK" "$work/e" && ! grep -q "ColdStart" "$work/o"; echo $?)
check "so do the channel's counters" \
  $(grep -Eq '^line: 3 reads 3 good; 0 writes 0 good; line down 0 s; [0-9,]+ bytes in, [0-9,]+ out$' "$work/e"; echo $?)

console "$work/o" "$work/e" --port "$port" --json read 01_ 16_
check "a refused gate exits 1 and shows as status 1" \
  $([ $rc -eq 1 ] && python3 -c 'import json,sys; r=json.load(open(sys.argv[1])); assert r[0]["status"]==0 and r[0]["ok"] and isinstance(r[0]["value"],int); assert r[1]["status"]==1 and r[1]["value"] is None' "$work/o"; echo $?)

console "$work/o" "$work/e" --port "$port" write 15_ "01/01/2031 00:00:00"
check "an action write without --yes shows what it would do, exits 2 and starts no channel" \
  $([ $rc -eq 2 ] && grep -q "^skconsole: this would write to the panel on $port:" "$work/e" \
    && grep -q '^  15_ .*set the panel.s clock to "01/01/2031 00:00:00"$' "$work/e" && grep -q -- "--yes" "$work/e" \
    && ! grep -q "ColdStart" "$work/o"; echo $?)
printf 'read 01_\nwrite 11_001002\nwrite 13_\n' >"$work/acts.txt"
console "$work/o" "$work/e" --port "$port" run "$(sk_winpath "$work/acts.txt")"
check "a session with actions and no yes lists them all, exits 2 and starts no channel" \
  $([ $rc -eq 2 ] && grep -q '^  11_001002 .*bypass loop 1 point 2' "$work/e" && grep -q '^  13_ .*drill' "$work/e" \
    && ! grep -q "ColdStart" "$work/o"; echo $?)
console "$work/o" "$work/e" --port "$port" write 15_ "24/12/2030 09:15:30" --yes
check "a date write with --yes says what it sends and exits 0" \
  $([ $rc -eq 0 ] && grep -q "^skconsole: writing to the panel on $port:" "$work/e" \
    && grep -q '15_ .*Y .*write .*"24/12/2030 09:15:30" .*ok' "$work/o" \
    && [ "$(grep -B1 '^host log' "$work/o" | head -1)" = "" ] \
    && [ "$(grep -B2 '^host log' "$work/o" | head -1 | cut -d';' -f1-2)" = "line: 0 reads 0 good; 1 writes 1 good" ]; echo $?)
console "$work/o" "$work/e" --port "$port" -q read 09_
check "-q prints the read-back date alone" $([ $rc -eq 0 ] && grep -Eq '^24/12/2030 09:15:3[0-9]$' "$work/o" && [ "$(wc -l <"$work/o")" -eq 1 ]; echo $?)

console "$work/o" "$work/e" --port "$port" --log "$(sk_winpath "$work/host.log")" block 07_001001 -n 8
check "block read with --log: values in the table, the log in the file" \
  $([ $rc -eq 0 ] && grep -q '07_001001 .*p .*block .*\[' "$work/o" && ! grep -q "host log" "$work/o" && grep -q "ColdStart() end OK" "$work/host.log"; echo $?)

console "$work/o" "$work/e" --port "$port" --csv poll 01_ --every 0 --rounds 2
check "poll: two rounds and a summary, then the counters" \
  $([ $rc -eq 0 ] && [ "$(grep -c '^01_,' "$work/o")" -eq 2 ] && grep -q "summary: 2 requests, 0 failed" "$work/e" \
    && grep -A1 "^summary: " "$work/e" | grep -q "^line: 2 reads 2 good (1 confirmed); "; echo $?)

SK5820_TRACE=1 console "$work/o" "$work/e" --port "$port" read 01_
# The first read of a gate is confirmed by a second session: 8 exchanges twice.
check "SK5820_TRACE=1 in the host's environment traces every exchange" \
  $([ $rc -eq 0 ] && grep -q 'trace -> announce, 10 bytes \[PC: SKGateway\]: 53 4B 20 47 41 54 45 57 41 59' "$work/o" \
    && grep -q "trace -> request 's' (command 1), seq 11, 10 bytes" "$work/o" && [ "$(grep -c ': trace ' "$work/o")" -eq 16 ]; echo $?)
console "$work/o" "$work/e" --port "$port" read 01_
check "without it, no trace" $([ $rc -eq 0 ] && ! grep -q ': trace ' "$work/o"; echo $?)

# SK5820.ini: a good key, a bad value, an unknown key, the port's own section.
printf '[default]\nanswer_end = window\nblock_quiet_ms = 5\ncolour = red\nsend_gap_ms = 10\n[%s]\nanswer_end = frame\n' \
  "$port" >"$work/site.ini"
SK5820_INI=$(sk_winpath "$work/site.ini") console "$work/o" "$work/e" --port "$port" settings
check "settings: where each setting came from, and the driver's lines for a bad value, an unknown key and the start" \
  $([ $rc -eq 1 ] && grep -Eq "^answer_end +frame +\[$port\]$" "$work/o" && grep -Eq '^send_gap_ms +10 +\[default\]$' "$work/o" \
    && grep -Eq '^block_quiet_ms +300 +built-in default$' "$work/o" \
    && grep -q '^  VpiSK01: site.ini \[default\] block_quiet_ms = 5: not a number from 20 to 4000, 300 used$' "$work/o" \
    && grep -q '^  VpiSK01: site.ini \[default\] colour: unknown key, ignored$' "$work/o" \
    && grep -q "^  VpiSK01: $port 19200 8N1, answers end by frame, block answers by window, CRC checked, changes confirmed, send gap 10 ms$" \
      "$work/o"; echo $?)

console "$work/o" "$work/e" --port "$port" compare 04_001 --block 07_001001 -n 8
check "compare: a single and a block gate read in both answer ends (the window waited in full), then the verdict" \
  $([ $rc -eq 0 ] && grep -q "block answers by 300 ms quiet" "$work/o" && python3 - "$work/o" <<'PY'
import re, sys
t = open(sys.argv[1]).read()
single = re.search(r'^04_001 +"LOBBY" +(\d+) ms +"LOBBY" +\d+ ms +same$', t, re.M)
block = re.search(r'^07_001001 +\[.{1,24} +(\d+) ms +\[.{1,24} +\d+ ms +same$', t, re.M)
assert single and block and int(single.group(1)) >= 1000 and int(block.group(1)) >= 4000, t
assert re.search(r'^verdict: all values agree \(2 gates\): the same with answer_end = frame and '
                 r'block_answer_end = quiet as with the window$', t, re.M), t
lines = re.findall(r'^line \((.*)\): (\d+) reads \2 good; 0 writes', t, re.M)
assert lines == [("answer_end = window", "1"), ("answer_end = frame", "1"), ("block_answer_end = window", "1"),
                 ("block_answer_end = quiet", "1")], lines
PY
    echo $?)

# The watch of a short gate list as the scan writes it: the panel's status, a
# zone, the clock (it runs: a change each cycle) and a loop's block gate.
cat >"$work/short.csv" <<'CSV'
address,gate_type,kind,loop,number,label,status,status_hex,text,block_gate,block_index,block_count,note
01_,0,system-status,,,,0,0x0000,,,,,
03_003,0,zone,,3,KITCHEN,1,0x0001,,,,,
09_,7,clock,,,,,,09/12/2026 05:47:41,,,,
07_001001,0,loop-block,1,,,,,0 0 1,07_001001,,24,
07_001020,0,point,1,20,"HEAT, L1 D020",2,0x0002,,07_001001,19,24,
CSV
console "$work/o" "$work/e" --port "$port" watch "$(sk_winpath "$work/short.csv")" --cycles 2 \
  --csv "$(sk_winpath "$work/changes.csv")"
check "watch --cycles 2: the starting values with the model's reading, the clock's change, the summary, the CSV rows" \
  $([ $rc -eq 0 ] && python3 - "$work/o" "$work/changes.csv" <<'PY'
import csv, re, sys
t = open(sys.argv[1], encoding="utf-8").read()
time = r"\d\d:\d\d:\d\d\.\d{3}  "
assert re.search(r"^watch: 5 gates from .*short\.csv on COM\d+ \(4 single, 1 block\), one read each per cycle; "
                 r"stops after 2 cycles, or at Ctrl-C$", t, re.M), t
for line in (r"start   01_        0 \(0x0000\)  system: normal",
             r"start   03_003     1 \(0x0001\)  zone 3 KITCHEN: ALARM",
             r'start   09_        "\d\d/\d\d/\d{4} \d\d:\d\d:\d\d"',
             r"start   07_001001  \[0 0 1 0 0 0 32768 0 0 0 0 0 65535 0 0 0 0 0 0 2 0 0 0 0\]  24 words; not normal: "
             r"point 1-003 ALARM, point 1-007 bits 0x8000, point 1-013 not installed, point 1-020 TROUBLE",
             r"start   07_001020  2 \(0x0002\)  point 1-020 HEAT, L1 D020: TROUBLE",
             r'change  09_        "[^"]+" \u2192 "[^"]+"',
             r"watch ended: 2 cycles done",
             r"summary: cycles 2, cycle time min \d+ / median \d+ / max \d+ ms; reads 10 good, 0 failed, "
             r"0 good after a retry; changes 1",
             r"line: 10 reads 10 good \(3 confirmed\); 0 writes 0 good; line down 0 s; [\d,]+ bytes in, [\d,]+ out"):
    prefix = time if line.startswith(("start", "change")) else ""
    assert len(re.findall("^" + prefix + line + "$", t, re.M)) == 1, (line, t)
assert len(re.findall("^" + time, t, re.M)) == 6, t
rows = list(csv.reader(open(sys.argv[2], newline="", encoding="utf-8")))
assert rows[0] == ["time", "gate", "old", "new", "reading"], rows
assert [r[1:3] for r in rows[1:]] == [["01_", ""], ["03_003", ""], ["09_", ""], ["07_001001", ""], ["07_001020", ""],
                                      ["09_", rows[3][3]]], rows
assert rows[2][3:] == ["1", "zone 3 KITCHEN: ALARM"] and rows[6][3] != rows[3][3] and rows[6][4] == "", rows
assert all(re.match(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}$", r[0]) for r in rows[1:]), rows
PY
    echo $?)

# A hand-written list: the address alone, each gate's type the command's own.
printf 'address\r\n04_003\r\n\r\n01_\r\n' >"$work/hand.csv"
console "$work/o" "$work/e" --port "$port" watch "$(sk_winpath "$work/hand.csv")" --seconds 0.5
check "watch --seconds of a list written by hand: a text and a number gate, cycles until the time has passed" \
  $([ $rc -eq 0 ] && grep -Eq '^[0-9:.]{12}  start   04_003     "KITCHEN"$' "$work/o" \
    && grep -Eq '^[0-9:.]{12}  start   01_        0 \(0x0000\)  system: normal$' "$work/o" \
    && grep -q '^watch ended: 0.5 s passed$' "$work/o" \
    && grep -Eq '^summary: cycles [1-9][0-9]*, .* changes 0$' "$work/o"; echo $?)

# Gate lists the watch refuses (exit 2, the file and line named, no channel started): FILE-TEXT | MESSAGE.
while IFS='|' read -r text message; do
  printf "$text" >"$work/bad.csv"
  console "$work/o" "$work/e" --port "$port" watch "$(sk_winpath "$work/bad.csv")"
  check "a gate list refused: $message" \
    $([ $rc -eq 2 ] && grep -qF "bad.csv:$message" "$work/e" && ! grep -q "ColdStart" "$work/o"; echo $?)
done <<'LISTS'
address,kind\n01_,system-status\n11_001002,point\n|3: '11_001002' is no gate of a read command (01 to 10)
address,kind,block_count\n07_001001,loop-block,\n|2: the loop-block row 07_001001 needs its block_count
address,gate_type\n01_,0\n03_001,zero\n|3: gate_type 'zero' is not a number from 0 to 7
address,label\n01_,SYSTEM\n04_001,"LOBBY\n|3: a quote opened on this line is never closed
address,label\n01_,a,b\n|2: 3 fields where the header has 2
gate,kind\n01_,system-status\n|1: the header names no address column
address\n|1: no gates: the list has its header only
LISTS
console "$work/o" "$work/e" --port "$port" watch "$(sk_winpath "$work/missing.csv")"
check "a gate list that cannot be read exits 2" $([ $rc -eq 2 ] && grep -q "missing.csv: cannot be read" "$work/e"; echo $?)
console "$work/o" "$work/e" --port "$port" --csv watch "$(sk_winpath "$work/short.csv")"
check "the shared --csv before watch exits 2 and points to watch --csv FILE" \
  $([ $rc -eq 2 ] && grep -q "watch GATES.csv --csv FILE" "$work/e" && ! grep -q "ColdStart" "$work/o"; echo $?)

console "$work/o" "$work/e" --port NULLDEV read 01_
check "a channel without a line counts nothing: no counters line" \
  $(grep -q "ColdStart() end OK" "$work/o" && ! grep -q "^line" "$work/o"; echo $?)

console "$work/o" "$work/e" --port COM588 read 01_
check "a port that does not exist exits 1 and says so" $([ $rc -eq 1 ] && grep -q "did not start" "$work/e" && grep -q "Fail to open COM588" "$work/o"; echo $?)

# A line without a gateway (the simulator stopped), down after one silent request.
kill "$sim_pid"; wait "$sim_pid" 2>/dev/null; sim_pid=""
printf 'address\n01_\n03_001\n' >"$work/two.csv"
printf '[default]\nline_down_after = 1\nread_retries = 0\n' >"$work/dead.ini"
SK5820_INI=$(sk_winpath "$work/dead.ini") console "$work/o" "$work/e" --port "$port" watch \
  "$(sk_winpath "$work/two.csv")" --cycles 2
check "watch on a dead line: the failed read, the line down, reads failed at once in the summary, exit 1" \
  $([ $rc -eq 1 ] && grep -Eq '^[0-9:.]{12}  failed  01_        status 1: no announce$' "$work/o" \
    && grep -Eq '^[0-9:.]{12}  line    down       the gateway has stopped answering: reads fail at once' "$work/o" \
    && [ "$(grep -Ec '^[0-9:.]{12}  ' "$work/o")" -eq 2 ] \
    && grep -q '^summary: cycles 2, .*; reads 0 good, 4 failed, 0 good after a retry; changes 0$' "$work/o" \
    && grep -q '^line: 4 reads 0 good, 4 failed (no announce 1, at once 3); .*; the line is down (for [0-9]* s, 3 reads failed at once)$' \
      "$work/o"; echo $?)

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
