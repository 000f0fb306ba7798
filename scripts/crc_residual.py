#!/usr/bin/env python3
"""How many two-bit line errors in a single answer still pass the driver's
answer check, and how often that hands the host a wrong value with status 0.

usage: crc_residual.py [--model FILE] [--cycle SECONDS] [--frames] [--self-test]

For every single answer the simulated panel sends for the model (tools/sim/
panel.cpp builds them; default model tools/sim/models/panel.json), every
pattern of two flipped bits anywhere in the frame as sent (sync and CRC
included) is tried the way the driver takes the answer with its defaults
(the read ends with the frame its length byte announces; gateway/frames.cpp
and gateway/decode.cpp):

  - a flipped sync bit: no frame (NoAnswerFrame), detected;
  - a length byte that grew: the frame is cut short (the gateway sends
    nothing more before the driver's next frame), detected;
  - a length byte that shrank: the driver reads the shorter frame, its CRC
    from two payload bytes; it passes when that checks by either table;
  - the length unchanged: it passes when the CRC checks by the line's table
    or by the plain rule's.

A passing pattern changes the value when the driver's decode of the altered
frame differs from its decode of the frame as sent. The residual per read is
P = U * p^2 * (1-p)^(N-2): U the passing value-changing patterns, N the
frame's bits, p the bit error rate; errors of three or more bits are left out
(their undetected patterns are counted below by the plain table's syndromes).
One-bit errors are tried too: where the line's register takes entry 0x73 the
plain table's CRC of the frame with one bit flipped equals the line's, and
the driver takes either; they add U1 * p * (1-p)^(N-1).

Light: about a million CRC runs of short frames in pure Python (some tens of
seconds). Exit 1 when the self-test fails or the model cannot be read."""
import argparse
import itertools
import json
import os
import sys

SYNC = bytes([0x55, 0xAA, 0x55, 0xAA])
TYPE_LAST = 0x02
ANSWER_SEQUENCE = 0x21  # the gateway's frame 2 (the announce answer was 1), ours 1
HEAD = 7                # sync, type, sequence, length
LENGTH_AT = 6
BERS = (1e-4, 1e-6)
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def rule_entry(i):
    crc = i << 8
    for _ in range(8):
        crc = ((crc << 1) ^ 0x1021) if crc & 0x8000 else (crc << 1)
        crc &= 0xFFFF
    return crc


PLAIN = [rule_entry(i) for i in range(256)]
LINE = list(PLAIN)
LINE[0x73] = 0x4CF4  # the gateway's table


def crc(table, data, state=0):
    for b in data:
        state = table[state >> 8] ^ ((state << 8) & 0xFFFF) ^ b
    return state


def frame(payload, sequence=ANSWER_SEQUENCE):
    body = bytes([TYPE_LAST, sequence, len(payload)]) + bytes(payload)
    c = crc(LINE, body)
    return SYNC + body + bytes([c & 0xFF, c >> 8])


def word(v):
    return bytes([v & 0xFF, (v >> 8) & 0xFF])


# --- the driver's decode (gateway/decode.cpp), on the bytes it read ----------

def payload_of(rx):
    if len(rx) <= HEAD:
        return b""
    return rx[HEAD:HEAD + min(rx[LENGTH_AT], len(rx) - HEAD)]


def text_from(rx, start):
    p = payload_of(rx)
    out = bytearray()
    while start + len(out) < len(p) and len(out) + 1 < 255 and p[start + len(out)] != 0:
        out.append(p[start + len(out)])
    return bytes(out)


def word_at(rx, at):
    return bytes(rx[at:at + 2]) if at + 2 <= len(rx) else None


def date_text(rx):
    p = payload_of(rx)
    if len(p) < 13:
        return ""
    w = [p[k] | (p[k + 1] << 8) for k in range(1, 13, 2)]
    return "%02d/%02d/%04d %02d:%02d:%02d" % (w[3], w[4], (w[5] + 1900) & 0xFFFF, w[2], w[1], w[0])


