"""Delivery to real mail servers on loopback: aiosmtpd (announcing 8BITMIME,
and as a strict 7-bit server without it), Debian's Postfix in its default
settings and in strict settings (no unauthorised pipelining, no bare line
feeds, from any client), and Exim unpacked beside it (private_exim.py). Each server is started once for the
module and emptied before every test; the delivered messages' bytes are read
from the server's store (aiosmtpd: the DATA content as received; Postfix:
the Maildir file, minus the fields Postfix puts on top).

QUILLET_INTEROP_SERVERS (a comma-separated list of SERVER_FACTORIES' names)
picks other servers: scripts/interop runs this file against Exim and
OpenSMTPD from their Debian packages too, one after another, and builds its
matrix from the tests' columns (interop_matrix.py).

The first group checks the servers themselves with smtplib and raw sockets,
so that a failure in the second group points at quillet, not at the fixture.
"""

import email
import email.header
import email.policy
import email.utils
import os
import re
import smtplib
import socket
import subprocess
import time
import urllib.parse

import pytest

import mailservers
import packaged_mailservers
import private_exim
import tls_certs
from interop_matrix import column, server_check
from mailservers import TEST_ADDRESS, UNKNOWN_ADDRESS, VICTIM, VICTIM_ADDRESS

SERVER_FACTORIES = {
    "aiosmtpd": lambda: mailservers.aiosmtpd_server(refuse=UNKNOWN_ADDRESS),
    "aiosmtpd-7bit": lambda: mailservers.aiosmtpd_server(refuse=UNKNOWN_ADDRESS, eight_bit_mime=False),
    "postfix-default": lambda: mailservers.postfix_server(strict=False),
    "postfix-strict": lambda: mailservers.postfix_server(strict=True),
    "exim": packaged_mailservers.exim_server,
    "opensmtpd": packaged_mailservers.opensmtpd_server,
    "exim-private": private_exim.exim_server,
}
DEFAULT_SERVERS = "aiosmtpd,aiosmtpd-7bit,postfix-default,postfix-strict,exim-private"
SERVER_KINDS = [kind.strip() for kind in os.environ.get("QUILLET_INTEROP_SERVERS", DEFAULT_SERVERS).split(",")
                if kind.strip()]
for _kind in SERVER_KINDS:
    if _kind not in SERVER_FACTORIES:
        raise ValueError("QUILLET_INTEROP_SERVERS: unknown server %r (known: %s)"
                         % (_kind, ", ".join(SERVER_FACTORIES)))

HERE = os.path.dirname(os.path.abspath(__file__))
VISITOR = "visitor@localhost"
SUCCESS_TEXT = "INTEROP SUCCESS PAGE"
FAILURE_TEXT = "INTEROP FAILURE PAGE"
QUILLET_LINE = b"X-QUILLET: sent by web form submition activated CGI program."
INDENT = b" " * (len("Message:") + 2)  # where continuation lines of a body entry begin
MAX_LINE = 998  # octets of a line on the wire, its CR LF not counted (RFC 5322 2.1.1)
SOCKET_SECONDS = 30


@pytest.fixture(scope="module", params=SERVER_KINDS)
def mail_server(request):
    kind = request.param
    if not kind.startswith("aiosmtpd") and os.geteuid() != 0:
        pytest.skip("%s needs root" % kind)
    with SERVER_FACTORIES[kind]() as server:
        yield server


@pytest.fixture
def server(mail_server):
    """The module's server of this kind, with empty mailboxes."""
    mail_server.clear()
    return mail_server


# ---- helpers ----


def form(pairs):
    """A URL-encoded form body from (name, value) pairs, as a browser sends it."""
    return "&".join(urllib.parse.quote(name, safe="") + "=" + urllib.parse.quote(value, safe="")
                    for name, value in pairs)


def textarea(text):
    """A textarea's value as browsers submit it: CR LF line ends."""
    return text.replace("\n", "\r\n")


def write_site(site, server, extra=(), to=TEST_ADDRESS, headers=None):
    """The pages and the ini file: To, a submitted From, a static Subject and
    one submitted body entry 'Message:'; `extra` lines are appended."""
    site.write_file("success.html", "<html><body>\n%s\n</body></html>\n" % SUCCESS_TEXT)
    site.write_file("failure.html", "<html><body>\n%s\n</body></html>\n" % FAILURE_TEXT)
    if headers is None:
        headers = [
            "headerline To: " + to,
            "use_submitted_variable_for_headerline From:",
            "headerline Subject: interop",
        ]
    site.write_ini(
        ["smtp " + server.smtp,
         "success_html_page " + site.path("success.html"),
         "failure_html_page " + site.path("failure.html")]
        + headers
        + ["use_submitted_variable_for_bodycontent Message:"]
        + list(extra))


def standard_headers(to=TEST_ADDRESS, sender=VISITOR):
    return [b"To: " + to.encode() + b" ", b"From: " + sender.encode(), b"Subject: interop "]


def body_entry(value):
    """The body lines of the entry 'Message:' for `value` (LF-separated; a
    text stands for its Latin-1 bytes)."""
    pieces = (value if isinstance(value, bytes) else value.encode("latin-1")).split(b"\n")
    return [b" Message: " + pieces[0]] + [INDENT + piece for piece in pieces[1:]]


