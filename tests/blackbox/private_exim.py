"""Exim beside Postfix, for the delivery tests of the test command.

Debian's exim4-daemon-light conflicts with Postfix, so scripts/install-deps
unpacks the package into a folder of its own (EXIM_ROOT: /opt/quillet-test/
exim4, or QUILLET_EXIM_ROOT) instead of installing it, and makes the account
Debian-exim that its binary insists on. `exim_server()` runs that binary as
a daemon in the foreground (`exim4 -C <config> -bdf`) with a configuration
of our own: everything (spool, logs, pid file, mailboxes) in the instance
folder, listening on 127.0.0.1 and a port the system picked, accepting
quillettest@localhost and victim@localhost into Maildirs there, refusing
every other recipient at RCPT ("550 User unknown") and a local part that
begins with "." or holds one of @ % ! / | ` # & ? ("550 restricted
characters in address", as Debian's configuration does), and relaying
nothing. Exim's own behaviour stays as it is: 8BITMIME and PIPELINING are
announced, and Debian's data checks are made as its configuration makes
them (a line over 998 octets, "550 maximum allowed line length is 998
octets, got N"; address headers that fail Exim's syntax check, "550 header
syntax"). Deliveries run as Debian-exim
(deliver_drop_privilege), so no root is needed after the start.

It offers what mailservers.py's servers offer (`smtp`, `host`, `port`,
`name`, `messages(mailbox)`, `everything()`, `clear()`, `refusal(address)`,
`log_text()`, `server_pid()`, `wait_for_delivery()`, `greeting(message)`).
An instance folder whose test process is gone is what an interrupted run
left: its daemon is ended by the PID it recorded (when that process still
runs with the folder on its command line) and the folder removed.
"""

import contextlib
import os
import pwd
import re
import shutil

import instances
import mailservers
from instances import (DELIVERY_WAIT_SECONDS, START_ATTEMPTS, MailServerError,
                       check_root, free_loopback_port, running, run_command, wait_until)
from mailservers import TEST_ACCOUNT, VICTIM, leading_fields_length

EXIM_ROOT = os.environ.get("QUILLET_EXIM_ROOT", "/opt/quillet-test/exim4")
EXIM = os.path.join(EXIM_ROOT, "usr", "sbin", "exim4")
EXIM_ACCOUNT = "Debian-exim"
KIND = "exim-private"
LISTEN_WAIT_SECONDS = 30

# What Exim's reception and the Maildir transport put on top.
DELIVERY_FIELDS = (b"return-path:", b"envelope-to:", b"delivery-date:", b"received:")

CONFIG = """\
exim_path = {exim}
primary_hostname = exim.quillet.test
domainlist local_domains = localhost
spool_directory = {root}/spool
log_file_path = {root}/log/%slog
pid_file_path = {root}/exim.pid
local_interfaces = 127.0.0.1
daemon_smtp_ports = {port}
deliver_drop_privilege = true
keep_environment =
tls_advertise_hosts =
acl_smtp_rcpt = acl_check_rcpt
acl_smtp_data = acl_check_data

begin acl
acl_check_rcpt:
  deny    local_parts = ^[.] : ^.*[@%!/|`#&?]
          message = restricted characters in address
  accept  domains = +local_domains
          local_parts = {test_account} : {victim}
  deny    message = User unknown

# Debian's own data checks, as its configuration has them by default.
acl_check_data:
  deny    condition = ${{if > {{$max_received_linelength}}{{998}}}}
          message = maximum allowed line length is 998 octets, got $max_received_linelength
  deny    !verify = header_syntax
          message = header syntax
          log_message = header syntax ($acl_verify_message)
  accept

begin routers
local_mailbox:
  driver = accept
  domains = +local_domains
  local_parts = {test_account} : {victim}
  transport = maildir_delivery

begin transports
maildir_delivery:
  driver = appendfile
  directory = {root}/maildir/${{local_part_data}}
  maildir_format
  delivery_date_add
  envelope_to_add
  return_path_add

begin retry
*  *  F,1h,1m
"""


def remove_stale_instances(root):
    """Ends the daemons of the Exim instances whose test process is gone and
    removes their folders."""
    instances.remove_stale_instances(root, (KIND,), instances.end_recorded_process)


