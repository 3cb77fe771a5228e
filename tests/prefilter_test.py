#!/usr/bin/env python3
"""The regex prefilter never changes a verdict.

usage: prefilter_test.py EMLSCAN [unittest options]

emlscan check runs the shipped rules over every corpus folder twice, with the
prefilter (the default) and without it (EMLB_REGEX_PREFILTER=0), and every
mail must get the same verdict, score, category and hit rules. The prefilter
may only skip a regex that cannot match; a pattern whose Hyperscan reading is
narrower than PCRE2's would show here as a lost hit. Skipped without
../shared/corpus.
"""
import os
import subprocess
import sys
import unittest

EMLSCAN = None
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CORPUS = os.path.join(ROOT, "..", "shared", "corpus")
FOLDERS = ("ham", "spam", "html", "mime", "charsets", "bench")


def verdicts(folder, prefilter):
    env = dict(os.environ)
    env["EMLB_REGEX_PREFILTER"] = "1" if prefilter else "0"
    run = subprocess.run([EMLSCAN, "check", "-j2", folder], env=env, capture_output=True,
                         text=True, errors="replace")
    lines = [line for line in run.stdout.splitlines() if not line.startswith("emlscan:")]
    return run.returncode, sorted(lines)


class PrefilterTest(unittest.TestCase):
    def test_same_verdicts_with_and_without_prefilter(self):
        folders = [f for f in FOLDERS if os.path.isdir(os.path.join(CORPUS, f))]
        if not folders:
            self.skipTest("no corpus")
        for folder in folders:
            with self.subTest(folder=folder):
                path = os.path.join(CORPUS, folder)
                status_on, on = verdicts(path, True)
                status_off, off = verdicts(path, False)
                self.assertEqual(status_off, status_on)
                self.assertGreater(len(off), 0)
                lost = sorted(set(off) - set(on))
                self.assertEqual([], lost[:5], "verdicts that change with the prefilter")


if __name__ == "__main__":
    EMLSCAN = sys.argv.pop(1)
    unittest.main()