def diagnosis(site, server):
    return "\n--- quillet log ---\n%s\n--- %s log ---\n%s" % (site.log_text()[-6000:], server.name,
                                                           server.log_text()[-6000:])


def content_lines(server, message):
    """The lines of the message as quillet sent it. aiosmtpd stores the DATA
    content as received: every line must end in CR LF. Postfix stores LF line
    ends: a CR left in the store means a stray CR was sent."""
    content = message.content
    if server.name.startswith("aiosmtpd"):
        bare = content.replace(b"\r\n", b"")
        assert b"\n" not in bare and b"\r" not in bare, "bare LF or CR on the wire: %r" % content[:2000]
        lines = content.split(b"\r\n")
    else:
        assert b"\r" not in content, "a stray CR reached the mailbox: %r" % content[:2000]
        lines = content.split(b"\n")
    assert lines[-1] == b"", "the message does not end with a line end"
    lines = lines[:-1]
    # The end of data "CR LF . CR LF" written after the body's own last line
    # end leaves one empty line at the end; not sending it is as good.
    if lines and lines[-1] == b"":
        lines = lines[:-1]
    return lines


def expected_lines(headers, body):
    return headers + [QUILLET_LINE, b""] + body


def greeting_of(server, message):
    """('EHLO' or 'HELO', the name given) as the server recorded them."""
    if hasattr(server, "greeting"):
        return server.greeting(message)
    if server.name.startswith("aiosmtpd"):
        return ("EHLO" if message.extra["esmtp"] else "HELO"), message.extra["helo"]
    received = message.headers("Received")[0]
    match = re.search(rb"^from (\S+) .*? with (E?SMTP) id ", received, re.S)
    assert match, received
    protocol = "EHLO" if match.group(2) == b"ESMTP" else "HELO"
    return protocol, match.group(1).decode()


def assert_sent(run, site, server):
    assert run.returncode == 0
    assert SUCCESS_TEXT in run.page and FAILURE_TEXT not in run.page, run.page + diagnosis(site, server)
    assert "email sent! (1)" in site.log_messages()


def only_message(site, server):
    """The one message in the test mailbox; nothing anywhere else."""
    delivered = server.messages()
    assert len(delivered) == 1, "%r%s" % (delivered, diagnosis(site, server))
    assert len(server.everything()) == 1, server.everything()
    assert server.messages(VICTIM) == [], "a message reached the victim's mailbox"
    return delivered[0]


def refused_address(server):
    """An address the server refuses at RCPT: an unknown user, or on Exim,
    which takes any recipient from a local host, one it refuses outright."""
    return getattr(server, "refused_address", UNKNOWN_ADDRESS)


HELLO = {"EHLO": [], "HELO": ["hello_method HELO"]}
LINE_END = {"LF": [], "CRLF": ["email_CR=LFCR"]}


# ---- the servers themselves ----


def exchange(sock, reader, data, replies):
    """Writes `data` in one piece and reads `replies` whole replies."""
    if data:
        sock.sendall(data)
    answers = []
    for _ in range(replies):
        lines = []
        while True:
            line = reader.readline()
            if not line:
                answers.append(b"".join(lines) or b"(closed)")
                return answers
            lines.append(line)
            if line[3:4] != b"-":
                break
        answers.append(b"".join(lines))
    return answers


def open_session(server):
    sock = socket.create_connection((server.host, server.port), timeout=SOCKET_SECONDS)
    return sock, sock.makefile("rb")


# How each server takes the faults of a careless client: a bare LF in the
# message data ("bare_lf"), a line of 999 octets in it ("long_line"; RFC 5321
# 4.5.3.1.6 allows 998 and CR LF), and writing on before the reply to a
# command that must end a pipelined group (EHLO, DATA; RFC 2920 3.1)
# ("early"); and whether its EHLO reply announces PIPELINING ("announces").
# None: taken as if nothing was wrong; otherwise how the reply that refuses
# it begins, after which the server closes the connection ("closes") or goes
# on; "<fault>_stored": what a server that takes it makes of it, when that
# is not the message as sent. "header_syntax": the reply of a server that
# checks the header block's syntax to a From field that goes on with
# something other than addresses. "eight_bit": the reply of a server that
# takes only 7-bit data to a message with a byte of 0x80 or above;
# "no_8bitmime": its EHLO reply does not announce 8BITMIME.
SERVER_HABITS = {
    "aiosmtpd": {"bare_lf": None, "long_line": None, "early": None, "announces": False},
    "aiosmtpd-7bit": {"bare_lf": None, "long_line": None, "early": None, "announces": False,
                      "eight_bit": "500 Error: strict ASCII mode", "no_8bitmime": True},
    "postfix-default": {"bare_lf": None, "long_line": None, "early": None, "announces": True},
    "postfix-strict": {"bare_lf": rb"550 5\.5\.2 .*bare <LF> received", "long_line": None,
                       "early": rb"554 5\.5\.0 Error: SMTP protocol synchronization", "closes": True,
                       "announces": True},
    "exim": {"bare_lf": None, "bare_lf_stored": b"Subject: bare\n\none two\n",
             "long_line": rb"550 maximum allowed line length is 998 octets, got 999",
             "early": None, "announces": True, "header_syntax": "550 header syntax"},
    "exim-private": {"bare_lf": None, "bare_lf_stored": b"Subject: bare\n\none two\n",
                     "long_line": rb"550 maximum allowed line length is 998 octets, got 999",
                     "early": None, "announces": True, "header_syntax": "550 header syntax"},
    "opensmtpd": {"bare_lf": None, "long_line": None,
                  "early": rb"500 5\.5\.1 Invalid command: Pipelining not supported", "closes": True,
                  "announces": False},
}


