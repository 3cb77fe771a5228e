#!/usr/bin/env python3
"""emlscan when something around a mail is wrong.

usage: faults_test.py EMLSCAN [unittest options]

- A missing companion library: the packer (exit 2 naming the setting and the
  file), the plug-in itself, the regex library (check refuses to judge with
  half the rules, exit 2; dump warns), and the tracer when a trace is asked for.
- Bad mails and folders: a folder's files that are plainly not mail are
  skipped and counted apart; a failed mail has its own JSON line; a body that
  breaks its charset names the part and the charset; a cut tree says where.
Everything is built under a private folder of $TMPDIR.
"""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

EMLSCAN = None
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SAMPLES = os.path.join(ROOT, "data", "samples")
WELCOME = os.path.join(SAMPLES, "welcome.eml")


def emlscan(*args, env=None):
    return subprocess.run([EMLSCAN, *args], capture_output=True, timeout=120,
                          env=dict(os.environ, **(env or {})))


class Fixture(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="emlscan-faults-")

    def tearDown(self):
        shutil.rmtree(self.work, ignore_errors=True)

    def path(self, *parts):
        return os.path.join(self.work, *parts)

    def write(self, name, data):
        with open(self.path(name), "wb") as out:
            out.write(data)
        return self.path(name)

    def plugin_copy(self, without):
        """The plug-in with its companions in a folder of its own, less one."""
        lib = os.path.join(os.path.dirname(os.path.dirname(EMLSCAN)), "lib")
        folder = self.path("plugin")
        os.makedirs(folder, exist_ok=True)
        for name in ("libemlbreaker.so", "libmsgcodec.so", "libpatmatch.so", "liblogsink.so"):
            if name != without:
                shutil.copy(os.path.join(lib, name), folder)
        return os.path.join(folder, "libemlbreaker.so")


class MissingLibraries(Fixture):
    def test_a_packer_folder_without_the_packer_is_named(self):
        os.mkdir(self.path("empty"))
        for command in ("check", "dump"):
            with self.subTest(command=command):
                run = emlscan("--set", "/eml/streamer/PackerPath=" + self.path("empty"),
                              command, WELCOME)
                self.assertEqual(2, run.returncode, run.stderr)
                err = run.stderr.decode()
                self.assertIn("/eml/streamer/PackerPath", err)
                self.assertIn(self.path("empty", "libmsgcodec.so"), err)
        run = emlscan("--set", "/eml/streamer/PackerPath=" + self.path("empty"), "filter", WELCOME)
        self.assertEqual(75, run.returncode, run.stderr)  # the mail system tries again later

    def test_a_missing_plugin_is_named(self):
        run = emlscan("--plugin", self.plugin_copy("libemlbreaker.so"), "check", WELCOME)
        self.assertEqual(2, run.returncode)
        self.assertIn(b"cannot load plug-in", run.stderr)
        self.assertIn(self.path("plugin", "libemlbreaker.so").encode(), run.stderr)

    def test_no_verdict_without_the_regex_library(self):
        plugin = self.plugin_copy("libpatmatch.so")
        run = emlscan("--plugin", plugin, "check", WELCOME)
        self.assertEqual(2, run.returncode, run.stderr)
        self.assertEqual(b"", run.stdout)
        self.assertIn(b"regular-expression library (/eml/global/SharedLibsPath)", run.stderr)
        self.assertIn(self.path("plugin", "libpatmatch.so").encode(), run.stderr)
        # The dump needs no rules: it says so and goes on.
        run = emlscan("--plugin", plugin, "dump", WELCOME)
        self.assertEqual(0, run.returncode, run.stderr)
        self.assertIn(b"warning: the plug-in could not load the regular-expression", run.stderr)

    def test_a_trace_asked_for_without_a_tracer_is_a_warning(self):
        plugin = self.plugin_copy("liblogsink.so")
        trace = self.path("trace.log")
        run = emlscan("--plugin", plugin, "check", WELCOME, env={"EMLSCAN_TRACE": trace})
        self.assertEqual(0, run.returncode, run.stderr)
        self.assertIn(b"EMLSCAN_TRACE is set, but the plug-in has no tracer", run.stderr)
        # Not asked for: nothing to say.
        run = emlscan("--plugin", plugin, "check", WELCOME, env={"EMLSCAN_TRACE": ""})
        self.assertNotIn(b"warning", run.stderr)


