#!/usr/bin/env python3
"""Runs check_layers.py on small throw-away git repositories."""
import os
import subprocess
import sys
import tempfile
import unittest

CHECKER = os.path.join(os.path.dirname(os.path.abspath(__file__)),
                       "check_layers.py")

# A tree whose every include points down.
CLEAN = {
    "include/emlbreaker/api.h": "",
    "common/str.h": '#include "emlbreaker/api.h"\n',
    "common/wide_scan.h": "",
    "mail/components/x.h": '#include "common/str.h"\n',
    "rules/language/parser.h": '#include "common/str.h"\n',
    "rules/engine.h": '#include "rules/language/parser.h"\n',
    "libs/msgcodec/raw_scan.h": "#include <string>\n",
    "libs/patmatch/p.h": "",
    "tools/emlscan/main.cc": '#include "common/wide_scan.h"\n',
}


class CheckLayersTest(unittest.TestCase):
    def check(self, path=None, text=""):
        """(exit code, output) of the checker on CLEAN plus PATH."""
        files = dict(CLEAN)
        if path:
            files[path] = text
        with tempfile.TemporaryDirectory() as repo:
            for path, text in files.items():
                os.makedirs(os.path.dirname(os.path.join(repo, path)),
                            exist_ok=True)
                with open(os.path.join(repo, path), "w") as f:
                    f.write(text)
            subprocess.run(["git", "init", "-q", repo], check=True)
            subprocess.run(["git", "-C", repo, "add", "."], check=True)
            run = subprocess.run([sys.executable, CHECKER, repo],
                                 stdout=subprocess.PIPE,
                                 universal_newlines=True)
        return run.returncode, run.stdout

    def test_clean_tree_passes(self):
        code, out = self.check()
        self.assertEqual(code, 0, out)
        self.assertEqual(out, "5 includes in 9 files, all pointing down\n")

    def test_upward_include_names_file_and_line(self):
        code, out = self.check("common/up.cc",
                               '\n\n#include "mail/components/x.h"\n')
        self.assertEqual(code, 1)
        self.assertTrue(out.startswith("common/up.cc:3: common includes "
                                       "mail/components/x.h (components): "),
                        out)
        self.assertEqual(len(out.splitlines()), 1, out)

    def test_rule_language_is_below_mail(self):
        code, out = self.check("rules/language/lex.cc",
                               '#include "mail/components/x.h"\n')
        self.assertEqual(code, 1)
        self.assertIn(": language includes mail/components/x.h", out)

    def test_include_across_libs_fails(self):
        code, out = self.check(
            "libs/msgcodec/a.cc", '#include "libs/patmatch/p.h"\n')
        self.assertEqual(code, 1)
        self.assertIn("libs/msgcodec/a.cc:1: libs includes libs/patmatch/p.h",
                      out)

    def test_bare_include_of_neighbour_passes(self):
        code, out = self.check("libs/msgcodec/mail.cc",
                               '#include "raw_scan.h"\n#include "gen.h"\n')
        self.assertEqual(code, 0, out)

    def test_missing_target_fails(self):
        code, out = self.check("common/a.cc", '#include "common/gone.h"\n')
        self.assertEqual(code, 1)
        self.assertIn("names no file", out)

    def test_lint_exception_only_for_lint(self):
        code, out = self.check(
            "tools/emlscan/lint.cc", '#include "rules/engine.h"\n')
        self.assertEqual(code, 0, out)
        code, out = self.check(
            "tools/emlscan/dump.cc", '#include "rules/engine.h"\n')
        self.assertEqual(code, 1)
        self.assertIn("tools/emlscan/dump.cc:1: host includes", out)


if __name__ == "__main__":
    unittest.main()
