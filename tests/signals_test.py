#!/usr/bin/env python3
"""emlscan stopped from outside, and its command-line edges.

usage: signals_test.py EMLSCAN [unittest options]

- SIGTERM or SIGINT stop `check` between mails: the summary is printed, the
  status is 128 + the signal, and no body folder stays in MSGCODEC_TMPDIR.
- A run killed with SIGKILL leaves its body folders; the next run removes them.
- The command line's edges: --version, an unknown command, usage errors
  (status 2; filter 75), "-" for a mail on standard input, no rate in the
  summary of a run over no mail.
Mails are copies of data/samples under a private folder of $TMPDIR.
"""
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

EMLSCAN = None
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SAMPLES = os.path.join(ROOT, "data", "samples")
SUMMARY = re.compile(r"^emlscan: (\d+) mails: ", re.M)


class Run(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="emlscan-signals-")
        self.bodies = os.path.join(self.work, "bodies")
        os.mkdir(self.bodies)
        self.env = dict(os.environ, MSGCODEC_TMPDIR=self.bodies)

    def tearDown(self):
        shutil.rmtree(self.work, ignore_errors=True)

    def many_mails(self, copies):
        folder = os.path.join(self.work, "mails")
        os.makedirs(folder, exist_ok=True)
        names = sorted(os.listdir(SAMPLES))
        for i in range(copies):
            for name in names:
                shutil.copyfile(os.path.join(SAMPLES, name),
                                os.path.join(folder, "%05d-%s" % (i, name)))
        return folder, copies * len(names)

    def start(self, *args):
        return subprocess.Popen([EMLSCAN, *args], stdout=subprocess.PIPE, bufsize=0,
                                stderr=subprocess.PIPE, env=self.env)

    def wait_for_verdicts(self, run):
        """Returns once the run printed its first verdict: it is mid-way through."""
        line = run.stdout.readline()
        self.assertRegex(line.decode(), r": (spam|phishing|legitimate) ")

    def stop(self, sig, jobs):
        folder, total = self.many_mails(1500)
        run = self.start("check", "-j", str(jobs), folder)
        self.wait_for_verdicts(run)
        run.send_signal(sig)
        out, err = run.communicate(timeout=60)
        return run.returncode, out.decode(), err.decode(), total

    def test_sigterm_and_sigint_stop_a_check_cleanly(self):
        for sig, jobs, status in ((signal.SIGTERM, 2, 143), (signal.SIGINT, 1, 130)):
            with self.subTest(signal=sig.name):
                code, out, err, total = self.stop(sig, jobs)
                self.assertEqual(status, code, err)
                summary = SUMMARY.search(err)
                self.assertIsNotNone(summary, err)
                checked = int(summary.group(1))
                self.assertLess(checked, total, err)
                # Every mail counted was printed, the first line read above.
                self.assertEqual(checked, len(out.splitlines()) + 1, err)
                self.assertIn("stopped by signal %d" % sig, err)
                self.assertEqual([], os.listdir(self.bodies))

    def test_sigterm_stops_filter_in_place_between_files(self):
        folder, total = self.many_mails(200)
        files = sorted(os.path.join(folder, n) for n in os.listdir(folder))
        run = self.start("filter", "--in-place", *files)
        line = run.stderr.readline().decode()  # "emlscan: FILE: VERDICT", one per file
        self.assertRegex(line, r"^emlscan: .*: (spam|phishing|legitimate)$")
        run.send_signal(signal.SIGTERM)
        run.communicate(timeout=60)
        self.assertEqual(143, run.returncode)
        self.assertEqual([], [n for n in os.listdir(folder) if n.startswith(".")])
        tagged = []
        for name in files:
            with open(name, "rb") as mail:
                if b"X-Orvane-" in mail.read():
                    tagged.append(name)
        self.assertTrue(0 < len(tagged) < total, len(tagged))
        self.assertEqual([], os.listdir(self.bodies))

    def test_next_run_removes_what_a_killed_run_left(self):
        folder, _ = self.many_mails(300)
        run = self.start("check", "-j", "2", folder)
        self.wait_for_verdicts(run)
        run.kill()
        run.communicate(timeout=60)
        left = os.listdir(self.bodies)
        self.assertTrue(left and all(n.startswith("msgcodec-%d-" % run.pid) for n in left), left)
        again = subprocess.run([EMLSCAN, "check", os.path.join(SAMPLES, "ham-meeting.eml")],
                               capture_output=True, env=self.env, timeout=60)
        self.assertEqual(0, again.returncode, again.stderr)
        self.assertEqual([], os.listdir(self.bodies))


