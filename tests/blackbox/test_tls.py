"""Delivery over TLS with a login (smtp_tls, smtp_tls_ca_file, smtp_user,
smtp_password), run as a web server runs the program.

The faults are scripted (smtp_script.py): each ends in the failure page with
the LOG_ERROR line that names its cause, nothing delivered, and nothing sent
in clear text after the point where it went wrong. The successes are scripted
where the exact exchange matters (injected bytes after the 220, the hidden
credentials) and real servers otherwise: aiosmtpd with STARTTLS or implicit
TLS and AUTH, and Postfix's submission services with Cyrus SASL.
"""

import base64

import pytest

import tls_certs
from mailservers import SUBMISSION_PASSWORD, SUBMISSION_USER, TEST_ADDRESS, aiosmtpd_server, postfix_server
from smtp_script import STALL
from test_delivery import FAILURE_TEXT, FORM, SUCCESS_TEXT, smtp_server, write_site  # noqa: F401

USER = SUBMISSION_USER
PASSWORD = SUBMISSION_PASSWORD
HANG_GUARD = 60  # a run that takes longer than this hangs (the runs' deadline is a few seconds)
REFUSED_AUTH = "535 5.7.8 Error: authentication failed"


@pytest.fixture(scope="module")
def certificates():
    return tls_certs.shared_certificates()


def tls_lines(certificates, mode="starttls", login=True, ca=True):
    lines = ["smtp_tls " + mode] if mode else []
    if ca:
        lines.append("smtp_tls_ca_file " + certificates.ca)
    if login:
        lines += ["smtp_user " + USER, "smtp_password " + PASSWORD]
    return lines


def deliver(site, server, extra, host="localhost", timeout=5):
    write_site(site, smtp="%s:%d" % (host, server.port), extra=extra, timeout=timeout)
    return site.cgi(FORM, timeout=HANG_GUARD)


def errors(site):
    """The log's messages, for the message of a failed assertion."""
    return "\n".join(site.log_messages())


def assert_secret_never_logged(site):
    text = site.log_text()
    encoded = [base64.b64encode(secret.encode()).decode() for secret in
               (PASSWORD, USER, "\0%s\0%s" % (USER, PASSWORD))]
    for secret in [PASSWORD] + encoded:
        assert secret not in text


# ---- faults ----

# name: (server rules, ini lines (given the certificates), the cause in the log)
FAULTS = {
    "unknown CA": (lambda c: dict(tls=c.pair("unknown")), tls_lines,
                   "TLS with the SMTP server localhost failed: certificate verify failed"),
    "expired certificate": (lambda c: dict(tls=c.pair("expired")), tls_lines,
                            "TLS with the SMTP server localhost failed: certificate verify failed"),
    "name mismatch": (lambda c: dict(tls=c.pair("other")), tls_lines,
                      "TLS with the SMTP server localhost failed: certificate verify failed"),
    "system store without the CA": (lambda c: dict(tls=c.server), lambda c: tls_lines(c, ca=False),
                                    "TLS with the SMTP server localhost failed: certificate verify failed"),
    "STARTTLS stripped": (lambda c: dict(auth=("PLAIN",), auth_in_clear=True), tls_lines,
                          "SMTP server does not offer STARTTLS; message not sent"),
    "STARTTLS answered 454": (lambda c: dict(tls=c.server, starttls="454 4.7.0 TLS not available"), tls_lines,
                              "SMTP server refused STARTTLS: 454 4.7.0 TLS not available"),
    "handshake stalls": (lambda c: dict(tls=c.server, handshake=STALL), tls_lines,
                         "TLS with the SMTP server localhost failed: timed out"),
    "implicit TLS, unknown CA": (lambda c: dict(tls=c.pair("unknown"), implicit=True),
                                 lambda c: tls_lines(c, "implicit"),
                                 "TLS with the SMTP server localhost failed: certificate verify failed"),
    "AUTH PLAIN answered 535": (lambda c: dict(tls=c.server, auth=("PLAIN", "LOGIN"), auth_reply=REFUSED_AUTH),
                                tls_lines, "SMTP server refused AUTH PLAIN: " + REFUSED_AUTH),
    "AUTH LOGIN answered 535": (lambda c: dict(tls=c.server, auth=("LOGIN",), auth_reply=REFUSED_AUTH),
                                tls_lines, "SMTP server refused AUTH LOGIN: " + REFUSED_AUTH),
    "no AUTH offered": (lambda c: dict(tls=c.server, auth=("CRAM-MD5",)), tls_lines,
                        "SMTP server offers neither AUTH PLAIN nor AUTH LOGIN; message not sent"),
    "smtp_tls misspelt": (lambda c: dict(tls=c.server), lambda c: tls_lines(c, "yes"),
                          "smtp_tls {yes} is neither starttls nor implicit; message not sent"),
    "password without user": (lambda c: dict(tls=c.server),
                              lambda c: tls_lines(c, login=False) + ["smtp_password " + PASSWORD],
                              "smtp_user and smtp_password go together, one is missing; message not sent"),
}


