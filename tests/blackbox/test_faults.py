"""Faults around one run, each answered as documented.

The mail server: at every step of the dialogue (connect, greeting, EHLO,
MAIL, RCPT, DATA, the message, the end of the data, QUIT) it refuses, closes
the connection or falls silent, with "smtp_timeout 1", one command at a time
and pipelined. Each run exits 0, shows the failure page (the success page
only when the end of the data was accepted) and logs why, and nothing else,
at LOG_ERROR; a silent server is waited for, and a run that outlives
FAULT_GUARD has not kept to its time-out. What the server
receives in each case (the command lines, the bytes) is checked in
test_delivery.py; here every fault is one row of one table.

Slow servers: one that answers every step just in time, or trickles its
replies a byte a second, gets one deadline for the whole delivery, the
name lookup included; QUIT after an accepted message waits one second.

The program's surroundings: a full file system under the log, a log
directory the web server's account cannot write, an unreadable ini file,
missing and unreadable reply pages, and a web server that has closed the
program's standard output. No crash, no hang, the documented answer.
"""

import contextlib
import errno
import os
import re
import select
import signal
import socket
import struct
import subprocess
import threading
import time
import urllib.parse

import pytest

from conftest import SANITIZER_MARKS
from smtp_script import CLOSE, STALL, Reply, ScriptedSmtpServer

TIMEOUT = 1                   # smtp_timeout of every run against a faulty server
BOUND = TIMEOUT + 1           # seconds a run may take at most, whatever the fault
HANG_GUARD = BOUND + 30       # the subprocess limit: a run past it has hung
# The subprocess limit of a run against a faulty server: far above what a
# run that keeps to "smtp_timeout 1" takes on a loaded machine, far below
# the 30 seconds of the default time-out, which a run that ignored the
# setting would wait.
FAULT_GUARD = 15
SUCCESS_TEXT = "FAULTS SUCCESS PAGE"
FAILURE_TEXT = "FAULTS FAILURE PAGE"
OWNER = "owner@site.example"
VISITOR = "jo@b.c"
FORM = "&".join(urllib.parse.quote(name, safe="") + "=" + urllib.parse.quote(value, safe="")
                for name, value in (("From:", VISITOR), ("Name:", "Jo")))
REFUSAL = "554 5.3.2 scripted refusal"
FATAL_INI_PAGE = ("Pragma: no-cache\nContent-type: text/html\n\n"
                  "<HTML><BODY>\nerror: The ini file could not be opened..\n</BODY></HTML>\n")
LOADING = "loading config file."  # the last line logged before "logging errors" takes effect


def ini_lines(site, smtp=None, timeout=TIMEOUT):
    """Writes the two pages, with distinct texts, into the site's folder and
    returns the lines of an ini file whose first line is "logging errors":
    everything logged after loading it is an error line. The pages are named
    by their full paths, so the ini file may live elsewhere."""
    success = site.path("success.html")
    failure = site.path("failure.html")
    for path, text in ((success, SUCCESS_TEXT), (failure, FAILURE_TEXT)):
        with open(path, "w") as handle:
            handle.write("<html><body>\n%s\n</body></html>\n" % text)
        os.chmod(path, 0o644)
    lines = ["logging errors"]
    if smtp is not None:
        lines.append("smtp " + smtp)
    lines += ["smtp_timeout %d" % timeout,
              "success_html_page " + success,
              "failure_html_page " + failure,
              "headerline To: " + OWNER,
              "use_submitted_variable_for_headerline From:",
              "headerline Subject: Form Submission Data",
              "use_submitted_variable_for_bodycontent Name:"]
    return lines


def error_lines(site):
    """The error lines of the (only) run in the log: what follows the
    "loading config file." line, empty lines left out (a message that ends
    in a line feed leaves one)."""
    messages = site.log_messages()
    assert LOADING in messages, "\n".join(messages)
    return [m for m in messages[messages.index(LOADING) + 1:] if m != ""]


def timed_cgi(site, body=FORM, guard=HANG_GUARD, **kwargs):
    """One form POST; returns the run and its wall time (the program's
    process alone: servers are started before the clock starts). A run
    that outlives `guard` seconds is killed and fails the test."""
    started = time.monotonic()
    run = site.cgi(body, timeout=guard, **kwargs)
    return run, time.monotonic() - started