@server_check
def test_server_delivers_to_the_test_mailbox_and_refuses_an_unknown_user(server):
    data = b"Subject: fixture\r\n\r\nline one\r\n.dot line\r\n"
    victim = getattr(server, "has_victim_mailbox", True)
    refused_to = refused_address(server)
    with smtplib.SMTP(server.host, server.port, local_hostname="CHECK", timeout=SOCKET_SECONDS) as client:
        assert client.sendmail(VISITOR, [TEST_ADDRESS], data) == {}
        with pytest.raises(smtplib.SMTPRecipientsRefused) as refused:
            client.sendmail(VISITOR, [refused_to], b"Subject: no\r\n\r\nno\r\n")
        code, text = refused.value.recipients[refused_to]
        assert "%d %s" % (code, text.decode()) == server.refusal(refused_to)
        if victim:
            assert client.sendmail(VISITOR, [VICTIM_ADDRESS], b"Subject: victim\r\n\r\nv\r\n") == {}
    delivered = server.messages()
    assert len(delivered) == 1
    assert delivered[0].sender == VISITOR and delivered[0].recipients == [TEST_ADDRESS]
    stored = data if server.name.startswith("aiosmtpd") else data.replace(b"\r\n", b"\n")
    assert delivered[0].content == stored
    assert greeting_of(server, delivered[0]) == ("EHLO", "CHECK")
    if victim:
        victim_copies = server.messages(VICTIM)
        assert len(victim_copies) == 1 and victim_copies[0].recipients == [VICTIM_ADDRESS]
    assert len(server.everything()) == 1 + victim


@server_check
def test_server_takes_a_pipelined_envelope(server):
    """After EHLO, MAIL FROM, every RCPT TO and DATA in one write: taken by a
    server that announces PIPELINING (and by aiosmtpd, which takes it
    without); a server that refuses writes ahead is seen to say nothing of
    PIPELINING (what it does instead is the strictness test's business)."""
    habits = SERVER_HABITS[server.name]
    sock, reader = open_session(server)
    with sock, reader:
        assert exchange(sock, reader, b"", 1)[0].startswith(b"220 ")
        reply = exchange(sock, reader, b"EHLO CHECK\r\n", 1)[0]
        assert reply.startswith(b"250")
        announced = re.search(rb"^250[- ]PIPELINING\r?$", reply, re.M | re.I) is not None
        assert announced == habits["announces"], reply
        if habits["early"] and not announced:
            return
        group = b"MAIL FROM:<%s>\r\nRCPT TO:<%s>\r\nRCPT TO:<%s>\r\nDATA\r\n" % (
            VISITOR.encode(), refused_address(server).encode(), TEST_ADDRESS.encode())
        replies = exchange(sock, reader, group, 4)
        assert [reply[:3] for reply in replies] == [b"250", b"550", b"250", b"354"], replies
        replies = exchange(sock, reader, b"Subject: piped\r\n\r\n..x\r\n.\r\nQUIT\r\n", 2)
        assert [reply[:3] for reply in replies] == [b"250", b"221"], replies
    delivered = server.messages()
    assert len(delivered) == 1 and delivered[0].recipients == [TEST_ADDRESS]
    assert delivered[0].content.replace(b"\r\n", b"\n") == b"Subject: piped\n\n.x\n"


@server_check
def test_server_listens_on_loopback_only(server):
    addresses = mailservers.listening_addresses(server.server_pid())
    assert ("127.0.0.1", server.port) in addresses
    assert all(address.startswith("127.") for address, _ in addresses), addresses
    if server.name.startswith("postfix"):
        assert server.postconf("inet_interfaces") == "loopback-only"
        assert server.postconf("smtpd_relay_restrictions") == "reject_unauth_destination"


def reply_to_data(server, data):
    """The server's reply to the end of `data`, sent one command at a time."""
    sock, reader = open_session(server)
    with sock, reader:
        exchange(sock, reader, b"", 1)
        exchange(sock, reader, b"EHLO CHECK\r\n", 1)
        for command in (b"MAIL FROM:<%s>\r\n" % VISITOR.encode(), b"RCPT TO:<%s>\r\n" % TEST_ADDRESS.encode()):
            assert exchange(sock, reader, command, 1)[0].startswith(b"250")
        assert exchange(sock, reader, b"DATA\r\n", 1)[0].startswith(b"354")
        return exchange(sock, reader, data + b".\r\n", 1)[0]


