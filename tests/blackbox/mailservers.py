"""Real mail servers on loopback for the interoperability tests.

Two kinds, each started and stopped by the test that needs it:

- `postfix_server(strict=...)`: Debian's Postfix as a private instance (its own
  config, queue and data directories under a scratch directory), started and
  stopped with its own commands (`postfix -c DIR start` / `stop`), its smtpd
  on 127.0.0.1 and a port the system picked (a socket bound to port 0 tells
  it; a start that finds it taken again tries another), relaying nothing,
  delivering quillettest@localhost into a Maildir and victim@localhost (an
  alias) into another, and refusing every other local name at RCPT.
  `strict=True` adds the settings that refuse unauthorised pipelining and
  bare line feeds from every client. `submission=certificate pair` adds
  submission services (SUBMISSION_SERVICES), each on a port of its own in
  `submission_ports`: STARTTLS required (smtpd_tls_security_level =
  encrypt) or TLS from the first byte (smtpd_tls_wrappermode), each with
  Cyrus SASL from a private sasldb offering PLAIN and LOGIN or LOGIN only,
  and taking mail only from a client that logged in as SUBMISSION_USER.
- `aiosmtpd_server(refuse=..., eight_bit_mime=...)`: aiosmtpd run by
  /usr/bin/python3 as a child process on 127.0.0.1 and a port the system
  picked, writing each accepted message's envelope and exact DATA content to
  a folder, and refusing one chosen recipient at RCPT. With
  `eight_bit_mime=False` ("aiosmtpd-7bit") it decodes the data as ASCII, as
  a strict 7-bit server does: its EHLO reply does not announce 8BITMIME and
  it refuses a message with a byte of 0x80 or above ("500 Error: strict
  ASCII mode"). With `tls=` (a certificate pair, tls_certs.py) it requires
  STARTTLS, or speaks TLS from the first byte with `implicit=True`; with
  `user=` and `password=` it requires AUTH (PLAIN and LOGIN, or only those
  in `mechanisms=`) and records the login with each message.

Both give `smtp` (the ini file's value), `messages(mailbox)` -> list of
`Message` (exact bytes as stored, the message as the client sent it, the
envelope), `everything()`, `clear()`, `refusal(address)` (the RCPT reply for
a refused address) and `log_text()`; Postfix's `messages` first waits, for a
bounded time, until its queue is empty. Nothing here installs anything: scripts/install-deps
does, from scripts/packages.txt. Postfix needs root (its private instance
runs its daemons as the postfix account and delivers as quillettest).

Every instance lives in its own folder under SCRATCH_ROOT, named after the
test process that owns it (instances.py, shared with packaged_mailservers.py,
keeps the folders, ports, waits and process checks). A folder whose owner is
gone is what an interrupted run left: its Postfix is stopped with its own
stop command (or, if that fails, its master is ended by the PID in its own
pid file) and the folder removed before a new instance starts.

Run as a program (`/usr/bin/python3 mailservers.py aiosmtpd --folder F
--refuse ADDRESS [--tls-cert C --tls-key K [--implicit]] [--user U
--password P [--mechanism M]...]`), this module is the aiosmtpd server
itself.
"""

import contextlib
import json
import os
import pwd
import re
import selectors
import shutil
import signal
import subprocess
import sys

import instances
from instances import (COMMAND_SECONDS, DELIVERY_WAIT_SECONDS, STOP_WAIT_SECONDS, MailServerError, check_root,
                       process_alive, read_text, record_pid, run_command, running, start_on_a_free_port, wait_for_queue, wait_until)
# Known by these names here too (to the tests, scripts/interop and packaged_mailservers.py).
from instances import SCRATCH_ROOT, free_loopback_port, listening_addresses, scratch_root  # noqa: F401

HERE = os.path.dirname(os.path.abspath(__file__))
PYTHON = "/usr/bin/python3"

POSTFIX = "/usr/sbin/postfix"
POSTCONF = "/usr/sbin/postconf"
POSTQUEUE = "/usr/sbin/postqueue"
POSTFIX_MASTER = "/usr/lib/postfix/sbin/master"
SASLPASSWD2 = "/usr/sbin/saslpasswd2"

