"""Addresses on the wire, against the scripted SMTP server: which MAIL FROM
and RCPT TO a To line and a visitor's From give, and which recipients a
visitor's values may name once the ini file holds allowed_recipient lines.
"""

import os

import pytest

from test_delivery import FAILURE_TEXT, OWNER, SUCCESS_TEXT, form, smtp_server, write_site  # noqa: F401

VICTIM = "victim@target.example"
SUBMITTED_CC = "use_submitted_variable_for_headerline CC:"


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


# ---- recipients from the form only from the allowed_recipient list ----

# The ini's own lines: a static To, the visitor's From, a Subject; each case
# adds its own header lines, allowed_recipient lines and submitted values.
# id: (extra ini lines, submitted values, the RCPT TO addresses when sent, or
# (kind, address) of the recipient refused before any connection)
RECIPIENT_CASES = {
    "no list, submitted CC as before": ([SUBMITTED_CC], {"CC:": VICTIM}, [OWNER, VICTIM]),
    "submitted CC not listed": ([SUBMITTED_CC, "allowed_recipient sales@site.example"], {"CC:": VICTIM},
                                ("CC", VICTIM)),
    "submitted CC by address, other case": ([SUBMITTED_CC, "allowed_recipient Sales@Site.Example"],
                                            {"CC:": "Jo <sales@SITE.example>"}, [OWNER, "sales@SITE.example"]),
    "submitted CC by domain, other case": ([SUBMITTED_CC, "allowed_recipient @SITE.example"],
                                           {"CC:": "any+tag@site.EXAMPLE"}, [OWNER, "any+tag@site.EXAMPLE"]),
    "static CC never refused": (["headerline CC: carbon@other.example", "allowed_recipient @site.example"],
                                {"CC:": VICTIM}, [OWNER, "carbon@other.example"]),
    "submitted BCC not listed": (["use_submitted_variable_for_headerline BCC:", "allowed_recipient @site.example"],
                                 {"BCC:": VICTIM}, ("BCC", VICTIM)),
    "submitted To not listed": (["use_submitted_variable_for_headerline To:", "allowed_recipient @site.example"],
                                {"To:": VICTIM}, ("To", VICTIM)),
    "ignored values make no list": ([SUBMITTED_CC, "allowed_recipient nobody", "allowed_recipient @",
                                     "allowed_recipient ", "allowed_recipient a@b.c, d@e.f"],
                                    {"CC:": VICTIM}, [OWNER, VICTIM]),
    "ignored values beside a valid one": ([SUBMITTED_CC, "allowed_recipient nobody",
                                           "allowed_recipient @site.example"], {"CC:": VICTIM}, ("CC", VICTIM)),
}


BAD_VALUES = ("nobody", "@", "", "a@b.c, d@e.f")


def error_lines(site):
    """What the run logged after loading its ini file, whose first line is
    "logging errors": its error lines."""
    messages = site.log_messages()
    return messages[messages.index("loading config file.") + 1:]


@pytest.mark.parametrize("extra, values, outcome", list(RECIPIENT_CASES.values()), ids=list(RECIPIENT_CASES))
def test_recipients_from_the_form_only_from_the_list(site, smtp_server, extra, values, outcome):
    server = smtp_server()
    headers = ["headerline To: " + OWNER, "use_submitted_variable_for_headerline From:", "headerline Subject: s"]
    write_site(site, server, headers=extra + headers)
    ini = site.read_file(os.path.basename(site.ini_path)).decode("latin-1")
    site.write_ini("logging errors\n" + ini)
    run = site.cgi(form([("From:", "jo@b.c")] + list(values.items()) + [("Name:", "Jo")]))
    assert run.returncode == 0
    ignored = ["allowed_recipient line ignored, not one address or @domain {%s}" % line for line in extra
               if line.startswith("allowed_recipient ") and line[len("allowed_recipient "):] in BAD_VALUES]
    if isinstance(outcome, list):
        assert SUCCESS_TEXT in run.page, error_lines(site)
        assert server.command_lines() == envelope_commands("jo@b.c", *outcome)
        assert error_lines(site) == ignored
    else:
        # Refused before any connection, with one error line naming it.
        assert FAILURE_TEXT in run.page
        assert server.sessions == 0 and server.received == []
        assert error_lines(site) == ignored + ["email not sent: the %s recipient {%s} came from the form and no "
                                               "allowed_recipient line allows it" % outcome]