DECODE = {
    "s": lambda rx: word_at(rx, 8),
    "t": lambda rx: word_at(rx, 8),
    "z": lambda rx: word_at(rx, len(rx) - 4) if len(rx) >= 4 else None,
    "g": lambda rx: word_at(rx, len(rx) - 6) if len(rx) >= 6 else None,
    "p": lambda rx: word_at(rx, 16),
    "|": lambda rx: text_from(rx, 3),
    "h": lambda rx: text_from(rx, 3),
    "q": lambda rx: text_from(rx, 7),
    "i": date_text,
    "v": lambda rx: text_from(rx, 1),
}

KIND_NAMES = {"s": "system status", "t": "trouble status", "z": "zone status", "g": "group status",
              "p": "point status", "|": "zone label", "h": "group label", "q": "point label",
              "i": "date and time", "v": "version"}


# --- the answers the simulator sends (tools/sim/panel.cpp) -------------------

def number(v):
    return int(v, 0) if isinstance(v, str) else int(v)


def answers(model):
    """(letter, what, payload) for every single answer the model gives."""
    p = model["panel"]
    out = [("s", "system", b"s" + word(number(p["system_status"]))),
           ("t", "trouble", b"t" + word(number(p["trouble_status"])))]
    for z in p["zones"]:
        out.append(("z", "zone %d" % z["number"], b"z" + word(z["number"]) + word(1) + word(number(z["status"]))))
    for g in p["groups"]:
        out.append(("g", "group %d" % g["number"],
                    b"g" + word(g["number"]) + word(1) + word(number(g["status"])) + word(number(g["active"]))))
    for loop in p["loops"]:
        total = len(loop["points"])
        for pt in loop["points"]:
            ids = word(loop["number"]) + word(pt["number"])
            out.append(("p", "loop %d point %d" % (loop["number"], pt["number"]),
                        b"p" + ids + word(1) + word(total) + word(number(pt["status"])) + word(pt["number"])))
    for z in p["zones"]:
        out.append(("|", "zone %d" % z["number"], b"|" + word(z["number"]) + z["label"].encode() + b"\0"))
    for g in p["groups"]:
        out.append(("h", "group %d" % g["number"], b"h" + word(g["number"]) + g["label"].encode() + b"\0"))
    for loop in p["loops"]:
        for pt in loop["points"]:
            out.append(("q", "loop %d point %d" % (loop["number"], pt["number"]),
                        b"q" + word(loop["number"]) + word(pt["number"]) + word(number(pt["status"]))
                        + pt["label"].encode() + b"\0"))
    # The clock runs; a fixed reading stands for it: 24/12/2001 09:15:30.
    out.append(("i", "24/12/2001 09:15:30", b"i" + b"".join(word(v) for v in (30, 15, 9, 24, 12, 101))))
    out.append(("v", "version", b"v" + p["version"].encode() + b"\0"))
    return out


# --- the check, pattern by pattern ------------------------------------------

def checks(rx):
    """Whole frame rx (as the driver read it): True when its CRC checks by either table."""
    body = rx[4:len(rx) - 2]
    carried = rx[-2] | (rx[-1] << 8)
    return crc(LINE, body) == carried or crc(PLAIN, body) == carried


