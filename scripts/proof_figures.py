#!/usr/bin/env python3
"""Writes figures.md in a proof.sh output folder from the raw outputs in it:
stamp.txt, matrix.md, soak.log, noisy.log, cycles.log, bench.txt, fuzz.txt.

    proof_figures.py docs/proof/quick-win32
    proof_figures.py --summary docs/proof     (summary.md: a row for every run folder)

Every figure is read from what the programs printed; a part whose output is
missing or not as expected is said to be so, never filled in. Exit 1 when a
part is missing or did not pass."""
import os
import re
import sys


def read(folder, name):
    path = os.path.join(folder, name)
    if not os.path.exists(path):
        return None
    with open(path, encoding="utf-8", errors="replace") as f:
        return f.read()


def one(pattern, text, default="?"):
    m = re.search(pattern, text or "", re.M)
    return m.groups() if m else None


def stamp_fields(stamp):
    """The stamp's "key: value" lines, its "part: " lines aside."""
    return dict(line.split(": ", 1) for line in stamp.splitlines() if ": " in line and not line.startswith("part: "))


def stamp_section(stamp):
    fields = stamp_fields(stamp)
    parts = [line[6:] for line in stamp.splitlines() if line.startswith("part: ")]
    out = ["| | |", "|---|---|"]
    for key in ("mode", "commit", "build", "machine", "wine in the VM", "date", "took"):
        if key in fields:
            out.append(f"| {key} | {fields[key]} |")
    out.append(f"| parts | {'; '.join(parts)} |")
    return out


def matrix_section(matrix):
    if matrix is None:
        return ["Not run or no table written (see faults.log)."], False
    lines = [line for line in matrix.rstrip("\n").splitlines() if " kinds pass; wall time " not in line]
    summary = one(r"^(\d+) of (\d+) kinds pass; wall time (\d+ ms) on (\d+) pairs", matrix)
    ok = summary is not None and summary[0] == summary[1]
    head = [f"**{summary[0]} of {summary[1]} kinds pass in {summary[2]} on {summary[3]} pairs at once.**", ""] if summary else []
    return head + lines, ok


def soak_section(soak):
    if soak is None or "[soak]" not in soak:
        return ["Not run or no figures printed (see soak.log)."], False
    out = ["| Request | Count | Mean | Min | Max |", "|---|---|---|---|---|"]
    for name, count, mean, low, high in re.findall(
            r"\[soak\] (\S.*?) +(\d+)  mean +([\d.]+) ms  min +([\d.]+) ms  max +([\d.]+) ms", soak):
        out.append(f"| {name} | {count} | {mean} ms | {low} ms | {high} ms |")
    for line in re.findall(r"\[soak\] (.*(?:channels x|transactions|wrong values).*)", soak):
        out.append("")
        out.append(line)
    return out, "[  PASSED  ] 1 test" in soak


NOISY_RATE = (r"\[noisy\] BER (\S+) seed (\d+): (\d+) single reads \((\d+) failed, ([\d.]+) %\), (\d+) block reads "
              r"\((\d+) failed, ([\d.]+) %\); wrong values with status 0: (\d+); (\d+) s of (\d+) s, stopped on (\w+); "
              r"(\d+) of (\d+) frames noisy, (\d+) bits flipped")
NOISY_ALL = (r"\[noisy\] reads (\d+) \(single (\d+) of (\d+) asked, block (\d+) of (\d+) asked\), failed (\d+) = "
             r"([\d.]+) %, wrong values with status 0: (\d+), log lines (\d+); recovered (\d+) of (\d+) channels")


WEAK_CRC = (r"\[noisy\] weak CRC ([\d.]+) %, changes (confirmed|not confirmed): (\d+) zone reads \((\d+) failed, "
            r"([\d.]+) %\) in (\d+) s, (\d+) requests on the line \(([\d.]+) a read\), (\d+) answers weakened; "
            r"wrong values with status 0: (\d+); counters: (\d+) confirmed, (\d+) disagreements, (\d+) not confirmed")