class BadMails(Fixture):
    def test_plain_non_mail_files_of_a_folder_are_skipped_not_failed(self):
        os.mkdir(self.path("box"))
        shutil.copy(WELCOME, self.path("box", "1.eml"))
        self.write(os.path.join("box", "README"), b"This folder holds test mails.\n")
        self.write(os.path.join("box", "MANIFEST"), b"")
        self.write(os.path.join("box", "2.eml"), b"From x@y Mon Jan  1 00:00:00 2024\n"
                   b"Subject: mbox style\n\nhello\n")
        for command, counts in (("check", r"2 mails: .* 0 errors, 2 skipped \(not mail\)"),
                                ("dump", r"2 mails, 2 dumped, 0 failed, 2 skipped \(not mail\)")):
            with self.subTest(command=command):
                run = emlscan(command, self.path("box"))
                self.assertEqual(0, run.returncode, run.stderr)
                err = run.stderr.decode()
                self.assertRegex(err, counts)
                self.assertIn("README: skipped", err)
        # Named on the command line, the same file is a failure.
        run = emlscan("dump", self.path("box", "README"))
        self.assertEqual(1, run.returncode)

    def test_a_failed_mail_has_a_json_line_naming_part_and_charset(self):
        bad = self.write("bad.eml", b"From: a@b\nSubject: s\nMIME-Version: 1.0\n"
                         b"Content-Type: multipart/mixed; boundary=\"b\"\n\n"
                         b"--b\nContent-Type: text/plain; charset=us-ascii\n\nfine\n"
                         b"--b\nContent-Type: text/plain; charset=\"x-no-such-set\"\n\nlost\n"
                         b"--b--\n")
        run = emlscan("dump", "--json", WELCOME, bad)
        self.assertEqual(1, run.returncode, run.stderr)
        lines = [json.loads(line) for line in run.stdout.decode().splitlines()]
        self.assertEqual([WELCOME, bad], [line["file"] for line in lines])
        self.assertNotIn("error", lines[0])
        self.assertEqual(-303, lines[1]["code"])
        self.assertIn('body 1.2, charset "x-no-such-set"', lines[1]["error"])
        self.assertIn(b'body 1.2, charset "x-no-such-set"', run.stderr)

    def test_a_tree_cut_at_the_depth_limit_says_where(self):
        depth = 30
        mail = [b"From: a@b\nSubject: deep\nMIME-Version: 1.0\n"
                b"Content-Type: multipart/mixed; boundary=\"b0\"\n\n"]
        for level in range(1, depth + 1):
            mail.append(b"--b%d\nContent-Type: multipart/mixed; boundary=\"b%d\"\n\n"
                        % (level - 1, level))
        mail.append(b"--b%d\nContent-Type: text/plain\n\nhidden\n" % depth)
        mail.extend(b"--b%d--\n" % level for level in range(depth, -1, -1))
        deep = self.write("deep.eml", b"".join(mail))
        run = emlscan("dump", "--json", deep)
        self.assertEqual(0, run.returncode, run.stderr)
        cuts = json.loads(run.stdout)["truncated"]
        self.assertEqual([{"limit": "depth", "at": ".".join(["1"] * 21), "max": 20}], cuts)
        text = emlscan("dump", deep).stdout.decode()
        self.assertRegex(text, r"\ntruncated:\n  depth at (1\.){20}1: ")
        # A header past the breaker's bound on one value, named with its part.
        long = self.write("long.eml", b"From: a@b\nSubject: " + b"x" * (1100 << 10) +
                          b"\nTo: c@d\n\nbody\n")
        cuts = json.loads(emlscan("dump", "--json", long).stdout)["truncated"]
        self.assertEqual([{"limit": "header", "at": "1", "header": "SUBJECT", "max": 1 << 20}],
                         cuts)
        # A body past what the text stages read: 350 KB of quoted-printable
        # text, whose content in the mail is longer still.
        big = self.write("big.eml", b"From: a@b\nSubject: big\nMIME-Version: 1.0\n"
                         b"Content-Type: text/plain\nContent-Transfer-Encoding: quoted-printable\n\n" +
                         b"caf=C3=A9 au lait\n" * 25000)
        cuts = json.loads(emlscan("dump", "--json", big).stdout)["truncated"]
        self.assertEqual([{"limit": "body", "at": "1", "max": 307200}], cuts)
        # An ordinary mail has no such list.
        self.assertNotIn("truncated", json.loads(emlscan("dump", "--json", WELCOME).stdout))


if __name__ == "__main__":
    EMLSCAN = sys.argv[1]
    del sys.argv[1:2]
    unittest.main()
