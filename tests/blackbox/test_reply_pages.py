"""The reply a web server gets after a form POST: the two HTTP header lines,
then the configured success or failure page with its "||name||" tokens
replaced (HTML-escaped) and the link line, or the built-in page with its
reason when the page cannot be used."""

import errno
import os

import pytest

from smtp_script import ScriptedSmtpServer

HTTP_HEADER = "Pragma: no-cache\nContent-type: text/html\n\n"
HINT = "The setting is not a web address setting, it is a local file name setting.\n"
# The start of the link line, enough to find it in a page.
LINK_START = "<p><small>This form was handled by "

# A message that passes validation; the tests add the smtp line.
MESSAGE_LINES = [
    "headerline To: owner@example.org",
    "headerline From: form@example.org",
    "headerline Subject: reply page test",
]


@pytest.fixture
def mail_server():
    server = ScriptedSmtpServer().start()
    yield server
    server.stop()


def reason(code):
    return "(%d)(%s)" % (code, os.strerror(code))


# ---- the header lines ----


@pytest.mark.parametrize("page_lines", [[], ["failure_html_page missing.html"], ["failure_html_page page.html"]])
def test_every_reply_starts_with_the_two_header_lines(site, page_lines):
    site.write_file("page.html", "<html><body>sorry</body></html>\n")
    site.write_ini(page_lines)
    run = site.cgi("Name=Jo")
    assert run.returncode == 0
    assert run.text.startswith(HTTP_HEADER)
    assert "Status:" not in run.headers


# ---- built-in pages ----


def test_failure_without_a_page_setting_gives_the_built_in_page(site):
    site.write_ini(["logging errors"])
    run = site.cgi("Name=Jo")
    assert run.page == (
        "<HTML><BODY>\nemail NOT sent.\n"
        '"failure_html_page" message file is not set in quillet ini file.</BODY></HTML>\n'
    )
    assert '"failure_html_page" message file is not set in quillet ini file.' in site.log_messages()


def test_a_missing_page_file_gives_its_reason_on_the_page_and_in_the_log(site):
    site.write_ini(["failure_html_page x.html"])
    run = site.cgi("")
    message = '"failure_html_page" message file (x.html) is not readable for the reason %s.' % reason(errno.ENOENT)
    assert run.page == "<HTML><BODY>\nemail NOT sent.\n" + message + "</BODY></HTML>\n"
    assert message in site.log_messages()


@pytest.mark.parametrize(
    "setting, hint",
    [
        ("http://www.example.org/sorry.html", True),
        ("https://www.example.org/sorry.html", True),
        ("HTTP://WWW.EXAMPLE.ORG/SORRY.HTML", False),
        ("sorry.html", False),
    ],
)
def test_a_web_address_setting_gets_the_hint(site, setting, hint):
    site.write_ini(["failure_html_page " + setting])
    run = site.cgi("")
    assert run.page.startswith("<HTML><BODY>\nemail NOT sent.\n")
    assert run.page.endswith("</BODY></HTML>\n")
    assert (HINT in run.page) == hint


def test_a_page_the_web_server_account_cannot_read(site):
    site.write_file("sorry.html", "<html><body>secret</body></html>\n", mode=0o600)
    site.write_file("quillet.log", "", mode=0o666)  # so that "nobody" can log
    site.write_ini(["failure_html_page " + site.path("sorry.html")])
    run = site.cgi("", user="nobody")
    assert run.returncode == 0
    message = '"failure_html_page" message file (%s) is not readable for the reason %s.' % (
        site.path("sorry.html"),
        reason(errno.EACCES),
    )
    assert run.page == "<HTML><BODY>\nemail NOT sent.\n" + message + "</BODY></HTML>\n"
    assert message in site.log_messages()


def test_a_directory_as_page_gets_the_built_in_page_not_a_blank_one(site):
    os.mkdir(site.path("pages"))
    site.write_ini(["failure_html_page pages"])
    run = site.cgi("")
    message = '"failure_html_page" message file (pages) is not readable for the reason %s.' % reason(errno.EISDIR)
    assert run.page == "<HTML><BODY>\nemail NOT sent.\n" + message + "</BODY></HTML>\n"
    assert message in site.log_messages()


# ---- the page file ----


