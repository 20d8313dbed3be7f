"""Delivery as a web server runs it, against the scripted SMTP server of
smtp_script.py on 127.0.0.1: the exact bytes on the wire, the order of the
recipients, what the program waits for before it writes, the grouping of
commands after PIPELINING, the reply page, the exit status and the log, and
one failure of each kind (refusal, close, silence) at every step.
"""

import os
import re
import time
import urllib.parse

import pytest

from smtp_script import CLOSE, STALL, Reply, ScriptedSmtpServer

SUCCESS_TEXT = "DELIVERY SUCCESS PAGE"
FAILURE_TEXT = "DELIVERY FAILURE PAGE"
OWNER = "owner@site.example"
VISITOR = "jo@b.c"
QUILLET_LINE = b"X-QUILLET: sent by web form submition activated CGI program."
STALL_TIMEOUT = 1        # smtp_timeout of the runs in which the server falls silent
HANG_MARGIN = 15         # seconds a stalled run may take beyond its time-out before it counts as hung
SERVER_PAUSE = 0.4       # how long the server holds back a reply to see whether the client waits


@pytest.fixture
def smtp_server():
    """Starts scripted servers for the test and stops every one afterwards."""
    servers = []

    def start(**rules):
        server = ScriptedSmtpServer(**rules)
        server.start()
        servers.append(server)
        return server

    yield start
    for server in servers:
        server.stop()


def form(pairs):
    return "&".join(urllib.parse.quote(name, safe="") + "=" + urllib.parse.quote(value, safe="")
                    for name, value in pairs)


FORM = form([("From:", VISITOR), ("Name:", "Jo")])


def write_site(site, server=None, extra=(), headers=None, timeout=10, smtp=None):
    """Pages with distinct texts, and an ini file: a static To, a submitted
    From, a static Subject, one submitted body entry 'Name:'."""
    site.write_file("success.html", "<html><body>\n%s\n</body></html>\n" % SUCCESS_TEXT)
    site.write_file("failure.html", "<html><body>\n%s\n</body></html>\n" % FAILURE_TEXT)
    if headers is None:
        headers = ["headerline To: " + OWNER, "use_submitted_variable_for_headerline From:",
                   "headerline Subject: Form Submission Data"]
    lines = []
    if smtp is not None:
        lines.append("smtp " + smtp)
    elif server is not None:
        lines.append("smtp " + server.address)
    lines += ["smtp_timeout %d" % timeout,
              "success_html_page " + site.path("success.html"),
              "failure_html_page " + site.path("failure.html")]
    lines += headers
    lines += ["use_submitted_variable_for_bodycontent Name:"]
    lines += list(extra)
    site.write_ini(lines)


def header_wire(to=OWNER, sender=VISITOR):
    return (b"To: " + to.encode() + b" \r\nFrom: " + sender.encode() + b"\r\nSubject: Form Submission Data \r\n"
            + QUILLET_LINE + b"\r\n")


MESSAGE_WIRE = header_wire() + b"\r\n Name: Jo\r\n\r\n.\r\n"
ENVELOPE_WIRE = b"MAIL FROM:<jo@b.c>\r\nRCPT TO:<owner@site.example>\r\nDATA\r\n"


def assert_success(run, site):
    assert run.returncode == 0
    assert SUCCESS_TEXT in run.page, run.page
    messages = site.log_messages()
    assert "email sent! (1)" in messages, "\n".join(messages)
    assert "Email not sent." not in messages


def assert_failure(run, site):
    assert run.returncode == 0
    assert FAILURE_TEXT in run.page, run.page
    messages = site.log_messages()
    assert "Email not sent." in messages, "\n".join(messages)
    assert "email sent! (1)" not in messages


def deliver(site, server, body=FORM, timeout=60, **kwargs):
    """One form POST of `body` to the site whose ini names `server`."""
    return site.cgi(body, timeout=timeout, **kwargs)