def noisy_section(noisy):
    rates = re.findall(NOISY_RATE, noisy or "", re.M)
    total = one(NOISY_ALL, noisy)
    if not rates or total is None:
        return ["Not run or no figures printed (see noisy.log)."], False
    out = ["| Bit error rate | Single reads (failed) | Block reads (failed) | Wrong values with status 0 | Ran | "
           "Stopped on | Noisy frames | Bits flipped |", "|---|---|---|---|---|---|---|---|"]
    for ber, _seed, s, sf, sp, b, bf, bp, wrong, ran, limit, on, nf, fs, bits in rates:
        out.append(f"| {ber} | {s} ({sf}, {sp} %) | {b} ({bf}, {bp} %) | {wrong} | {ran} s of {limit} s | {on} | "
                   f"{nf} of {fs} | {bits} |")
    counters = re.findall(r"\[noisy\] BER (\S+) counters: (\d+) reads, (\d+) good \((\d+) after a retry\), (\d+) retries; "
                          r"the soak counted (\d+) reads, (\d+) good", noisy or "", re.M)
    if counters:
        out += ["", "The channels' own counters (read_retries = 2):", "",
                "| Bit error rate | Reads | Good | Good after a retry | Retries | The soak counted |",
                "|---|---|---|---|---|---|"]
        for ber, reads, good, after, retries, soak_reads, soak_good in counters:
            out.append(f"| {ber} | {reads} | {good} | {after} | {retries} | {soak_reads} reads, {soak_good} good |")
    weak = re.findall(WEAK_CRC, noisy or "", re.M)
    if weak:
        out += ["", "Under the weak CRC (the simulator answers a share of single reads with a two-bit error the "
                "line's CRC cannot see), zone 5 read over and over on every channel:", "",
                "| Weakened answers | Changes | Zone reads (failed) | Requests on the line a read | Answers weakened | "
                "Wrong values with status 0 | Confirmed | Disagreements | Not confirmed |",
                "|---|---|---|---|---|---|---|---|---|"]
        for rate, changes, reads_, failed_, share_, _ran, _req, per, weakened, wrong_, conf, dis, notc in weak:
            out.append(f"| {rate} % | {changes} | {reads_} ({failed_}, {share_} %) | {per} | {weakened} | "
                       f"**{wrong_}** | {conf} | {dis} | {notc} |")
    reads, singles, want_s, blocks, want_b, failed, share, wrong, logs, rec, chans = total
    out += ["", f"In all: **{reads} reads** ({singles} single of {want_s} asked, {blocks} block of {want_b} asked), "
            f"**{share} % failed** (status 1), **{wrong} wrong values with status 0**, {logs} log lines; "
            f"**recovered {rec} of {chans} channels** once the noise stopped."]
    return out, "[  PASSED  ] 1 test" in noisy


def cycles_section(cycles):
    m = one(r"\[cycles\] (\d+) start/end cycles on (\d+) host threads in ([\d.]+) s \(([\d.]+) s per cycle per thread\); "
            r"start (\d+)-(\d+) ms, end (\d+)-(\d+) ms; highest instance number (\d+); handles (\d+) -> (\d+), "
            r"threads (\d+) -> (\d+)", cycles)
    if m is None:
        return ["Not run or no figures printed (see cycles.log)."], False
    n, threads, wall, per, s0, s1, e0, e1, top, h0, h1, t0, t1 = m
    return ["| Cycles | Host threads | Wall | Per cycle per thread | Start | End | Highest instance | Handles | Threads |",
            "|---|---|---|---|---|---|---|---|---|",
            f"| {n} | {threads} | {wall} s | {per} s | {s0}–{s1} ms | {e0}–{e1} ms | {top} | {h0} → {h1} | {t0} → {t1} |"], \
        "[  PASSED  ] 1 test" in (cycles or "")