@server_check
@pytest.mark.parametrize("fault,data,stored", [
    pytest.param("bare_lf", b"Subject: bare\r\n\r\none\ntwo\r\n", b"Subject: bare\n\none\ntwo\n", id="bare-LF"),
    pytest.param("long_line", b"Subject: long\r\n\r\n" + b"x" * 999 + b"\r\n",
                 b"Subject: long\n\n" + b"x" * 999 + b"\n", id="999-octet-line"),
])
def test_server_strictness_about_the_message_data(server, fault, data, stored):
    refusal = SERVER_HABITS[server.name][fault]
    stored = SERVER_HABITS[server.name].get(fault + "_stored", stored)
    reply = reply_to_data(server, data)
    if refusal:
        assert re.match(refusal, reply), reply
        assert server.everything() == []
    else:
        assert reply.startswith(b"250"), reply
        delivered = server.messages()
        assert len(delivered) == 1
        assert delivered[0].content.replace(b"\r\n", b"\n") == stored


@server_check
@pytest.mark.parametrize("group,replies", [
    pytest.param(b"EHLO CHECK\r\nMAIL FROM:<visitor@localhost>\r\n", 2, id="EHLO-then-MAIL"),
    pytest.param(b"MAIL FROM:<visitor@localhost>\r\nRCPT TO:<quillettest@localhost>\r\nDATA\r\n"
                 b"Subject: early\r\n\r\nearly\r\n.\r\n", 4, id="DATA-then-message"),
])
def test_server_strictness_about_pipelining(server, group, replies):
    habits = SERVER_HABITS[server.name]
    sock, reader = open_session(server)
    with sock, reader:
        exchange(sock, reader, b"", 1)
        if not group.startswith(b"EHLO"):
            exchange(sock, reader, b"EHLO CHECK\r\n", 1)
        answers = exchange(sock, reader, group, replies)
    if habits["early"]:
        if habits["closes"]:
            assert answers[-1] == b"(closed)", answers
        assert any(re.match(habits["early"], answer) for answer in answers), answers
        assert server.everything() == []
    else:
        assert all(answer[:1] in (b"2", b"3") for answer in answers), answers
        assert answers[-1].startswith(b"250"), answers


# ---- quillet delivering ----


@column("{hello}", "{line_end}")
@pytest.mark.parametrize("line_end", LINE_END)
@pytest.mark.parametrize("hello", HELLO)
def test_a_form_becomes_one_message_with_exact_lines(site, server, hello, line_end):
    write_site(site, server, HELLO[hello] + LINE_END[line_end])
    value = "Hello,\nthree more lines\n\nend."
    run = site.cgi(form([("From:", VISITOR), ("Message:", textarea(value))]))
    assert_sent(run, site, server)
    message = only_message(site, server)
    assert message.sender == VISITOR and message.recipients == [TEST_ADDRESS]
    assert greeting_of(server, message) == (hello, "QUILLET")
    assert content_lines(server, message) == expected_lines(standard_headers(), body_entry(value))


DOT_LINES = ("first line\n.\nMAIL FROM:<visitor@localhost>\nRCPT TO:<victim@localhost>\nDATA\n"
             "Subject: forged\n\nforged body\n.\n.x\n..y\n.\nQUIT\nlast line")


@column("dot")
@pytest.mark.parametrize("hello", HELLO)
def test_dot_lines_in_a_value_arrive_intact_as_one_message(site, server, hello):
    # The listing of all variables writes a value's lines unindented, so its
    # lone "." line begins a line of the message data.
    write_site(site, server, HELLO[hello] + ["sendall true"])
    run = site.cgi(form([("From:", VISITOR), ("Message:", textarea(DOT_LINES))]))
    assert_sent(run, site, server)
    message = only_message(site, server)
    assert message.recipients == [TEST_ADDRESS]
    listing = [b"", b"", b"All variables from the submitted form:", b"(From:)==(%s)" % VISITOR.encode()]
    listing += (b"(Message:)==(" + DOT_LINES.encode() + b")").split(b"\n")
    assert content_lines(server, message) == expected_lines(standard_headers(), body_entry(DOT_LINES) + listing)


@pytest.mark.parametrize("separator", ["\n", "\r\n", "\n\n"], ids=["LF", "CRLF", "LF-LF"])
def test_a_line_feed_in_the_from_value_adds_no_header_and_no_recipient(site, server, separator):
    write_site(site, server, ["sendall false"])
    value = VISITOR + separator + "Bcc: " + VICTIM_ADDRESS
    run = site.cgi(form([("From:", value), ("Message:", "hi")]))
    refusal = SERVER_HABITS[server.name].get("header_syntax")
    if refusal:
        # The folded From field holds "Bcc: ..." where an address belongs:
        # the server refuses the message, the visitor sees the failure page
        # and nothing arrives anywhere.
        assert FAILURE_TEXT in run.page and SUCCESS_TEXT not in run.page, run.page + diagnosis(site, server)
        assert "SMTP server refused the message: " + refusal in site.log_messages(), diagnosis(site, server)
        assert server.everything() == []
        return
    assert_sent(run, site, server)
    message = only_message(site, server)
    assert message.sender == VISITOR and message.recipients == [TEST_ADDRESS]
    # Each line feed of the value is followed by a space: the rest continues
    # the From field (RFC 5322 2.2.3). A CR in a submitted value is dropped;
    # a continuation line made only of blanks (RFC 5322 3.2.2 forbids it) may
    # be left out, so such lines are not compared, but an empty line, which
    # would end the header block, must not appear.
    pieces = value.replace("\r", "").encode().split(b"\n")
    from_lines = [b"From: " + pieces[0]] + [b" " + piece for piece in pieces[1:] if piece.strip()]
    headers = [b"To: " + TEST_ADDRESS.encode() + b" "] + from_lines + [b"Subject: interop "]
    lines = content_lines(server, message)
    lines = [line for line in lines if line == b"" or line.strip() != b""]
    assert lines == expected_lines(headers, body_entry("hi"))
    fields = mailservers.unfold(lines[: lines.index(b"")])
    assert not any(field.lower().startswith(b"bcc:") for field in fields)