# The local account whose mailbox receives the delivered messages.
TEST_ACCOUNT = "quillettest"
TEST_ADDRESS = TEST_ACCOUNT + "@localhost"
# A second deliverable mailbox (an alias on Postfix), for messages that must
# never arrive: a header injection's would-be Bcc recipient.
VICTIM = "victim"
VICTIM_ADDRESS = VICTIM + "@localhost"
# An address Postfix refuses at RCPT (no such local user); aiosmtpd refuses
# whichever address it is told to.
UNKNOWN_ADDRESS = "nobody-such@localhost"

SERVER_START_SECONDS = 30   # for aiosmtpd to report its port
KINDS = ("postfix", "aiosmtpd")


class Message:
    """One delivered message: where it is stored, its exact bytes, its
    envelope sender and recipients (as the server recorded them)."""

    def __init__(self, path, data, sender, recipients, extra=None, content=None):
        self.path = path
        self.data = data              # bytes, as stored
        # The message as the client sent it: `data` without the fields the
        # delivering server put on top (Return-Path, Received, ...).
        self.content = data if content is None else content
        self.sender = sender          # envelope sender (MAIL FROM)
        self.recipients = recipients  # envelope recipients for this copy
        self.extra = extra or {}

    @property
    def header_block(self):
        """The stored header block up to the first empty line, the delivering
        server's own fields included."""
        return split_message(self.data)[0]

    @property
    def body(self):
        return split_message(self.data)[1]

    def header_lines(self):
        """The header block's lines, line ends removed (folded lines stay
        separate: a continuation begins with a space or tab)."""
        return [line.rstrip(b"\r") for line in self.header_block.split(b"\n") if line != b""]

    def headers(self, name):
        """The unfolded values of every header field called `name` (any case)."""
        wanted = name.lower().encode("ascii") + b":"
        found = []
        for field in unfold(self.header_lines()):
            if field.lower().startswith(wanted):
                found.append(field[len(wanted):].strip())
        return found

    def __repr__(self):
        return "Message(%r, from=%r, to=%r, %d bytes)" % (self.path, self.sender, self.recipients, len(self.data))


def split_message(data):
    """(header block, body) of a stored message: the header block ends with
    the line end before the first empty line, which belongs to neither."""
    match = re.search(rb"\n(\r?\n)", data)
    if not match:
        return data, b""
    return data[: match.start() + 1], data[match.end():]


def unfold(lines):
    """Header fields from header lines: a line that begins with a space or tab
    continues the field before it (RFC 5322 2.2.3)."""
    fields = []
    for line in lines:
        if line[:1] in (b" ", b"\t") and fields:
            fields[-1] += b"\r\n" + line
        else:
            fields.append(line)
    return fields


# ---- instance folders ----


def new_instance_dir(kind):
    """A new instance folder of `kind` (instances.new_instance_dir), after the
    stale ones of this module's kinds are gone."""
    return instances.new_instance_dir(kind, remove_stale_instances)


def remove_stale_instances(root):
    """Stops and removes the instances whose test process is gone."""
    instances.remove_stale_instances(root, KINDS, stop_stale_instance)


def stop_stale_instance(directory):
    if os.path.isdir(os.path.join(directory, "conf")):
        stop_postfix_instance(directory)
    # A leftover aiosmtpd child, while it still runs this module.
    instances.end_recorded_process(directory, marker=b"mailservers.py")


# ---- Postfix ----


def postfix_version():
    status, output = run_command([POSTCONF, "-dh", "mail_version"])
    return output.strip() if status == 0 else None


def postfix_known_parameters(names):
    """Which of `names` this Postfix knows (postconf -d prints them)."""
    known = []
    for name in names:
        status, output = run_command([POSTCONF, "-d", name])
        if status == 0 and output.startswith(name + " ="):
            known.append(name)
    return known


STRICT_SETTINGS = {
    "smtpd_forbid_unauth_pipelining": "yes",
    "smtpd_forbid_bare_newline": "reject",
    "smtpd_forbid_bare_newline_exclusions": "",
}

# Every service runs outside a chroot: the private queue directory has no
# copy of /etc for a chrooted daemon.
MASTER_CF = """\
# service type  private unpriv  chroot  wakeup  maxproc command + args
{listen}  inet  n       -       n       -       -       smtpd
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

# Debian's own main.cf lines first (what its postinst writes), then what a
# private, loopback-only, non-relaying instance needs.
MAIN_CF = """\
smtpd_banner = $myhostname ESMTP $mail_name (Debian/GNU)
biff = no
append_dot_mydomain = no
readme_directory = no
compatibility_level = 3.6

