"""Exim and OpenSMTPD from their Debian packages, on loopback, for the
interoperability matrix (scripts/interop, which installs each package in
turn and removes it again; nothing here installs anything).

- `exim_server()`: Debian's exim4-daemon-light with the configuration its
  package generates (the "local delivery only" type, listening on 127.0.0.1),
  run as a daemon of our own in the foreground (`exim4 -bdf`) on 127.0.0.1
  and a port the system picked. It delivers quillettest@localhost, as
  Debian's configuration does, to the mbox file /var/mail/quillettest.
  Exim's delivery works in the recipient's home directory, and the test
  account has none (/nonexistent): while the instance runs, the account's
  home is a folder of the instance (`usermod -d`), and the old one is put
  back when it stops (or, after an interrupted run, when the next instance
  cleans up). Debian's configuration takes every recipient from 127.0.0.1
  (it relays for local hosts, in submission mode) and bounces unknown users
  later; what it refuses at RCPT, from any host, is a local part that begins
  with "." or holds one of @ % ! / | ` # & ? ("550 restricted characters in
  address"): `refused_address` is such an address. It offers STARTTLS with
  a certificate for localhost and 127.0.0.1 from the test CA
  (tls_certs.shared_certificates()): while the instance runs, Debian's TLS
  macros are set in /etc/exim4/exim4.conf.localmacros (marked as the
  instance's, removed when it stops or, after an interrupted run, when the
  next instance cleans up) and update-exim4.conf rebuilds the configuration.
- `opensmtpd_server()`: OpenSMTPD's smtpd in the foreground (`smtpd -d`) with
  a smtpd.conf of our own: listening on 127.0.0.1 and a port the system
  picked, delivering local users' mail into Maildirs under the instance
  folder, refusing unknown users at RCPT and relaying nothing. OpenSMTPD
  keeps one queue and control socket for the whole machine, so the
  distribution's own daemon must not run (scripts/interop stops it).

Both offer what mailservers.py's servers offer (`smtp`, `host`, `port`,
`name`, `messages(mailbox)`, `everything()`, `clear()`, `refusal(address)`,
`log_text()`, `server_pid()`, `wait_for_delivery()`), plus
`greeting(message)`: the greeting command and name the server recorded in
its Received field, and `refused_address`: an address it refuses at RCPT
(mailservers.UNKNOWN_ADDRESS, except on Exim). Neither has the victim
mailbox of mailservers.py (`has_victim_mailbox` is False): victim@localhost
has no account, so OpenSMTPD refuses it at RCPT and Exim takes it and
bounces it.

An instance lives in a folder under instances.SCRATCH_ROOT named after the
test process that owns it (instances.py, shared with mailservers.py); a
folder whose owner is gone is what an interrupted run left: its daemon is
ended by the PID it recorded (when that process still runs with the folder
on its command line) and the folder removed (`remove_stale_instances`), and
an Exim instance's change of the test account's home undone.
"""

import contextlib
import grp
import os
import pwd
import re
import shutil

import instances
import mailservers
import tls_certs
from instances import (DELIVERY_WAIT_SECONDS, MailServerError, check_root, read_text, run_command, running,
                       start_on_a_free_port, wait_for_queue, wait_until)
from mailservers import TEST_ACCOUNT, UNKNOWN_ADDRESS, Message, ensure_test_account, leading_fields_length

EXIM = "/usr/sbin/exim4"
UPDATE_EXIM4_CONF = "/usr/sbin/update-exim4.conf"
EXIM_LOCAL_MACROS = "/etc/exim4/exim4.conf.localmacros"
EXIM_GROUP = "Debian-exim"  # the account Exim receives mail as: it reads the key at STARTTLS
EXIM_LOG_DIR = "/var/log/exim4"
EXIM_LOGS = ("mainlog", "rejectlog", "paniclog")
MAIL_SPOOL = "/var/mail"
SMTPD = "/usr/sbin/smtpd"
SMTPCTL = "/usr/sbin/smtpctl"

LISTEN_WAIT_SECONDS = 30     # for a daemon to listen on its port
KINDS = ("exim", "opensmtpd")


def new_instance_dir(kind):
    """A new folder "<kind>-<pid of this process>-<random>" under the scratch
    root, after the stale ones of every kind are gone."""
    return instances.new_instance_dir(kind, remove_stale_instances)