def rebuild(lines):
    """A line broken on the wire into a first line and continuation lines
    (each one space, then more of the line) put back together."""
    return lines[0] + b"".join(line[1:] for line in lines[1:])


@column("long")
def test_a_5000_character_line_goes_out_in_lines_of_at_most_998_octets(site, server):
    headers = ["headerline To: " + TEST_ADDRESS, "use_submitted_variable_for_headerline From:",
               "use_submitted_variable_for_headerline Subject:"]
    write_site(site, server, headers=headers)
    # Numbered pieces, so that a lost or doubled stretch cannot go unnoticed.
    value = "".join("%04d," % number for number in range(1000))
    subject = " ".join("s%03d" % number for number in range(400))  # 1999 characters
    assert len(value) == 5000 and len(subject) == 1999
    run = site.cgi(form([("From:", VISITOR), ("Subject:", subject), ("Message:", textarea(value))]))
    assert_sent(run, site, server)
    message = only_message(site, server)
    lines = content_lines(server, message)
    assert max(len(line) for line in lines) <= MAX_LINE, [len(line) for line in lines]
    blank = lines.index(b"")
    head, body = lines[:blank], lines[blank + 1:]
    assert head[:2] == [b"To: " + TEST_ADDRESS.encode() + b" ", b"From: " + VISITOR.encode()]
    assert head[-1] == QUILLET_LINE
    subject_lines = head[2:-1]
    assert len(subject_lines[0]) == MAX_LINE and all(line.startswith(b" ") for line in subject_lines[1:])
    assert rebuild(subject_lines) == b"Subject: " + subject.encode()
    assert len(body[0]) == MAX_LINE and all(line.startswith(b" ") for line in body[1:])
    assert rebuild(body) == b" Message: " + value.encode()


@column("refused")
@pytest.mark.parametrize("hello", HELLO)
def test_a_refused_recipient_gives_the_failure_page_and_delivers_nothing(site, server, hello):
    refused_to = refused_address(server)
    write_site(site, server, HELLO[hello], to=refused_to)
    run = site.cgi(form([("From:", VISITOR), ("Message:", "not for anyone")]))
    assert run.returncode == 0
    assert FAILURE_TEXT in run.page and SUCCESS_TEXT not in run.page, run.page + diagnosis(site, server)
    log = site.log_messages()
    refusal = "SMTP server refused RCPT TO:<%s>: %s" % (refused_to, server.refusal(refused_to))
    assert refusal in log, diagnosis(site, server)
    assert "Email not sent." in log and "email sent! (1)" not in log
    assert server.everything() == []


# 8-bit bytes as a visitor's browser sends them: UTF-8 from a UTF-8 page,
# and Latin-1 from an older one. quillet gives them no meaning and no
# encoding; they must arrive byte for byte.
EIGHT_BIT_SUBJECT = "Grüße aus Köln – ½ € ✓".encode("utf-8")
EIGHT_BIT_VALUE = "Zoë schrieb:\nÇa va? naïve façade, 1 € ≠ 1 $".encode("utf-8") + b"\nLatin-1: caf\xe9 \xe0 \xfc\xdf \xff"


@column("8bit")
@pytest.mark.parametrize("hello", HELLO)
def test_8_bit_text_in_the_subject_and_the_body_arrives_byte_for_byte(site, server, hello):
    headers = ["headerline To: " + TEST_ADDRESS, "use_submitted_variable_for_headerline From:",
               "use_submitted_variable_for_headerline Subject:"]
    write_site(site, server, HELLO[hello], headers=headers)
    run = site.cgi(form([("From:", VISITOR), ("Subject:", EIGHT_BIT_SUBJECT),
                         ("Message:", EIGHT_BIT_VALUE.replace(b"\n", b"\r\n"))]))
    refusal = SERVER_HABITS[server.name].get("eight_bit")
    if refusal:
        # Without a charset line the bytes go out raw: a 7-bit server refuses
        # them, and the visitor is told.
        assert FAILURE_TEXT in run.page, run.page + diagnosis(site, server)
        assert "SMTP server refused the message: " + refusal in site.log_messages(), diagnosis(site, server)
        assert server.everything() == []
        return
    assert_sent(run, site, server)
    message = only_message(site, server)
    headers = standard_headers()[:2] + [b"Subject: " + EIGHT_BIT_SUBJECT]
    assert content_lines(server, message) == expected_lines(headers, body_entry(EIGHT_BIT_VALUE))


