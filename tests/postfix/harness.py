"""A private Postfix instance on loopback with `emlscan milter` in front of it.

Used by tests/postfix_e2e_test.py and bench/milter_load.py. The instance lives
in one temporary folder: its own config_directory (main.cf and master.cf
written here), queue_directory, data_directory, the maildirs it delivers to
and the log file postlogd writes (maillog_file), so nothing of the machine's
own Postfix is read or changed. It listens on free high ports of 127.0.0.1
only, makes no DNS lookup, and delivers every recipient of the test domain
through virtual(8) into a maildir named after the recipient's local part, as
user nobody, so that no system user is needed.

Each smtpd listener has its own milter socket (`-o smtpd_milters=` in
master.cf), so one instance serves milters run with different settings at
once; mail submitted with sendmail(1) goes through non_smtpd_milters, the
milter of the listener named for it (the first by default).

Needs root (Postfix's master runs as root and drops to mail_owner) and an
installed Postfix; `Unavailable` says in one line why an instance cannot run.
`stop()` stops Postfix and every milter and removes the folder, whatever
happened before.
"""
import errno
import os
import pwd
import grp
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import time

DOMAIN = "e2e.test"
HOSTNAME = "e2e-host.test"
SENDER = "sender@client.test"
POSTFIX = shutil.which("postfix") or "/usr/sbin/postfix"
SENDMAIL = shutil.which("sendmail") or "/usr/sbin/sendmail"


class Unavailable(Exception):
    """Postfix cannot run here; the message says why, in one line."""


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(predicate, timeout, step=0.05):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(step)


# Postfix's daemons, none chrooted (a chroot would need copies of the
# resolver files and the milter socket inside the queue folder).
MASTER_CF = """\
pickup    unix  n       -       n       60      1       pickup
cleanup   unix  n       -       n       -       0       cleanup
qmgr      unix  n       -       n       300     1       qmgr
rewrite   unix  -       -       n       -       -       trivial-rewrite
bounce    unix  -       -       n       -       0       bounce
defer     unix  -       -       n       -       0       bounce
trace     unix  -       -       n       -       0       bounce
verify    unix  -       -       n       -       1       verify
flush     unix  n       -       n       1000?   0       flush
proxymap  unix  -       -       n       -       -       proxymap
proxywrite unix -       -       n       -       1       proxymap
smtp      unix  -       -       n       -       -       smtp
relay     unix  -       -       n       -       -       smtp
showq     unix  n       -       n       -       -       showq
error     unix  -       -       n       -       -       error
retry     unix  -       -       n       -       -       error
discard   unix  -       -       n       -       -       discard
local     unix  -       n       n       -       -       local
virtual   unix  -       n       n       -       -       virtual
lmtp      unix  -       -       n       -       -       lmtp
anvil     unix  -       -       n       -       1       anvil
scache    unix  -       -       n       -       1       scache
postlog   unix-dgram n  -       n       -       1       postlogd
"""