# ---- the wire ----


def test_one_message_exact_bytes(site, smtp_server):
    server = smtp_server()
    write_site(site, server)
    run = deliver(site, server)
    assert_success(run, site)
    assert server.bytes_received() == b"EHLO QUILLET\r\n" + ENVELOPE_WIRE + MESSAGE_WIRE + b"QUIT\r\n"
    assert server.messages == [header_wire() + b"\r\n Name: Jo\r\n\r\n"]
    messages = site.log_messages()
    assert "about to send email to smtp server (%s) from: (jo@b.c) to: (owner@site.example)" % server.address \
        in messages
    assert not [m for m in messages if m.startswith("SMTP server refused") or m.startswith("wsock:")]


@pytest.mark.parametrize("line_end_setting", ["email_CR=LFCR", "email_CR=CR"])
def test_every_line_ends_in_crlf_whatever_the_setting(site, smtp_server, line_end_setting):
    server = smtp_server()
    write_site(site, server, extra=[line_end_setting])
    run = deliver(site, server, form([("From:", VISITOR), ("Name:", "a\r\nb\nc")]))
    assert_success(run, site)
    wire = server.bytes_received()
    assert wire.replace(b"\r\n", b"").count(b"\n") == 0 and wire.replace(b"\r\n", b"").count(b"\r") == 0
    assert b" Name: a\r\n       b\r\n       c\r\n" in wire


def test_helo_mode_one_command_at_a_time(site, smtp_server):
    server = smtp_server()
    write_site(site, server, extra=["hello_method HELO"])
    run = deliver(site, server)
    assert_success(run, site)
    assert server.bytes_received() == b"HELO QUILLET\r\n" + ENVELOPE_WIRE + MESSAGE_WIRE + b"QUIT\r\n"


def test_recipients_in_the_order_to_bcc_cc(site, smtp_server):
    server = smtp_server(pipelining=True)
    write_site(site, server, headers=["headerline CC: carbon@site.example", "headerline To: " + OWNER,
                                      "headerline BCC: blind@site.example",
                                      "use_submitted_variable_for_headerline From:", "headerline Subject: s"])
    run = deliver(site, server)
    assert_success(run, site)
    rcpts = [line for line in server.command_lines() if line.startswith("RCPT")]
    assert rcpts == ["RCPT TO:<owner@site.example>", "RCPT TO:<blind@site.example>",
                     "RCPT TO:<carbon@site.example>"]
    # The BCC line stays in the header block as written.
    assert b"\r\nBCC: blind@site.example \r\n" in server.messages[0]


def test_a_lone_dot_in_a_value_cannot_end_the_message(site, smtp_server):
    server = smtp_server()
    write_site(site, server, extra=["sendall true"])
    forged = "x\r\n.\r\nMAIL FROM:<evil@x.y>\r\nRCPT TO:<victim@x.y>\r\nDATA\r\nforged\r\n.\r\n"
    run = deliver(site, server, form([("From:", VISITOR), ("Name:", "Jo"), ("note", forged)]))
    assert_success(run, site)
    assert len(server.messages) == 1
    assert b"\r\n..\r\nMAIL FROM:<evil@x.y>\r\n" in server.messages[0]
    assert server.command_lines() == ["EHLO QUILLET", "MAIL FROM:<jo@b.c>", "RCPT TO:<owner@site.example>", "DATA",
                                      "QUIT"]


def test_a_line_feed_in_a_value_cannot_start_a_header(site, smtp_server):
    server = smtp_server()
    write_site(site, server)
    run = deliver(site, server, form([("From:", VISITOR + "\nBcc: victim@x.y\n\nbody"), ("Name:", "Jo")]))
    assert_success(run, site)
    header_block = server.messages[0].split(b"\r\n\r\n")[0]
    assert b"\r\nFrom: jo@b.c\r\n Bcc: victim@x.y\r\n body\r\nSubject:" in header_block
    assert [line for line in server.command_lines() if line.startswith("RCPT")] == ["RCPT TO:<owner@site.example>"]