# ---- servers that fail before the greeting ----


@contextlib.contextmanager
def refusing_port():
    """A loopback port that answers a connect with a reset: bound, so that
    no one else takes it, but not listening."""
    holder = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    holder.bind(("127.0.0.1", 0))
    try:
        yield "127.0.0.1:%d" % holder.getsockname()[1]
    finally:
        holder.close()


@contextlib.contextmanager
def resetting_server():
    """A loopback server that completes the handshake and resets the
    connection at once (SO_LINGER with a zero time-out: RST, not FIN)."""
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen(4)
    stopping = threading.Event()

    def serve():
        while not stopping.is_set():
            ready, _, _ = select.select([listener], [], [], 0.05)
            if ready:
                connection, _ = listener.accept()
                connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                connection.close()

    thread = threading.Thread(target=serve, daemon=True)
    thread.start()
    try:
        yield "127.0.0.1:%d" % listener.getsockname()[1]
    finally:
        stopping.set()
        thread.join(10)
        listener.close()


FILLER_WAIT = 0.3     # seconds a filler connect may take before the queue counts as full
MAX_FILLERS = 8


@contextlib.contextmanager
def unanswered_port():
    """A loopback port whose SYNs go unanswered: a listener with a backlog
    of 0 that never accepts, its accept queue filled by connections of our
    own. Linux drops a SYN for a listener whose accept queue is full (it does
    not reset it), so a connect there waits until the client gives up."""
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen(0)
    address = listener.getsockname()
    fillers = []
    try:
        for _ in range(MAX_FILLERS):
            filler = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            filler.setblocking(False)
            fillers.append(filler)
            filler.connect_ex(address)
            _, writable, _ = select.select([], [filler], [], FILLER_WAIT)
            if not writable:
                break  # this one's SYN went unanswered: the queue is full
        else:
            pytest.fail("the accept queue of a listener with backlog 0 never filled up")
        yield "127.0.0.1:%d" % address[1]
    finally:
        for filler in fillers:
            filler.close()
        listener.close()


# ---- the table: every step, every fault ----

STEPS = ["connect", "greeting", "EHLO", "MAIL", "RCPT", "DATA", "message", "end", "QUIT"]
FAULTS = ["refuse", "close", "stall"]
# From MAIL on, the dialogue differs with PIPELINING (RFC 2920): MAIL, RCPT
# and DATA go out as one group and their replies are read in turn.
MODES = ["one at a time", "pipelined"]
MODE_STEPS = ["MAIL", "RCPT", "DATA", "message", "end", "QUIT"]

NOT_SENT = "Email not sent."
TIMED_OUT = "wsock: (TCPdoread failed) Timedout"
RESET = "The virtual circuit was reset by the remote side."
# A write to a connection that the server has closed fails (EPIPE or
# ECONNRESET) and is reported by TCPwrite and again by sendr; how many such
# lines come depends on how far the writes got before the close arrived.
WRITES_FAILED = "writes failed"
WRITE_FAILURE = re.compile(r"wsock: \((Socket Error, could not write\.|TCPwrite failed in sendr\([12]\))\) "
                           r"(The socket has been shutdown; .*|" + re.escape(RESET) + r")$")


class Outcome:
    """One acceptable set of error lines: the socket error lines (a list,
    or WRITES_FAILED for one or more write failures), then the lines that
    say why the message was not sent."""

    def __init__(self, socket_errors, reasons):
        self.socket_errors = socket_errors
        self.reasons = reasons

    def matches(self, errors):
        if self.socket_errors != WRITES_FAILED:
            return errors == self.socket_errors + self.reasons
        count = len(errors) - len(self.reasons)
        return (count >= 1 and errors[count:] == self.reasons
                and all(WRITE_FAILURE.match(line) for line in errors[:count]))

    def __repr__(self):
        return "Outcome(%r, %r)" % (self.socket_errors, self.reasons)