def remove_stale_instances(root=None):
    """Stops and removes the instances of this module whose test process is
    gone (those of mailservers.py are its own business: it cleans them up
    when it starts a server)."""
    instances.remove_stale_instances(root or instances.scratch_root(), KINDS, stop_stale_instance)


def stop_stale_instance(directory):
    instances.end_recorded_process(directory)
    restore_home(directory)
    disable_exim_tls(directory)


HOME_RECORD = "home.orig"  # in an Exim instance folder: the test account's home before


def set_home(directory):
    """Makes <directory>/home, owned by the test account, its home, after
    noting the old one in <directory>/home.orig."""
    account = pwd.getpwnam(TEST_ACCOUNT)
    home = os.path.join(directory, "home")
    os.makedirs(home)
    os.chown(home, account.pw_uid, account.pw_gid)
    os.chmod(home, 0o700)
    with open(os.path.join(directory, HOME_RECORD), "w") as handle:
        handle.write(account.pw_dir + "\n")
    usermod_home(home)


def restore_home(directory):
    """Puts back the home noted in <directory>/home.orig, if the account's
    home is still the one set for that folder."""
    try:
        with open(os.path.join(directory, HOME_RECORD)) as handle:
            old = handle.read().strip()
    except OSError:
        return
    with contextlib.suppress(KeyError):
        if pwd.getpwnam(TEST_ACCOUNT).pw_dir == os.path.join(directory, "home") and old:
            usermod_home(old)
    with contextlib.suppress(OSError):
        os.unlink(os.path.join(directory, HOME_RECORD))


def exim_macros_mark(directory):
    return "# set by quillet's interoperability tests for %s\n" % directory


def enable_exim_tls(directory):
    """Debian's TLS macros for Exim, naming a copy of the test certificate
    and key in <directory>/tls that Exim's account can read, and the
    configuration rebuilt."""
    pair = tls_certs.shared_certificates().server
    folder = os.path.join(directory, "tls")
    os.makedirs(folder)
    group = grp.getgrnam(EXIM_GROUP).gr_gid
    copies = {}
    for name, source in (("cert", pair.cert), ("key", pair.key)):
        copies[name] = os.path.join(folder, os.path.basename(source))
        shutil.copyfile(source, copies[name])
        os.chown(copies[name], 0, group)
        os.chmod(copies[name], 0o640)
    if os.path.exists(EXIM_LOCAL_MACROS):
        raise MailServerError("%s exists: it is not the tests' to replace" % EXIM_LOCAL_MACROS)
    with open(EXIM_LOCAL_MACROS, "w") as handle:
        handle.write(exim_macros_mark(directory))
        handle.write("MAIN_TLS_ENABLE = yes\nMAIN_TLS_CERTIFICATE = %s\nMAIN_TLS_PRIVATEKEY = %s\n"
                     % (copies["cert"], copies["key"]))
    update_exim_config()


def disable_exim_tls(directory):
    """Removes the macros enable_exim_tls wrote for `directory`, if they are
    still there, and rebuilds the configuration."""
    try:
        with open(EXIM_LOCAL_MACROS) as handle:
            ours = handle.readline() == exim_macros_mark(directory)
    except OSError:
        return
    if ours:
        os.unlink(EXIM_LOCAL_MACROS)
        if os.path.exists(UPDATE_EXIM4_CONF):
            update_exim_config()


def update_exim_config():
    status, output = run_command([UPDATE_EXIM4_CONF], env={"PATH": "/usr/sbin:/usr/bin:/sbin:/bin"})
    if status != 0:
        raise MailServerError("update-exim4.conf failed: %s" % output)


def usermod_home(home):
    status, output = run_command(["usermod", "-d", home, TEST_ACCOUNT], env={"PATH": "/usr/sbin:/usr/bin:/sbin:/bin"})
    if status != 0:
        raise MailServerError("usermod -d %s %s failed: %s" % (home, TEST_ACCOUNT, output))


def first_value(message, name):
    values = message.headers(name)
    return values[0].decode("latin-1") if values else None