def bench_facts(bench):
    """What the Wine benchmark printed, line by line (None where a line is missing)."""
    rt = one(r"^round trips \(mean of (\d+), at random moments\): announce ([\d.]+) ms, request 's' ([\d.]+) ms, "
             r"end-of-session ([\d.]+) ms, goodbye ([\d.]+) ms \(each between ([\d.]+) and ([\d.]+) ms\)", bench)
    setup = one(r"^skbench: .*gateway turn-around (\d+) ms; simulators (.*)$", bench)
    windows = one(r"^read windows .*: 1000 ms window ([\d.]+) ms \(mean of (\d+), ([\d.]+)-([\d.]+)\), "
                  r"4000 ms window ([\d.]+) ms \(mean of (\d+), ([\d.]+)-([\d.]+)\)", bench)
    over = dict(re.findall(r"^(single|block) read: ([\d.-]+) ms over the floor", bench, re.M))

    def reads(kind, target):  # the line of one kind of read, and its floor
        found = one(rf"^{kind} read: (\d+) reads, mean ([\d.]+) ms, median ([\d.]+) ms, min ([\d.]+) ms, "
                    rf"max ([\d.]+) ms -> mean ([\d.]+) x floor, median ([\d.]+) x floor "
                    rf"\(target <= {re.escape(target)}: (\S+)\)", bench)
        return found, one(rf"^{kind} read: floor ([\d.]+) ms", bench)

    single, sfloor = reads("single", "1.01")
    block, bfloor = reads("block", "1.005")
    idle = one(r"^idle: (\d+) started channels for ([\d.]+) s: process CPU ([\d.]+) ms = ([\d.]+) % of a core per "
               r"channel \(target <= 0.1 %: (\S+)\); catch threads alone ([\d.]+) % per channel", bench)
    server = one(r"^idle: the Wine server meanwhile ([\d.]+) ms = ([\d.]+) %", bench)
    cpu = one(r"^CPU per transaction .*: single read ([\d.-]+) ms, block read ([\d.-]+) ms \(target <= 2 ms: (\S+)\)", bench)
    rates = re.findall(r"^throughput: +(\d+) channels, +(\d+) reads in ([\d.]+) s = ([\d.]+) reads/s", bench, re.M)
    ratios = dict(re.findall(r"^throughput: +(\d+) channels = ([\d.]+) x one channel", bench, re.M))
    scale = one(r"^throughput: 16 channels = [\d.]+ x one channel \(target >= 14: (\S+)\)", bench)
    failed = one(r"^requests that failed or read a wrong value: (\d+)", bench)
    verdicts = re.findall(r"\(target [^)]*: (met|MISSED)\)", bench)
    # The read modes: a single read ended by its frame, a block read ended by
    # a quiet gap, a poll cycle of the bundled model in each mode.
    fast, ffloor = reads("fast single", "1.15")
    quiet = one(r"^block read, quiet: (\d+) reads, mean ([\d.]+) ms, median ([\d.]+) ms, min ([\d.]+) ms, "
                r"max ([\d.]+) ms \(target <= 600 ms: (\S+)\)", bench)
    polls = re.findall(r"^poll cycle with (.*?): mean ([\d.]+) s", bench, re.M)
    poll = one(r"^poll cycle: the fast settings ([\d.]+) x faster .*\(target >= 8: (\S+)\); the defaults ([\d.]+) x",
               bench)
    modes_only = "--modes-only 1" in (bench or "")
    return dict(rt=rt, setup=setup, windows=windows, over=over, single=single, sfloor=sfloor, block=block,
                bfloor=bfloor, idle=idle, server=server, cpu=cpu, rates=rates, ratios=ratios, scale=scale,
                failed=failed, verdicts=verdicts, fast=fast, ffloor=ffloor, quiet=quiet, polls=polls, poll=poll,
                modes_only=modes_only)