@pytest.mark.parametrize("name", list(FAULTS))
def test_every_tls_and_login_fault_fails_with_its_cause(site, smtp_server, certificates, name):  # noqa: F811
    rules, lines, cause = FAULTS[name]
    server = smtp_server(**rules(certificates))
    run = deliver(site, server, lines(certificates), timeout=2)
    assert FAILURE_TEXT in run.text
    assert server.messages == []
    logged = site.log_messages()
    causes = [message for message in logged if cause in message]
    assert len(causes) == 1, errors(site)
    assert not any("MAIL FROM" in line or line.startswith("AUTH") for line in server.command_lines()
                   if line not in server.secure_commands)
    if "TLS with" in cause or "STARTTLS" in cause:
        # Nothing after the failed upgrade, least of all credentials.
        assert server.auth_exchanges == []
    assert_secret_never_logged(site)


def test_a_failed_handshake_ends_the_conversation(site, smtp_server, certificates):  # noqa: F811
    server = smtp_server(tls=certificates.pair("other"))
    deliver(site, server, tls_lines(certificates), host="127.0.0.1")
    assert server.command_lines() == ["EHLO QUILLET", "STARTTLS"]
    assert any("TLS with the SMTP server 127.0.0.1 failed: certificate verify failed" in message
               for message in site.log_messages()), errors(site)


# ---- the exchange over a scripted server ----

INJECTED = "220 2.0.0 Ready to start TLS\r\n535 5.7.8 injected\r\n250 injected\r\n"


@pytest.mark.parametrize("mechanisms, host", [(("PLAIN", "LOGIN"), "localhost"), (("LOGIN",), "127.0.0.1")])
def test_starttls_drops_injected_bytes_and_hides_the_credentials(site, smtp_server, certificates,  # noqa: F811
                                                                  mechanisms, host):
    server = smtp_server(tls=certificates.server, auth=mechanisms, pipelining=True, starttls=INJECTED)
    run = deliver(site, server, tls_lines(certificates) + ["hello_method HELO"], host=host)
    assert SUCCESS_TEXT in run.text, errors(site)
    assert len(server.messages) == 1
    # In clear text only the greeting's EHLO (EHLO in spite of hello_method
    # HELO: STARTTLS needs it) and STARTTLS; the rest, from the second EHLO
    # on, over TLS.
    commands = server.command_lines()
    assert commands[:2] == ["EHLO QUILLET", "STARTTLS"]
    assert server.secure_commands[0] == "EHLO QUILLET"
    assert commands[2:] == server.secure_commands
    mechanism = mechanisms[0]
    login = ["", USER, PASSWORD] if mechanism == "PLAIN" else [USER, PASSWORD]
    assert server.auth_exchanges == [(mechanism, ["\0".join(login)] if mechanism == "PLAIN" else login)]
    messages = site.log_messages()
    assert any("dropped %d bytes" % (len(INJECTED) - len("220 2.0.0 Ready to start TLS\r\n")) in message
               for message in messages)
    assert_secret_never_logged(site)
    if mechanism == "PLAIN":
        assert any("SEND(" in message and "AUTH PLAIN <hidden>" in message for message in messages)
    else:
        assert sum("<hidden>" in message and "SEND(" in message for message in messages) == 2
        assert sum("334 <hidden>" in message for message in messages) == 2