def test_long_lines_are_broken_at_998_octets(site, smtp_server):
    server = smtp_server()
    write_site(site, server)
    run = deliver(site, server, form([("From:", VISITOR), ("Name:", "w" * 2500)]))
    assert_success(run, site)
    lines = server.messages[0].split(b"\r\n")
    assert max(len(line) for line in lines) == 998
    body = lines[lines.index(b"") + 1:]
    assert body[0] == b" Name: " + b"w" * (998 - 7)
    assert body[1] == b" " + b"w" * 997
    assert body[2] == b" " + b"w" * (2500 - 991 - 997)


# ---- what the client waits for ----


def test_nothing_is_written_before_the_greeting(site, smtp_server):
    server = smtp_server(greeting=Reply("220 slow.test ESMTP", delay=SERVER_PAUSE))
    write_site(site, server)
    run = deliver(site, server)
    assert_success(run, site)
    assert server.first_arrival() >= server.sent_time("greeting")


def test_the_message_waits_for_354(site, smtp_server):
    server = smtp_server(data=Reply("354 go ahead", delay=SERVER_PAUSE))
    write_site(site, server)
    run = deliver(site, server)
    assert_success(run, site)
    wire = server.bytes_received()
    first_message_byte = wire.index(b"DATA\r\n") + len(b"DATA\r\n")
    assert server.arrival_of_byte(first_message_byte) >= server.sent_time("DATA")


def test_pipelining_sends_the_envelope_as_one_group(site, smtp_server):
    # The server answers nothing before DATA has come: only a client that
    # sends the whole group without waiting gets through. Then all replies
    # of the group arrive in one write, as servers flush them.
    server = smtp_server(pipelining=True, mail=None, rcpt=None,
                         data="250 2.1.0 Ok\r\n250 2.1.5 Ok\r\n250 2.1.5 Ok\r\n354 go ahead\r\n")
    write_site(site, server, headers=["headerline To: " + OWNER, "headerline BCC: blind@site.example",
                                      "use_submitted_variable_for_headerline From:", "headerline Subject: s"])
    run = deliver(site, server)
    assert_success(run, site)
    assert server.command_lines() == ["EHLO QUILLET", "MAIL FROM:<jo@b.c>", "RCPT TO:<owner@site.example>",
                                      "RCPT TO:<blind@site.example>", "DATA", "QUIT"]
    # The group waited for the EHLO reply, and the message for the 354.
    assert server.arrival("MAIL") >= server.sent_time("EHLO")
    assert len(server.messages) == 1


def test_without_pipelining_each_command_waits_for_its_reply(site, smtp_server):
    server = smtp_server(pipelining=False, mail=Reply("250 2.1.0 Ok", delay=SERVER_PAUSE))
    write_site(site, server)
    run = deliver(site, server)
    assert_success(run, site)
    assert server.arrival("RCPT") >= server.sent_time("MAIL")
    assert server.arrival("DATA") >= server.sent_time("RCPT")


def test_pipelined_replies_arriving_together_in_helo_mode_are_taken_in_turn(site, smtp_server):
    # One command at a time, and a server that answers two at once: the
    # second reply is kept for the second command.
    server = smtp_server(mail="250 2.1.0 Ok\r\n250 2.1.5 Ok\r\n", rcpt=None)
    write_site(site, server, extra=["hello_method HELO"])
    run = deliver(site, server)
    assert_success(run, site)
    assert server.bytes_received() == b"HELO QUILLET\r\n" + ENVELOPE_WIRE + MESSAGE_WIRE + b"QUIT\r\n"