# What the program waits for at each step: the error line when the server
# closes there or falls silent. After the end of the data was accepted, a
# missing answer to QUIT is no failure.
WAITING = {
    "greeting": "SMTP server did not send its greeting",
    "EHLO": "SMTP server did not answer EHLO QUILLET",
    "MAIL": "SMTP server did not answer MAIL FROM:<jo@b.c>",
    "RCPT": "SMTP server did not answer RCPT TO:<owner@site.example>",
    "DATA": "SMTP server did not answer DATA",
    "message": "SMTP server did not answer the end of the message",
    "end": "SMTP server did not answer the end of the message",
}


def refusal(step, pipelined):
    """(server rules, reasons logged) of a refusal at `step`. A pipelining
    server answers the rest of the group as Postfix does after a refused
    sender or recipient."""
    if step == "greeting":
        return {"greeting": REFUSAL}, ["SMTP server refused the connection: " + REFUSAL]
    if step == "EHLO":
        # EHLO refused, then HELO refused too (RFC 5321 4.1.1.1).
        return {"EHLO": REFUSAL, "HELO": REFUSAL}, ["SMTP server refused HELO QUILLET: " + REFUSAL]
    if step == "MAIL":
        if not pipelined:
            return {"MAIL": REFUSAL}, ["SMTP server refused MAIL FROM:<jo@b.c>: " + REFUSAL]
        rcpt, data = "503 5.5.1 Error: need MAIL command", "503 5.5.1 Error: need RCPT command"
        return {"MAIL": REFUSAL, "RCPT": rcpt, "DATA": data}, [
            "SMTP server refused MAIL FROM:<jo@b.c>: " + REFUSAL,
            "SMTP server refused RCPT TO:<owner@site.example>: " + rcpt,
            "SMTP server refused DATA: " + data]
    if step == "RCPT":
        if not pipelined:
            return {"RCPT": REFUSAL}, ["SMTP server refused RCPT TO:<owner@site.example>: " + REFUSAL]
        data = "554 5.5.1 Error: no valid recipients"
        return {"RCPT": REFUSAL, "DATA": data}, [
            "SMTP server refused RCPT TO:<owner@site.example>: " + REFUSAL, "SMTP server refused DATA: " + data]
    if step == "DATA":
        return {"DATA": REFUSAL}, ["SMTP server refused DATA: " + REFUSAL]
    if step == "message":
        # Refused while the message comes in: the refusal is the only
        # reply, and it answers the end of the data.
        return {"message": REFUSAL, "end": None}, ["SMTP server refused the message: " + REFUSAL]
    if step == "end":
        return {"end": REFUSAL}, ["SMTP server refused the message: " + REFUSAL]
    assert step == "QUIT"
    return {"QUIT": "500 5.5.1 scripted QUIT refusal"}, []


def expected(step, fault, pipelined):
    """(server rules, whether the message counts as sent, the acceptable
    Outcomes) of one cell of the table."""
    sent = step == "QUIT"
    if fault == "refuse":
        rules, reasons = refusal(step, pipelined)
        outcomes = [Outcome([], reasons)]
    else:
        rules = {step: CLOSE if fault == "close" else STALL}
        waited = WAITING.get(step)
        outcomes = [Outcome([TIMED_OUT] if fault == "stall" else [], [waited] if waited else [])]
        # Closed while the program is still writing: the write or the wait
        # for the reply fails, whichever comes first.
        if fault == "close" and step == "message":
            outcomes.append(Outcome(WRITES_FAILED, ["could not send the message to the SMTP server"]))
        if fault == "close" and pipelined and step in ("MAIL", "RCPT"):
            outcomes.append(Outcome(WRITES_FAILED, ["could not send the envelope to the SMTP server"]))
    if not sent:
        for outcome in outcomes:
            outcome.reasons = outcome.reasons + [NOT_SENT]
    return rules, sent, outcomes


NOT_RESPONDING = "SMTP email server (127.0.0.1) did not respond."
# fault at connect: the server, and the acceptable Outcomes.
CONNECT_FAULTS = {
    "refuse": (refusing_port, [Outcome(["wsock: (127.0.0.1) Connection Refused"], [NOT_RESPONDING, NOT_SENT])]),
    # The reset comes right after the handshake: the connect or the wait for
    # the greeting sees it, whichever is still going on.
    "close": (resetting_server, [
        Outcome(["wsock: (127.0.0.1) " + RESET], [NOT_RESPONDING, NOT_SENT]),
        Outcome(["wsock: (TCPdoread failed) " + RESET], ["SMTP server did not send its greeting", NOT_SENT])]),
    "stall": (unanswered_port, [Outcome(["wsock: (127.0.0.1) Timedout"], [NOT_RESPONDING, NOT_SENT])]),
}