def test_each_command_and_the_pipelined_group_go_in_one_record(site, smtp_server, certificates):  # noqa: F811
    # A server that reads a record at a time answers a group split over
    # records command by command, and holds its later replies until this
    # side acknowledges the first (about 40 ms with Postfix).
    server = smtp_server(tls=certificates.server, auth=("PLAIN",), pipelining=True)
    run = deliver(site, server, tls_lines(certificates))
    assert SUCCESS_TEXT in run.text, errors(site)
    records = server.secure_records
    assert records[:2] == [b"EHLO QUILLET\r\n", b"AUTH PLAIN %s\r\n" % base64.b64encode(
        ("\0%s\0%s" % (USER, PASSWORD)).encode())], records
    assert records[2].startswith(b"MAIL FROM:") and records[2].endswith(b">\r\nDATA\r\n"), records
    assert records[2].count(b"\r\n") == 3 and records[3].endswith(b"\r\n.\r\n"), records
    assert records[4:] == [b"QUIT\r\n"], records


def test_a_login_in_clear_text_goes_only_to_loopback(site, smtp_server):  # noqa: F811
    server = smtp_server(auth=("PLAIN",), auth_in_clear=True)
    run = deliver(site, server, ["smtp_user " + USER, "smtp_password " + PASSWORD], host="127.0.0.1")
    assert SUCCESS_TEXT in run.text, errors(site)
    assert server.auth_exchanges == [("PLAIN", ["\0%s\0%s" % (USER, PASSWORD)])]
    assert "smtp_password <hidden>" in site.log_text()
    assert_secret_never_logged(site)


# ---- real servers ----


@pytest.mark.parametrize("implicit, mechanisms", [(False, None), (True, ["LOGIN"])])
def test_aiosmtpd_over_tls_with_a_login(site, certificates, implicit, mechanisms):
    with aiosmtpd_server(tls=certificates.server, implicit=implicit, user=USER, password=PASSWORD,
                         mechanisms=mechanisms) as server:
        run = deliver(site, server, tls_lines(certificates, "implicit" if implicit else "starttls"))
        assert SUCCESS_TEXT in run.text, errors(site) + server.log_text()[-2000:]
        [message] = server.everything()
        assert message.extra["tls"] in ("TLSv1.2", "TLSv1.3")
        assert message.extra["login"] == USER
        assert b"Name: Jo" in message.data
    assert_secret_never_logged(site)


@pytest.mark.parametrize("service", ["starttls", "implicit-login"])
def test_postfix_submission_over_tls_with_a_login(site, certificates, service):
    with postfix_server(submission=certificates.server) as server:
        port = server.submission_ports[service]
        mode = "implicit" if service.startswith("implicit") else "starttls"
        write_site(site, smtp="localhost:%d" % port, extra=tls_lines(certificates, mode), timeout=10,
                   headers=["headerline To: " + TEST_ADDRESS, "use_submitted_variable_for_headerline From:",
                            "headerline Subject: Form Submission Data"])
        run = site.cgi(FORM, timeout=HANG_GUARD)
        assert SUCCESS_TEXT in run.text, errors(site) + server.log_text()[-3000:]
        [message] = server.messages()
        assert b"Name: Jo" in message.data
        log = server.log_text()
        assert "sasl_username=" + USER in log
        assert "sasl_method=" + ("PLAIN" if service == "starttls" else "LOGIN") in log
    assert_secret_never_logged(site)