queue_directory = {root}/queue
data_directory = {root}/data
maillog_file = {root}/maillog
maillog_file_prefixes = {root}
mail_owner = postfix
setgid_group = postdrop

myhostname = mail.quillet.test
mydomain = quillet.test
myorigin = $myhostname
mydestination = $myhostname, localhost.$mydomain, localhost
inet_interfaces = loopback-only
inet_protocols = ipv4
mynetworks = 127.0.0.0/8
smtpd_peername_lookup = no
# Store the header block as the client sent it: no address rewriting and no
# added Date or Message-Id, so the delivered bytes can be compared exactly.
local_header_rewrite_clients =

# Nothing leaves this instance.
relayhost =
smtpd_relay_restrictions = reject_unauth_destination
default_transport = error:5.7.1 this test server relays nothing
relay_transport = error:5.7.1 this test server relays nothing

# quillettest@localhost goes to {root}/spool/quillettest/ (a Maildir),
# victim@localhost to {root}/victim/; every other local name is refused at
# RCPT as unknown.
mail_spool_directory = {root}/spool/
alias_maps = inline:{{ {{ victim = {root}/victim/ }} }}
alias_database =
"""


# The submission services: name: (TLS from the first byte?, the SASL
# mechanisms its smtpd offers).
SUBMISSION_SERVICES = {
    "starttls": (False, "PLAIN LOGIN"),
    "starttls-login": (False, "LOGIN"),
    "implicit": (True, "PLAIN LOGIN"),
    "implicit-login": (True, "LOGIN"),
}
SUBMISSION_USER = "formmailer"
SUBMISSION_PASSWORD = "s3cret pass:word"
SASL_REALM = "quillet.test"

# The TLS session cache and entropy manager that smtpd's TLS needs.
TLSMGR_SERVICE = "tlsmgr    unix  -       -       n       1000?   1       tlsmgr\n"

SUBMISSION_SERVICE = """{listen}  inet  n       -       n       -       -       smtpd
  -o syslog_name=postfix/{name}
  -o {tls_setting}
  -o smtpd_sasl_auth_enable=yes
  -o smtpd_sasl_path={sasl_name}
  -o smtpd_client_restrictions=permit_sasl_authenticated,reject