def cells():
    for step in STEPS:
        for fault in FAULTS:
            for mode in (MODES if step in MODE_STEPS else MODES[:1]):
                yield pytest.param(step, fault, mode, id="%s-%s-%s" % (step, fault, mode.replace(" ", "-")))


@contextlib.contextmanager
def faulty_server(step, fault, pipelined, rules):
    if step == "connect":
        with CONNECT_FAULTS[fault][0]() as address:
            yield address
        return
    server = ScriptedSmtpServer(pipelining=pipelined, **rules)
    server.start()
    try:
        yield server.address
    finally:
        server.stop()


@pytest.mark.parametrize("step, fault, mode", list(cells()))
def test_every_fault_of_the_mail_server(site, step, fault, mode):
    pipelined = mode == "pipelined"
    if step == "connect":
        rules, sent, outcomes = {}, False, CONNECT_FAULTS[fault][1]
    else:
        rules, sent, outcomes = expected(step, fault, pipelined)
    with faulty_server(step, fault, pipelined, rules) as address:
        site.write_ini(ini_lines(site, smtp=address))
        run, seconds = timed_cgi(site, guard=FAULT_GUARD)

    assert run.returncode == 0
    assert (SUCCESS_TEXT if sent else FAILURE_TEXT) in run.page, run.page
    assert (FAILURE_TEXT if sent else SUCCESS_TEXT) not in run.page
    errors = error_lines(site)
    assert any(outcome.matches(errors) for outcome in outcomes), "%r\nnot one of %r" % (errors, outcomes)
    if fault == "stall":
        # It did wait for the silent server: the time-out ended the run.
        assert seconds >= TIMEOUT, "the run took %.2fs" % seconds


# ---- one deadline for the whole delivery ----

DEADLINE = 6           # smtp_timeout of the runs against slow servers
SLOW = 4               # seconds one slow reply takes: within DEADLINE, two of them far past it
SLOW_GUARD = DEADLINE + 30
CARBON = "carbon@site.example"
BLIND = "blind@site.example"


def slow(text):
    return Reply(text, delay=SLOW)


# name: (server rules, more ini lines, the commands the server gets, the
# one left unanswered at the deadline). Each reply comes within smtp_timeout,
# as one wait of its own would allow; all of them together take far longer.
SLOW_SERVERS = {
    "every-reply": ({"delay": SLOW}, [], ["EHLO QUILLET"], "EHLO QUILLET"),
    "EHLO-refused-then-HELO": (
        {"ehlo": slow("502 5.5.2 Error: command not recognized"), "helo": slow("250 script.test")}, [],
        ["EHLO QUILLET", "HELO QUILLET"], "HELO QUILLET"),
    "static-CC-and-BCC": (
        {"rcpt": slow("250 2.1.5 Ok")}, ["headerline CC: " + CARBON, "headerline BCC: " + BLIND],
        ["EHLO QUILLET", "MAIL FROM:<jo@b.c>", "RCPT TO:<%s>" % OWNER, "RCPT TO:<%s>" % BLIND],
        "RCPT TO:<%s>" % BLIND),
    # A byte a second: each bare code and its CR LF take SLOW seconds.
    "trickle": (dict(trickle=1, greeting="220", ehlo="250", mail="250", rcpt="250", data="354", end="250",
                     quit="221"), [], ["EHLO QUILLET"], "EHLO QUILLET"),
}


@pytest.mark.parametrize("name", list(SLOW_SERVERS))
def test_a_slow_server_gets_one_deadline_for_the_whole_delivery(site, name):
    rules, more_lines, commands, unanswered = SLOW_SERVERS[name]
    server = ScriptedSmtpServer(**rules).start()
    try:
        site.write_ini(ini_lines(site, smtp=server.address, timeout=DEADLINE) + more_lines)
        run = site.cgi(FORM, timeout=SLOW_GUARD)
    finally:
        server.stop()
    assert run.returncode == 0
    assert FAILURE_TEXT in run.page, run.page
    assert error_lines(site) == [TIMED_OUT, "SMTP server did not answer " + unanswered, NOT_SENT]
    # Nothing went out after the deadline.
    assert server.command_lines() == commands


