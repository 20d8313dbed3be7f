"""Addresses on the wire, against the scripted SMTP server: which MAIL FROM
and RCPT TO a To line and a visitor's From give.
"""

import pytest

from test_delivery import OWNER, SUCCESS_TEXT, form, smtp_server, write_site  # noqa: F401

VICTIM = "victim@target.example"


def envelope_commands(sender, *recipients):
    return (["EHLO QUILLET", "MAIL FROM:<%s>" % sender] + ["RCPT TO:<%s>" % r for r in recipients]
            + ["DATA", "QUIT"])


# ---- whole local parts ----

# id: (the To line, the visitor's From value, MAIL FROM, RCPT TO)
ADDRESSES = {
    "plus in the owner's To": ("headerline To: Site Owner <owner+webform@example.com>", "jo@b.c",
                               "jo@b.c", "owner+webform@example.com"),
    "apostrophe in a To": ("headerline To: o'brien@example.com", "jo@b.c", "jo@b.c", "o'brien@example.com"),
    "plus in the visitor's From": ("headerline To: " + OWNER, "John <john+news@gmail.com>",
                                   "john+news@gmail.com", OWNER),
    "every atom character": ("headerline To: <a.b!#$%&'*+-/=?^_`{|}~@example.com>", "x{y}=z@b.c",
                             "x{y}=z@b.c", "a.b!#$%&'*+-/=?^_`{|}~@example.com"),
    # What would end or extend a command line never enters an address.
    "a command after the From": ("headerline To: " + OWNER, "jo@b.c>\r\nRCPT TO:<%s>" % VICTIM, "jo@b.c", OWNER),
    "a bracket and a colon": ("headerline To: " + OWNER, "<jo:x>@b.c jo@b.c", "jo@b.c", OWNER),
}


@pytest.mark.parametrize("to_line, visitor, sender, recipient", list(ADDRESSES.values()), ids=list(ADDRESSES))
def test_addresses_keep_their_whole_local_part(site, smtp_server, to_line, visitor, sender, recipient):
    server = smtp_server()
    write_site(site, server, headers=[to_line, "use_submitted_variable_for_headerline From:",
                                      "headerline Subject: s"])
    run = site.cgi(form([("From:", visitor), ("Name:", "Jo")]))
    assert SUCCESS_TEXT in run.page, site.log_messages()
    assert server.command_lines() == envelope_commands(sender, recipient)
