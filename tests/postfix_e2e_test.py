#!/usr/bin/env python3
"""emlscan milter inside a real Postfix, end to end.

usage: postfix_e2e_test.py EMLSCAN [unittest options]

A private Postfix instance (tests/postfix/harness.py) runs on loopback with
four smtpd listeners, each in front of its own `emlscan milter` on the
shipped settings plus a few --set overrides:

- main:   the shipped policy (tag spam): ham reaches the maildir byte for byte
          as sent apart from the verdict headers and the fields Postfix puts on
          top; spam carries the verdict headers and the subject tag, and so
          does a mail with no header field of its own; a mail the milter
          cannot read (more header fields than the packer opens) passes
          unchanged.
- strict: SpamAction=reject with its own reply text, PhishingAction=quarantine
          and a small MaxSize: spam is refused in the SMTP dialogue and never
          delivered, phishing waits in Postfix's hold queue, an oversized spam
          passes unchanged.
- fault:  OnError=tempfail: a mail it cannot read is refused for now. The
          milter is SIGKILLed in the middle of a mail and while mail is
          submitted: milter_default_action=tempfail keeps every mail (a 4xx to
          the SMTP client, the sendmail(1) mail held in Postfix's queue), and
          after a restart all of them arrive, once. SIGTERM under a stream of
          mails: each is delivered or deferred, and the milter exits cleanly.
- reload: a stream of mails while the rule folder gains a rule and the milter
          gets SIGHUP: nothing is lost or refused, and the mails after the
          reload carry the new rule; a later SIGHUP with a rule file that does
          not parse keeps that set in use.
Needs root and Postfix; exits with status 77 (skipped) and says why otherwise.
Mails come from data/samples and, when present, ../shared/corpus.
"""
import collections
import json
import os
import re
import shutil
import signal
import smtplib
import subprocess
import sys
import tempfile
import threading
import time
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "postfix"))
import harness  # noqa: E402
from mail_fields import split_fields, unfolded  # noqa: E402  (beside this file)

EMLSCAN = None
CONFIG = os.path.join(ROOT, "data", "emlscan.toml")
SAMPLES = os.path.join(ROOT, "data", "samples")
CORPUS = os.path.join(ROOT, "..", "shared", "corpus")
ADDED = ("x-orvane-spam", "x-orvane-assl-hit-rules", "x-orvane-spamstamp")
REJECT_REPLY = "550 5.7.1 Refused by the e2e policy"
SMALL_MAX_SIZE = 20000
RELOAD_RULE = "E2E_RELOAD_MARK"
RELOAD_MAILS_BEFORE = 60    # mails of the first connection before the SIGHUP
RELOAD_MAILS_AFTER = 20     # mails of each connection after the reload is logged
RELOAD_MAX_MAILS = 2000


def with_id(mail, token):
    """The mail with a first field naming it, so each delivered copy is found."""
    return b"X-E2E-Id: " + token.encode() + b"\n" + mail


def e2e_id(delivered):
    match = re.search(rb"^X-E2E-Id: (\S+)$", delivered, re.M)
    return match.group(1).decode() if match else None


def read(path):
    with open(path, "rb") as f:
        return f.read()


def check(paths):
    """emlscan check --json: {path: verdict entry}."""
    out = subprocess.run([EMLSCAN, "check", "--json", "-q", *paths], capture_output=True,
                         check=False).stdout.decode()
    return {entry["file"]: entry for entry in map(json.loads, out.splitlines())}