"""

SUBMISSION_MAIN_CF = """
# The submission services' TLS and Cyrus SASL (a private sasldb).
smtpd_tls_cert_file = {cert}
smtpd_tls_key_file = {key}
smtpd_tls_loglevel = 1
smtpd_sasl_type = cyrus
cyrus_sasl_config_path = {root}/conf/sasl
smtpd_sasl_local_domain = {realm}
smtpd_sasl_security_options = noanonymous
"""

SASL_CONF = """pwcheck_method: auxprop
auxprop_plugin: sasldb
sasldb_path: {root}/sasl/sasldb2
mech_list: {mechanisms}
"""


class PostfixServer:
    """A private Postfix instance; see postfix_server()."""

    def __init__(self, strict=False, submission=None):
        self.strict = strict
        self.submission = submission  # the certificate pair of the submission services, or None
        self.submission_ports = {}
        self.root = None
        self.port = None
        self.host = "127.0.0.1"

    # -- paths --

    @property
    def config_dir(self):
        return os.path.join(self.root, "conf")

    @property
    def queue_dir(self):
        return os.path.join(self.root, "queue")

    def mailbox_dir(self, mailbox=TEST_ACCOUNT):
        if mailbox == VICTIM:
            return os.path.join(self.root, "victim")
        return os.path.join(self.root, "spool", mailbox)

    @property
    def smtp(self):
        """The ini file's `smtp` value for this server."""
        return "%s:%d" % (self.host, self.port)

    @property
    def name(self):
        return "postfix-strict" if self.strict else "postfix-default"

    @staticmethod
    def refusal(address):
        """The reply to RCPT TO for a local name that has no mailbox."""
        return "550 5.1.1 <%s>: Recipient address rejected: User unknown in local recipient table" % address

    # -- life --

    def start(self):
        check_root("Postfix's private instance")
        for program in (POSTFIX, POSTCONF, POSTQUEUE, POSTFIX_MASTER):
            if not os.path.exists(program):
                raise MailServerError("%s is missing: run scripts/install-deps" % program)
        if self.strict:
            missing = sorted(set(STRICT_SETTINGS) - set(postfix_known_parameters(STRICT_SETTINGS)))
            if missing:
                raise MailServerError("Postfix %s does not know %s" % (postfix_version(), ", ".join(missing)))
        ensure_test_account()
        self.root = new_instance_dir("postfix")
        try:
            self._lay_out()
            last = start_on_a_free_port(self._start_on)
            if last is None:
                return self
            raise MailServerError("postfix -c %s start failed:\n%s" % (self.config_dir, last))
        except BaseException:
            self.stop()
            raise

    def _start_on(self, port):
        """One attempt at starting on `port`: None, or why it failed."""
        self.port = port
        if self.submission is not None:
            self.submission_ports = {name: free_loopback_port() for name in SUBMISSION_SERVICES}
        self._write_config()
        with open(os.path.join(self.root, "maillog"), "wb"):
            pass  # this attempt's lines only
        status, output = self._postfix("start")
        if status == 0:
            return None
        last = output + self.log_text()[-4000:]
        self._postfix("stop")
        return last

    def _lay_out(self):
        account = pwd.getpwnam(TEST_ACCOUNT)
        nobody = pwd.getpwnam("nobody")
        os.makedirs(self.config_dir)
        os.makedirs(self.queue_dir)
        os.chmod(self.queue_dir, 0o755)
        postfix_account = pwd.getpwnam("postfix")
        os.makedirs(os.path.join(self.root, "data"))
        os.chown(os.path.join(self.root, "data"), postfix_account.pw_uid, postfix_account.pw_gid)
        # The spool is writable by the test account only: local(8) creates
        # and fills the Maildir as the recipient.
        spool = os.path.join(self.root, "spool")
        os.makedirs(spool)
        os.chown(spool, account.pw_uid, account.pw_gid)
        os.chmod(spool, 0o755)
        # Deliveries to an alias file run as default_privs (nobody).
        victim = self.mailbox_dir(VICTIM)
        os.makedirs(victim)
        os.chown(victim, nobody.pw_uid, nobody.pw_gid)
        os.chmod(victim, 0o755)
        if self.submission is not None:
            self._lay_out_sasl(postfix_account)

    def _lay_out_sasl(self, postfix_account):
        """The sasldb with the submission account, readable by smtpd (which
        runs as postfix), and a Cyrus SASL file for each set of mechanisms."""
        sasl_conf = os.path.join(self.config_dir, "sasl")
        os.makedirs(sasl_conf)
        for mechanisms in set(offered for _, offered in SUBMISSION_SERVICES.values()):
            with open(os.path.join(sasl_conf, sasl_name(mechanisms) + ".conf"), "w") as handle:
                handle.write(SASL_CONF.format(root=self.root, mechanisms=mechanisms))
        database = os.path.join(self.root, "sasl")
        os.makedirs(database)
        completed = subprocess.run([SASLPASSWD2, "-f", os.path.join(database, "sasldb2"), "-u", SASL_REALM, "-c",
                                    "-p", SUBMISSION_USER], input=SUBMISSION_PASSWORD.encode(),
                                   capture_output=True, timeout=COMMAND_SECONDS)
        if completed.returncode != 0:
            raise MailServerError("saslpasswd2 failed: %s" % completed.stderr.decode("latin-1"))
        for folder, _, files in os.walk(database):
            os.chown(folder, postfix_account.pw_uid, postfix_account.pw_gid)
            for name in files:
                os.chown(os.path.join(folder, name), postfix_account.pw_uid, postfix_account.pw_gid)

    def _write_config(self):
        main_cf = MAIN_CF.format(root=self.root)
        if self.strict:
            main_cf += "\n# Refuse what Postfix 3.9 and later refuse by default, from every client.\n"
            main_cf += "".join("%s = %s\n" % item for item in STRICT_SETTINGS.items())
        master_cf = MASTER_CF.format(listen="127.0.0.1:%d" % self.port)
        if self.submission is not None:
            main_cf += SUBMISSION_MAIN_CF.format(cert=self.submission.cert, key=self.submission.key, root=self.root,
                                                 realm=SASL_REALM)
            master_cf += TLSMGR_SERVICE
            for name, (implicit, mechanisms) in SUBMISSION_SERVICES.items():
                master_cf += SUBMISSION_SERVICE.format(
                    listen="127.0.0.1:%d" % self.submission_ports[name], name=name, sasl_name=sasl_name(mechanisms),
                    tls_setting="smtpd_tls_wrappermode=yes" if implicit else "smtpd_tls_security_level=encrypt")
        with open(os.path.join(self.config_dir, "main.cf"), "w") as handle:
            handle.write(main_cf)
        with open(os.path.join(self.config_dir, "master.cf"), "w") as handle:
            handle.write(master_cf)

    def _postfix(self, *args):
        return run_command([POSTFIX, "-c", self.config_dir] + list(args), env=postfix_environment())

    def master_pid(self):
        return master_pid_of(self.root)

    def server_pid(self):
        """The process that holds the listening socket."""
        return self.master_pid()

    def stop(self):
        if self.root is None:
            return
        stop_postfix_instance(self.root)
        shutil.rmtree(self.root, ignore_errors=True)
        self.root = None

    # -- mail --

    def postconf(self, name):
        status, output = run_command([POSTCONF, "-c", self.config_dir, "-h", name], env=postfix_environment())
        if status != 0:
            raise MailServerError("postconf %s: %s" % (name, output))
        return output.strip()

    def queue_listing(self):
        status, output = run_command([POSTQUEUE, "-c", self.config_dir, "-p"], env=postfix_environment())
        if status != 0:
            raise MailServerError("postqueue -p failed: %s" % output)
        return output

    def wait_for_delivery(self, seconds=DELIVERY_WAIT_SECONDS):
        """Waits until the queue is empty (every accepted message delivered or
        bounced); raises MailServerError with the queue listing otherwise."""
        wait_for_queue(self.queue_listing, lambda listing: "Mail queue is empty" in listing, seconds)

    def messages(self, mailbox=TEST_ACCOUNT):
        """The messages delivered to `mailbox` (TEST_ACCOUNT or VICTIM), oldest
        first, after waiting for the queue to empty."""
        self.wait_for_delivery()
        return read_maildir(self.mailbox_dir(mailbox))

    def everything(self):
        """Every delivered message, whatever its mailbox."""
        return self.messages(TEST_ACCOUNT) + self.messages(VICTIM)

    def clear(self):
        """Removes every delivered message and the log's old lines."""
        self.wait_for_delivery()
        for mailbox in (TEST_ACCOUNT, VICTIM):
            clear_maildir(self.mailbox_dir(mailbox))
        with contextlib.suppress(FileNotFoundError):
            os.truncate(os.path.join(self.root, "maillog"), 0)

    def log_text(self):
        if self.root is None:
            return ""
        return read_text(os.path.join(self.root, "maillog"))


