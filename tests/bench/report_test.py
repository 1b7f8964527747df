#!/usr/bin/env python3
"""The benchmark's report (tools/bench/report.py) on raw figures made up for the purpose: what the
table and its CSV say, and that a run with a missing measurement still gives a table."""
import csv
import os
import subprocess
import sys
import tempfile
import unittest

REPORT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "bench", "report.py")
SAMPLES = "path,measurement,session,connect_ms,to_decision_ms,greeting_to_decision_ms,after_result_ms\n"
FIGURES = "path,measurement,moment,handles,private_bytes,listed_handles,listed_private_bytes\n"
LINUX = "path,moment,vmrss_kb,rssanon_kb,fds\n"


def write(folder, name, header, rows):
    with open(os.path.join(folder, name), "w") as handle:
        handle.write(header + "".join(",".join(str(v) for v in row) + "\n" for row in rows))


def sessions(path, measurement, times, after=""):
    floor = measurement.startswith("floor")
    connect = "" if floor else 0.3
    return [(path, measurement, i + 1, connect, t, "" if floor else t - 1, after) for i, t in enumerate(times)]


def report(folder):
    done = subprocess.run([sys.executable, REPORT, folder], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    with open(os.path.join(folder, "table.csv")) as handle:
        return done.stdout, {(row["path"], row["figure"]): float(row["value"]) for row in csv.DictReader(handle)}


class Report(unittest.TestCase):
    def test_one_run_gives_medians_ratios_and_the_service_figures(self):
        with tempfile.TemporaryDirectory() as folder:
            # Refused: a slow outlier in every measurement must not move the medians.
            write(folder, "samples.csv", SAMPLES,
                  sessions("refused", "floor-per-step", [80, 81, 79, 80, 900])
                  + sessions("refused", "floor", [40, 41, 39, 40, 900]) + sessions("refused", "idle", [44, 43, 45, 44, 900])
                  + sessions("refused", "back-to-back", [290, 291, 289, 290, 900])
                  + sessions("accepted", "floor", [100, 100, 100], after=7) + sessions("accepted", "idle", [150, 150, 150])
                  + sessions("accepted", "back-to-back", [300, 300, 300]))
            # The per-process query answers 0 here: the process list's counts stand in for it.
            write(folder, "figures.csv", FIGURES,
                  [("refused", "idle", "before", 0, 0, 64, 0), ("refused", "idle", "after", 0, 0, 64, 0),
                   ("refused", "back-to-back", "before", 0, 0, 64, 0), ("refused", "back-to-back", "after", 0, 0, 66, 0),
                   ("accepted", "idle", "before", 120, 4096, 0, 0), ("accepted", "back-to-back", "after", 121, 8192, 0, 0)])
            write(folder, "linux.csv", LINUX, [("refused", "after-warm-up", 40000, 20000, 24),
                                                ("refused", "after-run", 40040, 20004, 24)])
            text, table = report(folder)
            self.assertEqual(table[("refused", "floor median")], 40)
            self.assertEqual(table[("refused", "floor p95")], 900)
            self.assertAlmostEqual(table[("refused", "ratio idle/floor")], 1.1)
            self.assertAlmostEqual(table[("accepted", "ratio idle/floor")], 1.5)
            # The idle sessions' greeting to decision (one less than connect to decision here)
            # against the per-step floor; no per-step floor, no such ratio.
            self.assertAlmostEqual(table[("refused", "ratio idle greeting/floor per step")], 43 / 80, places=3)
            self.assertNotIn(("accepted", "ratio idle greeting/floor per step"), table)
            self.assertEqual(table[("accepted", "floor after-result median")], 7)
            self.assertEqual(table[("refused", "back-to-back connect median")], 0.3)
            self.assertEqual((table[("refused", "handles after warm-up")], table[("refused", "handles after run")]), (64, 66))
            self.assertEqual((table[("accepted", "handles after warm-up")], table[("accepted", "handles after run")]), (120, 121))
            self.assertEqual(table[("accepted", "private bytes after run")], 8192)
            self.assertEqual(table[("refused", "RssAnon after run")] - table[("refused", "RssAnon after warm-up")], 4)
            self.assertNotIn(("accepted", "RssAnon after run"), table)
            self.assertIn("| refused | 80.0 / 900.0 (n=5) | 40.0 / 900.0 (n=5) | 44.0 / 900.0 (n=5) | 290.0 / 900.0 (n=5) "
                          "| 1.10 (goal <= 1.10) | 0.54 (goal <= 0.60) |", text)
            self.assertIn("| accepted | - | 100.0 / 100.0 (n=3) |", text)
            self.assertGreater(os.path.getsize(os.path.join(folder, "latency.png")), 10000)

    def test_a_run_without_its_floor_has_no_ratio(self):
        with tempfile.TemporaryDirectory() as folder:
            write(folder, "samples.csv", SAMPLES, sessions("refused", "idle", [44, 45, 43]))
            text, table = report(folder)
            self.assertNotIn(("refused", "ratio idle/floor"), table)
            self.assertIn("| refused | - | - | 44.0 / 45.0 (n=3) | - | - | - |", text)
            self.assertNotIn("| accepted |", text)


if __name__ == "__main__":
    unittest.main()
