#!/usr/bin/env python3
"""emlscan filter end to end, as a mail system runs it.

usage: filter_test.py EMLSCAN GMIME_REPARSE [unittest options]

- A filtered mail differs from the mail read only by the verdict headers the
  performer adds and the tag in front of its subject; every other byte is as
  it was, and GMime and Python's email both read the result.
- --in-place survives SIGKILL at any moment: every file is then either its
  original or its whole filtered mail, and the next run leaves no temporary
  file behind.
Mails come from ../shared/corpus (ham and spam) and data/samples; without the
corpus only the samples are used.
"""
import email
import email.policy
import json
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

from mail_fields import split_fields, unfolded  # beside this file

EMLSCAN = REPARSE = None
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CORPUS = os.path.join(ROOT, "..", "shared", "corpus")
ADDED = ("x-orvane-spam", "x-orvane-assl-hit-rules", "x-orvane-spamstamp")
# The stamp carries the time of the check; without it two runs write the same bytes.
NO_STAMP = ["--set", "/eml/performer/SpamStampEnabled=0"]


def sample_mails(per_folder):
    mails = []
    for folder in ("ham", "spam"):
        path = os.path.join(CORPUS, folder)
        if os.path.isdir(path):
            names = sorted(os.listdir(path))
            step = max(1, len(names) // per_folder)
            mails += [os.path.join(path, n) for n in names[::step][:per_folder]]
    samples = os.path.join(ROOT, "data", "samples")
    mails += sorted(os.path.join(samples, n) for n in os.listdir(samples))
    return mails


def run(*args, **kwargs):
    return subprocess.run([EMLSCAN, *args], capture_output=True, **kwargs)


class FilterTest(unittest.TestCase):
    def test_filtered_mail_changes_only_its_verdict_headers_and_subject(self):
        mails = sample_mails(12)
        checked = json.loads("[" + ",".join(
            run("check", "--json", "-q", *mails).stdout.decode().splitlines()) + "]")
        verdicts = {entry["file"]: entry for entry in checked}
        outputs = tempfile.mkdtemp()
        written = []
        for index, mail in enumerate(mails):
            with open(mail, "rb") as f:
                original = f.read()
            result = run("filter", mail)
            self.assertEqual(0, result.returncode, mail + ": " + result.stderr.decode())
            out = result.stdout
            verdict = verdicts[mail]
            if verdict["verdict"] == "error":
                self.assertEqual(original, out, mail + " must pass unchanged")
                continue
            in_fields, in_body = split_fields(original)
            out_fields, out_body = split_fields(out)
            self.assertEqual(in_body, out_body, mail)
            kept = [f for f in out_fields if f[0] not in ADDED and f[0] != "subject"]
            self.assertEqual([f for f in in_fields if f[0] != "subject"], kept, mail)
            added = {name: unfolded(raw) for name, raw in out_fields if name in ADDED}
            self.assertEqual(set(ADDED), set(added), mail)
            kind = verdict["verdict"]
            self.assertEqual((b"Yes (" if kind != "legitimate" else b"No  (") +
                             str(verdict["score"]).encode() + b")", added["x-orvane-spam"], mail)
            self.assertEqual("; ".join(verdict["hit_rules"]).encode(),
                             added["x-orvane-assl-hit-rules"], mail)
            in_subject = [unfolded(r) for n, r in in_fields if n == "subject"]
            out_subject = [unfolded(r) for n, r in out_fields if n == "subject"]
            tag = {"spam": b"[spam] ", "phishing": b"[phishing] "}.get(kind, b"")
            self.assertEqual([tag + (in_subject[0] if in_subject else b"")], out_subject[:1], mail)
            # Python's email reads it, with no defect the original did not have.
            before = email.message_from_bytes(original, policy=email.policy.default)
            after = email.message_from_bytes(out, policy=email.policy.default)
            self.assertLessEqual(len(after.defects), len(before.defects), mail)
            if tag:
                self.assertTrue(str(after["Subject"]).startswith(tag.decode().strip()), mail)
            path = os.path.join(outputs, "%03d.eml" % index)
            with open(path, "wb") as f:
                f.write(out)
            written.append((path, tag, verdict))
        # GMime reads every written mail as a message, tag and headers included.
        self.assertTrue(written)
        lines = subprocess.run([REPARSE, "X-Orvane-Spam,X-Orvane-ASSL-Hit-Rules",
                                *[p for p, _, _ in written]],
                               capture_output=True, check=True).stdout.decode().splitlines()
        for line, (path, tag, verdict) in zip(lines, written):
            parsed = json.loads(line)
            self.assertTrue(parsed["parsed"], path)
            self.assertTrue(parsed["subject"].startswith(tag.decode().strip()), path)
            self.assertTrue(parsed["X-Orvane-Spam"].startswith(
                "No" if verdict["verdict"] == "legitimate" else "Yes"), path)
        shutil.rmtree(outputs)

    def test_in_place_files_survive_sigkill(self):
        originals = sample_mails(20)
        work = tempfile.mkdtemp()
        # What a run that is not interrupted makes of each mail.
        expected_dir = os.path.join(work, "expected")
        os.mkdir(expected_dir)
        names = ["%03d.eml" % i for i in range(len(originals))]
        for source, name in zip(originals, names):
            shutil.copyfile(source, os.path.join(expected_dir, name))
        started = time.monotonic()
        result = run(*NO_STAMP, "filter", "--in-place", "-q",
                     *[os.path.join(expected_dir, n) for n in names])
        full_run = time.monotonic() - started
        self.assertEqual(0, result.returncode, result.stderr.decode())
        contents = {}
        for source, name in zip(originals, names):
            with open(source, "rb") as f, open(os.path.join(expected_dir, name), "rb") as g:
                contents[name] = (f.read(), g.read())
        self.assertTrue(any(a != b for a, b in contents.values()), "nothing was filtered")
        rng = random.Random(20261208)
        states = set()
        for round_ in range(10):
            folder = os.path.join(work, "round%d" % round_)
            os.mkdir(folder)
            for source, name in zip(originals, names):
                shutil.copyfile(source, os.path.join(folder, name))
            process = subprocess.Popen(
                [EMLSCAN, *NO_STAMP, "filter", "--in-place", "-q",
                 *[os.path.join(folder, n) for n in names]],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            time.sleep(rng.uniform(0, full_run * 1.2))
            process.send_signal(signal.SIGKILL)
            process.wait()
            for name in names:
                with open(os.path.join(folder, name), "rb") as f:
                    now = f.read()
                original, filtered = contents[name]
                self.assertIn(now, (original, filtered), "%s after SIGKILL in round %d" % (name, round_))
                states.add("filtered" if now == filtered != original else "original")
            # The next run removes what the killed one left beside the files.
            result = run(*NO_STAMP, "filter", "--in-place", "-q",
                         *[os.path.join(folder, n) for n in names])
            self.assertEqual(0, result.returncode, result.stderr.decode())
            self.assertEqual([], [n for n in os.listdir(folder) if ".emlscan-" in n], folder)
        print("states seen after SIGKILL: %s" % sorted(states), file=sys.stderr)
        shutil.rmtree(work)

    def test_unreadable_input_passes_through_and_output_failure_is_temporary(self):
        junk = b"this is not a mail at all\x00\xff\n"
        result = run("filter", input=junk)
        self.assertEqual(0, result.returncode)
        self.assertEqual(junk, result.stdout)
        self.assertIn(b"passed on unchanged", result.stderr)
        sample = os.path.join(ROOT, "data", "samples", "welcome.eml")
        with open("/dev/full", "wb") as full_disk:
            full = subprocess.run([EMLSCAN, "filter", sample], stdin=subprocess.DEVNULL,
                                  stdout=full_disk, stderr=subprocess.PIPE)
        self.assertEqual(75, full.returncode, full.stderr.decode())


if __name__ == "__main__":
    EMLSCAN, REPARSE = sys.argv[1], sys.argv[2]
    del sys.argv[1:3]
    unittest.main()