class PackagedServer(instances.DaemonInstance):
    """What the Exim and OpenSMTPD instances share beyond the child daemon:
    the start on a free port, the clean-up, the one mailbox."""

    kind = None
    program = None
    has_victim_mailbox = False
    refused_address = UNKNOWN_ADDRESS

    @property
    def name(self):
        return self.kind

    def start(self):
        check_root("%s's daemon" % self.kind)
        if not os.path.exists(self.program):
            raise MailServerError("%s is missing: scripts/interop installs it" % self.program)
        ensure_test_account()
        self.root = new_instance_dir(self.kind)
        try:
            self.prepare()
            last = start_on_a_free_port(self._start_on)
            if last is None:
                return self
            raise MailServerError("%s did not listen on %s:\n%s" % (self.kind, self.smtp, last))
        except BaseException:
            self.stop()
            raise

    def _start_on(self, port):
        """One attempt at starting on `port`: None, or why it failed."""
        self.port = port
        self.launch()
        wait_until(self.listening, LISTEN_WAIT_SECONDS, interval=0.05)
        if self.process.poll() is None and self.server_pid() is not None:
            return None
        last = self.log_text()[-4000:]
        self.end_daemon()
        return last

    def stop(self):
        self.end_daemon()
        self.cleanup()
        if self.root is not None:
            shutil.rmtree(self.root, ignore_errors=True)
            self.root = None

    def everything(self):
        """Every delivered message (there is one mailbox)."""
        return self.messages(TEST_ACCOUNT)

    def server_err(self):
        return read_text(os.path.join(self.root, "server.err") if self.root else None)

    # What each kind fills in.
    def prepare(self):
        pass

    def launch(self):
        raise NotImplementedError

    def cleanup(self):
        pass


# ---- Exim ----


# What Debian's mail_spool transport and Exim's reception put on top.
EXIM_DELIVERY_FIELDS = (b"return-path:", b"envelope-to:", b"delivery-date:", b"received:")


class EximServer(PackagedServer):
    """exim4 -bdf with Debian's generated configuration; see exim_server()."""

    kind = "exim"
    program = EXIM
    refused_address = ".nobody-such@localhost"

    def __init__(self):
        super().__init__()
        self.log_offsets = {}

    @staticmethod
    def refusal(address):
        """The reply to RCPT TO for a local part that begins with "."."""
        return "550 restricted characters in address"

    @property
    def mbox_path(self):
        return os.path.join(MAIL_SPOOL, TEST_ACCOUNT)

    def prepare(self):
        self.remove_mbox()
        self.mark_logs()
        set_home(self.root)
        enable_exim_tls(self.root)

    def launch(self):
        # -oX replaces the configured interfaces for this daemon only; -oP
        # keeps its pid file in the instance folder, away from the system
        # daemon's. No -q: each message is delivered as it arrives.
        self.spawn([EXIM, "-bdf", "-oX", "127.0.0.1.%d" % self.port, "-oP", os.path.join(self.root, "exim.pid")])

    def cleanup(self):
        with contextlib.suppress(MailServerError):
            if self.root is not None:
                self.wait_for_delivery(seconds=5)
        self.remove_mbox()
        if self.root is not None:
            restore_home(self.root)
            disable_exim_tls(self.root)

    def remove_mbox(self):
        with contextlib.suppress(FileNotFoundError):
            os.unlink(self.mbox_path)

    def mark_logs(self):
        for name in EXIM_LOGS:
            path = os.path.join(EXIM_LOG_DIR, name)
            self.log_offsets[name] = os.path.getsize(path) if os.path.exists(path) else 0

    @staticmethod
    def queue_listing():
        status, output = run_command([EXIM, "-bp"])
        if status != 0:
            raise MailServerError("exim4 -bp failed: %s" % output)
        return output

    def wait_for_delivery(self, seconds=DELIVERY_WAIT_SECONDS):
        """Waits until Exim's queue holds nothing but frozen messages (a
        bounce that cannot be delivered: the visitor has no mailbox here);
        raises MailServerError with the listing otherwise."""

        def settled(listing):
            entries = [line for line in listing.splitlines() if re.match(r"\s*\d+[smhdw] ", line)]
            return all("*** frozen ***" in line for line in entries)

        wait_for_queue(self.queue_listing, settled, seconds)

    def messages(self, mailbox=TEST_ACCOUNT):
        """The messages in quillettest's mbox, oldest first (other names have
        no mailbox: Exim refuses them)."""
        self.wait_for_delivery()
        if mailbox != TEST_ACCOUNT:
            return []
        try:
            with open(self.mbox_path, "rb") as handle:
                data = handle.read()
        except FileNotFoundError:
            return []
        return [self.parse(stored) for stored in split_mbox(data)]

    def parse(self, stored):
        content = stored[leading_fields_length(stored, EXIM_DELIVERY_FIELDS):]
        message = Message(self.mbox_path, stored, None, [], content=content)
        received = message.headers("Received")
        match = re.search(rb"\sid ([\w-]+)", received[0]) if received else None
        if match:
            message.content = without_submission_fields(content, match.group(1))
        sender = first_value(message, "Return-path")
        message.sender = sender.strip("<>") if sender is not None else None
        envelope = first_value(message, "Envelope-to")
        message.recipients = [address.strip() for address in envelope.split(",")] if envelope else []
        return message

    greeting = staticmethod(mailservers.exim_greeting)

    def clear(self):
        self.wait_for_delivery()
        self.remove_mbox()
        self.mark_logs()

    def log_text(self):
        """Exim's log lines written since the last clear(), and the daemon's
        own output."""
        parts = []
        for name in EXIM_LOGS:
            path = os.path.join(EXIM_LOG_DIR, name)
            with contextlib.suppress(OSError):
                with open(path, "rb") as handle:
                    handle.seek(self.log_offsets.get(name, 0))
                    text = handle.read().decode("latin-1")
                if text:
                    parts.append("[%s]\n%s" % (name, text))
        parts.append(self.server_err())
        return "\n".join(parts)