QUIT_DEADLINE = 30
QUIT_GUARD = 10        # far more than QUIT's second, far less than QUIT_DEADLINE


def test_quit_after_an_accepted_message_waits_one_second(site):
    server = ScriptedSmtpServer(quit=STALL).start()
    try:
        site.write_ini(ini_lines(site, smtp=server.address, timeout=QUIT_DEADLINE))
        run = site.cgi(FORM, timeout=QUIT_GUARD)  # raises if the run waits on for QUIT's reply
    finally:
        server.stop()
    assert SUCCESS_TEXT in run.page, run.page
    assert error_lines(site) == [TIMED_OUT]
    assert server.command_lines()[-1] == "QUIT"


# ---- a name lookup that never ends ----

LOOKUP_NAME = "mail.quillet.test"
LOOKUP_QUERY = b"\x04mail\x07quillet\x04test\x00"  # the name as a DNS query carries it
LOOKUP_DEADLINE = 2
LOOKUP_GUARD = LOOKUP_DEADLINE + 30
# The program runs in a mount namespace of its own in which the resolver's
# files are ours: the rest of the machine keeps its own.
PRIVATE_RESOLVER = 'mount --bind "$1" /etc/resolv.conf && mount --bind "$2" /etc/nsswitch.conf && shift 2 && exec "$@"'


@contextlib.contextmanager
def silent_name_server():
    """A UDP socket on port 53 of a loopback address: it takes queries and
    never answers them."""
    for third in range(53, 63):
        server = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        try:
            server.bind(("127.%d.0.1" % third, 53))
        except OSError:
            server.close()
            continue
        try:
            yield server
        finally:
            server.close()
        return
    pytest.skip("no loopback address with port 53 free")


def test_a_name_lookup_that_never_ends_is_a_connect_time_out(site):
    with silent_name_server() as name_server:
        # The resolver's own limits at their highest: 5 tries of 30 seconds.
        resolv = site.write_file("resolv.conf", "nameserver %s\noptions timeout:30 attempts:5\n"
                                 % name_server.getsockname()[0])
        nsswitch = site.write_file("nsswitch.conf", "hosts: files dns\n")
        wrapper = ["unshare", "--mount", "--propagation", "private", "sh", "-c", PRIVATE_RESOLVER, "sh", resolv,
                   nsswitch]
        probe = subprocess.run(wrapper + ["true"], capture_output=True)
        if probe.returncode != 0:
            pytest.skip("no private mount namespace here: %s" % probe.stderr.decode("latin-1").strip())
        site.write_ini(ini_lines(site, smtp=LOOKUP_NAME, timeout=LOOKUP_DEADLINE))
        run = site.cgi(FORM, timeout=LOOKUP_GUARD, wrapper=wrapper)
        name_server.setblocking(False)
        queries = []
        with contextlib.suppress(BlockingIOError):
            while True:
                queries.append(name_server.recv(512))
    assert run.returncode == 0
    assert FAILURE_TEXT in run.page, run.page
    assert error_lines(site) == ["wsock: (%s) Timedout" % LOOKUP_NAME,
                                 "SMTP email server (%s) did not respond." % LOOKUP_NAME, NOT_SENT]
    # The lookup did wait on the silent name server.
    assert any(LOOKUP_QUERY in query for query in queries), queries


# ---- a full file system under the log ----

TMPFS_SIZE = "64k"
FILL_CHUNK = 4096


@contextlib.contextmanager
def small_tmpfs(directory):
    """A tmpfs of TMPFS_SIZE mounted on `directory`; unmounted (lazily if
    something still holds it) and removed afterwards, also on failure."""
    os.makedirs(directory)
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%s,mode=0755" % TMPFS_SIZE, "tmpfs", directory],
                             capture_output=True)
    if mounted.returncode != 0:
        os.rmdir(directory)
        pytest.skip("cannot mount a tmpfs here: %s" % mounted.stderr.decode("latin-1").strip())
    try:
        yield directory
    finally:
        if subprocess.run(["umount", directory], capture_output=True).returncode != 0:
            subprocess.run(["umount", "-l", directory], capture_output=True)
        os.rmdir(directory)