def bench_section(bench, quick):
    if bench is None:
        return ["Not run (see the benchmark's output)."], False
    out = []
    header = [line[3:] for line in bench.splitlines() if line.startswith("== ") and ":" in line[:12]]
    cost = re.findall(r"^(BM_\S+)\s+([\d.]+ \S+)\s+([\d.]+ \S+)\s+(\d+)$", bench, re.M)
    title = one(r"^== (native cost per call.*)$", bench)
    if title:
        out += [f"**{title[0][0].upper() + title[0][1:]}**", ""]
        if cost:
            out += ["| Benchmark | Time | CPU | Iterations |", "|---|---|---|---|"]
            out += [f"| {n} | {t} | {c} | {i} |" for n, t, c, i in cost]
        out.append("")
    b = bench_facts(bench)
    rt, setup, windows, over = b["rt"], b["setup"], b["windows"], b["over"]
    single, sfloor, block, bfloor = b["single"], b["sfloor"], b["block"], b["bfloor"]
    idle, server, cpu, rates, ratios = b["idle"], b["server"], b["cpu"], b["rates"], b["ratios"]
    scale, failed, verdicts = b["scale"], b["failed"], b["verdicts"]

    def beyond(kind, window):  # a read's time over its floor, beside how long Wine ran a silent window over
        if kind not in over or not windows:
            return ""
        return f"; {over[kind]} ms over the floor (a silent window alone ran {float(window) - (1000 if kind == 'single' else 4000):.1f} ms long)"

    def read_row(title, r, floor, extra, target):  # one kind of read against its floor
        return (f"| {title} | floor {floor[0]} ms; {r[0]} reads mean {r[1]} ms ({r[3]}–{r[4]}){extra} | {target} | "
                f"**{r[5]} ×** (median {r[6]} ×) {r[7]} |")

    out += ["**Under Wine, against the simulator**", "",
            "| Figure | Observed | Target | |", "|---|---|---|---|"]
    if rt:
        where = f"gateway turn-around {setup[0]} ms; simulators {setup[1]}" if setup else ""
        out.append(f"| round trips of the line (mean of {rt[0]} at random moments) | announce {rt[1]} ms, request "
                   f"{rt[2]}, end-of-session {rt[3]}, goodbye {rt[4]} (each {rt[5]}–{rt[6]} ms) | — | {where} |")
    if windows:
        out.append(f"| read windows as Wine keeps them (a read nothing answers) | 1000 ms: {windows[0]} ms (mean of "
                   f"{windows[1]}, {windows[2]}–{windows[3]}); 4000 ms: {windows[4]} ms (mean of {windows[5]}, "
                   f"{windows[6]}–{windows[7]}) | — | Wine's, not the driver's |")
    if single and sfloor:
        out.append(read_row("single read, floor = announce + 1000 + end-of-session + goodbye + 50", single, sfloor,
                            beyond("single", windows[0] if windows else 0), "≤ 1.01 × floor"))
    if block and bfloor:
        out.append(read_row("block read, floor = announce + 4000 + 3 session frames", block, bfloor,
                            beyond("block", windows[4] if windows else 0), "≤ 1.005 × floor"))
    if cpu:
        out.append(f"| CPU per transaction (GetProcessTimes over 16 channels at once, idle share taken out) | single "
                   f"read {cpu[0]} ms, block read {cpu[1]} ms | ≤ 2 ms | {cpu[2]} |")
    if idle:
        extra = f"; the Wine server adds {server[1]} % per channel" if server else ""
        out.append(f"| idle CPU of {idle[0]} started channels over {idle[1]} s | process {idle[3]} % of a core per "
                   f"channel (catch threads alone {idle[5]} %) | ≤ 0.1 % per channel | {idle[4]} for the process{extra} |")
    if rates and ratios:
        steps = "; ".join(f"{n}: {ratios.get(n, '?')} ×" for n, _, _, _ in rates if n != "1")
        one_rate = rates[0][3]
        out.append(f"| throughput, single reads on parallel host threads | 1: {one_rate} reads/s; {steps} | 16 ≥ 14 × one | "
                   f"{scale[0] if scale else '?'} |")
    fast, ffloor, quiet, polls, poll = b["fast"], b["ffloor"], b["quiet"], b["polls"], b["poll"]
    if fast and ffloor:
        out.append(read_row("single read ended by its frame, floor = 4 round trips + 50", fast, ffloor, "",
                            "≤ 1.15 × floor"))
    if quiet:
        out.append(f"| block read ended by 300 ms of quiet | {quiet[0]} reads mean {quiet[1]} ms ({quiet[3]}–{quiet[4]}) "
                   f"| ≤ 600 ms | **{quiet[1]} ms** {quiet[5]} |")
    if polls and poll:
        cycles = "; ".join(f"{name}: {mean} s" for name, mean in polls)
        out.append(f"| poll cycle of the bundled model's status gates | {cycles} | fast ≥ 8 × faster than the window's "
                   f"| **{poll[0]} ×** {poll[1]} (the defaults {poll[2]} ×) |")
    # The bad line: alarm latency with timed events, and a dead line.
    for line in re.findall(r"^(alarm latency with .*)$", bench, re.M):
        what = one(r"^alarm latency with (.*?): (\d+) of (\d+) events seen, median ([\d.]+) s, max ([\d.]+) s; poll cycle "
                   r"([\d.]+) s, its longest read ([\d.]+) s \(target: max < one cycle \+ one read, ([\d.]+) s: (\S+)\)", line)
        if what:
            out.append(f"| alarm latency, {what[0]} ({what[1]} of {what[2]} events) | median {what[3]} s, max "
                       f"**{what[4]} s**; poll cycle {what[5]} s | max < one cycle + one read ({what[7]} s); fire codes: "
                       f"10 s | {what[8]} |")
    dead_before = one(r"^dead line, line_down_after = 0: a read ([\d.]+) s .*, so a poll cycle of the (\d+) gates ([\d.]+) s",
                      bench)
    dead_fast = one(r"^dead line, the defaults: down after ([\d.]+) s; then (\d+) reads failed at once, mean ([\d.]+) ms, "
                    r"max ([\d.]+) ms \(target <= 50 ms: (\S+)\)(?:; (\d+) took over 1 ms, (\d+) over 50 ms)?", bench)
    dead_cycle = one(r"^dead line, the defaults: (\d+) poll cycles while down, median ([\d.]+) s, mean ([\d.]+) s, "
                     r"max ([\d.]+) s .*; mean ([\d.]+) of line_down_after = 0's cycle \(target <= 0.1: (\S+)\)", bench)
    dead_up = one(r"^dead line, the defaults: the gateway answered again at ([\d.]+) s; the line was up ([\d.]+) s later, "
                  r"the first good read ([\d.]+) s later \(target <= [^:]*: (\S+)\)", bench)
    if dead_fast:
        slow = f"; {dead_fast[5]} over 1 ms, {dead_fast[6]} over 50 ms" if dead_fast[5] is not None else ""
        out.append(f"| dead line: a read while the line is down ({dead_fast[1]} reads) | mean {dead_fast[2]} ms, max "
                   f"**{dead_fast[3]} ms**{slow} (down after {dead_fast[0]} s) | ≤ 50 ms | {dead_fast[4]} |")
    if dead_cycle and dead_before:
        out.append(f"| dead line: poll cycle of the {dead_before[1]} gates | defaults: mean {dead_cycle[2]} s (median "
                   f"{dead_cycle[1]} s, max {dead_cycle[3]} s, {dead_cycle[0]} cycles); line_down_after = 0: "
                   f"{dead_before[2]} s ({dead_before[0]} s a read) | ≤ 0.1 × | **{dead_cycle[4]} ×** {dead_cycle[5]} |")
    if dead_up:
        out.append(f"| dead line: the gateway answers again | line up after {dead_up[1]} s, first good read after "
                   f"**{dead_up[2]} s** | ≤ line_retry_s + one read | {dead_up[3]} |")
    if b["modes_only"]:
        out += ["", "This run measured the read modes only (skbench --modes-only 1: one channel, one simulator); "
                "CPU, idle and throughput were not measured."]
    out.append("")
    out.append(f"Requests that failed or read a wrong value: {failed[0] if failed else '? (the run did not finish)'}.")
    if header:
        out += ["", "Benchmark run: " + "; ".join(header) + "."]
    if verdicts:
        out += ["", f"Targets: {verdicts.count('met')} met, {verdicts.count('MISSED')} missed"
                    + (" (a quick run's few reads make a ratio a rough one)." if quick else ".")]
    needed = [rt, single, block, fast, quiet, poll, failed] + ([] if b["modes_only"] else [cpu, idle, rates])
    complete = all(needed) and failed[0] == "0"
    return out, complete


