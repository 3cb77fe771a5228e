#!/usr/bin/env python3
"""`emlscan urldb` as an administrator meets it.

usage: urldb_cli_test.py EMLSCAN [unittest options]

- build takes one domain or URL a line with # comments, keeps registrable domains
  once, names every refused line as file:line and exits 1 for them (2 when a file
  cannot be read);
- list and test read the file back; test exits 0 when some URL is listed, 1 when none;
- update joins an update file to a base; diff writes the update that adds what a new
  base has and names what an update file cannot remove.
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

EMLSCAN = None


def urldb(*args, cwd=None):
    return subprocess.run([EMLSCAN, "urldb", *args], capture_output=True, text=True,
                          timeout=60, cwd=cwd)


class UrlDb(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="emlscan-urldb-")

    def tearDown(self):
        shutil.rmtree(self.work, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.work, name)

    def build(self, name, lines):
        with open(self.path(name + ".txt"), "w") as listing:
            listing.write("\n".join(lines) + "\n")
        return urldb("build", "-o", self.path(name + ".dat"), self.path(name + ".txt"))

    def listed(self, name):
        run = urldb("list", self.path(name))
        self.assertEqual(0, run.returncode, run.stderr)
        return run.stdout.split()

    def test_build_keeps_registrable_domains_once_and_names_refused_lines(self):
        run = self.build("base", [
            "# shipped block list",
            "evil.example",
            "http://www.Spam.co.uk/path?x=1",
            "https://secure.phish.example.net:8443/login   # a comment after it",
            "",
            "EVIL.example",
            "two words",
            "localhost",
        ])
        self.assertEqual(1, run.returncode, run.stderr)
        listing = self.path("base.txt")
        self.assertIn(listing + ":7: more than one word: two words", run.stderr)
        self.assertIn(listing + ":8: names no domain: localhost", run.stderr)
        self.assertIn("3 domains from 6 lines (1 repeated, 2 refused)", run.stderr)
        self.assertEqual(["evil.example", "example.net", "spam.co.uk"], self.listed("base.dat"))

        test = urldb("test", self.path("base.dat"), "http://a.b.EVIL.example/x",
                     "WWW.SPAM.CO.UK", "http://good.example/", "nothing")
        self.assertEqual(0, test.returncode, test.stderr)
        self.assertEqual([["http://a.b.EVIL.example/x", "listed", "evil.example"],
                          ["WWW.SPAM.CO.UK", "listed", "spam.co.uk"],
                          ["http://good.example/", "not listed", "good.example"],
                          ["nothing", "not listed", "(no domain)"]],
                         [line.split("\t") for line in test.stdout.splitlines()])
        none = urldb("test", self.path("base.dat"), "http://good.example/")
        self.assertEqual(1, none.returncode)

    def test_update_adds_and_diff_says_what_it_cannot_remove(self):
        self.assertEqual(0, self.build("base", ["a.example", "b.example"]).returncode)
        self.assertEqual(0, self.build("more", ["b.example", "c.example"]).returncode)
        run = urldb("update", self.path("base.dat"), self.path("more.dat"),
                    "-o", self.path("new.dat"))
        self.assertEqual(0, run.returncode, run.stderr)
        self.assertEqual(["a.example", "b.example", "c.example"], self.listed("new.dat"))

        # From base to more: c.example is added; a.example cannot be taken away.
        diff = urldb("diff", self.path("base.dat"), self.path("more.dat"),
                     "-o", self.path("update.dat"))
        self.assertEqual(1, diff.returncode, diff.stderr)
        self.assertIn("  a.example\n", diff.stderr)
        self.assertEqual(["c.example"], self.listed("update.dat"))
        # Applying that update to the base gives what a breaker loading both lists.
        urldb("update", self.path("base.dat"), self.path("update.dat"),
              "-o", self.path("applied.dat"))
        self.assertEqual(["a.example", "b.example", "c.example"], self.listed("applied.dat"))
        same = urldb("diff", self.path("new.dat"), self.path("new.dat"),
                     "-o", self.path("empty.dat"))
        self.assertEqual(0, same.returncode, same.stderr)
        self.assertEqual([], self.listed("empty.dat"))

    def test_the_breaker_loads_the_database_the_rules_read(self):
        self.assertEqual(0, self.build("base", ["blocked.example"]).returncode)
        mail = self.path("mail.eml")
        with open(mail, "w") as out:
            out.write("From: a@sender.example\nTo: b@rcpt.example\nSubject: hi\n"
                      "Date: Mon, 7 Dec 2026 10:00:00 +0000\nMessage-ID: <1@sender.example>\n\n"
                      "See http://www.Shop.Blocked.example/offer today.\n")

        def hits(*settings):
            sets = [arg for s in settings for arg in ("--set", s)]
            run = subprocess.run([EMLSCAN, *sets, "check", "--json", mail],
                                 capture_output=True, text=True, timeout=60)
            self.assertEqual(0, run.returncode, run.stderr)
            return json.loads(run.stdout)["hit_rules"]

        self.assertIn("SC_URL_LISTED",
                      hits("/eml/breaker/UrlDatabase=" + self.path("base.dat")))
        # A missing base file lists nothing and stops nothing.
        self.assertNotIn("URI_LISTED",
                         hits("/eml/breaker/UrlDatabase=" + self.path("missing.dat")))
        self.assertNotIn("URI_LISTED", hits())

    def test_files_that_cannot_be_read_or_written(self):
        with open(self.path("plain.txt"), "w") as plain:
            plain.write("evil.example\n")
        cases = [
            (("list", self.path("missing.dat")), "missing.dat: no such file"),
            (("list", self.path("plain.txt")), "plain.txt: cannot load the URL database"),
            (("build", "-o", self.path("x.dat"), self.path("missing.txt")),
             "missing.txt: cannot read the file"),
            (("build", "-o", self.path("no/such/dir/x.dat"), self.path("plain.txt")),
             "x.dat"),
            (("update", self.path("plain.txt"), self.path("plain.txt"), "-o", self.path("y.dat")),
             "plain.txt: cannot load the URL database"),
        ]
        for args, message in cases:
            run = urldb(*args)
            self.assertEqual(2, run.returncode, args)
            self.assertIn(message, run.stderr, args)
        self.assertFalse(os.path.exists(self.path("y.dat")))
        self.assertEqual(2, urldb().returncode)


if __name__ == "__main__":
    EMLSCAN = os.path.abspath(sys.argv.pop(1))
    unittest.main()