def test_replies_split_over_reads_and_multi_line(site, smtp_server):
    server = smtp_server(
        greeting=Reply("220-split.test ESMTP\r\n220-second line\r\n220 ready\r\n", pieces=[3, 25, 30]),
        ehlo=Reply("250-split.test\r\n250-PIPELINING\r\n250 8BITMIME\r\n", pieces=[10, 20, 34]),
        mail=Reply("250 2.1.0 Ok\r\n", pieces=[1, 2, 3]),
        end=Reply("250-queued\r\n250 as 4711\r\n", pieces=[11]))
    write_site(site, server)
    run = deliver(site, server)
    assert_success(run, site)
    assert server.bytes_received() == b"EHLO QUILLET\r\n" + ENVELOPE_WIRE + MESSAGE_WIRE + b"QUIT\r\n"
    received = [m for m in site.log_messages() if m.startswith("RECV(")]
    # (The CR that ends each logged line splits it here.)
    assert any(m.endswith(" {220-second line") for m in received), received
    assert any(m.endswith(" {250 as 4711") for m in received), received


def test_ehlo_refused_falls_back_to_helo(site, smtp_server):
    server = smtp_server(ehlo="502 5.5.2 Error: command not recognized")
    write_site(site, server)
    run = deliver(site, server)
    assert_success(run, site)
    assert server.bytes_received() == b"EHLO QUILLET\r\nHELO QUILLET\r\n" + ENVELOPE_WIRE + MESSAGE_WIRE + b"QUIT\r\n"


def test_refused_recipient_among_accepted_ones(site, smtp_server):
    server = smtp_server(rcpt=["250 2.1.5 Ok", "550 5.1.1 <blind@site.example>: User unknown"])
    write_site(site, server, headers=["headerline To: " + OWNER, "headerline BCC: blind@site.example",
                                      "use_submitted_variable_for_headerline From:", "headerline Subject: s"])
    run = deliver(site, server)
    assert_success(run, site)
    assert len(server.messages) == 1
    assert "SMTP server refused RCPT TO:<blind@site.example>: 550 5.1.1 <blind@site.example>: User unknown" \
        in site.log_messages()


@pytest.mark.parametrize("pipelining", [False, True])
def test_every_recipient_refused(site, smtp_server, pipelining):
    server = smtp_server(pipelining=pipelining, rcpt="550 5.1.1 User unknown",
                         data="554 5.5.1 Error: no valid recipients" if pipelining else "354 go")
    write_site(site, server)
    run = deliver(site, server)
    assert_failure(run, site)
    assert server.messages == []
    lines = server.command_lines()
    if pipelining:
        assert lines == ["EHLO QUILLET", "MAIL FROM:<jo@b.c>", "RCPT TO:<owner@site.example>", "DATA", "QUIT"]
    else:
        assert lines == ["EHLO QUILLET", "MAIL FROM:<jo@b.c>", "RCPT TO:<owner@site.example>", "QUIT"]
    assert "SMTP server refused RCPT TO:<owner@site.example>: 550 5.1.1 User unknown" in site.log_messages()


# ---- one failure of each kind at every step ----

ENVELOPE_LINES = ["MAIL FROM:<jo@b.c>", "RCPT TO:<owner@site.example>", "DATA"]

# step: the commands the server has seen when it refuses at that step, and
# the LOG_ERROR line of the refusal. EHLO is refused together with HELO.
REFUSALS = {
    "greeting": ([], "SMTP server refused the connection: 554 5.3.2 scripted refusal"),
    "EHLO": (["EHLO QUILLET", "HELO QUILLET"], "SMTP server refused HELO QUILLET: 554 5.3.2 scripted refusal"),
    "MAIL": (["EHLO QUILLET", "MAIL FROM:<jo@b.c>"],
             "SMTP server refused MAIL FROM:<jo@b.c>: 554 5.3.2 scripted refusal"),
    "RCPT": (["EHLO QUILLET", "MAIL FROM:<jo@b.c>", "RCPT TO:<owner@site.example>"],
             "SMTP server refused RCPT TO:<owner@site.example>: 554 5.3.2 scripted refusal"),
    "DATA": (["EHLO QUILLET"] + ENVELOPE_LINES, "SMTP server refused DATA: 554 5.3.2 scripted refusal"),
    "end": (["EHLO QUILLET"] + ENVELOPE_LINES, "SMTP server refused the message: 554 5.3.2 scripted refusal"),
}