def fuzz_section(fuzz):
    if not fuzz:
        return ["Not run (no summary)."], False
    out = ["| Target | Executions | Time | cov | ft | Corpus | Peak RSS | Crashes | Exit | Asked |",
           "|---|---|---|---|---|---|---|---|---|---|"]
    ok = True
    for line in fuzz.splitlines():
        f = dict(kv.split("=", 1) for kv in line.split()[2:] if "=" in kv)
        if not f:
            continue
        name = line.split()[1]
        execs = f.get("executions", "?")
        execs = f"{int(execs):,}" if execs.isdigit() else execs
        asked = f"{int(f['runs_asked']):,} runs or {f['seconds_asked']} s" if f.get("runs_asked", "").isdigit() else "?"
        out.append(f"| {name} | {execs} | {f.get('seconds', '?')} s | {f.get('cov', '?')} | {f.get('ft', '?')} | "
                   f"{f.get('corpus', '?')} | {f.get('rss_mb', '?')} MB | {f.get('crashes', '?')} | "
                   f"{f.get('status', '?')} | {asked} |")
        ok = ok and f.get("status") == "0" and f.get("crashes") == "0"
    return out, ok


def summary_row(folder):
    """One line of the summary table: a run folder's headline figures, read
    from the same raw outputs as its figures.md."""
    fields = stamp_fields(read(folder, "stamp.txt") or "")
    kernel = one(r"Linux (\S+?),", fields.get("machine", ""))
    matrix = one(r"^(\d+) of (\d+) kinds pass", read(folder, "matrix.md"))
    soak = read(folder, "soak.log")
    soak_run = one(r"\[soak\] .*?, (\d+) s of requests", soak)
    wrong = one(r"\[soak\] wrong values (\d+)", soak)
    noisy = one(NOISY_ALL, read(folder, "noisy.log"))
    cycles_log = read(folder, "cycles.log") or ""
    cycles = one(r"\[cycles\] (\d+) start/end cycles", cycles_log)
    cycles_ok = "[  PASSED  ] 1 test" in cycles_log
    bench = read(folder, "bench.txt")
    cells = [f"[{os.path.basename(folder)}]({os.path.basename(folder)}/figures.md)", fields.get("build", "?"),
             fields.get("mode", "?"), fields.get("commit", "?"), fields.get("date", "?")[:10],
             kernel[0] if kernel else "?"]
    if bench is None:
        cells += ["(left out)" if read(folder, "bench-skipped.txt") else "(not run)"] * 7
    else:
        b = bench_facts(bench)
        ratio = lambda r: f"{r[5]} × ({r[0]} reads)" if r else "?"
        # Runs from before the driver had read modes printed none of them.
        absent = "?" if "with answer_end" in bench else "(before the read modes)"
        cells += [ratio(b["single"]), ratio(b["block"]),
                  f"{b['cpu'][0]} ms, {b['cpu'][1]} ms" if b["cpu"] else
                  "(not measured: read modes only)" if b["modes_only"] else "?",
                  ratio(b["fast"]) if b["fast"] else absent,
                  f"{b['quiet'][1]} ms ({b['quiet'][0]} reads)" if b["quiet"] else absent,
                  f"{b['poll'][0]} × (defaults {b['poll'][2]} ×)" if b["poll"] else absent,
                  f"{b['verdicts'].count('met')} met, {b['verdicts'].count('MISSED')} missed"]
    cells += [f"{matrix[0]} of {matrix[1]}" if matrix else "?",
              f"{soak_run[0]} s, {wrong[0]} wrong values" if soak_run and wrong else "?",
              f"{noisy[0]} reads, {noisy[6]} % failed, {noisy[7]} wrong with status 0, recovered {noisy[9]} of "
              f"{noisy[10]}" if noisy else "(not run)",
              f"{cycles[0]}, {'pass' if cycles_ok else 'FAILED'}" if cycles else "?"]
    return "| " + " | ".join(cells) + " |"


