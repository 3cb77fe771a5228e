#!/usr/bin/env python3
"""Load test: corpus mails through a private Postfix and `emlscan milter`.

usage: bench/milter_load.py EMLSCAN [--mails DIR] [--count N] [--sessions S]
                                    [--reject-score SCORE]

Sends N mails (10,000 by default) of DIR (../shared/corpus/bench by default,
taken in turn and repeated when it holds fewer) over S parallel SMTP
sessions (Python's smtplib, one thread each: smtp-source sends one file over
and over, and the point is real, distinct mails) to a Postfix instance of
tests/postfix/harness.py, whose smtpd hands each mail to the milter. The
milter runs on the shipped settings with SpamAction=tag and RejectScore
SCORE (20 by default), so that the run both delivers and refuses mail.

Each mail gets a first field "X-Bench-Id: N" before it is sent. Reported:
- mails per second end to end: from the first MAIL FROM to the last mail in
  the maildir;
- the milter's latency percentiles and counters (its stats file, written on
  SIGUSR1 at the end, over the whole run, and its log lines), its CPU time
  per mail and its peak resident set (VmHWM);
- a reconciliation: every mail was accepted (250) or refused (5xx), every
  accepted mail is in the maildir exactly once, every refused mail has a
  milter-reject line in Postfix's log, none is left in Postfix's queue;
- `emlscan check -j 2` over the same mail files, in the same run, for
  comparison.
Needs root and Postfix. Exit status 0 when the reconciliation holds.
"""
import argparse
import collections
import os
import random
import re
import signal
import smtplib
import subprocess
import sys
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "postfix"))
import harness  # noqa: E402

CONFIG = os.path.join(ROOT, "data", "emlscan.toml")


def load_mails(folder, count):
    names = sorted(n for n in os.listdir(folder)
                   if not n.startswith(".") and os.path.isfile(os.path.join(folder, n)))
    if not names:
        sys.exit("no mails in " + folder)
    # A fixed shuffle: ham and spam mixed however the folder sorts them.
    random.Random(10000).shuffle(names)
    paths = [os.path.join(folder, names[i % len(names)]) for i in range(count)]
    contents = {}
    for path in set(paths):
        with open(path, "rb") as f:
            contents[path] = f.read()
    return paths, contents


