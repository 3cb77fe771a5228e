#!/usr/bin/env python3
"""The shipped rule set in data/rules, as emlscan loads and runs it.

usage: shipped_rules_test.py EMLSCAN [unittest options]

- emlscan lint loads every shipped rule without a message.
- The set is layered so that no score is counted twice: a rule's actions run
  each time it is run, and a meta-rule runs the rules it names, so only rules
  that nothing names may score, and they carry a priority so that the filter
  runs each of them exactly once.
- On corpus mails, the SCORE that emlscan check reports is the sum of the
  increase_score contributions of the rules that hit, each counted once, and
  the verdict follows from score and category.
The corpus checks need ../shared/corpus and are skipped without it.
"""
import json
import os
import re
import subprocess
import sys
import tempfile
import unittest

EMLSCAN = None
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RULES = os.path.join(ROOT, "data", "rules")
CORPUS = os.path.join(ROOT, "..", "shared", "corpus")
THRESHOLD = 5  # [emlscan.check] Threshold of data/emlscan.toml

TOKEN = re.compile(r'/\*.*?\*/|"(?:\\.|[^"\\\n])*"|[A-Za-z_$][\w$.\-]*|\d+|&&&|&&|\|\|\||\|\||==|!=|::|\S', re.S)


class Rule:
    def __init__(self, name, meta, path):
        self.name, self.meta, self.path = name, meta, path
        self.condition, self.actions, self.metadata = [], [], []

    def score(self):
        """What the rule adds to SCORE when it runs and hits (the last item wins)."""
        found = re.findall(r"increase_score \( SCORE , (\d+) \)", " ".join(self.actions))
        return int(found[-1]) if found else 0

    def sets_score(self):
        return "mark" in self.actions

    def has_actions(self):
        return bool(self.actions) and self.actions != ["none", ";"]

    def priority(self):
        text = " ".join(self.metadata)
        found = re.findall(r"priority = (\d+)", text)
        return int(found[-1]) if found else None

    def named_rules(self):
        keywords = {"true", "false", "none"}
        return [t for t in self.condition if re.match(r"[A-Za-z_$]", t) and t not in keywords] \
            if self.meta else []


def load_rules():
    """The rules of data/rules by name: sections as token lists, split at the section keywords."""
    rules = {}
    for file in sorted(f for f in os.listdir(RULES) if f.endswith(".slf")):
        path = os.path.join(RULES, file)
        with open(path, encoding="utf-8") as f:
            tokens = [t for t in TOKEN.findall(f.read()) if not t.startswith("/*")]
        i = 0
        while i < len(tokens):
            kind, name = tokens[i], tokens[i + 1]
            assert kind in ("rule", "metarule") and tokens[i + 2] == "{", (path, tokens[i:i + 3])
            rule = Rule(name, kind == "metarule", path)
            section = None
            i += 3
            while tokens[i] != "}":
                if tokens[i] in ("condition", "actions", "metadata") and tokens[i + 1] == ":":
                    section = {"condition": rule.condition, "actions": rule.actions,
                               "metadata": rule.metadata}[tokens[i]]
                    i += 2
                    continue
                section.append(tokens[i])
                i += 1
            i += 1
            assert name not in rules, "%s defined twice (%s, %s)" % (name, rules[name].path if name in rules else "", path)
            rules[name] = rule
    return rules