def analyse(letter, sent):
    """Counts for every two-bit pattern over the frame `sent`."""
    n = sent[LENGTH_AT]
    size = len(sent)
    bits = size * 8
    decode = DECODE[letter]
    value = decode(sent)
    body = sent[4:size - 2]
    carried = sent[-2] | (sent[-1] << 8)
    # Line-table register before each body byte, so a pattern reruns only from its first changed byte.
    states = [0]
    for b in body:
        states.append(LINE[states[-1] >> 8] ^ ((states[-1] << 8) & 0xFFFF) ^ b)
    # The plain table is linear (no start value, no final XOR): a pattern's plain CRC is the
    # frame's plus each flipped body bit's own.
    plain_sent = crc(PLAIN, body)
    syn = [crc(PLAIN, bytes(i // 8 == k and (1 << (i % 8)) or 0 for k in range(len(body))))
           for i in range(len(body) * 8)]
    r = dict(pairs=0, sync=0, longer=0, same=0, same_line=0, same_plain_only=0, same_value=0,
             same_value_in_value_bytes=0, shorter=0, shorter_pass=0, shorter_value=0)
    # One flipped bit, by the same rules.
    r["one"] = r["one_value"] = 0
    for i in range(32, bits):
        alt = bytearray(sent)
        alt[i // 8] ^= 1 << (i % 8)
        if alt[LENGTH_AT] > n:
            continue
        rx = bytes(alt[:alt[LENGTH_AT] + 9])
        if checks(rx):
            r["one"] += 1
            r["one_value"] += decode(rx) != value
    value_bytes = set()
    for at in range(size):
        for bit in range(8):
            alt = bytearray(sent)
            alt[at] ^= 1 << bit
            if decode(bytes(alt)) != value:
                value_bytes.add(at)
    for a, b in itertools.combinations(range(bits), 2):
        r["pairs"] += 1
        ba, bb = a // 8, b // 8
        if ba < 4:
            r["sync"] += 1
            continue
        alt = bytearray(sent)
        alt[ba] ^= 1 << (a % 8)
        alt[bb] ^= 1 << (b % 8)
        if alt[LENGTH_AT] > n:
            r["longer"] += 1
            continue
        if alt[LENGTH_AT] < n:
            r["shorter"] += 1
            rx = bytes(alt[:alt[LENGTH_AT] + 9])
            if checks(rx):
                r["shorter_pass"] += 1
                if decode(rx) != value:
                    r["shorter_value"] += 1
            continue
        r["same"] += 1
        new_carried = alt[-2] | (alt[-1] << 8)
        first = ba - 4
        line = crc(LINE, alt[ba:size - 2], states[first]) if first < len(body) else states[len(body)]
        plain = plain_sent
        for i in (a, b):
            if i // 8 - 4 < len(body):
                plain ^= syn[i - 32]
        if line == new_carried:
            r["same_line"] += 1
        elif plain == new_carried:
            r["same_plain_only"] += 1
        else:
            continue
        if decode(bytes(alt)) != value:
            r["same_value"] += 1
            if ba in value_bytes or bb in value_bytes:
                r["same_value_in_value_bytes"] += 1
    r["undetected"] = r["same_line"] + r["same_plain_only"] + r["shorter_pass"]
    r["U"] = r["same_value"] + r["shorter_value"]
    r["bits"] = bits
    r["size"] = size
    r["value_bytes"] = sorted(value_bytes)
    # Three-bit patterns with the sync and length bytes untouched that the plain table lets
    # through: the flipped bits' syndromes XOR to 0 (a CRC bit's syndrome is the bit itself).
    s3 = [syn[i] for i in range(len(body) * 8) if i // 8 != LENGTH_AT - 4]
    s3 += [1 << k for k in range(16)]
    where = {}
    for i, s in enumerate(s3):
        where.setdefault(s, []).append(i)
    a3 = 0
    for i, j in itertools.combinations(range(len(s3)), 2):
        a3 += sum(1 for k in where.get(s3[i] ^ s3[j], ()) if k > j)
    r["A3"] = a3
    # Four-bit patterns the same way: two pairs of bits with equal syndromes, the pairs disjoint.
    pairs_by = {}
    for i, j in itertools.combinations(range(len(s3)), 2):
        pairs_by.setdefault(s3[i] ^ s3[j], []).append((i, j))
    a4 = 0
    for group in pairs_by.values():
        for (i, j), (k, m) in itertools.combinations(group, 2):
            if len({i, j, k, m}) == 4:
                a4 += 1
    r["A4"] = a4 // 3  # each set of four splits into pairs three ways
    r["plain_ok"] = plain_sent == carried
    return r


def exact_count(sent, k=3):
    """Patterns of k bits from the type byte to the CRC, the length byte untouched, that pass
    by either table: every one tried."""
    size = len(sent)
    body = sent[4:size - 2]
    states = [0]
    for b in body:
        states.append(LINE[states[-1] >> 8] ^ ((states[-1] << 8) & 0xFFFF) ^ b)
    bits = [i for i in range(32, size * 8) if i // 8 != LENGTH_AT]
    passed = 0
    for trio in itertools.combinations(bits, k):
        alt = bytearray(sent)
        for i in trio:
            alt[i // 8] ^= 1 << (i % 8)
        first = trio[0] // 8
        carried = alt[-2] | (alt[-1] << 8)
        line = crc(LINE, alt[first:size - 2], states[first - 4]) if first < size - 2 else states[-1]
        if line == carried or crc(PLAIN, alt[4:size - 2]) == carried:
            passed += 1
    return passed


def residual(u, bits, p, u1=0):
    """Per read: u two-bit and u1 one-bit patterns that pass with a wrong value."""
    return u1 * p * (1 - p) ** (bits - 1) + u * p * p * (1 - p) ** (bits - 2)


def one_bit_holes(sent, letter):
    """The one-bit errors that pass with a wrong value, found the quick way: where the line's
    register takes entry 0x73 at body byte t, the frame's CRC is the plain table's with 0x0200
    added there, which bit 1 of body byte t-1 also adds; flipped, the frame checks by the plain
    table. Each one found is tried as the driver takes it."""
    body = sent[4:-2]
    state, holes = 0, []
    for t, b in enumerate(body):
        if t >= 1 and state >> 8 == 0x73:
            alt = bytearray(sent)
            alt[4 + t - 1] ^= 0x02
            if alt[LENGTH_AT] <= sent[LENGTH_AT]:
                rx = bytes(alt[:alt[LENGTH_AT] + 9])
                if checks(rx) and DECODE[letter](rx) != DECODE[letter](sent):
                    holes.append(4 + t - 1)
        state = LINE[state >> 8] ^ ((state << 8) & 0xFFFF) ^ b
    return holes


def self_test():
    problems = []
    if not (LINE[1] == 0x1021 and LINE[2] == 0x2042 and LINE[255] == 0x1EF0 and PLAIN[0x73] == 0x4EF4):
        problems.append("the tables differ from gateway/frames.h")
    # The register over 02 33 00 runs 0002, 0233, 1342 (gateway/frames.h).
    if crc(LINE, bytes([0x02, 0x33, 0x00])) != 0x1342:
        problems.append("CRC of 02 33 00 is not 1342")
    # The driver's own closing frames (gateway/frames.cpp) carry their line-table CRC.
    for f in ([0x55, 0xAA, 0x55, 0xAA, 0x02, 0x24, 0x00, 0x42, 0x04],
              [0x55, 0xAA, 0x55, 0xAA, 0x02, 0x35, 0x01, 0x06, 0x92, 0x01],
              [0x55, 0xAA, 0x55, 0xAA, 0x02, 0x22, 0x01, 0x06, 0x44, 0x63],
              [0x55, 0xAA, 0x55, 0xAA, 0x02, 0x33, 0x00, 0x42, 0x13]):
        f = bytes(f)
        if frame(f[7:-2], f[5]) != f:
            problems.append("frame %s does not rebuild" % f.hex())
    # The blind spot: bit k of the last body byte with bit k of the CRC's low byte passes.
    f = bytearray(frame(b"z" + word(3) + word(1) + word(0x0001)))
    f[-3] ^= 0x04
    f[-2] ^= 0x04
    if not checks(bytes(f)):
        problems.append("the last-byte pattern does not pass")
    f[-2] ^= 0x04
    if checks(bytes(f)):
        problems.append("a one-bit error passes")
    # Tried one by one, the two-bit patterns behind the sync bytes of that frame are those 16.
    if exact_count(frame(b"z" + word(3) + word(1) + word(0x0001)), 2) != 16:
        problems.append("the two-bit patterns tried one by one are not 16")
    for p in problems:
        print("self-test: " + p, file=sys.stderr)
    return not problems


def main():
    ap = argparse.ArgumentParser(
        usage="crc_residual.py [--model FILE] [--cycle SECONDS] [--frames] [--self-test]",
        description="Two-bit errors that pass the single answer's check, and the wrong-value residual per read.")
    ap.add_argument("--model", default=os.path.join(ROOT, "tools/sim/models/panel.json"),
                    help="the simulator's panel model (default: the bundled one)")
    ap.add_argument("--cycle", type=float, default=2.2,
                    help="seconds per poll cycle of the model's zone and group reads (default 2.2)")
    ap.add_argument("--frames", action="store_true", help="also print a line for every frame")
    ap.add_argument("--self-test", action="store_true", help="check the CRC against the driver's frames and stop")
    args = ap.parse_args()
    if not self_test():
        return 1
    if args.self_test:
        print("self-test passed")
        return 0
    try:
        with open(args.model, encoding="utf-8") as f:
            model = json.load(f)
    except (OSError, ValueError) as e:
        print("cannot read the model: %s" % e, file=sys.stderr)
        return 1

    results = []
    for letter, what, payload in answers(model):
        sent = frame(payload)
        r = analyse(letter, sent)
        results.append((letter, what, sent, r))
        if args.frames:
            print("%s %-22s %2d bytes  pairs %5d  pass %3d (same length %d + %d by the plain table only, "
                  "shorter %d)  wrong value %d  3-bit %d  value bytes %s"
                  % (letter, what, r["size"], r["pairs"], r["undetected"], r["same_line"], r["same_plain_only"],
                     r["shorter_pass"], r["U"], r["A3"], r["value_bytes"]))

    print("Two-bit errors in the single answers of %s, answer sequence byte 0x%02X"
          % (os.path.relpath(args.model, ROOT), ANSWER_SEQUENCE))
    print("(N frame bits; pairs = N(N-1)/2; pass = still check; U = pass with a wrong value;")
    print(" P = U1 p (1-p)^(N-1) + U p^2 (1-p)^(N-2) per read, U1 the one-bit wrong values; the worst frame of the kind)")
    print()
    print("| answer | frames | bytes | N | pairs | pass | pass, plain table only | pass, shorter length "
          "| U | pass share | 1-bit pass | 1-bit wrong value | 3-bit pass (first frame, all tried) "
          "| 4-bit pass (plain table) | P at 1e-4 | P at 1e-6 |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|")
    totals = dict(pairs=0, undetected=0, covered_pairs=0)
    by_letter = {}
    for letter, what, sent, r in results:
        by_letter.setdefault(letter, []).append(r)
        totals["pairs"] += r["pairs"]
        totals["undetected"] += r["undetected"]
        covered = (r["size"] - 4) * 8
        totals["covered_pairs"] += covered * (covered - 1) // 2
    for letter in DECODE:
        rs = by_letter.get(letter, [])
        if not rs:
            continue
        sizes = sorted({r["size"] for r in rs})
        span = lambda key: "%d" % rs[0][key] if len({r[key] for r in rs}) == 1 else "%d-%d" % (
            min(r[key] for r in rs), max(r[key] for r in rs))
        pairs = sum(r["pairs"] for r in rs)
        passed = sum(r["undetected"] for r in rs)
        worst = max(rs, key=lambda r: residual(r["U"], r["bits"], BERS[0], r["one_value"]))
        three = exact_count(results[[x[0] for x in results].index(letter)][2], 3)
        print("| `%s` %s | %d | %s | %s | %d | %s | %s | %s | %s | %.2f %% | %d | %d | %d | %s | %.2e | %.2e |"
              % (letter.replace("|", "\\|"), KIND_NAMES[letter], len(rs),
                 "%d" % sizes[0] if len(sizes) == 1 else "%d-%d" % (sizes[0], sizes[-1]),
                 span("bits"), pairs, span("undetected"), span("same_plain_only"), span("shorter_pass"),
                 span("U"), 100.0 * passed / pairs, sum(r["one"] for r in rs), sum(r["one_value"] for r in rs),
                 three, span("A4"), residual(worst["U"], worst["bits"], BERS[0], worst["one_value"]),
                 residual(worst["U"], worst["bits"], BERS[1], worst["one_value"])))
    print()
    print("All %d frames: %d of %d two-bit patterns pass (%.3f %%); over the bits behind the sync bytes only "
          "(type to CRC): %d of %d (%.3f %%)."
          % (len(results), totals["undetected"], totals["pairs"], 100.0 * totals["undetected"] / totals["pairs"],
             totals["undetected"], totals["covered_pairs"],
             100.0 * totals["undetected"] / totals["covered_pairs"]))
    blind = sum(1 for _, _, _, r in results if r["undetected"] == 16 and r["same_plain_only"] == 0
                and r["shorter_pass"] == 0)
    print("Frames whose passing patterns are exactly the 16 of the last two body bytes: %d of %d."
          % (blind, len(results)))
    print("The share is 16 / (N(N-1)/2) for a frame of N bits; behind the sync bytes 16 / (M(M-1)/2), "
          "M = N - 32:")
    for size in (9, 10, 11, 12, 16):
        n, m = size * 8, size * 8 - 32
        print("  %2d-byte frame: %.2f %% of all two-bit errors, %.2f %% of those behind the sync bytes"
              % (size, 1600.0 / (n * (n - 1) // 2), 1600.0 / (m * (m - 1) // 2)))
    worst4 = max(r["A4"] * BERS[0] ** 2 / r["U"] for _, _, _, r in results if r["U"])
    print("Four-bit patterns against the two-bit ones at 1e-4: A4 p^2 / U at most %.1e." % worst4)
    plain = sum(1 for _, _, _, r in results if r["plain_ok"])
    print("Frames whose CRC is the same by both tables: %d of %d." % (plain, len(results)))
    value_hit = sum(1 for _, _, _, r in results if r["same_value"] and r["same_value_in_value_bytes"] != r["same_value"])
    print("Frames where a passing pattern changes the value without touching its bytes: %d." % value_hit)

    print()
    print("Poll of the model's zone and group reads (%d zones, %d groups) every %.1f s:"
          % (len(by_letter.get("z", [])), len(by_letter.get("g", [])), args.cycle))
    for p in BERS:
        per_cycle = sum(residual(r["U"], r["bits"], p, r["one_value"]) for r in by_letter.get("z", []) + by_letter.get("g", []))
        if per_cycle == 0:
            print("  BER %.0e: no two-bit pattern gives a wrong value" % p)
            continue
        seconds = args.cycle / per_cycle
        print("  BER %.0e: %.3e wrong values with status 0 per cycle; one every %.3e s (%.1f days, %.1f years)"
              % (p, per_cycle, seconds, seconds / 86400, seconds / (365.25 * 86400)))

    print()
    print("One flipped bit that passes with a wrong value, other addresses (status 0, count 1, as the driver asks):")
    zones = [z for z in range(1, 1000) if one_bit_holes(frame(b"z" + word(z) + word(1) + word(0)), "z")]
    print("  zone numbers 1-999 whose status answer has one: %d %s" % (len(zones), zones))
    low, high, numbers = 0, 0, set()
    for g in range(1, 1000):
        for status in range(256):
            holes = one_bit_holes(frame(b"g" + word(g) + word(1) + word(status) + word(0)), "g")
            low += 12 in holes
            high += 13 in holes
            if 12 in holes:
                numbers.add(g)
    print("  group numbers 1-999 x status low byte 0-255 (255744 answers): %d with one in the status low byte "
          "(group numbers %s), %d in its high byte" % (low, sorted(numbers), high))
    print("  such an answer: P = p (1-p)^(N-1) per read, %.2e at 1e-4 and %.2e at 1e-6 for a zone read"
          % (residual(0, 128, BERS[0], 1), residual(0, 128, BERS[1], 1)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