def postfix_environment():
    environment = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "LANG": "C"}
    return environment


def master_pid_of(root):
    try:
        with open(os.path.join(root, "queue", "pid", "master.pid")) as handle:
            return int(handle.read().split()[0])
    except (OSError, ValueError, IndexError):
        return None


def is_postfix_master(pid, root):
    """Whether `pid` is the master of the instance in `root` (the master
    works in its queue directory), not some other process or instance."""
    try:
        return (os.readlink("/proc/%d/exe" % pid) == POSTFIX_MASTER
                and os.readlink("/proc/%d/cwd" % pid) == os.path.join(root, "queue"))
    except OSError:
        return False


def stop_postfix_instance(root):
    """Stops the Postfix of the instance folder `root` with its own stop
    command; if its master is still there after STOP_WAIT_SECONDS, ends it
    (and with it its process group) by the PID in the instance's pid file."""
    pid = master_pid_of(root)
    if pid is not None and not is_postfix_master(pid, root):
        pid = None  # a stale pid file: that number is someone else's now
    config = os.path.join(root, "conf")
    if os.path.exists(os.path.join(config, "main.cf")) and os.path.exists(POSTFIX):
        with contextlib.suppress(subprocess.TimeoutExpired):
            run_command([POSTFIX, "-c", config, "stop"], env=postfix_environment())
    if pid is None:
        return
    if wait_until(lambda: not process_alive(pid), STOP_WAIT_SECONDS, interval=0.1):
        return
    with contextlib.suppress(subprocess.TimeoutExpired):
        run_command([POSTFIX, "-c", config, "abort"], env=postfix_environment())
    if not wait_until(lambda: not process_alive(pid), STOP_WAIT_SECONDS, interval=0.1):
        with contextlib.suppress(ProcessLookupError):
            os.killpg(pid, signal.SIGKILL)  # the master leads its own process group
        with contextlib.suppress(ProcessLookupError):
            os.kill(pid, signal.SIGKILL)