class Milter:
    """One `emlscan milter` process, its socket and its log file."""

    def __init__(self, emlscan, config, socket_spec, settings, workdir, name):
        self.emlscan, self.config, self.socket_spec = emlscan, config, socket_spec
        self.settings = dict(settings)
        self.log_path = os.path.join(workdir, "milter-%s.log" % name)
        self.stats_path = os.path.join(workdir, "milter-%s.prom" % name)
        self.process = None

    def command(self):
        args = [self.emlscan, "-c", self.config]
        settings = {"/emlscan/milter/StatsFile": self.stats_path}
        settings.update(self.settings)
        for path, value in settings.items():
            args += ["--set", "%s=%s" % (path, value)]
        return args + ["milter", "--socket", self.socket_spec]

    def start(self, timeout=30):
        if self.socket_spec.startswith("unix:"):
            path = self.socket_spec[5:]
            if os.path.exists(path):
                os.unlink(path)
        log = open(self.log_path, "ab")
        self.process = subprocess.Popen(self.command(), stdin=subprocess.DEVNULL,
                                         stdout=log, stderr=log)
        log.close()
        if not wait_for(lambda: self.accepts() or self.process.poll() is not None, timeout):
            raise RuntimeError("emlscan milter did not open %s within %ds"
                               % (self.socket_spec, timeout))
        if self.process.poll() is not None:
            raise RuntimeError("emlscan milter exited with status %d: %s"
                               % (self.process.returncode, self.log()[-2000:]))

    def accepts(self):
        spec = self.socket_spec
        if spec.startswith("unix:"):
            family, address = socket.AF_UNIX, spec[5:]
        else:
            port, host = spec[5:].split("@")
            family, address = socket.AF_INET, (host, int(port))
        with socket.socket(family, socket.SOCK_STREAM) as s:
            try:
                s.connect(address)
                return True
            except OSError:
                return False

    def signal(self, signum):
        self.process.send_signal(signum)

    def kill(self):
        """SIGKILL, as the kernel's OOM killer or a crash would stop it."""
        if self.process and self.process.poll() is None:
            self.process.kill()
            self.process.wait()

    def stop(self, timeout=40):
        """SIGTERM and wait; returns the exit status (SIGKILL after timeout)."""
        if not self.process:
            return None
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        return self.process.returncode

    def log(self):
        with open(self.log_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def cpu_seconds(self):
        """User and system CPU time the milter has used so far."""
        with open("/proc/%d/stat" % self.process.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def peak_rss_kib(self):
        with open("/proc/%d/status" % self.process.pid) as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
        return None


class Postfix:
    """A private Postfix instance; `listeners` names the smtpd ports to open."""

    def __init__(self, listeners=("main",), non_smtpd_listener=None,
                 milter_default_action="tempfail", message_size_limit=52428800):
        self.listener_names = list(listeners)
        self.non_smtpd_listener = non_smtpd_listener or self.listener_names[0]
        self.milter_default_action = milter_default_action
        self.message_size_limit = message_size_limit
        self.root = None
        self.milters = {}
        self.ports = {}
        self.started = False

    # ---- paths
    def path(self, *parts):
        return os.path.join(self.root, *parts)

    @property
    def config_dir(self):
        return self.path("etc")

    def socket_spec(self, name):
        return "unix:" + self.path("run", "milter-%s.sock" % name)

    def maildir(self, local_part):
        return self.path("mail", local_part)

    # ---- life cycle
    def start(self):
        if os.geteuid() != 0:
            raise Unavailable("not root: Postfix's master must start as root")
        if not os.access(POSTFIX, os.X_OK):
            raise Unavailable("postfix is not installed (%s not found)" % POSTFIX)
        for name in ("postfix", "postdrop"):
            try:
                grp.getgrnam(name)
            except KeyError:
                raise Unavailable("group %s does not exist (Postfix not set up)" % name)
        try:
            nobody = pwd.getpwnam("nobody")
        except KeyError:
            raise Unavailable("user nobody does not exist")
        self.root = tempfile.mkdtemp(prefix="emlscan-postfix-")
        os.chmod(self.root, 0o755)
        for sub in ("etc", "queue", "data", "mail", "run"):
            os.mkdir(self.path(sub), 0o755)
        os.chown(self.path("mail"), nobody.pw_uid, nobody.pw_gid)
        os.chown(self.path("data"), pwd.getpwnam("postfix").pw_uid, -1)
        # The milters' sockets: Postfix's smtpd and cleanup run as user postfix.
        os.chown(self.path("run"), 0, grp.getgrnam("postfix").gr_gid)
        os.chmod(self.path("run"), 0o750)
        self.ports = {name: free_port() for name in self.listener_names}
        self._write_config(nobody)
        check = subprocess.run([POSTFIX, "-c", self.config_dir, "check"],
                               capture_output=True, text=True)
        if check.returncode != 0:
            raise Unavailable("postfix check failed: " + check.stderr.strip().replace("\n", "; "))
        start = subprocess.run([POSTFIX, "-c", self.config_dir, "start"],
                               capture_output=True, text=True)
        if start.returncode != 0:
            raise Unavailable("postfix start failed: " + (start.stderr + self.maillog()).strip()
                              .replace("\n", "; ")[-600:])
        self.started = True
        if not wait_for(lambda: all(self._port_open(p) for p in self.ports.values()), 20):
            log = self.maillog()[-600:].replace("\n", "; ")
            raise Unavailable("Postfix started but does not listen on 127.0.0.1:%s (log: %s)"
                              % (list(self.ports.values()), log))

    def _port_open(self, port):
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
            return s.connect_ex(("127.0.0.1", port)) == 0

    def _write_config(self, nobody):
        main = {
            "compatibility_level": "3.6",
            "config_directory": self.config_dir,
            "queue_directory": self.path("queue"),
            "data_directory": self.path("data"),
            "mail_owner": "postfix",
            "setgid_group": "postdrop",
            "myhostname": HOSTNAME,
            "mydomain": "e2e-host.test",
            "myorigin": "$myhostname",
            "mydestination": "",
            "inet_interfaces": "loopback-only",
            "inet_protocols": "ipv4",
            "mynetworks": "127.0.0.0/8",
            "relayhost": "",
            "biff": "no",
            "append_dot_mydomain": "no",
            # No DNS anywhere, no reverse lookup of the client, no local rewriting
            # of headers (the mail must reach the maildir as it was sent).
            "smtpd_peername_lookup": "no",
            "smtp_dns_support_level": "disabled",
            "smtp_host_lookup": "native",
            "lmtp_host_lookup": "native",
            "local_header_rewrite_clients": "",
            "always_add_missing_headers": "no",
            "smtputf8_enable": "no",
            "alias_maps": "",
            "alias_database": "",
            "local_recipient_maps": "",
            "message_size_limit": str(self.message_size_limit),
            "virtual_mailbox_limit": "0",
            "virtual_mailbox_domains": DOMAIN,
            "virtual_mailbox_base": self.path("mail"),
            "virtual_mailbox_maps": "texthash:" + self.path("etc", "vmailbox"),
            "virtual_uid_maps": "static:%d" % nobody.pw_uid,
            "virtual_gid_maps": "static:%d" % nobody.pw_gid,
            "virtual_minimum_uid": "1",
            "virtual_destination_concurrency_limit": "20",
            "smtpd_milters": self.socket_spec(self.listener_names[0]),
            "non_smtpd_milters": self.socket_spec(self.non_smtpd_listener),
            "milter_default_action": self.milter_default_action,
            "milter_protocol": "6",
            "milter_connect_timeout": "10s",
            "milter_command_timeout": "30s",
            "milter_content_timeout": "60s",
            "smtpd_client_connection_count_limit": "0",
            "smtpd_client_message_rate_limit": "0",
            "smtpd_client_connection_rate_limit": "0",
            "default_process_limit": "100",
            "maillog_file": self.path("maillog"),
            "maillog_file_prefixes": self.root,
            "import_environment": "MAIL_CONFIG MAIL_DEBUG MAIL_LOGTAG TZ LANG=C",
            "queue_run_delay": "1s",
            "minimal_backoff_time": "1s",
            "maximal_backoff_time": "2s",
        }
        with open(self.path("etc", "main.cf"), "w") as f:
            for key, value in main.items():
                f.write("%s = %s\n" % (key, value))
        with open(self.path("etc", "master.cf"), "w") as f:
            f.write(MASTER_CF)
            for name, port in self.ports.items():
                f.write("127.0.0.1:%d inet n - n - - smtpd\n  -o smtpd_milters=%s\n"
                        % (port, self.socket_spec(name)))
        # Every recipient of the domain gets the maildir of its local part.
        with open(self.path("etc", "vmailbox"), "w") as f:
            for local in ("ham", "reject", "held", "broken", "headerless", "big", "fault",
                          "stop", "reload", "bench"):
                f.write("%s@%s %s/\n" % (local, DOMAIN, local))

    def add_milter(self, name, emlscan, config, settings=()):
        milter = Milter(emlscan, config, self.socket_spec(name), dict(settings), self.root, name)
        self.milters[name] = milter
        milter.start()
        return milter

    def stop(self):
        try:
            for milter in self.milters.values():
                milter.kill()
            if self.started:
                subprocess.run([POSTFIX, "-c", self.config_dir, "stop"], capture_output=True)
                pid = self.master_pid()
                if pid and not wait_for(lambda: not _alive(pid), 15):
                    os.kill(pid, signal.SIGKILL)
                    wait_for(lambda: not _alive(pid), 5)
        finally:
            if self.root:
                shutil.rmtree(self.root, ignore_errors=True)

    def master_pid(self):
        try:
            with open(self.path("queue", "pid", "master.pid")) as f:
                return int(f.read().strip())
        except (OSError, ValueError):
            return None

    # ---- what happened
    def maillog(self):
        try:
            with open(self.path("maillog"), "rb") as f:
                return f.read().decode("utf-8", "replace")
        except OSError:
            return ""

    def delivered(self, local_part):
        """{file name: bytes} of every mail in a recipient's maildir."""
        mails = {}
        base = self.maildir(local_part)
        for sub in ("new", "cur"):
            folder = os.path.join(base, sub)
            if os.path.isdir(folder):
                for name in os.listdir(folder):
                    with open(os.path.join(folder, name), "rb") as f:
                        mails[name] = f.read()
        return mails

    def wait_delivered(self, local_part, count, timeout=60):
        """The maildir's mails once it holds `count` of them (or after timeout)."""
        wait_for(lambda: len(self.delivered(local_part)) >= count, timeout, 0.1)
        return self.delivered(local_part)

    def queue_count(self):
        """Mails Postfix holds: its queues and the maildrop folder."""
        count = 0
        for queue in ("maildrop", "incoming", "active", "deferred", "hold"):
            for _, _, files in os.walk(self.path("queue", queue)):
                count += len(files)
        return count

    def held(self):
        """Queue ids of the mails in the hold queue (a milter's quarantine)."""
        return sorted(name for _, _, files in os.walk(self.path("queue", "hold"))
                      for name in files)

    def release_held(self):
        subprocess.run(["postsuper", "-c", self.config_dir, "-H", "ALL"], capture_output=True)
        self.flush()

    def flush(self):
        subprocess.run(["postqueue", "-c", self.config_dir, "-f"], capture_output=True)
        subprocess.run(["postkick", "-c", self.config_dir, "public", "pickup", "W"],
                       capture_output=True)

    def sendmail(self, mail, recipient):
        """Submits through sendmail(1): maildrop, pickup, cleanup, non_smtpd_milters."""
        result = subprocess.run([SENDMAIL, "-C", self.config_dir, "-f", SENDER, "-i", "--",
                                 recipient], input=mail, capture_output=True)
        if result.returncode != 0:
            raise RuntimeError("sendmail failed: %s" % result.stderr.decode("utf-8", "replace"))


def _alive(pid):
    try:
        os.kill(pid, 0)
    except OSError as e:
        return e.errno == errno.EPERM
    return True


# ---- what smtplib sends and what a maildir holds

def wire(mail):
    """The mail as sent over SMTP: LF and CRLF line ends as CRLF, a final CRLF.

    smtplib sends bytes as given (it only doubles leading dots), so the line
    ends are made CRLF here; a lone CR is left inside its line, as Postfix
    keeps it."""
    text = re.sub(rb"\r?\n", b"\r\n", mail)
    return text if text.endswith(b"\r\n") else text + b"\r\n"


def stored(mail):
    """The bytes a maildir of this instance holds for `mail` sent with wire():
    Postfix keeps lines, virtual(8) writes them with LF."""
    return wire(mail).replace(b"\r\n", b"\n")


def as_delivered(mail):
    """What this instance's Postfix itself makes of `mail` on its way to a
    maildir, before it adds its own fields on top: stored(), then
    - cleanup(8) drops the mail's own Return-Path fields (the delivery agent
      writes the one that counts);
    - a mail that does not start with a header field gets the blank line that
      ends the header section (Postfix's own fields go above it)."""
    text = stored(mail)
    if not re.match(rb"[!-9;-~]+:", text):
        return b"\n" + text
    end = text.find(b"\n\n")
    end = len(text) if end < 0 else end + 1
    head = re.sub(rb"(?im)^Return-Path:.*\n(?:[ \t].*\n)*", b"", text[:end])
    return head + text[end:]


POSTFIX_DELIVERY_FIELDS = (b"Return-Path", b"X-Original-To", b"Delivered-To")


def strip_postfix_fields(delivered):
    """The delivered mail without what this instance's Postfix put on top.

    virtual(8) prepends Return-Path, X-Original-To and Delivered-To, in this
    order, and smtpd (or pickup) one Received field "by e2e-host.test
    (Postfix" above the mail's own fields. Exactly those leading fields are
    removed, nothing below them; returns (the rest, the queue id named in
    that Received field)."""
    rest = delivered
    for name in POSTFIX_DELIVERY_FIELDS:
        match = re.match(rb"%s: [^\n]*\n" % name, rest)
        if not match:
            raise AssertionError("no %s field on top: %r" % (name.decode(), rest[:300]))
        rest = rest[match.end():]
    match = re.match(rb"Received: [^\n]*\n(?:[ \t][^\n]*\n)*", rest)
    if not match or b"by %s (Postfix" % HOSTNAME.encode() not in match.group(0):
        raise AssertionError("no Received field of this Postfix on top: %r" % rest[:300])
    queue_id = re.search(rb"\bid ([0-9A-Za-z]+)", match.group(0))
    return rest[match.end():], queue_id.group(1).decode()