def fill_up(path):
    """Appends to `path` until the file system refuses a single byte more."""
    with open(path, "ab", buffering=0) as handle:
        for size in (FILL_CHUNK, 1):
            while True:
                try:
                    handle.write(b"x" * (size - 1) + b"\n" if size > 1 else b"\n")
                except OSError as error:
                    assert error.errno == errno.ENOSPC, error
                    break


def read_bytes(path):
    with open(path, "rb") as handle:
        return handle.read()


@pytest.fixture
def full_log_site(site, request):
    """A site whose log sits on a full file system: `kind` "tmpfs" (a small
    tmpfs, filled to the last byte by the log file itself) or "dev-full"
    (the log is a symbolic link to /dev/full, where every write fails with
    ENOSPC). The program is started with argv[0] in the full folder, so its
    ini and log are looked up there. Yields (site, argv0, kind)."""
    kind = request.param
    folder = site.path("full")
    if kind == "tmpfs":
        with small_tmpfs(folder):
            yield site, os.path.join(folder, "quillet"), kind
    else:
        os.makedirs(folder)
        os.symlink("/dev/full", os.path.join(folder, "quillet.log"))
        yield site, os.path.join(folder, "quillet"), kind


@pytest.mark.parametrize("full_log_site", ["tmpfs", "dev-full"], indirect=True)
@pytest.mark.parametrize("ini", ["present", "missing"])
def test_a_full_file_system_under_the_log(full_log_site, ini):
    site, argv0, kind = full_log_site
    folder = os.path.dirname(argv0)
    server = ScriptedSmtpServer().start()
    try:
        if ini == "present":
            with open(os.path.join(folder, "quillet.ini"), "w") as handle:
                handle.write("".join(line + "\n" for line in ini_lines(site, smtp=server.address)))
        log = os.path.join(folder, "quillet.log")
        if kind == "tmpfs":
            fill_up(log)
        before = read_bytes(log) if kind == "tmpfs" else None
        run, seconds = timed_cgi(site, argv0=argv0)
    finally:
        server.stop()
    if ini == "present":
        assert run.returncode == 0
        assert SUCCESS_TEXT in run.page
        assert len(server.messages) == 1  # the run went its whole way
    else:
        assert run.returncode == 1
        assert run.text == FATAL_INI_PAGE
    assert seconds <= BOUND
    if kind == "tmpfs":
        # Not a byte of a line went in: nothing torn is left in the log.
        assert read_bytes(log) == before


# ---- a log directory the web server's account cannot write ----


@pytest.mark.parametrize("log_file", ["absent", "read-only"])
@pytest.mark.parametrize("ini", ["readable", "unreadable", "missing"])
def test_a_log_the_web_server_account_cannot_write(site, log_file, ini):
    server = ScriptedSmtpServer().start()
    try:
        if ini != "missing":
            site.write_ini(ini_lines(site, smtp=server.address))
            os.chmod(site.ini_path, 0o644 if ini == "readable" else 0o600)
        if log_file == "read-only":
            site.write_file("quillet.log", "an earlier line\n", mode=0o644)
        os.chmod(site.directory, 0o755)  # the program's folder: root's, closed to "nobody"
        run, seconds = timed_cgi(site, user="nobody")
    finally:
        server.stop()
    assert run.stderr == b""
    if ini == "readable":
        # Every line is lost; the run is as it would be with a log.
        assert run.returncode == 0
        assert SUCCESS_TEXT in run.page
        assert len(server.messages) == 1
    else:
        # The fatal page cannot be logged: nothing reaches the web server.
        assert run.returncode == 2
        assert run.stdout == b""
        assert server.sessions == 0
    assert seconds <= BOUND
    if log_file == "absent":
        assert not os.path.exists(site.log_path)
    else:
        assert site.log_text() == "an earlier line\n"


# ---- missing and unreadable reply pages ----


def reason(code):
    return "(%d)(%s)" % (code, os.strerror(code))