def send_all(port, paths, contents, sessions):
    """Sends every mail; returns ({index: ("accepted"|"refused"|"failed", detail)}, seconds)."""
    outcome = {}
    next_index = iter(range(len(paths)))
    lock = threading.Lock()

    def session():
        smtp = None
        while True:
            with lock:
                index = next(next_index, None)
            if index is None:
                break
            mail = b"X-Bench-Id: %d\n" % index + contents[paths[index]]
            try:
                if smtp is None:
                    smtp = smtplib.SMTP("127.0.0.1", port, timeout=120)
                smtp.sendmail(harness.SENDER, ["bench@" + harness.DOMAIN], harness.wire(mail))
                outcome[index] = ("accepted", "")
            except smtplib.SMTPDataError as e:
                kind = "refused" if e.smtp_code // 100 == 5 else "failed"
                outcome[index] = (kind, "%d %s" % (e.smtp_code, e.smtp_error.decode()))
                smtp.rset()
            except (smtplib.SMTPException, OSError) as e:
                outcome[index] = ("failed", repr(e))
                smtp = None
        if smtp is not None:
            smtp.quit()

    started = time.monotonic()
    threads = [threading.Thread(target=session) for _ in range(sessions)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return outcome, started


def milter_stats(milter):
    milter.signal(signal.SIGUSR1)
    harness.wait_for(lambda: os.path.exists(milter.stats_path), 10)
    time.sleep(0.5)
    try:
        with open(milter.stats_path) as f:
            return [line.rstrip() for line in f if line.strip() and not line.startswith("#")]
    except OSError:
        return ["(no stats file at %s)" % milter.stats_path]


def run_check(emlscan, paths):
    """emlscan check -j 2 over the same files: (summary line, peak RSS in KiB)."""
    result = subprocess.run(["/usr/bin/time", "-f", "maxrss_kib=%M", emlscan, "check", "-j", "2",
                             *paths], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    err = result.stderr.decode("utf-8", "replace")
    summary = [line for line in err.splitlines() if "mails/s" in line]
    rss = re.search(r"maxrss_kib=(\d+)", err)
    return (summary[-1] if summary else err.strip()[-300:]), (rss.group(1) if rss else "?")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("emlscan")
    parser.add_argument("--mails", default=os.path.join(ROOT, "..", "shared", "corpus", "bench"))
    parser.add_argument("--count", type=int, default=10000)
    parser.add_argument("--sessions", type=int, default=8)
    parser.add_argument("--reject-score", type=int, default=20)
    args = parser.parse_args()

    paths, contents = load_mails(args.mails, args.count)
    postfix = harness.Postfix(listeners=("bench",))
    try:
        postfix.start()
    except harness.Unavailable as e:
        sys.exit("milter_load: cannot run: %s" % e)
    try:
        m = "/emlscan/milter/"
        milter = postfix.add_milter("bench", args.emlscan, CONFIG, {
            m + "SocketGroup": "postfix", m + "SpamAction": "tag",
            m + "RejectScore": str(args.reject_score), m + "StatsInterval": "86400"})
        print("sending %d mails (%d distinct files of %s) over %d sessions"
              % (len(paths), len(contents), args.mails, args.sessions))
        outcome, started = send_all(postfix.ports["bench"], paths, contents, args.sessions)
        sent_done = time.monotonic()
        kinds = collections.Counter(kind for kind, _ in outcome.values())
        accepted = kinds["accepted"]
        delivered = postfix.wait_delivered("bench", accepted, timeout=600)
        harness.wait_for(lambda: postfix.queue_count() == 0, 60)
        finished = time.monotonic()
        stats = milter_stats(milter)
        rss = milter.peak_rss_kib()
        cpu = milter.cpu_seconds()

        ids = collections.Counter()
        verdicts = collections.Counter()
        for raw in delivered.values():
            match = re.search(rb"^X-Bench-Id: (\d+)$", raw, re.M)
            ids[int(match.group(1)) if match else -1] += 1
            spam = re.search(rb"^X-Orvane-Spam: (\w+)", raw, re.M)
            verdicts[spam.group(1).decode() if spam else "unchanged"] += 1
        accepted_ids = {i for i, (kind, _) in outcome.items() if kind == "accepted"}
        rejects_logged = postfix.maillog().count("milter-reject: END-OF-MESSAGE")
        problems = []
        if len(outcome) != len(paths):
            problems.append("%d mails without an outcome" % (len(paths) - len(outcome)))
        if kinds["failed"]:
            sample = [d for k, d in outcome.values() if k == "failed"][:3]
            problems.append("%d mails failed: %s" % (kinds["failed"], sample))
        duplicates = [i for i, n in ids.items() if n > 1]
        if duplicates:
            problems.append("%d mails delivered twice or more: %s"
                            % (len(duplicates), duplicates[:5]))
        if set(ids) != accepted_ids:
            problems.append("accepted but not delivered: %s; delivered but not accepted: %s" % (
                sorted(accepted_ids - set(ids))[:5], sorted(set(ids) - accepted_ids)[:5]))
        if rejects_logged != kinds["refused"]:
            problems.append("%d refused mails but %d milter-reject lines in Postfix's log"
                            % (kinds["refused"], rejects_logged))
        if postfix.queue_count():
            problems.append("%d mails left in Postfix's queue" % postfix.queue_count())

        print("end to end: %d mails in %.1f s = %.1f mails/s (sending alone %.1f s)"
              % (len(paths), finished - started, len(paths) / (finished - started),
                 sent_done - started))
        print("outcome: %d accepted, %d refused (5xx), %d failed; delivered %d files, "
              "verdict headers %s" % (accepted, kinds["refused"], kinds["failed"],
                                      len(delivered), dict(verdicts)))
        lines = re.findall(r": (\w+) score=-?\d+ hits=\S* time=(\d+)ms action=(\w+)", milter.log())
        times = sorted(int(ms) for _, ms, _ in lines)
        actions = collections.Counter(action for _, _, action in lines)
        if actions["reject"] != kinds["refused"]:
            problems.append("%d refused mails but %d action=reject lines in the milter's log"
                            % (kinds["refused"], actions["reject"]))
        print("milter log: %d lines, verdicts %s, actions %s" % (
            len(lines), dict(collections.Counter(v for v, _, _ in lines)), dict(actions)))
        if times:
            print("milter time per mail from its log (ms): p50=%d p90=%d p99=%d max=%d" % tuple(
                times[min(len(times) - 1, int(q * len(times)))] for q in (0.5, 0.9, 0.99, 1.0)))
        print("milter peak RSS (VmHWM): %s KiB; CPU %.1f s in all, %.2f ms per mail"
              % (rss, cpu, 1000 * cpu / len(paths)))
        print("milter stats:")
        for line in stats:
            if "_total" in line or "quantile" in line or "_max" in line:
                print("  " + line)
    finally:
        postfix.stop()

    summary, check_rss = run_check(args.emlscan, paths)
    print("emlscan check -j 2, same %d mails: %s; peak RSS %s KiB"
          % (len(paths), summary, check_rss))
    if problems:
        print("RECONCILIATION FAILED:\n  " + "\n  ".join(problems))
        return 1
    print("reconciliation: every mail accepted and delivered once, or refused and logged")
    return 0


if __name__ == "__main__":
    sys.exit(main())