@pytest.mark.parametrize("hello", HELLO)
def test_a_refused_cc_recipient_leaves_the_others_their_message(site, server, hello):
    headers = ["headerline To: " + TEST_ADDRESS, "use_submitted_variable_for_headerline From:",
               "headerline CC: " + refused_address(server), "headerline Subject: interop"]
    write_site(site, server, HELLO[hello], headers=headers)
    run = site.cgi(form([("From:", VISITOR), ("Message:", "half")]))
    assert_sent(run, site, server)
    refused_to = refused_address(server)
    refusal = "SMTP server refused RCPT TO:<%s>: %s" % (refused_to, server.refusal(refused_to))
    assert refusal in site.log_messages(), diagnosis(site, server)
    message = only_message(site, server)
    assert message.recipients == [TEST_ADDRESS]
    expected = standard_headers()[:2] + [b"CC: " + refused_to.encode() + b" "] + standard_headers()[2:]
    assert content_lines(server, message) == expected_lines(expected, body_entry("half"))


def test_a_form_body_of_99999_bytes_is_delivered_whole(site, server):
    write_site(site, server)
    prefix = form([("From:", VISITOR), ("Message:", "")])
    lines = []
    encoded = prefix
    number = 0
    # Lines of 64 characters, each sent as a textarea line (CR LF, 6 bytes
    # encoded), until the body is a few bytes short of 99,999.
    while len(encoded) + 6 + 64 <= 99999:
        line = ("line %05d " % number).ljust(64, "abcdefghij"[number % 10])
        encoded += ("%0D%0A" if lines else "") + line
        lines.append(line)
        number += 1
    lines[-1] += "z" * (99999 - len(encoded))
    body = prefix + "%0D%0A".join(lines)
    assert len(body) == 99999
    run = site.cgi(body)
    assert_sent(run, site, server)
    assert not any("FORM DATA SIZE" in line for line in site.log_messages())
    message = only_message(site, server)
    assert content_lines(server, message) == expected_lines(standard_headers(), body_entry("\n".join(lines)))


# ---- Reply-To, Date, Message-ID and MIME, as readers decode them ----

# What visitors type, in each charset the form may be served in; "=?" and
# "?=" that are no encoded-words, '=' and '?' included.
MIME_VALUES = {
    "UTF-8": {"name": "Zo\u00eb M\u00fcller-L\u00fcdenscheidt", "to_name": "S\u00efte \u00d6wner",
              "subject": "Gr\u00fc\u00dfe aus K\u00f6ln \u2013 \u00bd \u20ac \u2713 =?x?= ?= a=b?",
              "body": "Zo\u00eb schrieb:\n\u00c7a va? na\u00efve fa\u00e7ade, 1 \u20ac \u2260 1 $\n =?x?= end."},
    "ISO-8859-1": {"name": "Zo\u00eb M\u00fcller", "to_name": "S\u00efte \u00d6wner",
                   "subject": "Gr\u00fc\u00dfe aus K\u00f6ln, \u00bd caf\u00e9 =?x?= ?=",
                   "body": "Zo\u00eb schrieb:\n\u00c7a va? na\u00efve fa\u00e7ade, \u00bd \u00bc\nend."},
}
MESSAGE_ID = re.compile(r"<\d+\.\d+\.[0-9a-f]{24}@localhost>$")
HEADER_WIDTH = 78  # RFC 5322 2.1.1


def mime_site(site, server, charset, extra=()):
    """A To with a display name in `charset`, From, Reply-To and Subject from
    the form, and the new lines."""
    to_name = MIME_VALUES[charset]["to_name"].encode(charset).decode("latin-1")  # the ini file is Latin-1
    headers = ["headerline To: %s <%s>" % (to_name, TEST_ADDRESS), "use_submitted_variable_for_headerline From:",
               "use_submitted_variable_for_headerline Reply-To:", "use_submitted_variable_for_headerline Subject:"]
    write_site(site, server, ["add_date_and_message_id", "charset " + charset] + list(extra), headers=headers)


def charset_form(pairs, charset):
    """The form as a browser serving the page in `charset` encodes it; a
    value given as bytes goes as it is."""
    return "&".join(urllib.parse.quote(name, safe="") + "=" + (
        urllib.parse.quote(value, safe="") if isinstance(value, bytes) else
        urllib.parse.quote(value, safe="", encoding=charset)) for name, value in pairs)


def parsed(message):
    """The message as Python's email package reads it (policy=default)."""
    return email.message_from_bytes(message.content, policy=email.policy.default)


def defects_of(parsed_message):
    found = list(parsed_message.defects)
    for name, value in parsed_message.items():
        found += ["%s: %r" % (name, defect) for defect in getattr(value, "defects", ())]
    return found


def expected_encoding(server, hello):
    return "quoted-printable" if hello == "HELO" or SERVER_HABITS[server.name].get("no_8bitmime") else "8bit"