def ensure_test_account():
    """The system account that owns the test mailbox; created when missing."""
    with contextlib.suppress(KeyError):
        return pwd.getpwnam(TEST_ACCOUNT)
    status, output = run_command(
        ["useradd", "--system", "--no-create-home", "--home-dir", "/nonexistent", "--shell", "/usr/sbin/nologin",
         "--comment", "quillet interoperability tests", TEST_ACCOUNT],
        env={"PATH": "/usr/sbin:/usr/bin:/sbin:/bin"},
    )
    try:
        return pwd.getpwnam(TEST_ACCOUNT)  # a parallel run may have made it
    except KeyError:
        raise MailServerError("useradd %s failed: %s" % (TEST_ACCOUNT, output)) from None


def read_maildir(directory):
    """The messages of a Maildir (new/ and cur/), oldest first. Postfix's
    local delivery puts Return-Path (the envelope sender), Delivered-To (the
    final recipient) and X-Original-To (the address given at RCPT) on top."""
    found = []
    for sub in ("new", "cur"):
        folder = os.path.join(directory, sub)
        if not os.path.isdir(folder):
            continue
        for name in os.listdir(folder):
            path = os.path.join(folder, name)
            found.append((os.stat(path).st_mtime_ns, name, path))
    messages = []
    for _, _, path in sorted(found):
        with open(path, "rb") as handle:
            data = handle.read()
        message = Message(path, data, None, [], content=data[delivery_fields_length(data):])
        sender = message.headers("Return-Path")
        message.sender = sender[0].decode("latin-1").strip("<>") if sender else None
        message.recipients = [value.decode("latin-1") for value in message.headers("X-Original-To")]
        messages.append(message)
    return messages


# What Postfix's smtpd and local delivery put in front of a message.
DELIVERY_FIELDS = (b"return-path:", b"x-original-to:", b"delivered-to:", b"received:")


def leading_fields_length(data, names):
    """How many leading bytes of a stored message are header fields named in
    `names` (lower case, with the colon), each with its continuation lines:
    what the delivering server put on top."""
    position = 0
    in_field = False
    while position < len(data):
        end = data.find(b"\n", position)
        end = len(data) if end < 0 else end + 1
        line = data[position:end]
        if line.lower().startswith(names):
            in_field = True
        elif not (in_field and line[:1] in (b" ", b"\t")):
            break
        position = end
    return position


def delivery_fields_length(data):
    """How many leading bytes of a message delivered by Postfix are its
    delivery fields."""
    return leading_fields_length(data, DELIVERY_FIELDS)


def exim_greeting(message):
    """('EHLO' or 'HELO', the name given), from the Received field Exim
    writes: "from ... helo=NAME) by ... with esmtp|smtp ..."."""
    received = message.headers("Received")[0]
    match = re.search(rb"helo=([^)\s]+)\).*? with (e?smtp) ", received, re.S | re.I)
    assert match, received
    return ("EHLO" if match.group(2).lower() == b"esmtp" else "HELO"), match.group(1).decode()


def clear_maildir(directory):
    for sub in ("new", "cur", "tmp"):
        folder = os.path.join(directory, sub)
        if os.path.isdir(folder):
            for name in os.listdir(folder):
                os.unlink(os.path.join(folder, name))


def sasl_name(mechanisms):
    """The name of the Cyrus SASL file (and smtpd_sasl_path) for `mechanisms`."""
    return "smtpd-" + mechanisms.lower().replace(" ", "-")


def postfix_server(strict=False, submission=None):
    """A running private Postfix instance (PostfixServer); stopped on exit."""
    return running(PostfixServer(strict, submission))


# ---- aiosmtpd ----


