"""What a browser gets from the checks against bots and from the reply
settings, with the program run as a web server runs it against the scripted
SMTP server: the status, header lines and body of each kind of reply, and
whether the mail server was reached at all; then the rate limit per client
address and what a damaged rate file does.
"""

import json
import os
import stat

import pytest

from test_delivery import FAILURE_TEXT, SUCCESS_TEXT, form, smtp_server, write_site  # noqa: F401

ORIGIN = "https://www.example.com"
CHECKS = ["honeypot_field website", "required_field Name:", "allowed_origin " + ORIGIN]
FILLED = [("From:", "jo@b.c"), ("Name:", "Jo")]
BOT = FILLED + [("website", "http://spam.example/")]
FROM_PAGE = {"HTTP_ORIGIN": ORIGIN}
FROM_SCRIPT = {"HTTP_ORIGIN": ORIGIN, "HTTP_ACCEPT": "application/json"}
CORS = ["Access-Control-Allow-Origin: " + ORIGIN, "Vary: Origin"]
THANKS = "https://www.example.com/thanks.html?from=form&x=1"
REFUSED = "550 5.7.1 Sender rejected"


def json_reply(status, body, cors=True):
    return (["Status: " + status, "Pragma: no-cache"] + (CORS if cors else ["Vary: Origin"])
            + ["Content-type: application/json"], body)


# id: (ini lines beyond the checks, submitted pairs, request variables, the
# server's MAIL reply, the reply's header lines, its body (a JSON object, or
# text the page holds), whether the mail server was reached)
CASES = {
    "a bot fills every field, the honeypot too": (
        [], BOT, FROM_PAGE, None, ["Pragma: no-cache"] + CORS + ["Content-type: text/html"], SUCCESS_TEXT, False),
    "fetch(): sent": (
        [], FILLED, FROM_SCRIPT, None, *json_reply("200 OK", {"sent": True}), True),
    "fetch(): the honeypot answers as sent": (
        [], BOT, FROM_SCRIPT, None, *json_reply("200 OK", {"sent": True}), False),
    "fetch(): a required field left blank": (
        [], [("From:", "jo@b.c"), ("Name:", " \r\n\t")], FROM_SCRIPT, None,
        *json_reply("422 Unprocessable Content", {"sent": False, "reason": "missing", "missing": ["Name:"]}), False),
    "fetch(): no valid sender": (
        [], [("From:", "nobody"), ("Name:", "Jo")], FROM_SCRIPT, None,
        *json_reply("422 Unprocessable Content", {"sent": False, "reason": "invalid"}), False),
    "fetch(): from a page at an unlisted origin": (
        [], FILLED, {"HTTP_ORIGIN": "https://www.example.com.evil.test", "HTTP_ACCEPT": "application/json"}, None,
        *json_reply("403 Forbidden", {"sent": False, "reason": "origin"}, cors=False), False),
    "fetch(): a recipient from the form that is not allowed": (
        ["use_submitted_variable_for_headerline CC:", "allowed_recipient @site.example"],
        FILLED + [("CC:", "victim@target.example")], FROM_SCRIPT, None,
        *json_reply("403 Forbidden", {"sent": False, "reason": "recipient"}), False),
    "fetch(): the mail server refuses": (
        [], FILLED, FROM_SCRIPT, REFUSED, *json_reply("502 Bad Gateway", {"sent": False, "reason": "mail_server"}),
        True),
    "Accept */* gets the page": (
        [], FILLED, dict(FROM_PAGE, HTTP_ACCEPT="*/*"), None, ["Pragma: no-cache"] + CORS + ["Content-type: text/html"],
        SUCCESS_TEXT, True),
    "Referer with user information": (
        [], FILLED, {"HTTP_REFERER": "https://www.example.com@evil.test/"}, None,
        ["Pragma: no-cache", "Vary: Origin", "Content-type: text/html"], FAILURE_TEXT, False),
    "redirect after sending": (
        ["success_redirect " + THANKS], FILLED, FROM_PAGE, None,
        ["Status: 303 See Other", "Location: " + THANKS, "Pragma: no-cache"] + CORS + ["Content-type: text/html"],
        '<a href="https://www.example.com/thanks.html?from=form&amp;x=1">', True),
    "redirect after a refusal": (
        ["failure_redirect https://www.example.com/sorry.html"], FILLED, {"HTTP_REFERER": ORIGIN + "/form.html"},
        REFUSED, ["Status: 303 See Other", "Location: https://www.example.com/sorry.html", "Pragma: no-cache",
                  "Vary: Origin", "Content-type: text/html"], "sorry.html", True),
    "a javascript: redirect is ignored": (
        ["failure_redirect javascript:alert(1)"], FILLED, FROM_PAGE, REFUSED,
        ["Pragma: no-cache"] + CORS + ["Content-type: text/html"], FAILURE_TEXT, True),
}