def rules_for(step, action):
    rules = {step: action}
    if step == "EHLO":
        rules["HELO"] = action
    return rules


@pytest.mark.parametrize("step", list(REFUSALS))
def test_refusal_at_each_step(site, smtp_server, step):
    server = smtp_server(**rules_for(step, "554 5.3.2 scripted refusal"))
    write_site(site, server)
    run = deliver(site, server)
    assert_failure(run, site)
    seen, logged = REFUSALS[step]
    # After a refusal: QUIT, and nothing of the message unless the server took DATA.
    assert server.command_lines() == seen + ["QUIT"]
    assert len(server.messages) == (1 if step == "end" else 0)
    assert logged in site.log_messages()


# step: the commands the server has seen when it closes or falls silent, and
# the LOG_ERROR line that says what the program was waiting for.
SILENCES = {
    "greeting": ([], "SMTP server did not send its greeting"),
    "EHLO": (["EHLO QUILLET"], "SMTP server did not answer EHLO QUILLET"),
    "MAIL": (["EHLO QUILLET", "MAIL FROM:<jo@b.c>"], "SMTP server did not answer MAIL FROM:<jo@b.c>"),
    "RCPT": (["EHLO QUILLET", "MAIL FROM:<jo@b.c>", "RCPT TO:<owner@site.example>"],
             "SMTP server did not answer RCPT TO:<owner@site.example>"),
    "DATA": (["EHLO QUILLET"] + ENVELOPE_LINES, "SMTP server did not answer DATA"),
    "message": (["EHLO QUILLET"] + ENVELOPE_LINES, None),
    "end": (["EHLO QUILLET"] + ENVELOPE_LINES, "SMTP server did not answer the end of the message"),
}


@pytest.mark.parametrize("step", list(SILENCES))
def test_close_at_each_step(site, smtp_server, step):
    server = smtp_server(**{step: CLOSE})
    write_site(site, server)
    run = deliver(site, server)
    assert_failure(run, site)
    seen, logged = SILENCES[step]
    assert server.command_lines() == seen  # no QUIT on a closed connection
    messages = site.log_messages()
    if logged is not None:
        assert logged in messages, "\n".join(messages)
    else:
        # Closed while the message came in: the write or the wait for the
        # reply fails, whichever comes first.
        assert ("could not send the message to the SMTP server" in messages
                or "SMTP server did not answer the end of the message" in messages), "\n".join(messages)


@pytest.mark.parametrize("step", list(SILENCES))
def test_stall_at_each_step_ends_within_the_time_out(site, smtp_server, step):
    server = smtp_server(**{step: STALL})
    write_site(site, server, timeout=STALL_TIMEOUT)
    started = time.monotonic()
    # The subprocess limit is the hang guard: a run that outlives the
    # time-out by the margin fails the test with TimeoutExpired.
    run = deliver(site, server, timeout=STALL_TIMEOUT + HANG_MARGIN)
    assert time.monotonic() - started >= STALL_TIMEOUT  # it did wait for the server
    assert_failure(run, site)
    seen, logged = SILENCES[step]
    assert server.command_lines() == seen
    messages = site.log_messages()
    assert "wsock: (TCPdoread failed) Timedout" in messages, "\n".join(messages)
    if logged is not None:
        assert logged in messages
    else:
        assert "SMTP server did not answer the end of the message" in messages