@pytest.mark.parametrize("hello", HELLO)
@pytest.mark.parametrize("charset", MIME_VALUES)
def test_every_field_decodes_to_what_was_submitted(site, server, charset, hello):
    values = MIME_VALUES[charset]
    mime_site(site, server, charset, HELLO[hello])
    before = time.time()
    run = site.cgi(charset_form([("From:", "%s <%s>" % (values["name"], VISITOR)),
                                 ("Reply-To:", "%s <%s>, other@localhost" % (values["name"], VISITOR)),
                                 ("Subject:", values["subject"]), ("Message:", textarea(values["body"]))], charset))
    after = time.time()
    assert_sent(run, site, server)
    message = only_message(site, server)
    # The envelope sender is the From address; Reply-To adds no recipient.
    assert message.sender == VISITOR and message.recipients == [TEST_ADDRESS]
    readable = parsed(message)
    assert defects_of(readable) == [], message.content[:3000]
    assert str(readable["Subject"]) == values["subject"]
    assert [(a.display_name, a.addr_spec) for a in readable["From"].addresses] == [(values["name"], VISITOR)]
    assert [(a.display_name, a.addr_spec) for a in readable["To"].addresses] == [(values["to_name"], TEST_ADDRESS)]
    assert [(a.display_name, a.addr_spec) for a in readable["Reply-To"].addresses] == [("", VISITOR)]
    date = readable["Date"].datetime
    assert int(before) - 1 <= date.timestamp() <= after + 1
    assert date.utcoffset().total_seconds() == time.localtime(date.timestamp()).tm_gmtoff
    assert MESSAGE_ID.match(str(readable["Message-ID"])), readable["Message-ID"]
    assert readable.get_content_type() == "text/plain" and readable.get_content_charset() == charset.lower()
    encoding = expected_encoding(server, hello)
    assert readable["Content-Transfer-Encoding"] == encoding
    if "mail_options" in message.extra:
        assert message.extra["mail_options"] == (["BODY=8BITMIME"] if encoding == "8bit" else [])
    # The empty line that the end of the data leaves after the body is no
    # part of what was typed (content_lines drops it too).
    body = readable.get_payload(decode=True).replace(b"\r\n", b"\n")
    assert body.rstrip(b"\n") == b"\n".join(body_entry(values["body"].encode(charset)))
    head = message.content.split(b"\n\n")[0].replace(b"\r\n", b"\n").split(b"\n")
    assert max(len(line) for line in head) <= HEADER_WIDTH, head


def raw_decoded(message, name):
    """A header's content decoded as bytes, whatever they are (RFC 2047 6),
    without Python's judgement of the charset."""
    field = message.headers(name)[0].replace(b"\r\n", b"").decode("ascii")
    return b"".join(part if isinstance(part, bytes) else part.encode("latin-1")
                    for part, _ in email.header.decode_header(field))


EURO = "\u20ac"


@pytest.mark.parametrize("subject,name,whole", [
    pytest.param("", "", True, id="empty"),
    pytest.param(EURO, "\u00e9", True, id="one-character"),
    pytest.param(EURO * 5000, "\u00e9" * 5000, True, id="5000-characters"),
    pytest.param(EURO.encode() * 3 + b"\xe2\x82", b"Zo\xc3", False, id="cut-inside-a-character"),
    pytest.param(b"\xff\xfe caf\xe9 \xc0\xaf", b"\xed\xa0\x80", False, id="no-UTF-8"),
])
def test_awkward_values_arrive_whole(site, server, subject, name, whole):
    mime_site(site, server, "UTF-8")
    sender = (name + b" <%s>" % VISITOR.encode()) if isinstance(name, bytes) else (
        "%s <%s>" % (name, VISITOR) if name else VISITOR)
    run = site.cgi(charset_form([("From:", sender), ("Reply-To:", VISITOR), ("Subject:", subject),
                                 ("Message:", "x")], "UTF-8"))
    assert_sent(run, site, server)
    message = only_message(site, server)
    raw_subject = subject if isinstance(subject, bytes) else subject.encode()
    assert raw_decoded(message, "Subject") == raw_subject
    assert raw_decoded(message, "From") == (sender if isinstance(sender, bytes) else sender.encode())
    if whole:
        readable = parsed(message)
        assert defects_of(readable) == []
        assert str(readable["Subject"]) == subject
        # Python's address parser keeps the blank between two encoded-words
        # of a display name, which RFC 2047 6.2 drops (decode_header above
        # drops it): a name of one encoded-word is compared here.
        if len(name) < 20:
            assert readable["From"].addresses[0].display_name == name


def test_a_line_feed_in_an_encoded_subject_adds_no_header(site, server):
    mime_site(site, server, "UTF-8")
    run = site.cgi(charset_form([("From:", VISITOR), ("Reply-To:", VISITOR),
                                 ("Subject:", "Gr\u00fc\u00dfe\r\nBcc: " + VICTIM_ADDRESS), ("Message:", "x")], "UTF-8"))
    assert_sent(run, site, server)
    message = only_message(site, server)
    readable = parsed(message)
    assert str(readable["Subject"]) == "Gr\u00fc\u00dfe Bcc: " + VICTIM_ADDRESS
    assert readable["Bcc"] is None and message.recipients == [TEST_ADDRESS]


# ---- SpamAssassin on the example's message ----

SPAMASSASSIN = "/usr/bin/spamassassin"
EXAMPLES = os.path.join(os.path.dirname(os.path.dirname(HERE)), "examples")
# SpamAssassin's rules about missing or malformed header fields and MIME
# structure (a name of the rule sets of Debian's spamassassin 4).
STRUCTURE_RULE = re.compile(r"(MISSING_|INVALID_|MIME_|PP_MIME_|BOGUS_MIME|CTE_|SUBJ_ILLEGAL|FROM_ILLEGAL|"
                            r"HEAD_ILLEGAL|SUBJECT_NEEDS_ENCODING|NONEXISTENT_CHARSET|TO_MALFORMED|FROM_EXCESS|"
                            r"MSGID_)")