# Small mails of kinds the corpus lacks: what each should be judged, and the mail.
CRAFTED = {
    "phishing": """From: "Account Service" <service@account-check.example>
To: user@example.org
Subject: Your account has been suspended
Date: Mon, 3 Jun 2024 10:00:00 +0000
Message-ID: <a1@account-check.example>
MIME-Version: 1.0
Content-Type: text/html; charset=utf-8

<html><body><p>Dear Customer,</p>
<p>We detected unauthorized access. Please verify your account information.</p>
<p><a href="http://192.0.2.10/login/verify.php">https://www.bank.example/account</a></p>
</body></html>
""",
    "spam": """From: friend@example.net
To: user@example.org
Subject: the photos
Date: Mon, 3 Jun 2024 10:00:00 +0000
Message-ID: <a2@example.net>
MIME-Version: 1.0
Content-Type: multipart/mixed; boundary="b1"

--b1
Content-Type: text/plain; charset=us-ascii

see attached
--b1
Content-Type: application/octet-stream; name="holiday.jpg.exe"
Content-Disposition: attachment; filename="holiday.jpg.exe"
Content-Transfer-Encoding: base64

TVqQAAMAAAAEAAAA//8AALgAAAAAAAAAQAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA
--b1--
""",
    "legitimate": """From: Anna Smith <anna@example.net>
To: Bob <bob@example.org>
Subject: Lunch on Friday?
Date: Mon, 3 Jun 2024 10:00:00 +0000
Message-ID: <a3@example.net>
MIME-Version: 1.0
Content-Type: text/plain; charset=us-ascii

Hi Bob, are we still on for lunch on Friday? The place near the station
opens at noon. Anna
""",
}


# Pairs of small mails around one rule: the kind of spam it is for hits it, and the
# legitimate mail nearest to that kind does not. (extra headers, subject, body, rule, hits)
NEAR_MISSES = [
    # "Re:" without In-Reply-To or References, in mail a bulk tool addressed...
    ("To: undisclosed-recipients:;\n", "Re: your order", "Your order shipped.",
     "SC_SUBJ_FAKE_REPLY", True),
    # ...but not a real answer, which names the mail it answers, nor a subject without "Re:".
    ("To: undisclosed-recipients:;\nIn-Reply-To: <x1@example.net>\n", "Re: your order",
     "Your order shipped.", "SC_SUBJ_FAKE_REPLY", False),
    ("To: undisclosed-recipients:;\n", "Your order", "Your order shipped.",
     "SC_SUBJ_FAKE_REPLY", False),
    ("To: user@example.org\n", "See it for FREE -pkqolhil", "Have a look.",
     "SC_SUBJ_DASH_TOKEN", True),
    ("To: user@example.org\n", "Build fails with gcc -pedantic and -Wall on arm",
     "Any idea?", "SC_SUBJ_DASH_TOKEN", False),
    # A list seller's excuse counts; a group's or a company's "received by mistake" does not.
    ("To: user@example.org\n", "News", "You are receiving this because you have expressed "
     "an interest in our products.", "SC_BODY_RECEIVING_BECAUSE", True),
    ("To: user@example.org\n", "News", "If you received this message by mistake, please "
     "delete it and notify the sender.", "SC_BODY_RECEIVING_BECAUSE", False),
    ("To: user@example.org\n", "Hello", "I came across your resume. Our service instantly "
     "posts your resume to over 75 career websites.", "SC_BODY_RESUME_BLAST", True),
    ("To: undisclosed-recipients:;\n", "Ofertas", "Produtos novos. Para ver os modelos "
     "clique aqui.", "SC_BODY_SALES_PITCH", True),
]