class AiosmtpdServer:
    """aiosmtpd as a child process; see aiosmtpd_server()."""

    def __init__(self, refuse=UNKNOWN_ADDRESS, eight_bit_mime=True, tls=None, implicit=False, user=None,
                 password=None, mechanisms=None):
        self.refuse = refuse
        self.eight_bit_mime = eight_bit_mime
        self.name = "aiosmtpd" if eight_bit_mime else "aiosmtpd-7bit"
        self.tls = tls
        self.implicit = implicit
        self.user = user
        self.password = password
        self.mechanisms = mechanisms
        self.root = None
        self.process = None
        self.host = "127.0.0.1"
        self.port = None

    def options(self):
        """The child's command-line options beyond the folder."""
        options = ["--refuse", self.refuse] + ([] if self.eight_bit_mime else ["--no-8bitmime"])
        if self.tls is not None:
            options += ["--tls-cert", self.tls.cert, "--tls-key", self.tls.key]
            if self.implicit:
                options.append("--implicit")
        if self.user is not None:
            options += ["--user", self.user, "--password", self.password]
            for mechanism in self.mechanisms or ():
                options += ["--mechanism", mechanism]
        return options

    @property
    def folder(self):
        return os.path.join(self.root, "messages")

    @staticmethod
    def refusal(address):
        """The reply to RCPT TO for the refused address."""
        return REFUSAL_FORMAT % address

    @property
    def smtp(self):
        return "%s:%d" % (self.host, self.port)

    def start(self):
        self.root = new_instance_dir("aiosmtpd")
        os.makedirs(self.folder)
        self.stderr = open(os.path.join(self.root, "server.err"), "wb")
        # Standard input stays a pipe: the server ends when it closes, so a
        # test run that dies cannot leave it behind.
        self.process = subprocess.Popen(
            [PYTHON, os.path.abspath(__file__), "aiosmtpd", "--folder", self.folder] + self.options(),
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self.stderr,
        )
        record_pid(self.root, self.process.pid)
        line = b""
        with selectors.DefaultSelector() as selector:
            selector.register(self.process.stdout, selectors.EVENT_READ)
            if selector.select(SERVER_START_SECONDS):
                line = self.process.stdout.readline()
        match = re.match(rb"PORT (\d+)$", line.strip())
        if not match:
            self.stop()
            raise MailServerError("aiosmtpd did not start: %r" % line)
        self.port = int(match.group(1))
        return self

    def stop(self):
        if self.process is not None:
            with contextlib.suppress(OSError):
                self.process.stdin.close()
            try:
                self.process.wait(timeout=STOP_WAIT_SECONDS)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
            self.process.stdout.close()
            self.stderr.close()
            self.process = None
        if self.root is not None:
            shutil.rmtree(self.root, ignore_errors=True)
            self.root = None

    def server_pid(self):
        return self.process.pid

    def wait_for_delivery(self, seconds=None):
        """Nothing to wait for: a message is on disk before its 250 goes out."""

    def messages(self, mailbox=TEST_ACCOUNT):
        """The accepted messages with `mailbox` (a local part, or a whole
        address) among their envelope recipients, oldest first."""
        address = mailbox if "@" in mailbox else mailbox + "@localhost"
        return [message for message in self.all_messages()
                if address.lower() in (recipient.lower() for recipient in message.recipients)]

    def everything(self):
        """Every accepted message, whatever its recipients."""
        return self.all_messages()

    def all_messages(self):
        messages = []
        for name in sorted(os.listdir(self.folder)):
            if not name.endswith(".json"):
                continue
            with open(os.path.join(self.folder, name)) as handle:
                envelope = json.load(handle)
            path = os.path.join(self.folder, name[: -len(".json")] + ".eml")
            with open(path, "rb") as handle:
                data = handle.read()
            messages.append(Message(path, data, envelope["mail_from"], envelope["rcpt_tos"], envelope))
        return messages

    def clear(self):
        for name in os.listdir(self.folder):
            os.unlink(os.path.join(self.folder, name))

    def log_text(self):
        return read_text(os.path.join(self.root, "server.err") if self.root else None)


REFUSAL_FORMAT = "550 5.1.1 <%s>: Recipient address rejected: User unknown"


def aiosmtpd_server(refuse=UNKNOWN_ADDRESS, eight_bit_mime=True, **options):
    """A running aiosmtpd child process (AiosmtpdServer); stopped on exit.
    `options`: tls, implicit, user, password, mechanisms."""
    return running(AiosmtpdServer(refuse, eight_bit_mime, **options))


AUTH_MECHANISMS = ("PLAIN", "LOGIN")