@pytest.mark.parametrize("extra, pairs, env, mail, headers, body, reached", list(CASES.values()), ids=list(CASES))
def test_what_the_browser_gets(site, smtp_server, extra, pairs, env, mail, headers, body, reached):
    server = smtp_server(**({"mail": mail} if mail else {}))
    write_site(site, server, extra=CHECKS + extra)
    run = site.cgi(form(pairs), env=env)
    assert run.returncode == 0
    assert run.headers.split("\n")[:-2] == headers, run.text
    if isinstance(body, dict):
        assert run.page.endswith("\n") and run.page.count("\n") == 1, run.page
        assert json.loads(run.page) == body
    else:
        assert body in run.page, run.page
    assert (server.sessions > 0) == reached, site.log_messages()


# ---- the rate limit ----

def test_the_rate_limit_counts_each_client_by_its_address_or_its_64(site, smtp_server):
    server = smtp_server()
    write_site(site, server, extra=["rate_limit 2 3600", "logging errors"])
    # Each client: the statuses its posts get, in order.
    clients = {
        "192.0.2.1": [200, 200, 429, 429],
        "::ffff:192.0.2.1": [429],                         # the same client on a dual-stack socket
        "192.0.2.2": [200],
        "2001:db8:1:2::5": [200],
        "2001:db8:1:2:ffff:ffff:ffff:ffff": [200, 429],    # the same /64
        "2001:db8:1:3::5": [200],
    }
    for address, statuses in clients.items():
        got = []
        for _ in statuses:
            run = site.cgi(form(FILLED), env={"REMOTE_ADDR": address, "HTTP_ACCEPT": "application/json"})
            got.append(int(run.headers.split()[1]))
        assert got == statuses, address
    assert len(server.messages) == 6
    refusals = [m for m in site.log_messages() if "rate limit" in m]
    assert refusals == ["email not sent: the client {192.0.2.1} reached the rate limit of 2 messages in 3600 "
                        "seconds"] * 3 + ["email not sent: the client {2001:db8:1:2::/64} reached the rate limit "
                                          "of 2 messages in 3600 seconds"]
    rate_path = site.path("quillet.rate")
    lines = site.read_file("quillet.rate").decode("ascii").splitlines()
    assert lines[0] == "quillet rate file 1"
    assert sorted(line.split(" ")[0] for line in lines[1:]) == [
        "192.0.2.1", "192.0.2.2", "2001:db8:1:2::/64", "2001:db8:1:3::/64"]
    # Created readable by its owner and group only, as the log is.
    assert stat.S_IMODE(os.stat(rate_path).st_mode) & 0o037 == 0


# The rate file is rewritten whole: what is not a file of its own is left
# alone, and the form still works.
UNUSABLE = {"a directory": "(21)(Is a directory)", "a symbolic link": "(40)(Too many levels of symbolic links)"}


@pytest.mark.parametrize("damage", ["truncated", "garbage"] + list(UNUSABLE))
def test_a_damaged_rate_file_never_stops_the_form(site, smtp_server, damage):
    server = smtp_server()
    write_site(site, server, extra=["rate_limit 1 3600"])
    rate_path = site.path("quillet.rate")
    if damage == "a directory":
        os.mkdir(rate_path)
    elif damage == "a symbolic link":
        site.write_file("other.txt", "not the rate file's\n")
        os.symlink(site.path("other.txt"), rate_path)
    else:
        site.write_file("quillet.rate", "quillet rate file 1\n192.0.2.1 99" if damage == "truncated"
                        else bytes(range(256)) * 4)
    run = site.cgi(form(FILLED), env={"REMOTE_ADDR": "192.0.2.1"})
    assert SUCCESS_TEXT in run.page
    assert len(server.messages) == 1
    errors = [m for m in site.log_messages() if "rate file" in m]
    if damage in UNUSABLE:
        assert errors == ["rate limit not applied: the rate file (%s) could not be opened for the reason %s."
                          % (rate_path, UNUSABLE[damage])]
        if damage == "a symbolic link":
            assert site.read_file("other.txt") == b"not the rate file's\n"
        return
    assert errors == ["the rate file (%s) was damaged and is started afresh." % rate_path]
    # Started afresh: this message counted, the next one refused.
    assert site.read_file("quillet.rate").decode("ascii").startswith("quillet rate file 1\n192.0.2.1 ")
    run = site.cgi(form(FILLED), env={"REMOTE_ADDR": "192.0.2.1"})
    assert FAILURE_TEXT in run.page and len(server.messages) == 1
