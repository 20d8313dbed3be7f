"""Delivery to real mail servers on loopback: aiosmtpd, and Debian's Postfix
in its default settings and in strict settings (no unauthorised pipelining,
no bare line feeds, from any client). Each server is started once for the
module and emptied before every test; the delivered messages' bytes are read
from the server's store (aiosmtpd: the DATA content as received; Postfix:
the Maildir file, minus the fields Postfix puts on top).

The first group checks the servers themselves with smtplib and raw sockets,
so that a failure in the second group points at quillet, not at the fixture.
"""

import os
import re
import smtplib
import socket
import urllib.parse

import pytest

import mailservers
from mailservers import TEST_ADDRESS, UNKNOWN_ADDRESS, VICTIM, VICTIM_ADDRESS

SERVER_KINDS = ["aiosmtpd", "postfix-default", "postfix-strict"]

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
    if kind.startswith("postfix") and os.geteuid() != 0:
        pytest.skip("a private Postfix instance needs root")
    if kind == "aiosmtpd":
        context = mailservers.aiosmtpd_server(refuse=UNKNOWN_ADDRESS)
    else:
        context = mailservers.postfix_server(strict=kind == "postfix-strict")
    with context as server:
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
    """The body lines of the entry 'Message:' for `value` (LF-separated)."""
    pieces = value.encode("latin-1").split(b"\n")
    return [b" Message: " + pieces[0]] + [INDENT + piece for piece in pieces[1:]]


def diagnosis(site, server):
    return "\n--- quillet log ---\n%s\n--- %s log ---\n%s" % (site.log_text()[-6000:], server.name,
                                                           server.log_text()[-6000:])


def content_lines(server, message):
    """The lines of the message as quillet sent it. aiosmtpd stores the DATA
    content as received: every line must end in CR LF. Postfix stores LF line
    ends: a CR left in the store means a stray CR was sent."""
    content = message.content
    if server.name == "aiosmtpd":
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
    if server.name == "aiosmtpd":
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


def test_server_delivers_to_the_test_mailbox_and_refuses_an_unknown_user(server):
    data = b"Subject: fixture\r\n\r\nline one\r\n.dot line\r\n"
    with smtplib.SMTP(server.host, server.port, local_hostname="CHECK", timeout=SOCKET_SECONDS) as client:
        assert client.sendmail(VISITOR, [TEST_ADDRESS], data) == {}
        with pytest.raises(smtplib.SMTPRecipientsRefused) as refused:
            client.sendmail(VISITOR, [UNKNOWN_ADDRESS], b"Subject: no\r\n\r\nno\r\n")
        code, text = refused.value.recipients[UNKNOWN_ADDRESS]
        assert "%d %s" % (code, text.decode()) == server.refusal(UNKNOWN_ADDRESS)
        assert client.sendmail(VISITOR, [VICTIM_ADDRESS], b"Subject: victim\r\n\r\nv\r\n") == {}
    delivered = server.messages()
    assert len(delivered) == 1
    assert delivered[0].sender == VISITOR and delivered[0].recipients == [TEST_ADDRESS]
    stored = data if server.name == "aiosmtpd" else data.replace(b"\r\n", b"\n")
    assert delivered[0].content == stored
    victim = server.messages(VICTIM)
    assert len(victim) == 1 and victim[0].recipients == [VICTIM_ADDRESS]


def test_server_takes_a_pipelined_envelope(server):
    sock, reader = open_session(server)
    with sock, reader:
        assert exchange(sock, reader, b"", 1)[0].startswith(b"220 ")
        assert exchange(sock, reader, b"EHLO CHECK\r\n", 1)[0].startswith(b"250")
        group = b"MAIL FROM:<%s>\r\nRCPT TO:<%s>\r\nRCPT TO:<%s>\r\nDATA\r\n" % (
            VISITOR.encode(), UNKNOWN_ADDRESS.encode(), TEST_ADDRESS.encode())
        replies = exchange(sock, reader, group, 4)
        assert [reply[:3] for reply in replies] == [b"250", b"550", b"250", b"354"], replies
        replies = exchange(sock, reader, b"Subject: piped\r\n\r\n..x\r\n.\r\nQUIT\r\n", 2)
        assert [reply[:3] for reply in replies] == [b"250", b"221"], replies
    delivered = server.messages()
    assert len(delivered) == 1 and delivered[0].recipients == [TEST_ADDRESS]
    assert delivered[0].content.replace(b"\r\n", b"\n") == b"Subject: piped\n\n.x\n"