def serve_aiosmtpd(folder, refuse, eight_bit_mime=True, tls_cert=None, tls_key=None, implicit=False, user=None,
                   password=None, mechanisms=None):
    """The child process: an aiosmtpd server on 127.0.0.1, port 0; prints
    "PORT n" once listening; ends when its standard input closes or on
    SIGTERM. Without `eight_bit_mime` it decodes the data as ASCII
    (decode_data), which leaves 8BITMIME out of its EHLO reply."""
    import asyncio
    import ssl

    from aiosmtpd.smtp import SMTP, AuthResult

    class RecordingHandler:
        def __init__(self):
            self.count = 0

        async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
            if address.lower() == refuse.lower():
                return REFUSAL_FORMAT % address
            envelope.rcpt_tos.append(address)
            return "250 2.1.5 Ok"

        async def handle_DATA(self, server, session, envelope):
            self.count += 1
            stem = os.path.join(folder, "%06d" % self.count)
            with open(stem + ".eml", "wb") as handle:
                handle.write(envelope.original_content)
            # The TLS session the message came over (implicit, or STARTTLS).
            secure = server.transport.get_extra_info("ssl_object")
            record = {
                "mail_from": envelope.mail_from,
                "rcpt_tos": envelope.rcpt_tos,
                "mail_options": envelope.mail_options,
                "helo": session.host_name,
                "esmtp": session.extended_smtp,
                "peer": list(session.peer) if session.peer else None,
                "tls": secure.version() if secure is not None else None,
                "login": session.auth_data if session.authenticated else None,
            }
            # The envelope file appears last, whole: readers look for it.
            with open(stem + ".tmp", "w") as handle:
                json.dump(record, handle)
            os.rename(stem + ".tmp", stem + ".json")
            return "250 2.0.0 Ok: queued as %06d" % self.count

    def authenticator(server, session, envelope, mechanism, credentials):
        good = credentials.login == user.encode() and credentials.password == password.encode()
        return AuthResult(success=good, auth_data=credentials.login.decode("latin-1") if good else None)

    handler = RecordingHandler()
    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    context = None
    if tls_cert is not None:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(tls_cert, tls_key)
    options = {}
    if context is not None and not implicit:
        options.update(tls_context=context, require_starttls=True)
    if user is not None:
        # Over implicit TLS the connection is secure from the start, which
        # aiosmtpd's own check of "TLS" (a STARTTLS) does not see.
        excluded = [name for name in AUTH_MECHANISMS if mechanisms and name not in mechanisms]
        options.update(authenticator=authenticator, auth_required=True, auth_require_tls=not implicit,
                       auth_exclude_mechanism=excluded)

    def factory():
        return SMTP(handler, hostname="aiosmtpd.quillet.test", loop=loop, decode_data=not eight_bit_mime,
                    **options)

    server = loop.run_until_complete(loop.create_server(factory, host="127.0.0.1", port=0,
                                                        ssl=context if implicit else None))
    port = server.sockets[0].getsockname()[1]

    done = loop.create_future()

    def finish(*_):
        if not done.done():
            done.set_result(None)

    def stdin_readable():
        if not os.read(sys.stdin.fileno(), 4096):
            finish()

    loop.add_reader(sys.stdin.fileno(), stdin_readable)
    loop.add_signal_handler(signal.SIGTERM, finish)
    loop.add_signal_handler(signal.SIGINT, finish)
    sys.stdout.write("PORT %d\n" % port)
    sys.stdout.flush()
    loop.run_until_complete(done)
    loop.remove_reader(sys.stdin.fileno())
    server.close()
    loop.run_until_complete(server.wait_closed())
    loop.close()


def main(argv):
    import argparse

    parser = argparse.ArgumentParser(description="aiosmtpd server for quillet's interoperability tests")
    parser.add_argument("kind", choices=["aiosmtpd"])
    parser.add_argument("--folder", required=True)
    parser.add_argument("--refuse", default=UNKNOWN_ADDRESS)
    parser.add_argument("--no-8bitmime", dest="eight_bit_mime", action="store_false")
    parser.add_argument("--tls-cert")
    parser.add_argument("--tls-key")
    parser.add_argument("--implicit", action="store_true")
    parser.add_argument("--user")
    parser.add_argument("--password")
    parser.add_argument("--mechanism", action="append")
    args = parser.parse_args(argv)
    serve_aiosmtpd(args.folder, args.refuse, args.eight_bit_mime, args.tls_cert, args.tls_key, args.implicit,
                   args.user, args.password, args.mechanism)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