def corpus_mails(per_folder):
    mails = []
    for folder in ("ham", "spam"):
        path = os.path.join(CORPUS, folder)
        names = sorted(os.listdir(path))
        step = max(1, len(names) // per_folder)
        mails += [os.path.join(path, n) for n in names[::step][:per_folder]]
    return mails


def check(mails):
    result = subprocess.run([EMLSCAN, "--set", "/eml/breaker/SlfPath=" + RULES,
                             "check", "--json", "-q", *mails], capture_output=True)
    return [json.loads(line) for line in result.stdout.decode().splitlines()]


class ShippedRulesTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.rules = load_rules()

    def test_lint_reports_nothing(self):
        result = subprocess.run([EMLSCAN, "lint", RULES], capture_output=True)
        self.assertEqual(b"", result.stdout)
        self.assertEqual(0, result.returncode, result.stderr.decode())

    def test_the_set_is_large_and_scores_through_priority_rules(self):
        self.assertGreaterEqual(len(self.rules), 120)
        scoring = [r for r in self.rules.values() if r.score() > 0]
        self.assertGreaterEqual(len(scoring), 40)
        for rule in self.rules.values():
            if rule.has_actions():
                self.assertIsNotNone(rule.priority(), rule.name + " acts but no filter runs it")

    def test_no_rule_with_actions_is_named_by_another_rule(self):
        for rule in self.rules.values():
            for name in rule.named_rules():
                self.assertIn(name, self.rules, "%s names unknown %s" % (rule.name, name))
                self.assertFalse(self.rules[name].has_actions(),
                                 "%s names %s, whose actions would run again" % (rule.name, name))

    def test_no_single_rule_reaches_the_threshold(self):
        # The GTUBE test string is spam by definition; administrators send it to see the filter work.
        for rule in self.rules.values():
            if rule.name == "SC_GTUBE":
                continue
            if not rule.meta or len(set(rule.named_rules())) < 2:
                self.assertLess(rule.score(), THRESHOLD, rule.name + " is one sign scoring a verdict")
                self.assertNotIn("set_category", rule.actions, rule.name)

    def test_crafted_mails_get_their_verdicts(self):
        with tempfile.TemporaryDirectory() as folder:
            paths = {}
            for verdict, text in CRAFTED.items():
                paths[verdict] = os.path.join(folder, verdict + ".eml")
                with open(paths[verdict], "w") as f:
                    f.write(text.replace("\n", "\r\n"))
            results = {e["file"]: e for e in check(list(paths.values()))}
            for verdict, path in paths.items():
                entry = results[path]
                self.assertEqual(verdict, entry["verdict"], entry)
                self.assertEqual(sum(self.rules[h].score() for h in entry["hit_rules"]), entry["score"])

    def test_rules_tell_their_kind_of_spam_from_the_nearest_legitimate_mail(self):
        with tempfile.TemporaryDirectory() as folder:
            paths = []
            for i, (headers, subject, body, _, _) in enumerate(NEAR_MISSES):
                paths.append(os.path.join(folder, "%02d.eml" % i))
                with open(paths[-1], "w") as f:
                    f.write(("From: Sender <sender@example.net>\n%sSubject: %s\n"
                             "Date: Mon, 3 Jun 2024 10:00:00 +0000\nMessage-ID: <m%d@example.net>\n"
                             "MIME-Version: 1.0\nContent-Type: text/plain; charset=us-ascii\n\n%s\n")
                            % (headers, subject, i, body))
            results = {e["file"]: e for e in check(paths)}
            for path, (_, subject, body, rule, hits) in zip(paths, NEAR_MISSES):
                self.assertEqual(hits, rule in results[path]["hit_rules"], (rule, subject, body))

    @unittest.skipUnless(os.path.isdir(os.path.join(CORPUS, "spam")), "no corpus")
    def test_score_is_the_sum_of_the_hit_rules_each_counted_once(self):
        results = check(corpus_mails(15))
        self.assertTrue(results)
        judged = 0
        scored = 0
        for entry in results:
            if entry["verdict"] == "error" or entry.get("unreadable"):
                continue
            judged += 1
            name = entry["file"]
            self.assertEqual([], entry.get("rule_errors", []), name)
            hits = entry["hit_rules"]
            self.assertEqual(len(hits), len(set(hits)), name)
            for hit in hits:
                self.assertIn(hit, self.rules, name)
            self.assertFalse(any(self.rules[h].sets_score() for h in hits), name)
            expected = sum(self.rules[h].score() for h in hits)
            self.assertEqual(expected, entry["score"], "%s: hits %s" % (name, hits))
            spam = entry["category"] == "spam" or entry["score"] >= THRESHOLD
            want = "phishing" if entry["category"].lower() == "phishing" else \
                "spam" if spam else "legitimate"
            self.assertEqual(want, entry["verdict"], name)
            if len([h for h in hits if self.rules[h].score() > 0]) >= 2:
                scored += 1
        # The check is only worth something when mails were judged and rules added up.
        self.assertGreaterEqual(judged, 20)
        self.assertGreaterEqual(scored, 5)


if __name__ == "__main__":
    EMLSCAN = sys.argv.pop(1)
    unittest.main()
