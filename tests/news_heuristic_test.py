#!/usr/bin/env python3
"""The news heuristic on corpus mails, through the shipped rules as emlscan check runs them.

usage: news_heuristic_test.py EMLSCAN [unittest options]

Python's email package reads each corpus mail on its own and predicts what the
heuristic must publish as H_NEWS_* rule values:
- the addresses of a mail that is one plain-text part: an "@" with a "." among
  it and the 39 characters after it, before any blank, is one address; more
  than three publish H_NEWS_LIKE_MULTIPLE_ADDRESSES1, more than five ..2 too;
- a mail without any link has no main domain, so it publishes none of the
  domain findings (H_NEWS_DOMAIN2, H_NEWS_FROM_DOMAIN, H_NEWS_MAIL_ADDRESS_DOMAIN);
- a plain-text mail whose links all point to one domain, at least 20 of them,
  has that main domain: H_NEWS_FROM_DOMAIN exactly when the From address
  contains it, and never H_NEWS_DOMAIN2.
The checks need ../shared/corpus and are skipped without it.
"""
import collections
import email
import email.policy
import email.utils
import json
import os
import re
import subprocess
import sys
import unittest

EMLSCAN = None
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CORPUS = os.path.join(ROOT, "..", "shared", "corpus")
FOLDERS = ("ham", "spam")
# Only the first 300 KiB of a body is analysed; stay well below.
MAX_MAIL = 100 * 1024

DOMAIN_FINDINGS = ("H_NEWS_DOMAIN2", "H_NEWS_FROM_DOMAIN", "H_NEWS_MAIL_ADDRESS_DOMAIN")
WEB_LINK = re.compile(r"(https?://)?(?:www\.)?((?<=://)[A-Za-z0-9-]+(?:\.[A-Za-z0-9-]+)+|(?<=www\.)[A-Za-z0-9-]+(?:\.[A-Za-z0-9-]+)+)", re.I)


def corpus_mails():
    mails = []
    for folder in FOLDERS:
        path = os.path.join(CORPUS, folder)
        if os.path.isdir(path):
            mails += sorted(os.path.join(path, f) for f in os.listdir(path))
    return [m for m in mails if os.path.isfile(m) and os.path.getsize(m) <= MAX_MAIL]


def hits_by_file(mails):
    """emlscan check's hit rules of every mail, by file."""
    folders = sorted(set(os.path.dirname(m) for m in mails))
    result = subprocess.run([EMLSCAN, "check", "--json", "-q", "-j2", *folders],
                            capture_output=True)
    entries = [json.loads(line) for line in result.stdout.decode().splitlines()]
    wanted = set(mails)
    return {e["file"]: set(e["hit_rules"]) for e in entries if e["file"] in wanted}


def plain_text(message):
    """The text of a mail that is a single plain-text part, else None."""
    if message.is_multipart() or message.get_content_type() != "text/plain":
        return None
    payload = message.get_payload(decode=True)
    charset = message.get_content_charset() or "iso-8859-1"
    try:
        return payload.decode(charset)
    except (LookupError, UnicodeDecodeError):
        return None


def count_addresses(text):
    """Addresses as the heuristic counts them: the "@" and at most 39 units after it."""
    count = 0
    at = text.find("@")
    while at != -1:
        end = min(at + 40, len(text))
        stop = end
        for i in range(at, end):
            if text[i] in " \0":
                stop = i + 1
                break
            if text[i] == ".":
                count += 1
                stop = i + 1
                break
        at = text.find("@", stop)
    return count


def registrable(host):
    """host cut to the labels a registrar sells, for the usual suffixes ("co.uk")."""
    labels = host.rstrip(".").split(".")
    keep = 3 if len(labels[-1]) == 2 and labels[-2] in ("co", "com", "org", "net", "ac") else 2
    return ".".join(labels[-keep:])


def main_domain(text):
    """The domain that 20 or more of the links of text point to, and at least 80 % of
    them; else None. Links are http:// and bare www. addresses; an https:// link has the
    scheme for its host, as the heuristic reads it."""
    if re.search(r"ftp:|\*|@[A-Za-z0-9.-]+[/:]", text, re.I):
        return None
    counts = collections.Counter()
    for match in WEB_LINK.finditer(text):
        scheme, host = match.group(1) or "", match.group(2)
        counts["https" if scheme.lower() == "https://" else registrable(host)] += 1
    if not counts:
        return None
    domain, count = counts.most_common(1)[0]
    return domain if count >= 20 and count * 100 >= 80 * sum(counts.values()) else None


class NewsHeuristicOnCorpus(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.mails = corpus_mails()
        if not cls.mails:
            raise unittest.SkipTest("no corpus at %s" % CORPUS)
        cls.hits = hits_by_file(cls.mails)
        cls.messages = {}
        for path in cls.mails:
            with open(path, "rb") as f:
                cls.messages[path] = email.message_from_binary_file(f, policy=email.policy.compat32)

    def test_addresses_of_plain_text_mails(self):
        judged = found = 0
        for path in self.mails:
            text = plain_text(self.messages[path])
            if text is None:
                continue
            count = count_addresses(text)
            hits = self.hits[path]
            self.assertEqual(count > 3, "H_NEWS_LIKE_MULTIPLE_ADDRESSES1" in hits,
                             "%s: %d addresses" % (path, count))
            self.assertEqual(count > 5, "H_NEWS_LIKE_MULTIPLE_ADDRESSES2" in hits,
                             "%s: %d addresses" % (path, count))
            judged += 1
            found += count > 5
        # Worth something only when many mails were judged and some had many addresses.
        self.assertGreater(judged, 300)
        self.assertGreater(found, 10)

    def test_mails_without_links_have_no_main_domain(self):
        judged = 0
        for path in self.mails:
            with open(path, "rb") as f:
                raw = f.read().lower()
            if b"http" in raw or b"www" in raw or b"href" in raw:
                continue
            for finding in DOMAIN_FINDINGS:
                self.assertNotIn(finding, self.hits[path], path)
            judged += 1
        self.assertGreater(judged, 100)

    def test_a_plain_text_mail_linking_to_one_domain_advertises_it(self):
        judged = 0
        for path in self.mails:
            message = self.messages[path]
            text = plain_text(message)
            domain = main_domain(text) if text is not None else None
            if domain is None:
                continue
            hits = self.hits[path]
            senders = [a for _, a in email.utils.getaddresses(message.get_all("From", []))]
            self.assertEqual(any(domain in address for address in senders),
                             "H_NEWS_FROM_DOMAIN" in hits, "%s: %s" % (path, domain))
            first_at = text.find("@")
            self.assertEqual(first_at != -1 and text.rfind(domain) > first_at,
                             "H_NEWS_MAIL_ADDRESS_DOMAIN" in hits, "%s: %s" % (path, domain))
            self.assertNotIn("H_NEWS_DOMAIN2", hits, path)
            judged += 1
        self.assertGreater(judged, 5)

if __name__ == "__main__":
    EMLSCAN = sys.argv.pop(1)
    unittest.main()
