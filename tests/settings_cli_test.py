#!/usr/bin/env python3
"""emlscan's settings checked before a command runs, as a user meets them.

usage: settings_cli_test.py EMLSCAN [unittest options]

- A bad setting (in the file, or given with --set) stops check with status 2
  before any mail is read, every problem on stderr with where it came from;
  filter stops with 75, so that a mail system retries.
- The shipped data/emlscan.toml passes, and `config` shows the effective
  settings with their sources.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

EMLSCAN = None
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SHIPPED = os.path.join(ROOT, "data", "emlscan.toml")
MAIL = os.path.join(ROOT, "data", "samples", "welcome.eml")


def emlscan(*args):
    return subprocess.run([EMLSCAN, *args], capture_output=True, timeout=60)


class Settings(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="emlscan-settings-")

    def tearDown(self):
        shutil.rmtree(self.work, ignore_errors=True)

    def config(self, extra):
        """The shipped settings with `extra` lines at the end, beside the rules."""
        with open(SHIPPED) as shipped:
            text = shipped.read().replace('SlfPath = "rules"',
                                          'SlfPath = "%s"' % os.path.join(ROOT, "data", "rules"))
        path = os.path.join(self.work, "bad.toml")
        with open(path, "w") as out:
            out.write(text + extra)
        return path, text.count("\n")

    def test_check_stops_with_status_2_naming_every_bad_setting(self):
        path, lines = self.config('[eml.extra]\nAgressivityLevel = 3\n')
        run = emlscan("-c", path, "--set", "/eml/global/AggressivityLevel=high",
                      "--set", "/eml/breaker/SlfPath=/nonexistent/rules", "check", MAIL)
        self.assertEqual(2, run.returncode, run.stderr)
        self.assertEqual(b"", run.stdout)
        self.assertEqual(
            "emlscan: %s:%d: /eml/extra/AgressivityLevel: unknown setting; "
            "did you mean /eml/global/AggressivityLevel?\n"
            'emlscan: --set /eml/global/AggressivityLevel=high: "high" is not a whole number '
            "from 0 to 9\n"
            "emlscan: --set /eml/breaker/SlfPath=/nonexistent/rules: no such folder\n"
            % (path, lines + 2),
            run.stderr.decode())

    def test_filter_stops_with_75_and_a_folder_is_no_config(self):
        with open(MAIL, "rb") as mail:
            run = subprocess.run([EMLSCAN, "-c", SHIPPED, "--set",
                                  "/emlscan/check/Threshold=five", "filter"],
                                 stdin=mail, capture_output=True, timeout=60)
        self.assertEqual(75, run.returncode, run.stderr)
        self.assertIn(b"--set /emlscan/check/Threshold=five: \"five\" is not a whole number",
                      run.stderr)
        self.assertEqual(b"", run.stdout)
        for command in (("check", MAIL), ("info",), ("config",), ("lint",)):
            with self.subTest(command=command):
                run = emlscan("-c", self.work, *command)
                self.assertEqual(2, run.returncode, run.stderr)
                self.assertEqual(("emlscan: %s: a folder, not a settings file\n" % self.work)
                                 .encode(), run.stderr)

    def test_shipped_settings_pass_and_config_shows_their_sources(self):
        run = emlscan("-c", SHIPPED, "check", "-q", MAIL)
        self.assertEqual(0, run.returncode, run.stderr)
        run = emlscan("-c", SHIPPED, "--set", "/eml/performer/SpamTag=[SPAM] ", "config")
        self.assertEqual(0, run.returncode, run.stderr)
        self.assertEqual(b"", run.stderr)
        shown = run.stdout.decode().splitlines()
        with open(SHIPPED) as shipped:
            lines = shipped.read().splitlines()

        def where(key):
            return "%s:%d" % (SHIPPED, next(i for i, line in enumerate(lines, 1)
                                            if line.startswith(key + " ")))

        self.assertIn("/eml/global/AggressivityLevel = 5   (%s)" % where("AggressivityLevel"),
                      shown)
        self.assertIn('/eml/performer/SpamTag = "[SPAM] "   (--set)', shown)
        self.assertIn("/eml/streamer/LoadPacker = true   (%s)" % where("LoadPacker"), shown)
        self.assertIn('/eml/performer/HeaderName = "X-Orvane-Spam"   (default)', shown)
        self.assertIn('/eml/breaker/SlfPath = "%s"   (%s)'
                      % (os.path.join(ROOT, "data", "rules"), where("SlfPath")), shown)


if __name__ == "__main__":
    EMLSCAN = sys.argv[1]
    del sys.argv[1:2]
    unittest.main()