def write_summary(root):
    """summary.md in docs/proof: a row for every run folder beside it."""
    folders = sorted(os.path.join(root, d) for d in os.listdir(root)
                     if os.path.exists(os.path.join(root, d, "stamp.txt")))
    lines = ["# Proof figures: every run, in short (generated)", "",
             "Written by `scripts/proof.sh` (`proof_figures.py --summary docs/proof`) from the raw outputs of each "
             "run folder; do not edit by hand. Each folder's figures.md has every figure; docs/proof.md says how to "
             "read them.", "",
             "| run | build | mode | commit | date | kernel | single read / floor | block read / floor | "
             "CPU per transaction (single, block) | single read ended by its frame / floor | block read, quiet | "
             "poll cycle, fast vs window | benchmark targets | fault matrix | soak | noisy soak | start/end cycles |",
             "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|"]
    lines += [summary_row(f) for f in folders]
    with open(os.path.join(root, "summary.md"), "w", encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")
    return 0


def main():
    if sys.argv[1] == "--summary":
        return write_summary(sys.argv[2])
    folder = sys.argv[1]
    stamp = read(folder, "stamp.txt") or ""
    sections = [
        ("Fault matrix", "matrix.md, faults.log", matrix_section(read(folder, "matrix.md"))),
        ("Soak", "soak.log", soak_section(read(folder, "soak.log"))),
        ("Noisy soak", "noisy.log", noisy_section(read(folder, "noisy.log"))),
        ("Start/end cycles", "cycles.log", cycles_section(read(folder, "cycles.log"))),
        ("Benchmark", "bench.txt", bench_section(read(folder, "bench.txt"), "mode: quick" in stamp)),
        ("Fuzzing", "fuzz.txt", fuzz_section(read(folder, "fuzz.txt"))),
    ]
    # A part left out on purpose (proof.sh --no-fuzz, the benchmark in the
    # test VM) says why in <part>-skipped.txt; that is not a failure.
    for i, (title, raw, _) in enumerate(sections):
        name = raw.split(".")[0] + "-skipped.txt"
        skipped = read(folder, name)
        if skipped:
            text = skipped.strip().replace("../fuzz-1e8/", "[../fuzz-1e8/](../fuzz-1e8/)")
            sections[i] = (title, name, ([text], True))
    lines = ["# Proof figures (generated)", "",
             "Written by `scripts/proof.sh` from the raw outputs beside this file; do not edit by hand. "
             "docs/proof.md says what each part checks and how to read the figures.", ""]
    lines += stamp_section(stamp)
    every = True
    for title, raw, (body, ok) in sections:
        every = every and ok
        lines += ["", f"## {title}", "", f"Raw output: [{raw.split(',')[0]}]({raw.split(',')[0]}). "
                  + ("Left out of this run." if raw.endswith("-skipped.txt") else
                     "Ran to the end; every check passed." if ok else "**Not complete or not passed: see the raw output.**"), ""]
        lines += body
    with open(os.path.join(folder, "figures.md"), "w", encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")
    return 0 if every else 1


if __name__ == "__main__":
    sys.exit(main())