def emlscan(*args, stdin=None):
    return subprocess.run([EMLSCAN, *args], input=stdin, capture_output=True, timeout=60)


class CommandLine(unittest.TestCase):
    def test_version_names_the_plugin_and_needs_it_for_the_second_half_only(self):
        run = emlscan("--version")
        self.assertEqual(0, run.returncode, run.stderr)
        self.assertRegex(run.stdout.decode(),
                         r"^emlscan 2\.5\.16 \(emlbreaker plug-in /\S+libemlbreaker\.so, "
                         r"version \d+\.\d+\.\d+\)\n$")
        run = emlscan("--plugin", "/nonexistent/libemlbreaker.so", "--version")
        self.assertEqual(1, run.returncode)
        self.assertTrue(run.stdout.decode().startswith("emlscan 2.5.16 ("), run.stdout)
        self.assertIn(b"/nonexistent/libemlbreaker.so", run.stderr)

    def test_usage_errors_exit_2_and_name_the_unknown_command(self):
        run = emlscan("-c", os.path.join(ROOT, "data", "emlscan.toml"), "dmup", "x.eml")
        self.assertEqual(2, run.returncode)
        self.assertEqual(b"emlscan: unknown command 'dmup'; commands: "
                         b"check, filter, milter, dump, lint, info, config, urldb, train-layout, "
                         b"learn\n", run.stderr)
        for args in ((), ("check",), ("dump", "--stage", "nope", "x.eml"), ("--bogus", "info")):
            with self.subTest(args=args):
                self.assertEqual(2, emlscan(*args).returncode)
        # A mail system retries a filter that could not start.
        for args in (("filter", "--bogus"), ("filter", "a.eml", "b.eml")):
            with self.subTest(args=args):
                self.assertEqual(75, emlscan(*args).returncode)
        run = emlscan("--help")
        self.assertEqual(0, run.returncode)
        self.assertIn(b"Exit status:", run.stdout)
        self.assertIn(b"143", run.stdout)

    def test_dash_reads_one_mail_from_standard_input(self):
        with open(os.path.join(SAMPLES, "spam-pharmacy.eml"), "rb") as mail:
            raw = mail.read()
        run = emlscan("check", "-", os.path.join(SAMPLES, "welcome.eml"), stdin=raw)
        self.assertEqual(0, run.returncode, run.stderr)
        lines = run.stdout.decode().splitlines()
        self.assertEqual(2, len(lines), lines)
        self.assertRegex(lines[0], r"^-: spam score=\d+ ")
        self.assertTrue(lines[1].startswith(os.path.join(SAMPLES, "welcome.eml") + ": "))
        run = emlscan("dump", "--stage", "headers", "-", stdin=raw)
        self.assertEqual(0, run.returncode, run.stderr)
        self.assertTrue(run.stdout.startswith(b"== -\n"), run.stdout[:40])

    def test_a_run_over_no_mail_shows_no_rate(self):
        with tempfile.TemporaryDirectory() as empty:
            for command in ("check", "dump"):
                with self.subTest(command=command):
                    run = emlscan(command, empty)
                    self.assertEqual(0, run.returncode, run.stderr)
                    self.assertRegex(run.stderr.decode(), r"^emlscan: 0 mails[:,]")
                    self.assertNotIn(b"mails/s", run.stderr)


if __name__ == "__main__":
    EMLSCAN = sys.argv[1]
    del sys.argv[1:2]
    unittest.main()