# The lines the example gained with Reply-To, Date, Message-ID and MIME;
# without them (and with From taken from the form) it is the example as it
# was before.
NEW_EXAMPLE_LINES = ("headerline From:", "use_submitted_variable_for_headerline Reply-To:",
                     "add_date_and_message_id", "charset ")
EXAMPLE_VISITOR = [("Name:", "Zo\u00eb \u00c5ngstr\u00f6m"),
                   ("Reply-To:", "Zo\u00eb \u00c5ngstr\u00f6m <zoe.angstrom@example.org>"),
                   ("From:", "Zo\u00eb \u00c5ngstr\u00f6m <zoe.angstrom@example.org>"),
                   ("Topic:", "Fr\u00e5ga om best\u00e4llning"), ("Subject:", "Gr\u00fc\u00dfe aus K\u00f6ln \u2013 \u00bd \u20ac"),
                   ("Message:", "Hall\u00e5!\r\nMy order \u2116 1234 has not arrived; \u00e7a va?\r\n\u2014 Zo\u00eb")]


def example_ini(server, shipped):
    """examples/quillet.ini for this server and mailbox: as shipped, or as it
    was before the new lines."""
    with open(os.path.join(EXAMPLES, "quillet.ini"), encoding="utf-8") as handle:
        lines = handle.read().splitlines()
    result = []
    for line in lines:
        if line.startswith("smtp "):
            line = "smtp " + server.smtp
        elif line.startswith("headerline To: "):
            # The test mailbox at a domain with a dot, as the example's own
            # (SpamAssassin's TO_MALFORMED wants one); Postfix takes it.
            line = "headerline To: Site Owner <%s@localhost.quillet.test>" % mailservers.TEST_ACCOUNT
        elif line.startswith(("success_html_page", "failure_html_page")):
            continue
        elif not shipped and line.startswith(NEW_EXAMPLE_LINES):
            line = "use_submitted_variable_for_headerline From:" if line.startswith("headerline From:") else ""
        result.append(line)
    return result


def spamassassin_rules(data, home):
    """The rules SpamAssassin's local tests (spamassassin -L -t) raise on a
    stored message, and its report."""
    result = subprocess.run([SPAMASSASSIN, "-L", "-t"], input=data, capture_output=True, timeout=600,
                            env={"HOME": home, "PATH": "/usr/bin:/bin", "LANG": "C"})
    report = result.stdout.decode("utf-8", "replace")
    assert "Content analysis details" in report, result.stderr.decode("utf-8", "replace")
    details = report.split("Content analysis details", 1)[1]
    return re.findall(r"^ *-?\d+\.\d+ ([A-Z][A-Z0-9_]+) ", details, re.M), details


# scripts/interop's Exim offers STARTTLS with a certificate of the test CA
# (packaged_mailservers.enable_exim_tls): the form goes through it, as to a
# provider. The test exists only where that server is run (a skip would fail
# on CI); the deliveries over TLS to aiosmtpd and Postfix are in test_tls.py.
if "exim" in SERVER_KINDS:
    @pytest.mark.parametrize("mail_server", ["exim"], indirect=True)
    def test_the_form_arrives_over_starttls(site, server):
        lines = ["smtp_tls starttls", "smtp_tls_ca_file " + tls_certs.shared_certificates().ca, "logging debug"]
        write_site(site, server, extra=lines)
        run = site.cgi(form([("From:", VISITOR), ("Message:", "sent over TLS")]))
        assert_sent(run, site, server)
        message = only_message(site, server)
        assert b"sent over TLS" in message.data
        # Exim names the protocol "esmtps" (or "esmtpsa") for a message taken over TLS.
        assert re.search(rb" with esmtps", message.headers("Received")[0], re.I), message.headers("Received")[0]
        sent = [m for m in site.log_messages() if m.startswith("SEND(")]
        assert any("STARTTLS" in m for m in sent), sent


@pytest.mark.skipif("postfix-default" not in SERVER_KINDS, reason="delivers through postfix-default")
@pytest.mark.parametrize("mail_server", ["postfix-default"], indirect=True)
def test_spamassassin_finds_no_fault_in_the_example_and_some_before_it(site, server, tmp_path):
    assert os.path.exists(SPAMASSASSIN), "spamassassin is missing: run scripts/install-deps"
    raised = {}
    for shipped in (True, False):
        server.clear()
        write_site(site, server)  # the pages
        site.write_ini(example_ini(server, shipped) + ["success_html_page " + site.path("success.html"),
                                                       "failure_html_page " + site.path("failure.html"),
                                                       "logging debug"])
        run = site.cgi(form(EXAMPLE_VISITOR))
        assert_sent(run, site, server)
        message = only_message(site, server)
        raised[shipped], report = spamassassin_rules(message.data, str(tmp_path))
        print("\n---- %s: the stored message ----\n%s\n---- SpamAssassin ----%s" % (
            "as shipped" if shipped else "before the new lines", message.data.decode("utf-8", "replace"), report))
    assert [rule for rule in raised[True] if STRUCTURE_RULE.match(rule)] == [], raised[True]
    assert {"MISSING_DATE", "MISSING_MID"} <= set(raised[False]), raised[False]