def without_submission_fields(content, exim_id):
    """The message without the fields Exim added at the end of its header
    block. Debian's configuration treats mail from a local host as a
    submission, and Exim completes a message that lacks them with a
    Message-Id (made of its own message id: "<E" id "@" host ">"), a From
    (the envelope sender) and a Date, in that order. A message that has a
    Message-Id of its own is left as it is."""
    head_end = content.find(b"\n\n")
    if head_end < 0:
        return content
    lines = content[:head_end + 1].split(b"\n")[:-1]
    added = b"Message-Id: <E" + exim_id + b"@"
    for index, line in enumerate(lines):
        if line.startswith(added):
            rest = lines[index + 1:]
            if all(field.startswith((b"From: ", b"Date: ")) for field in rest):
                return b"".join(kept + b"\n" for kept in lines[:index]) + content[head_end + 1:]
            break
    return content


def split_mbox(data):
    """The stored messages of an mbox file as Exim writes it: each begins
    with a "From " line (which is dropped here) and ends with one empty line
    (also dropped). A line of a message that began with "From " was stored
    as ">From ", so only a "From " line after an empty line starts a message."""
    starts = [match.start() for match in re.finditer(rb"(?:\A|(?<=\n\n))From ", data)]
    messages = []
    for index, start in enumerate(starts):
        end = starts[index + 1] if index + 1 < len(starts) else len(data)
        stored = data[start:end]
        stored = stored[stored.index(b"\n") + 1:] if b"\n" in stored else b""
        if stored.endswith(b"\n\n"):
            stored = stored[:-1]
        messages.append(stored)
    return messages


def exim_server():
    """A running Exim daemon of our own (EximServer); stopped on exit."""
    return running(EximServer())


# ---- OpenSMTPD ----


# Loopback only, local users only: "for local" covers localhost and this
# host's own names; an unknown user has no match and is refused at RCPT,
# as is every other domain.
SMTPD_CONF = """\
listen on 127.0.0.1 port {port}
action "local_mail" maildir "{root}/maildir/%{{user.username}}"
match from local for local action "local_mail"
"""

# What OpenSMTPD's reception and its Maildir delivery put on top.
OPENSMTPD_DELIVERY_FIELDS = (b"return-path:", b"delivered-to:", b"received:")