def test_stall_while_a_large_message_is_written(site, smtp_server):
    # The server stops reading: once the socket buffers are full, a send
    # waits, and its time-out ends the run.
    server = smtp_server(message=STALL, receive_buffer=65536)
    # Every Subject line enters the header block: 200 of 60000 characters.
    big_lines = ["headerline Subject: " + "m" * 60000 for _ in range(200)]
    write_site(site, server, timeout=STALL_TIMEOUT, extra=["logging errors"] + big_lines)
    run = deliver(site, server, timeout=STALL_TIMEOUT + HANG_MARGIN + 10)
    assert_failure(run, site)
    messages = site.log_messages()
    assert "wsock: (Socket Error, could not write.) Timedout" in messages, "\n".join(messages[-10:])
    assert "could not send the message to the SMTP server" in messages


@pytest.mark.parametrize("action", [CLOSE, STALL, "500 5.5.1 scripted QUIT refusal"])
def test_quit_failure_leaves_the_message_sent(site, smtp_server, action):
    server = smtp_server(quit=action)
    write_site(site, server, timeout=STALL_TIMEOUT)
    run = deliver(site, server, timeout=STALL_TIMEOUT + HANG_MARGIN)
    assert_success(run, site)
    assert len(server.messages) == 1


# ---- no server ----


def test_missing_smtp_setting(site):
    write_site(site)
    run = site.cgi(FORM)
    assert_failure(run, site)
    messages = site.log_messages()
    assert "SMTP email server ((null)) did not respond." in messages
    assert "about to send email to smtp server ((null)) from: (jo@b.c) to: (owner@site.example)" in messages
    assert not [m for m in messages if m.startswith("wsock:")]


def test_refused_connection(site, smtp_server):
    server = smtp_server()
    address = server.address
    server.stop()  # nothing listens on that port now
    write_site(site, smtp=address)
    run = site.cgi(FORM)
    assert_failure(run, site)
    messages = site.log_messages()
    assert "wsock: (127.0.0.1) Connection Refused" in messages
    assert "SMTP email server (127.0.0.1) did not respond." in messages


def test_server_name_in_capitals_is_resolved_in_small_letters(site, smtp_server):
    server = smtp_server()
    write_site(site, smtp="LOCALHOST:%d" % server.port)
    run = site.cgi(FORM)
    assert_success(run, site)
    assert server.sessions == 1


def test_delivery_as_the_web_server_account(site, smtp_server):
    server = smtp_server()
    write_site(site, server)
    os.chmod(site.directory, 0o777)  # the log is written beside the program
    run = site.cgi(FORM, user="nobody")
    assert run.returncode == 0
    assert SUCCESS_TEXT in run.page
    assert server.bytes_received() == b"EHLO QUILLET\r\n" + ENVELOPE_WIRE + MESSAGE_WIRE + b"QUIT\r\n"


# ---- Reply-To, Date, Message-ID and the MIME lines ----

# Values with every kind of trouble for a header: 8-bit bytes, "=?" and "?="
# that are no encoded-word, a line feed before a would-be header.
TROUBLE_FORM = form([("From:", "Zo\u00eb <jo@b.c>"), ("Subject:", "Gr\u00fc\u00dfe =?UTF-8?Q?x?= ?=\r\nBcc: victim@x.y"),
                     ("Name:", "Zo\u00eb\r\nline 2 \u00e9")])
# The ini file is written as Latin-1: "\xc3\x96" is the UTF-8 of a capital O
# with diaeresis.
TROUBLE_HEADERS = ["headerline To: Site \xc3\x96wner <owner@site.example>", "use_submitted_variable_for_headerline From:",
                   "use_submitted_variable_for_headerline Subject:"]


