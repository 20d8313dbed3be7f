"""The Windows program (build-windows/quillet.exe, the mingw-w64 cross-build)
run under wine as a console and a web server on Windows run it: its banner,
and a form POST that is delivered to the scripted SMTP server, one whose
server refuses the connection and one whose server never answers. Each
checks the exit status, the reply page, the log and, where a server took
part, what it received; the program's standard output and log have CR LF
line ends there. One more delivery goes over STARTTLS with a login to
aiosmtpd, through Schannel, the test CA trusted through smtp_tls_ca_file.

scripts/test runs this file in the Windows step, through CTest in
build-windows/ (QUILLET_WINDOWS_BINARY names the program); wine64 comes from
scripts/install-deps.
"""

import email.utils
import os
import re
import time

import pytest

import tls_certs
from mailservers import SUBMISSION_PASSWORD, SUBMISSION_USER, aiosmtpd_server
from smtp_script import STALL
from test_delivery import (ENVELOPE_WIRE, FORM, MESSAGE_WIRE, STALL_TIMEOUT, HANG_MARGIN, assert_failure,
                           assert_success, form, smtp_server, write_site)  # noqa: F401 (smtp_server is a fixture)

BANNER_FIRST_LINE = "quillet 1.0w - turns an HTML form POST into one e-mail.\r\n"

# name: (the scripted server's rules, or None for a port nothing listens on;
#        smtp_timeout; delivered?; lines the log must hold; the commands the server saw)
CGI_RUNS = {
    "delivered": ({}, 10, True, ["email sent! (1)"],
                  b"EHLO QUILLET\r\n" + ENVELOPE_WIRE + MESSAGE_WIRE + b"QUIT\r\n"),
    "connection refused": (None, 10, False,
                           ["wsock: (127.0.0.1) Connection Refused", "SMTP email server (127.0.0.1) did not respond."],
                           None),
    "server silent": ({"greeting": STALL}, STALL_TIMEOUT, False, ["wsock: (TCPdoread failed) Timedout"], b""),
}


def assert_crlf_lines(data, what):
    """Every line of `data` (bytes) ends in CR LF, and there is at least one."""
    lines = data.split(b"\n")
    assert len(lines) > 1 and lines[-1] == b"", "%s does not end with a line end: %r" % (what, data[-80:])
    bare = [line for line in lines[:-1] if not line.endswith(b"\r")]
    assert not bare, "%s has lines without CR LF: %r" % (what, bare[:3])


def test_version_prints_the_banner_with_crlf_and_logs_nothing(wine_site):
    run = wine_site.run("-version")
    assert run.returncode == 0, run.stderr
    assert run.text.startswith(BANNER_FIRST_LINE), run.text
    assert_crlf_lines(run.stdout, "the banner")
    assert not os.path.exists(wine_site.log_path)


@pytest.mark.parametrize("case", list(CGI_RUNS))
def test_cgi_run(wine_site, smtp_server, case):
    rules, timeout, delivered, logged, received = CGI_RUNS[case]
    server = smtp_server(**(rules or {}))
    address = server.address
    if rules is None:
        server.stop()  # nothing listens on that port now
    write_site(wine_site, smtp=address, timeout=timeout)
    # The subprocess limit is the hang guard of the silent server's run.
    run = wine_site.cgi(FORM, timeout=timeout + HANG_MARGIN)
    (assert_success if delivered else assert_failure)(run, wine_site)
    assert run.headers == "Pragma: no-cache\r\nContent-type: text/html\r\n\r\n", run.text[:200]
    messages = wine_site.log_messages()
    for line in logged:
        assert line in messages, "\n".join(messages)
    assert_crlf_lines(wine_site.read_file("quillet.log"), "the log")
    if received is not None:
        assert server.bytes_received() == received


def test_date_message_id_and_charset(wine_site, smtp_server):
    """The Windows sources of the Date (the local time and its zone) and the
    Message-ID (the system's random bytes), and a body sent as 8bit."""
    server = smtp_server()
    write_site(wine_site, server, extra=["add_date_and_message_id", "charset UTF-8"])
    before = time.time()
    # A zone with a half-hour offset and no summer time, in the form the C
    # runtime reads from TZ.
    run = wine_site.cgi(form([("From:", "jo@b.c"), ("Name:", "Zo\u00eb")]), env={"TZ": "IST-5:30"},
                        timeout=10 + HANG_MARGIN)
    assert_success(run, wine_site)
    assert server.command_lines()[1] == "MAIL FROM:<jo@b.c> BODY=8BITMIME"
    header_block, _, body = server.messages[0].partition(b"\r\n\r\n")
    fields = dict(line.split(b": ", 1) for line in header_block.split(b"\r\n") if b": " in line)
    # The Date names the time of the run: its local clock less its zone.
    date = email.utils.parsedate_to_datetime(fields[b"Date"].decode())
    assert re.fullmatch(rb"\w{3}, \d\d \w{3} \d{4} \d\d:\d\d:\d\d \+0530", fields[b"Date"]), fields[b"Date"]
    assert before - 120 <= date.timestamp() <= time.time() + 120, (fields[b"Date"], before)
    match = re.fullmatch(rb"<\d+\.\d+\.([0-9a-f]{24})@b\.c>", fields[b"Message-ID"])
    assert match and match.group(1) != b"0" * 24, fields[b"Message-ID"]
    assert fields[b"Content-Transfer-Encoding"] == b"8bit"
    assert body == b" Name: Zo\xc3\xab\r\n\r\n"


def test_cgi_run_over_starttls_with_a_login(wine_site):
    certificates = tls_certs.shared_certificates()
    with aiosmtpd_server(tls=certificates.server, user=SUBMISSION_USER, password=SUBMISSION_PASSWORD) as server:
        write_site(wine_site, smtp="127.0.0.1:%d" % server.port, timeout=20,
                   extra=["smtp_tls starttls", "smtp_tls_ca_file " + certificates.ca,
                          "smtp_user " + SUBMISSION_USER, "smtp_password " + SUBMISSION_PASSWORD])
        run = wine_site.cgi(FORM, timeout=20 + HANG_MARGIN)
        assert_success(run, wine_site)
        [message] = server.everything()
        assert message.extra["tls"] in ("TLSv1.2", "TLSv1.3")
        assert message.extra["login"] == SUBMISSION_USER
    assert SUBMISSION_PASSWORD not in wine_site.log_text()


def test_the_rate_limit_locks_and_counts_its_file_on_windows(wine_site, smtp_server):
    # LockFileEx must be taken, or the limit is not applied and the second
    # message goes out too.
    server = smtp_server()
    write_site(wine_site, smtp=server.address, extra=["rate_limit 1 3600"])
    env = {"REMOTE_ADDR": "192.0.2.7", "HTTP_ACCEPT": "application/json"}
    statuses = [wine_site.cgi(FORM, env=env).headers.split("\r\n")[0] for _ in range(2)]
    assert statuses == ["Status: 200 OK", "Status: 429 Too Many Requests"], wine_site.log_messages()
    assert len(server.messages) == 1
    rate_file = wine_site.read_file("quillet.rate")
    assert rate_file.startswith(b"quillet rate file 1\n192.0.2.7 "), rate_file
    assert not [m for m in wine_site.log_messages() if "rate limit not applied" in m]