class OpensmtpdServer(PackagedServer):
    """smtpd -d with our own smtpd.conf; see opensmtpd_server()."""

    kind = "opensmtpd"
    program = SMTPD

    @staticmethod
    def refusal(address):
        """The reply to RCPT TO for a name that is no local user."""
        return "550 Invalid recipient: <%s>" % address

    @property
    def config_path(self):
        return os.path.join(self.root, "smtpd.conf")

    def mailbox_dir(self, mailbox=TEST_ACCOUNT):
        return os.path.join(self.root, "maildir", mailbox)

    def prepare(self):
        others = [pid for pid in running_smtpd()]
        if others:
            raise MailServerError("another smtpd runs (PIDs %s): OpenSMTPD has one queue per machine; "
                                  "stop the distribution's daemon first" % others)
        account = pwd.getpwnam(TEST_ACCOUNT)
        os.makedirs(os.path.join(self.root, "maildir"))
        os.chmod(os.path.join(self.root, "maildir"), 0o755)
        # The delivery runs as the recipient, who creates tmp/, new/ and cur/.
        mailbox = self.mailbox_dir()
        os.makedirs(mailbox)
        os.chown(mailbox, account.pw_uid, account.pw_gid)
        os.chmod(mailbox, 0o700)

    def launch(self):
        with open(self.config_path, "w") as handle:
            handle.write(SMTPD_CONF.format(port=self.port, root=self.root))
        os.chmod(self.config_path, 0o644)
        status, output = run_command([SMTPD, "-n", "-f", self.config_path])
        if status != 0:
            raise MailServerError("smtpd -n -f %s: %s" % (self.config_path, output))
        self.spawn([SMTPD, "-d", "-f", self.config_path])

    def queue_listing(self):
        status, output = run_command([SMTPCTL, "show", "queue"])
        if status != 0:
            raise MailServerError("smtpctl show queue failed: %s" % output)
        return output

    def wait_for_delivery(self, seconds=DELIVERY_WAIT_SECONDS):
        """Waits until the queue is empty; raises MailServerError with the
        listing otherwise."""
        wait_for_queue(self.queue_listing, lambda listing: listing.strip() == "", seconds)

    def messages(self, mailbox=TEST_ACCOUNT):
        """The messages in the Maildir of `mailbox`, oldest first (only
        quillettest has one here)."""
        self.wait_for_delivery()
        if mailbox != TEST_ACCOUNT:
            return []
        messages = []
        for message in mailservers.read_maildir(self.mailbox_dir()):
            content = message.data[leading_fields_length(message.data, OPENSMTPD_DELIVERY_FIELDS):]
            message.content = without_completion_fields(content)
            message.recipients = [value.decode("latin-1") for value in message.headers("Delivered-To")]
            messages.append(message)
        return messages

    @staticmethod
    def greeting(message):
        """('EHLO' or 'HELO', the name given), from OpenSMTPD's Received
        field: "from NAME (host [address]) by ... with ESMTP|SMTP id ..."."""
        received = message.headers("Received")[0]
        match = re.search(rb"^from (\S+) .*? with (E?SMTP) id ", received, re.S)
        assert match, received
        return ("EHLO" if match.group(2) == b"ESMTP" else "HELO"), match.group(1).decode()

    def clear(self):
        self.wait_for_delivery()
        mailservers.clear_maildir(self.mailbox_dir())
        if self.stderr is not None:
            self.stderr.flush()
            os.truncate(os.path.join(self.root, "server.err"), 0)

    def log_text(self):
        return self.server_err()


OPENSMTPD_MESSAGE_ID = re.compile(rb"Message-ID: <[0-9a-f]{16}@[^>\s]+>$")


def without_completion_fields(content):
    """The message without the fields OpenSMTPD added at the end of its
    header block: it completes a message from a local client that lacks
    them with a Date and then a Message-ID ("<", 16 hex digits, "@", its
    host name, ">"). (A header block that itself ends with a Date field and
    has no Message-ID loses that Date here too; quillet's ends with its
    X-QUILLET line.)"""
    head_end = content.find(b"\n\n")
    if head_end < 0:
        return content
    lines = content[:head_end + 1].split(b"\n")[:-1]
    if lines and OPENSMTPD_MESSAGE_ID.match(lines[-1]):
        lines = lines[:-1]
    if lines and lines[-1].startswith(b"Date: "):
        lines = lines[:-1]
    return b"".join(line + b"\n" for line in lines) + content[head_end + 1:]


def running_smtpd():
    """The PIDs of smtpd processes (any instance, ours included)."""
    found = []
    for name in os.listdir("/proc"):
        if name.isdigit():
            with contextlib.suppress(OSError):
                if os.readlink("/proc/%s/exe" % name) == SMTPD:
                    found.append(int(name))
    return found


def opensmtpd_server():
    """A running smtpd of our own (OpensmtpdServer); stopped on exit."""
    return running(OpensmtpdServer())