def test_without_the_new_lines_the_message_is_byte_for_byte_as_before(site, smtp_server):
    """The wire of an ini file without Reply-To, add_date_and_message_id and
    charset lines, as the program sent it before they existed."""
    server = smtp_server()
    write_site(site, server, headers=TROUBLE_HEADERS, extra=["sendall true"])
    run = deliver(site, server, TROUBLE_FORM)
    assert_success(run, site)
    assert server.bytes_received() == (
        b"EHLO QUILLET\r\nMAIL FROM:<jo@b.c>\r\nRCPT TO:<owner@site.example>\r\nDATA\r\n"
        b"To: Site \xc3\x96wner <owner@site.example> \r\nFrom: Zo\xc3\xab <jo@b.c>\r\n"
        b"Subject: Gr\xc3\xbc\xc3\x9fe =?UTF-8?Q?x?= ?=\r\n Bcc: victim@x.y\r\n" + QUILLET_LINE + b"\r\n\r\n"
        b" Name: Zo\xc3\xab\r\n       line 2 \xc3\xa9\r\n\r\n\r\nAll variables from the submitted form:\r\n"
        b"(From:)==(Zo\xc3\xab <jo@b.c>)\r\n(Subject:)==(Gr\xc3\xbc\xc3\x9fe =?UTF-8?Q?x?= ?=\r\nBcc: victim@x.y)\r\n"
        b"(Name:)==(Zo\xc3\xab\r\nline 2 \xc3\xa9)\r\n\r\n.\r\nQUIT\r\n")


def masked(header_block):
    """The header block's lines, the Date and the Message-ID's varying part
    masked."""
    lines = header_block.split(b"\r\n")
    date = re.compile(rb"Date: (Mon|Tue|Wed|Thu|Fri|Sat|Sun), \d\d (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
                      rb"\d{4} \d\d:\d\d:\d\d [+-]\d{4}$")
    return [b"Date: DATE" if date.match(line) else re.sub(rb"^Message-ID: <\d+\.\d+\.[0-9a-f]{24}@", b"Message-ID: <ID@",
                                                           line) for line in lines]


@pytest.mark.parametrize("ehlo,mail,encoding,body", [
    pytest.param(None, b"MAIL FROM:<jo@b.c> BODY=8BITMIME", b"8bit", b" Name: Zo\xc3\xab\r\n       line 2 \xc3\xa9\r\n",
                 id="8BITMIME"),
    pytest.param("250-script.test\r\n250 SIZE 1000\r\n", b"MAIL FROM:<jo@b.c>", b"quoted-printable",
                 b" Name: Zo=C3=AB\r\n       line 2 =C3=A9\r\n", id="7-bit-server"),
])
def test_the_new_lines_on_the_wire(site, smtp_server, ehlo, mail, encoding, body):
    server = smtp_server(ehlo=ehlo)
    write_site(site, server, headers=TROUBLE_HEADERS + ["use_submitted_variable_for_headerline Reply-To:"],
               extra=["add_date_and_message_id", "charset UTF-8"])
    run = deliver(site, server, TROUBLE_FORM + "&" + form([("Reply-To:", "Zo\u00eb <zoe@b.c>, other@b.c")]))
    assert_success(run, site)
    assert server.command_lines()[1] == mail.decode()
    header_block, _, rest = server.messages[0].partition(b"\r\n\r\n")
    assert masked(header_block) == [
        b"To: Site =?UTF-8?Q?=C3=96wner?= <owner@site.example> ", b"From: =?UTF-8?Q?Zo=C3=AB?= <jo@b.c>",
        b"Subject: =?UTF-8?Q?Gr=C3=BC=C3=9Fe_=3D=3FUTF-8=3FQ=3Fx=3F=3D?= ?= Bcc:", b" victim@x.y",
        b"Reply-To: zoe@b.c", b"Date: DATE", b"Message-ID: <ID@b.c>", b"MIME-Version: 1.0",
        b"Content-Type: text/plain; charset=UTF-8", b"Content-Transfer-Encoding: " + encoding, QUILLET_LINE]
    assert rest == body + b"\r\n"
    assert [line for line in server.command_lines() if line.startswith("RCPT")] == ["RCPT TO:<owner@site.example>"]