class PrivateEximServer(instances.DaemonInstance):
    """An Exim daemon of our own; see the module's description."""

    name = KIND
    has_victim_mailbox = True
    refused_address = mailservers.UNKNOWN_ADDRESS

    @property
    def config_path(self):
        return os.path.join(self.root, "exim.conf")

    @staticmethod
    def refusal(address):
        if address.startswith(".") or re.search(r"[@%!/|`#&?]", address.split("@")[0]):
            return "550 restricted characters in address"
        return "550 User unknown"

    def start(self):
        check_root("Exim's daemon")
        if not os.access(EXIM, os.X_OK):
            raise MailServerError("%s is missing: run scripts/install-deps" % EXIM)
        try:
            account = pwd.getpwnam(EXIM_ACCOUNT)
        except KeyError:
            raise MailServerError("no account %s: run scripts/install-deps" % EXIM_ACCOUNT) from None
        self.root = instances.new_instance_dir(KIND, remove_stale_instances)
        try:
            for folder in ("spool", "log", "maildir"):
                path = os.path.join(self.root, folder)
                os.mkdir(path, 0o750)
                os.chown(path, account.pw_uid, account.pw_gid)
            last = ""
            for _ in range(START_ATTEMPTS):
                self.port = free_loopback_port()
                self.launch()
                wait_until(self.listening, LISTEN_WAIT_SECONDS)
                if self.process.poll() is None and self.server_pid() is not None:
                    return self
                last = self.log_text()[-4000:]
                self.end_daemon()
                if "in use" not in last:
                    break
            raise MailServerError("Exim did not listen on %s:\n%s" % (self.smtp, last))
        except BaseException:
            self.stop()
            raise

    def launch(self):
        with open(self.config_path, "w") as handle:
            handle.write(CONFIG.format(exim=EXIM, root=self.root, port=self.port, test_account=TEST_ACCOUNT,
                                       victim=VICTIM))
        os.chmod(self.config_path, 0o644)
        self.spawn([EXIM, "-C", self.config_path, "-bdf"])

    def stop(self):
        self.end_daemon()
        if self.root is not None:
            shutil.rmtree(self.root, ignore_errors=True)
            self.root = None

    def queue_listing(self):
        status, output = run_command([EXIM, "-C", self.config_path, "-bp"])
        if status != 0:
            raise MailServerError("exim4 -bp failed: %s" % output)
        return output

    def wait_for_delivery(self, seconds=DELIVERY_WAIT_SECONDS):
        """Waits until Exim's queue is empty; raises MailServerError otherwise."""
        listing = ""

        def empty():
            nonlocal listing
            listing = self.queue_listing()
            return listing.strip() == ""

        if not wait_until(empty, seconds, interval=0.1):
            raise MailServerError("queue not empty after %ds:\n%s" % (seconds, listing))

    def mailbox_dir(self, mailbox=TEST_ACCOUNT):
        return os.path.join(self.root, "maildir", mailbox)

    def messages(self, mailbox=TEST_ACCOUNT):
        """The messages delivered to `mailbox` (TEST_ACCOUNT or VICTIM), oldest first."""
        self.wait_for_delivery()
        messages = []
        for message in mailservers.read_maildir(self.mailbox_dir(mailbox)):
            message.content = message.data[leading_fields_length(message.data, DELIVERY_FIELDS):]
            sender = message.headers("Return-path")
            message.sender = sender[0].decode("latin-1").strip("<>") if sender else None
            envelope = message.headers("Envelope-to")
            message.recipients = [address.strip() for address in envelope[0].decode("latin-1").split(",")] \
                if envelope else []
            messages.append(message)
        return messages

    def everything(self):
        return self.messages(TEST_ACCOUNT) + self.messages(VICTIM)

    greeting = staticmethod(mailservers.exim_greeting)

    def clear(self):
        self.wait_for_delivery()
        for mailbox in (TEST_ACCOUNT, VICTIM):
            mailservers.clear_maildir(self.mailbox_dir(mailbox))
        for name in ("mainlog", "rejectlog", "paniclog"):
            with contextlib.suppress(FileNotFoundError):
                os.truncate(os.path.join(self.root, "log", name), 0)

    def log_text(self):
        parts = []
        for name in ("mainlog", "rejectlog", "paniclog", "../server.err"):
            with contextlib.suppress(OSError, TypeError):
                with open(os.path.join(self.root, "log", name), "rb") as handle:
                    parts.append("[%s]\n%s" % (name, handle.read().decode("latin-1")))
        return "\n".join(parts)


def exim_server():
    """A running private Exim daemon (PrivateEximServer); stopped on exit."""
    return running(PrivateEximServer())