@pytest.mark.parametrize("problem", ["missing", "unreadable"])
def test_a_success_page_that_cannot_be_read_gives_the_built_in_page(site, problem):
    # (The failure page's cases are in test_reply_pages.py.)
    server = ScriptedSmtpServer().start()
    try:
        lines = ini_lines(site, smtp=server.address)
        page = site.path("success.html")
        if problem == "missing":
            os.unlink(page)
        else:
            os.chmod(page, 0o600)  # root's; the program runs as "nobody"
        site.write_ini(lines)
        site.write_file("quillet.log", "", mode=0o666)
        run, _ = timed_cgi(site, user="nobody")
    finally:
        server.stop()
    code = errno.ENOENT if problem == "missing" else errno.EACCES
    message = '"success_html_page" message file (%s) is not readable for the reason %s.' % (page, reason(code))
    assert run.returncode == 0
    assert run.page == "<HTML><BODY>\nemail sent.\n" + message + "</BODY></HTML>\n"
    assert len(server.messages) == 1  # the message went out all the same
    assert error_lines(site) == [message]


# ---- standard output closed by the web server ----

BIG_PAGE_LINES = 2000  # a page far larger than a pipe's buffer and stdio's
NOT_WRITTEN_PREFIX = "the reply could not be written to the web server"


def run_with_stdout(site, how, body=FORM):
    """Runs the program as a CGI whose standard output the web server has
    closed: `how` is "pipe" (a pipe whose reading end is closed before the
    program writes) or "descriptor" (descriptor 1 is not open at all).
    Returns (exit status, standard error)."""
    environment = {"PATH": "/usr/bin:/bin", "GATEWAY_INTERFACE": "CGI/1.1", "REQUEST_METHOD": "POST",
                   "CONTENT_TYPE": "application/x-www-form-urlencoded", "CONTENT_LENGTH": str(len(body))}
    for key in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"):
        if key in os.environ:
            environment[key] = os.environ[key]
    reading, writing = os.pipe()
    os.close(reading)
    try:
        if how == "pipe":
            process = subprocess.Popen([site.program], stdin=subprocess.PIPE, stdout=writing,
                                       stderr=subprocess.PIPE, env=environment, cwd=site.directory)
        else:
            process = subprocess.Popen([site.program], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                       stderr=subprocess.PIPE, env=environment, cwd=site.directory,
                                       preexec_fn=lambda: os.close(1))
    finally:
        os.close(writing)
    try:
        _, errors = process.communicate(body.encode("latin-1"), timeout=HANG_GUARD)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
        raise
    errors = errors.decode("latin-1")
    for mark in SANITIZER_MARKS:
        assert mark not in errors, "sanitizer report:\n" + errors
    return process.returncode, errors


@pytest.mark.parametrize("how", ["pipe", "descriptor"])
def test_standard_output_closed_by_the_web_server(site, how):
    server = ScriptedSmtpServer().start()
    try:
        lines = [line for line in ini_lines(site, smtp=server.address) if line != "logging errors"]
        site.write_ini(lines)
        site.write_file("success.html", "<html><body>\n" + ("%s\n" % SUCCESS_TEXT) * BIG_PAGE_LINES
                        + "</body></html>\n")
        status, _ = run_with_stdout(site, how)
        received = server.bytes_received()
    finally:
        server.stop()
    # Ended on its own, not by SIGPIPE or any other signal.
    assert status == 0, "ended by signal %s" % signal.Signals(-status).name if status < 0 else status
    messages = site.log_messages()
    assert "email sent! (1)" in messages
    assert messages[-1] == "ended.", "\n".join(messages[-5:])
    # The connection to the mail server carried the dialogue and nothing of the page.
    assert received.endswith(b"QUIT\r\n") and SUCCESS_TEXT.encode() not in received
    not_written = [m for m in messages if m.startswith(NOT_WRITTEN_PREFIX)]
    if how == "pipe":
        assert not_written == ["%s for the reason %s." % (NOT_WRITTEN_PREFIX, reason(errno.EPIPE))]
    else:
        # The page went nowhere, as the web server wanted: nothing failed.
        assert not_written == []


@pytest.mark.parametrize("how", ["pipe", "descriptor"])
def test_the_fatal_page_with_standard_output_closed(site, how):
    status, _ = run_with_stdout(site, how)  # no ini file
    assert status == 1, "ended by signal %s" % signal.Signals(-status).name if status < 0 else status
    assert site.log_messages()[-2:] == ["The ini file could not be opened.", "ended"]