def test_server_listens_on_loopback_only(server):
    addresses = mailservers.listening_addresses(server.server_pid())
    assert ("127.0.0.1", server.port) in addresses
    assert all(address.startswith("127.") for address, _ in addresses), addresses
    if server.name != "aiosmtpd":
        assert server.postconf("inet_interfaces") == "loopback-only"
        assert server.postconf("smtpd_relay_restrictions") == "reject_unauth_destination"


# How each server takes two faults of a careless client: a bare LF in the
# message data, and writing on before the reply to a command that must end a
# pipelined group (EHLO, DATA; RFC 2920 3.1).
STRICT_KINDS = {"aiosmtpd": False, "postfix-default": False, "postfix-strict": True}


def test_server_strictness_about_bare_line_feeds(server):
    strict = STRICT_KINDS[server.name]
    sock, reader = open_session(server)
    with sock, reader:
        exchange(sock, reader, b"", 1)
        exchange(sock, reader, b"EHLO CHECK\r\n", 1)
        for command in (b"MAIL FROM:<%s>\r\n" % VISITOR.encode(), b"RCPT TO:<%s>\r\n" % TEST_ADDRESS.encode()):
            assert exchange(sock, reader, command, 1)[0].startswith(b"250")
        assert exchange(sock, reader, b"DATA\r\n", 1)[0].startswith(b"354")
        reply = exchange(sock, reader, b"Subject: bare\r\n\r\none\ntwo\r\n.\r\n", 1)[0]
    if strict:
        assert re.match(rb"550 5\.5\.2 .*bare <LF> received", reply), reply
        assert server.everything() == []
    else:
        assert reply.startswith(b"250"), reply
        assert len(server.messages()) == 1


@pytest.mark.parametrize("group,replies", [
    pytest.param(b"EHLO CHECK\r\nMAIL FROM:<visitor@localhost>\r\n", 2, id="EHLO-then-MAIL"),
    pytest.param(b"MAIL FROM:<visitor@localhost>\r\nRCPT TO:<quillettest@localhost>\r\nDATA\r\n"
                 b"Subject: early\r\n\r\nearly\r\n.\r\n", 4, id="DATA-then-message"),
])
def test_server_strictness_about_pipelining(server, group, replies):
    strict = STRICT_KINDS[server.name]
    sock, reader = open_session(server)
    with sock, reader:
        exchange(sock, reader, b"", 1)
        if not group.startswith(b"EHLO"):
            exchange(sock, reader, b"EHLO CHECK\r\n", 1)
        answers = exchange(sock, reader, group, replies)
    if strict:
        assert answers[-1] == b"(closed)", answers
        assert any(answer.startswith(b"554 5.5.0 Error: SMTP protocol synchronization") for answer in answers), answers
        assert server.everything() == []
    else:
        assert all(answer[:1] in (b"2", b"3") for answer in answers), answers
        assert answers[-1].startswith(b"250"), answers


# ---- quillet delivering ----


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


@pytest.mark.parametrize("hello", HELLO)
def test_a_refused_recipient_gives_the_failure_page_and_delivers_nothing(site, server, hello):
    write_site(site, server, HELLO[hello], to=UNKNOWN_ADDRESS)
    run = site.cgi(form([("From:", VISITOR), ("Message:", "not for anyone")]))
    assert run.returncode == 0
    assert FAILURE_TEXT in run.page and SUCCESS_TEXT not in run.page, run.page + diagnosis(site, server)
    log = site.log_messages()
    refusal = "SMTP server refused RCPT TO:<%s>: %s" % (UNKNOWN_ADDRESS, server.refusal(UNKNOWN_ADDRESS))
    assert refusal in log, diagnosis(site, server)
    assert "Email not sent." in log and "email sent! (1)" not in log
    assert server.everything() == []


@pytest.mark.parametrize("hello", HELLO)
def test_a_refused_cc_recipient_leaves_the_others_their_message(site, server, hello):
    headers = ["headerline To: " + TEST_ADDRESS, "use_submitted_variable_for_headerline From:",
               "headerline CC: " + UNKNOWN_ADDRESS, "headerline Subject: interop"]
    write_site(site, server, HELLO[hello], headers=headers)
    run = site.cgi(form([("From:", VISITOR), ("Message:", "half")]))
    assert_sent(run, site, server)
    refusal = "SMTP server refused RCPT TO:<%s>: %s" % (UNKNOWN_ADDRESS, server.refusal(UNKNOWN_ADDRESS))
    assert refusal in site.log_messages(), diagnosis(site, server)
    message = only_message(site, server)
    assert message.recipients == [TEST_ADDRESS]
    expected = standard_headers()[:2] + [b"CC: " + UNKNOWN_ADDRESS.encode() + b" "] + standard_headers()[2:]
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