def test_an_empty_page_file_gives_the_header_lines_only(site):
    site.write_file("sorry.html", "")
    site.write_ini(["failure_html_page sorry.html"])
    run = site.cgi("Name=Jo")
    assert run.text == HTTP_HEADER


def test_tokens_echo_the_submitted_values_escaped(site):
    site.write_file(
        "sorry.html",
        "<html><body>\n"
        "<p>Sorry ||Name||, your note (||Note||) was not sent.</p>\n"
        "<input value=\"||Name||\">||missing||\n"
        "Total: ||sum\n"
        "</body>\n",
    )
    site.write_ini(["failure_html_page sorry.html", "add_orlund_link false"])
    body = "Name=%3Cscript%3Ealert(%27x%27)%3C%2Fscript%3E&Note=a%7C%7CName%7C%7Cb+%22%26%22"
    run = site.cgi(body)
    assert run.page == (
        "<html><body>\n"
        "<p>Sorry &lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;, your note (a||Name||b &quot;&amp;&quot;) was not sent.</p>\n"
        '<input value="&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;">\n'
        "token not terminated {Total: ||sum\n}"
        "</body>\n"
    )
    assert "<script>" not in run.text


def test_a_pages_own_script_is_never_cut_into_tokens(site):
    # A field named ' "/" ' once turned the two "||" operators into a token
    # and its value into script of the site's own origin.
    script = '<script>var back = document.referrer || "/" || "/";</script>\n'
    site.write_file("sorry.html", script + "<p>Sorry ||Name||.</p>\n")
    site.write_ini(["failure_html_page sorry.html", "add_orlund_link false"])
    run = site.cgi("+%22%2F%22+=%3Bdocument.title%3Ddocument.domain%3B%2F%2F&Name=Jo")
    assert run.page == script + "<p>Sorry Jo.</p>\n"


def test_the_link_line_stands_before_the_closing_tag(site):
    site.write_file("sorry.html", "<html><body>\nSorry.\n</body></html>\n")
    site.write_ini(["failure_html_page sorry.html"])
    page = site.cgi("").page
    before, link_and_rest = page.split(LINK_START, 1)
    assert before == "<html><body>\nSorry.\n</body>"
    link, rest = link_and_rest.split("\n", 1)
    assert rest == "</html>\n"
    assert 'href="https://' in link
    assert page.count(LINK_START) == 1


@pytest.mark.parametrize("line", ["add_orlund_link false", "add_orlund_link False", "add_orlund_link false "])
def test_only_the_exact_switch_removes_the_link_line(site, line):
    site.write_file("sorry.html", "<html><body>Sorry.</body></HTML>\n")
    site.write_ini(["failure_html_page sorry.html", line])
    page = site.cgi("").page
    if line == "add_orlund_link false":
        assert page == "<html><body>Sorry.</body></HTML>\n"
    else:
        assert page.startswith("<html><body>Sorry.</body>" + LINK_START)
        assert page.endswith("</HTML>\n")


# ---- the success variant ----


def test_a_delivered_message_gets_the_success_page(site, mail_server):
    site.write_file("thanks.html", "<html><body>Thank you ||Name||!</body></html>\n")
    site.write_file("sorry.html", "<html><body>Sorry.</body></html>\n")
    site.write_ini(
        ["smtp " + mail_server.address, "success_html_page thanks.html", "failure_html_page sorry.html"]
        + MESSAGE_LINES
    )
    run = site.cgi("Name=Jo+%26+Co")
    assert run.returncode == 0
    assert run.page.startswith("<html><body>Thank you Jo &amp; Co!</body>" + LINK_START)
    assert "Sorry." not in run.page
    assert "sending success reply message." in site.log_messages()


def test_a_refused_message_gets_the_failure_page(site):
    server = ScriptedSmtpServer(rcpt="550 5.1.1 <owner@example.org>: Recipient address rejected").start()
    try:
        site.write_file("thanks.html", "<html><body>Thank you.</body></html>\n")
        site.write_file("sorry.html", "<html><body>Sorry ||Name||.</body></html>\n")
        site.write_ini(
            ["smtp " + server.address, "success_html_page thanks.html", "failure_html_page sorry.html"]
            + MESSAGE_LINES
        )
        run = site.cgi("Name=Jo")
    finally:
        server.stop()
    assert run.returncode == 0
    assert run.page.startswith("<html><body>Sorry Jo.</body>" + LINK_START)
    assert "sending failure reply message." in site.log_messages()