def corpus_mails(folder, count):
    path = os.path.join(CORPUS, folder)
    if not os.path.isdir(path):
        return []
    names = sorted(n for n in os.listdir(path) if n.endswith(".eml"))
    step = max(1, len(names) // count)
    return [os.path.join(path, n) for n in names[::step][:count]]


def send(port, mail, recipient):
    with smtplib.SMTP("127.0.0.1", port, timeout=60) as smtp:
        smtp.sendmail(harness.SENDER, [recipient], harness.wire(mail))


def rcpt(local_part):
    return "%s@%s" % (local_part, harness.DOMAIN)


class PostfixMilterTest(unittest.TestCase):
    postfix = None

    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="emlscan-e2e-")
        try:
            cls.rules = os.path.join(cls.work, "rules")
            shutil.copytree(os.path.join(ROOT, "data", "rules"), cls.rules)
            cls.postfix = harness.Postfix(listeners=("main", "strict", "fault", "reload"),
                                          non_smtpd_listener="fault")
            try:
                cls.postfix.start()
            except harness.Unavailable as e:
                print("postfix_e2e: skipped: %s" % e, file=sys.stderr)
                raise SystemExit(77)
            milter = "/emlscan/milter/"
            common = {milter + "SocketGroup": "postfix", milter + "StatsInterval": "1"}
            cls.postfix.add_milter("main", EMLSCAN, CONFIG, common)
            cls.postfix.add_milter("strict", EMLSCAN, CONFIG, dict(common, **{
                milter + "SpamAction": "reject", milter + "PhishingAction": "quarantine",
                milter + "RejectReply": REJECT_REPLY, milter + "MaxSize": str(SMALL_MAX_SIZE)}))
            cls.postfix.add_milter("fault", EMLSCAN, CONFIG, dict(common, **{
                milter + "OnError": "tempfail"}))
            cls.postfix.add_milter("reload", EMLSCAN, CONFIG, dict(common, **{
                "/eml/breaker/SlfPath": cls.rules}))
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        if cls.postfix:
            cls.postfix.stop()
        shutil.rmtree(cls.work, ignore_errors=True)

    def port(self, name):
        return self.postfix.ports[name]

    def judged(self, paths):
        """The mails of `paths` as sent (with their X-E2E-Id) and check's verdicts on them."""
        mails = {}
        for index, path in enumerate(paths):
            copy = os.path.join(self.work, "sent-%d-%s" % (index, os.path.basename(path)))
            with open(copy, "wb") as f:
                f.write(harness.stored(with_id(read(path), "m%d" % index)))
            mails["m%d" % index] = copy
        verdicts = check(list(mails.values()))
        return {token: (read(copy), verdicts[copy]) for token, copy in mails.items()}

    def assert_unchanged_but_verdict(self, sent, delivered, kind, context):
        """delivered == sent apart from the three verdict fields and, for spam, the tag."""
        rest, _ = harness.strip_postfix_fields(delivered)
        in_fields, in_body = split_fields(harness.as_delivered(sent))
        out_fields, out_body = split_fields(rest)
        self.assertEqual(in_body, out_body, context)
        added = [(name, raw) for name, raw in out_fields if name in ADDED]
        self.assertEqual(sorted(ADDED), sorted(name for name, _ in added), context)
        kept = [f for f in out_fields if f[0] not in ADDED]
        if kind == "legitimate":
            self.assertEqual(in_fields, kept, context)
        else:
            self.assertEqual([f for f in in_fields if f[0] != "subject"],
                             [f for f in kept if f[0] != "subject"], context)
            subject_in = [unfolded(raw) for name, raw in in_fields if name == "subject"]
            subject_out = [unfolded(raw) for name, raw in kept if name == "subject"]
            tag = b"[spam] " if kind == "spam" else b"[phishing] "
            self.assertEqual([tag + (subject_in[0] if subject_in else b"")], subject_out[:1],
                             context)
        return {name: unfolded(raw) for name, raw in added}

    # (a), (b): the shipped policy.
    def test_ham_arrives_as_sent_and_spam_tagged(self):
        paths = [os.path.join(SAMPLES, n) for n in sorted(os.listdir(SAMPLES))]
        paths += corpus_mails("ham", 6) + corpus_mails("spam", 6)
        mails = self.judged(paths)
        # Mails whose verdict leaves no doubt: the milter sees Postfix's
        # Received field too, which may move a score that sits on the line.
        clear = {t: (m, v) for t, (m, v) in mails.items()
                 if v["verdict"] == "phishing" or abs(v["score"] - 5) >= 2}
        kinds = {v["verdict"] for _, v in clear.values()}
        self.assertTrue({"legitimate", "spam"} <= kinds, kinds)
        print("through Postfix: %d mails, verdicts %s" % (
            len(clear), sorted(v["verdict"] for _, v in clear.values())), file=sys.stderr)
        for token, (mail, _) in clear.items():
            send(self.port("main"), mail, rcpt("ham"))
        delivered = self.postfix.wait_delivered("ham", len(clear))
        by_id = {e2e_id(raw): raw for raw in delivered.values()}
        self.assertEqual(sorted(clear), sorted(by_id))
        for token, (mail, verdict) in clear.items():
            context = "%s (%s)" % (verdict["file"], verdict["verdict"])
            added = self.assert_unchanged_but_verdict(mail, by_id[token], verdict["verdict"],
                                                      context)
            spam_field = added["x-orvane-spam"]
            self.assertEqual(b"No" if verdict["verdict"] == "legitimate" else b"Yes",
                             spam_field.split()[0], context)
            if verdict["verdict"] != "legitimate":
                self.assertNotEqual(b"", added["x-orvane-assl-hit-rules"], context)

    # (c): reject in the SMTP dialogue, never delivered; quarantine into the hold queue.
    def test_spam_refused_during_smtp_and_phishing_held(self):
        mails = self.judged([os.path.join(SAMPLES, "spam-pharmacy.eml"),
                             os.path.join(SAMPLES, "ham-meeting.eml"),
                             os.path.join(SAMPLES, "phishing-bank.eml")])
        (spam, spam_verdict), (ham, ham_verdict), (phish, phish_verdict) = (
            mails["m0"], mails["m1"], mails["m2"])
        self.assertEqual(("spam", "legitimate", "phishing"), (
            spam_verdict["verdict"], ham_verdict["verdict"], phish_verdict["verdict"]))
        with self.assertRaises(smtplib.SMTPDataError) as refused:
            send(self.port("strict"), spam, rcpt("reject"))
        code, text = REJECT_REPLY.split(" ", 1)
        self.assertEqual(int(code), refused.exception.smtp_code)
        self.assertEqual(text, refused.exception.smtp_error.decode())
        # The ham after it is delivered; the spam never is.
        send(self.port("strict"), ham, rcpt("reject"))
        delivered = self.postfix.wait_delivered("reject", 1)
        time.sleep(1)
        delivered = self.postfix.delivered("reject")
        self.assertEqual(["m1"], [e2e_id(raw) for raw in delivered.values()])
        self.assertIn("milter-reject: END-OF-MESSAGE", self.postfix.maillog())
        # Quarantined: accepted, held by Postfix, delivered with its verdict once released.
        send(self.port("strict"), phish, rcpt("held"))
        self.assertTrue(harness.wait_for(lambda: self.postfix.held(), 30))
        self.assertEqual(1, len(self.postfix.held()))
        self.assertIn("milter-hold: END-OF-MESSAGE", self.postfix.maillog())
        time.sleep(1)
        self.assertEqual({}, self.postfix.delivered("held"))
        self.postfix.release_held()
        delivered = list(self.postfix.wait_delivered("held", 1).values())
        self.assertEqual(1, len(delivered))
        self.assert_unchanged_but_verdict(phish, delivered[0], "phishing", "released")
        self.assertEqual([], self.postfix.held())

    # (d): a mail that cannot be broken, and one with no header field of its
    # own; (e): one over MaxSize.
    def test_unbreakable_and_oversized_mail_unchanged_headerless_mail_judged(self):
        # More header fields than the packer opens (50,000): the milter cannot
        # read it and passes it on unchanged (OnError accept), or has Postfix
        # refuse it for now (OnError tempfail).
        crowded = (b"From: a@b\nSubject: many fields\n" +
                   b"".join(b"X-Field-%d: v\n" % i for i in range(50001)) + b"\nbody\n")
        send(self.port("main"), crowded, rcpt("broken"))
        delivered = list(self.postfix.wait_delivered("broken", 1).values())
        self.assertEqual(1, len(delivered))
        rest, queue_id = harness.strip_postfix_fields(delivered[0])
        self.assertEqual(harness.as_delivered(crowded), rest)
        self.assertRegex(self.postfix.milters["main"].log(),
                         r"%s: error: the packer could not read it: .*; action=accept" % queue_id)
        with self.assertRaises(smtplib.SMTPDataError) as deferred:
            send(self.port("fault"), crowded, rcpt("broken"))
        self.assertEqual(4, deferred.exception.smtp_code // 100)
        self.assertRegex(self.postfix.milters["fault"].log(),
                         r"error: the packer could not read it: .*; action=tempfail")
        # Postfix gives it a header block (its Received field, which the
        # milter sees too): it is judged, and only the verdict fields are added.
        headerless = b"this is not a mail at all, just a line of text\nand another\n"
        send(self.port("main"), headerless, rcpt("headerless"))
        delivered = list(self.postfix.wait_delivered("headerless", 1).values())
        self.assertEqual(1, len(delivered))
        verdict = re.search(rb"^X-Orvane-Spam: (Yes|No) ", delivered[0], re.M)
        self.assertIsNotNone(verdict, delivered[0])
        kind = "legitimate" if verdict.group(1) == b"No" else "spam"
        self.assert_unchanged_but_verdict(headerless, delivered[0], kind, "headerless")
        # The strict milter rejects spam; over MaxSize it does not look at it.
        pharmacy = read(os.path.join(SAMPLES, "spam-pharmacy.eml"))
        padding = b"".join(b"padding line %05d to pass the milter's size limit\n" % i
                           for i in range(SMALL_MAX_SIZE // 40))
        oversized = with_id(harness.stored(pharmacy) + padding, "big")
        self.assertGreater(len(oversized), SMALL_MAX_SIZE)
        send(self.port("strict"), oversized, rcpt("big"))
        delivered = list(self.postfix.wait_delivered("big", 1).values())
        self.assertEqual(1, len(delivered))
        rest, queue_id = harness.strip_postfix_fields(delivered[0])
        self.assertEqual(harness.as_delivered(oversized), rest)
        self.assertRegex(self.postfix.milters["strict"].log(),
                         r"%s: accepted unchecked: more than %d bytes \(MaxSize\)"
                         % (queue_id, SMALL_MAX_SIZE))

    # (f): the milter dies; tempfail keeps every mail and nothing is lost.
    def test_killed_milter_loses_no_mail(self):
        milter = self.postfix.milters["fault"]
        mail = read(os.path.join(SAMPLES, "spam-advance-fee.eml"))
        port = self.port("fault")
        # Killed in the middle of a mail's DATA: the client gets a 4xx.
        smtp = smtplib.SMTP("127.0.0.1", port, timeout=60)
        smtp.ehlo()
        smtp.mail(harness.SENDER)
        smtp.rcpt(rcpt("fault"))
        code, _ = smtp.docmd("DATA")
        self.assertEqual(354, code)
        data = harness.wire(with_id(mail, "mid-data"))
        smtp.send(data[: len(data) // 2])
        milter.kill()
        smtp.send(data[len(data) // 2:] + b".\r\n")
        code, reply = smtp.getreply()
        self.assertEqual(4, code // 100, reply)
        smtp.close()
        # While it is down: SMTP clients are told to retry, sendmail's mail is held.
        with self.assertRaises(smtplib.SMTPResponseException) as deferred:
            send(port, with_id(mail, "while-down"), rcpt("fault"))
        self.assertEqual(4, deferred.exception.smtp_code // 100)
        self.postfix.sendmail(harness.wire(with_id(mail, "submitted")), rcpt("fault"))
        time.sleep(3)
        self.assertEqual({}, self.postfix.delivered("fault"))
        self.assertGreaterEqual(self.postfix.queue_count(), 1)
        # Back up: the clients retry, Postfix flushes what it held.
        milter.start()
        send(port, with_id(mail, "mid-data"), rcpt("fault"))
        send(port, with_id(mail, "while-down"), rcpt("fault"))
        self.postfix.flush()
        delivered = self.postfix.wait_delivered("fault", 3, timeout=90)
        ids = sorted(e2e_id(raw) for raw in delivered.values())
        self.assertEqual(["mid-data", "submitted", "while-down"], ids)
        for raw in delivered.values():
            self.assertIn(b"\nX-Orvane-Spam: Yes", raw)
        self.assertEqual(0, self.postfix.queue_count())

    # SIGTERM under a stream of mails: each one finished, or deferred and resent.
    def test_sigterm_under_load_finishes_or_defers_every_mail(self):
        milter = self.postfix.milters["fault"]
        mail = read(os.path.join(SAMPLES, "spam-advance-fee.eml"))
        outcome = {}
        started = threading.Event()

        def stream(thread):
            for sequence in range(40):
                token = "s%d-%02d" % (thread, sequence)
                try:
                    send(self.port("fault"), with_id(mail, token), rcpt("stop"))
                    outcome[token] = 250
                except smtplib.SMTPResponseException as e:
                    outcome[token] = e.smtp_code
                if sequence == 5:
                    started.set()

        threads = [threading.Thread(target=stream, args=(i,)) for i in range(3)]
        for t in threads:
            t.start()
        self.assertTrue(started.wait(60))
        milter.signal(signal.SIGTERM)
        self.assertEqual(0, milter.process.wait(40))
        self.assertFalse(os.path.exists(milter.socket_spec[5:]), "socket left behind")
        for t in threads:
            t.join(120)
        codes = collections.Counter(code // 100 for code in outcome.values())
        self.assertEqual({2, 4}, set(codes), outcome)
        milter.start()
        for token, code in sorted(outcome.items()):
            if code != 250:
                send(self.port("fault"), with_id(mail, token), rcpt("stop"))
        delivered = self.postfix.wait_delivered("stop", len(outcome))
        self.assertEqual(sorted(outcome), sorted(e2e_id(raw) for raw in delivered.values()))
        for raw in delivered.values():
            self.assertIn(b"\nX-Orvane-Spam: Yes", raw)

    # (g): SIGHUP under a stream of mails.
    def test_reload_under_load_loses_nothing_and_takes_the_new_rule(self):
        milter = self.postfix.milters["reload"]
        sources = [os.path.join(SAMPLES, n) for n in sorted(os.listdir(SAMPLES))]
        sources += corpus_mails("ham", 10) + corpus_mails("spam", 10)
        bodies = [harness.stored(read(p)) for p in sources]
        log_start = len(milter.log())
        results = {}       # token -> (thread, sequence, error or None)
        reload_sent = threading.Event()
        reload_done = threading.Event()
        after_reload = set()

        def stream(thread):
            # Each connection goes on until it has sent a few mails after the
            # reload was seen, however long the reload takes on a slow build.
            sent_after = 0
            with smtplib.SMTP("127.0.0.1", self.port("reload"), timeout=60) as smtp:
                for sequence in range(RELOAD_MAX_MAILS):
                    if sent_after >= RELOAD_MAILS_AFTER:
                        break
                    token = "t%d-%03d" % (thread, sequence)
                    if reload_done.is_set():
                        after_reload.add(token)
                        sent_after += 1
                    mail = with_id(bodies[(thread * 7 + sequence) % len(bodies)], token)
                    try:
                        smtp.sendmail(harness.SENDER, [rcpt("reload")], harness.wire(mail))
                        results[token] = (thread, sequence, None)
                    except smtplib.SMTPException as e:
                        results[token] = (thread, sequence, repr(e))
                    if sequence == RELOAD_MAILS_BEFORE and thread == 0:
                        reload_sent.set()

        threads = [threading.Thread(target=stream, args=(i,)) for i in (0, 1)]
        for t in threads:
            t.start()
        self.assertTrue(reload_sent.wait(120))
        before_rule = {t for t, (_, _, e) in list(results.items()) if not e}
        with open(os.path.join(self.rules, "zz-e2e.slf"), "w") as f:
            f.write('rule %s {\n    condition: exists(Headers::"X-E2E-ID");\n'
                    '    actions: increase_score(SCORE, 0);\n'
                    '    metadata: priority = 50; comment = "every test mail";\n}\n'
                    % RELOAD_RULE)
        milter.signal(signal.SIGHUP)
        reloaded = harness.wait_for(lambda: re.search(
            r"^emlscan milter: (reloaded |reload failed)", milter.log()[log_start:], re.M), 60)
        self.assertTrue(reloaded and reloaded.group(1) == "reloaded ",
                        "the milter's log after SIGHUP: " + milter.log()[log_start:][-1000:])
        reload_done.set()
        for t in threads:
            t.join(240)
        self.assertEqual([], [(k, e) for k, (_, _, e) in results.items() if e])
        total = len(results)
        self.assertEqual(len(after_reload), RELOAD_MAILS_AFTER * 2, "a connection stopped early")
        delivered = self.postfix.wait_delivered("reload", total, timeout=120)
        ids = [e2e_id(raw) for raw in delivered.values()]
        self.assertEqual(sorted(results), sorted(ids), "lost or duplicated mails")
        marked = {}
        for raw in delivered.values():
            rules = re.search(rb"^X-Orvane-ASSL-Hit-Rules:(.*(?:\n[ \t].*)*)", raw, re.M)
            self.assertIsNotNone(rules, raw[:500])
            marked[e2e_id(raw)] = RELOAD_RULE.encode() in rules.group(1)
        self.assertTrue(after_reload and before_rule)
        self.assertEqual([], sorted(t for t in after_reload if not marked[t]))
        self.assertEqual([], sorted(t for t in before_rule if marked[t]))
        print("reload under load: %d mails, %d before the rule, %d after the reload, %d marked"
              % (len(results), len(before_rule), len(after_reload), sum(marked.values())),
              file=sys.stderr)
        # A reload is one switch: per connection, no mail after a marked one lacks the rule.
        for thread in (0, 1):
            seq = [marked[t] for t, (th, s, _) in sorted(results.items(), key=lambda kv: kv[1])
                   if th == thread]
            first = seq.index(True)
            self.assertTrue(all(seq[first:]), "thread %d went back to the old rules" % thread)
        # A rule file that does not parse: the reload fails, the set in use stays.
        log_start = len(milter.log())
        with open(os.path.join(self.rules, "zz-e2e-broken.slf"), "w") as f:
            f.write("rule E2E_BROKEN { condition: exists(Headers::; }\n")
        milter.signal(signal.SIGHUP)
        failed = harness.wait_for(lambda: re.search(
            r"^emlscan milter: (reloaded |reload failed.*)", milter.log()[log_start:], re.M), 60)
        self.assertTrue(failed and failed.group(1).startswith("reload failed"),
                        milter.log()[log_start:][-1000:])
        self.assertIn("zz-e2e-broken.slf", failed.group(1))
        for index in range(3):
            send(self.port("reload"), with_id(bodies[index], "after-failed-%d" % index),
                 rcpt("reload"))
        delivered = self.postfix.wait_delivered("reload", total + 3)
        late = [raw for raw in delivered.values() if b"after-failed-" in raw]
        self.assertEqual(3, len(late))
        for raw in late:
            self.assertIn(RELOAD_RULE.encode(), raw)


if __name__ == "__main__":
    EMLSCAN = sys.argv[1]
    del sys.argv[1]
    unittest.main()
