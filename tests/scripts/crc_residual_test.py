#!/usr/bin/env python3
"""scripts/crc_residual.py against what the driver does with an answer:
  crc_residual_test.py ROOT"""
import os
import subprocess
import sys
import unittest

ROOT = sys.argv.pop(1) if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "..")
sys.path.insert(0, os.path.join(ROOT, "scripts"))
import crc_residual as cr  # noqa: E402


def z_frame(status):
    return cr.frame(b"z" + cr.word(3) + cr.word(1) + cr.word(status))


class CrcResidualTest(unittest.TestCase):
    def test_self_test(self):
        self.assertTrue(cr.self_test())

    def test_decode_as_the_driver(self):
        # Zone: the last payload word; group: the second-last; point: payload 9-10.
        self.assertEqual(cr.DECODE["z"](z_frame(0x0102)), bytes([0x02, 0x01]))
        g = cr.frame(b"g" + cr.word(2) + cr.word(1) + cr.word(0x0001) + cr.word(7))
        self.assertEqual(cr.DECODE["g"](g), bytes([0x01, 0x00]))
        p = cr.frame(b"p" + cr.word(1) + cr.word(4) + cr.word(1) + cr.word(23) + cr.word(0x0100) + cr.word(4))
        self.assertEqual(cr.DECODE["p"](p), bytes([0x00, 0x01]))
        i = cr.frame(b"i" + b"".join(cr.word(v) for v in (30, 15, 9, 24, 12, 101)))
        self.assertEqual(cr.DECODE["i"](i), "24/12/2001 09:15:30")
        self.assertEqual(cr.DECODE["v"](cr.frame(b"vAB\0")), b"AB")

    def test_every_pattern_is_counted_once(self):
        r = cr.analyse("z", z_frame(1))
        self.assertEqual(r["pairs"], r["bits"] * (r["bits"] - 1) // 2)
        self.assertEqual(r["pairs"], r["sync"] + r["longer"] + r["shorter"] + r["same"])

    def test_the_blind_spot_hits_the_zone_value_not_the_group_value(self):
        z = cr.analyse("z", z_frame(1))
        self.assertEqual((z["undetected"], z["U"]), (16, 16))
        g = cr.analyse("g", cr.frame(b"g" + cr.word(2) + cr.word(1) + cr.word(1) + cr.word(1)))
        self.assertEqual((g["undetected"], g["U"]), (16, 0))

    def test_a_shorter_length_is_read_as_a_shorter_frame(self):
        # A 7-byte payload that starts with a whole 3-byte answer and its CRC: with bit 2 of the
        # length lost (7 -> 3) the driver reads that answer, and any second bit behind it goes unread.
        short = cr.frame(b"s" + cr.word(5))
        long = cr.frame(short[cr.HEAD:] + b"\x00\x00")
        self.assertEqual(long[cr.LENGTH_AT], 7)
        r = cr.analyse("s", long)
        behind = (len(long) - len(short)) * 8
        self.assertEqual(r["shorter_pass"], behind)
        self.assertTrue(cr.checks(short))

    def test_three_bits_pass_through_the_gateways_entry(self):
        # The line table is not linear at 0x73: one three-bit pattern of this date frame checks.
        i = cr.frame(b"i" + b"".join(cr.word(v) for v in (30, 15, 9, 24, 12, 101)))
        self.assertEqual(cr.exact_count(i, 3), 1)

    def test_one_bit_passes_where_the_line_takes_entry_0x73(self):
        # Zone 233: bit 1 of the status low byte, flipped, checks by the plain table.
        f = cr.frame(b"z" + cr.word(233) + cr.word(1) + cr.word(0))
        self.assertEqual(cr.one_bit_holes(f, "z"), [12])
        r = cr.analyse("z", f)
        self.assertEqual(r["one_value"], 1)  # (a second one may pass in bytes the driver does not read)
        self.assertGreaterEqual(r["one"], 1)
        self.assertEqual(cr.one_bit_holes(z_frame(1), "z"), [])

    def test_missing_model_fails_loudly(self):
        run = subprocess.run([sys.executable, os.path.join(ROOT, "scripts", "crc_residual.py"), "--model",
                              os.path.join(ROOT, "no-such-model.json")], capture_output=True, text=True)
        self.assertEqual(run.returncode, 1)
        self.assertIn("cannot read the model", run.stderr)


if __name__ == "__main__":
    unittest.main()
