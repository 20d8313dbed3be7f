"""The -FAQ page: its frame, its linked index, its markup, and whether what it
tells a site owner holds for the program it comes with."""

import html
import os
import re
from html.parser import HTMLParser

import pytest

from smtp_script import ScriptedSmtpServer

HEAD = "<HTML>\n<HEAD></HEAD>\n<BODY>\n<H2>QUILLET FAQ</H2><BR><UL>"
TAIL = "</BODY>\n</HTML>\n"
# The shape the page documents for its table of questions and answers.
TABLE_LINES = 302
ENTRIES = 29
PRE_BLOCKS = 10
LONGEST_LINE = 208
# Every tag the page may hold; anything else is text that escaped escaping.
PAGE_TAGS = {"html", "head", "body", "h2", "br", "ul", "li", "a", "h3", "b", "pre"}


class FaqParser(HTMLParser):
    """Collects the tags, the anchors and the text of each <pre> block."""

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.tags = set()
        self.hrefs = []
        self.names = []
        self.blocks = []
        self.in_pre = False

    def handle_starttag(self, tag, attrs):
        self.tags.add(tag)
        attributes = dict(attrs)
        if tag == "a" and "href" in attributes:
            self.hrefs.append(attributes["href"])
        if tag == "a" and "name" in attributes:
            self.names.append(attributes["name"])
        if tag == "pre":
            self.in_pre = True
            self.blocks.append("")

    def handle_endtag(self, tag):
        self.tags.add(tag)
        if tag == "pre":
            self.in_pre = False

    def handle_data(self, data):
        if self.in_pre:
            self.blocks[-1] += data


@pytest.fixture
def faq(site):
    run = site.run("-FAQ")
    assert run.returncode == 0
    assert run.stderr == b""
    return run.text


@pytest.fixture
def parsed(faq):
    parser = FaqParser()
    parser.feed(faq)
    parser.close()
    return parser


def block_starting(parsed, first_line):
    for block in parsed.blocks:
        if block.lstrip("\n").startswith(first_line):
            return block.strip("\n")
    raise AssertionError("no block begins with %r" % first_line)


# ---- frame and index ----


def test_the_page_has_its_frame_and_no_http_header(site, faq):
    assert faq.startswith(HEAD + '<li><A HREF="#Q1">Q 1 </A>\n')
    assert faq.endswith(TAIL)
    assert "Content-type" not in faq
    assert faq.count("</UL><BR>") == 1
    assert not os.path.exists(site.log_path), "-FAQ writes no log line"


def test_every_index_item_links_to_its_answer(parsed):
    assert parsed.hrefs == ["#Q%d" % n for n in range(1, ENTRIES + 1)]
    assert parsed.names == ["Q%d" % n for n in range(1, ENTRIES + 1)]


def test_each_answer_follows_its_question(faq):
    answers = faq.split("</UL><BR>", 1)[1]
    headings = re.findall(r'<BR><H3><a name="Q(\d+)">Q (\d+) </a>\n', answers)
    numbers = re.findall(r"</H3><B>A (\d+) - </B>\n", answers)
    assert [int(a) for a, b in headings if a == b] == list(range(1, ENTRIES + 1))
    assert [int(n) for n in numbers] == list(range(1, ENTRIES + 1))


def test_only_the_page_markup_is_markup(parsed):
    # Answers are escaped, and questions and <pre> blocks hold entities
    # only, so no text of the table can have become a tag.
    assert parsed.tags <= PAGE_TAGS, parsed.tags - PAGE_TAGS
    assert len(parsed.blocks) == PRE_BLOCKS


def test_no_line_of_the_page_is_overlong(faq):
    # Escaping may lengthen an answer line, a formatted heading stays short.
    for line in faq.split("\n"):
        assert len(html.unescape(line)) <= LONGEST_LINE + len('<BR><H3><a name="Q29">Q 29 </a>'), line


def test_the_answers_are_the_table_line_by_line_with_paragraph_breaks(faq):
    # The answer section writes every table line, tags included, as one page
    # line, and empty lines stay empty: between the paragraphs of an answer,
    # and at the table's end.
    section = faq.split("</UL><BR>", 1)[1]
    assert section.endswith("\n" + TAIL)
    lines = section[: -len(TAIL)].split("\n")[:-1]
    assert len(lines) == TABLE_LINES
    assert lines[-1] == "", "the table ends with empty lines"
    # An empty line followed by more of the same answer, not by the next question.
    breaks = [n for n in range(len(lines) - 1) if not lines[n] and lines[n + 1] and "<H3>" not in lines[n + 1]]
    assert breaks, "no answer is broken into paragraphs"


# ---- what it says holds ----


def test_the_messages_it_quotes_are_the_programs_own(site, faq):
    program = open(site.program, "rb").read()
    text = html.unescape(faq)
    quoted = [
        "The ini file could not be opened.",
        "FORM DATA SIZE != CONTENT_LENGTH",
        "email not sent due to From, or To, or Subject headers not being present or valid.",
        "did not respond.",
        "Connection Refused",
        "Timedout",
        "Network Unreachable",
        "Host Unreachable",
        "The virtual circuit was reset by the remote side.",
        "Socket Unkown error code",
        "Socket Error, could not write.",
        "TCPdoread failed",
        "SMTP server did not answer",
        "to the SMTP server",
        "SMTP server refused",
        "Email not sent.",
        "email sent! (1)",
        "token not terminated {",
        "The setting is not a web address setting, it is a local file name setting.",
        "message file is not set in quillet ini file.",
        "is not readable for the reason",
        "This is the log file for quillet",
        "too many header lines in ini file, line dropped",
        "All variables from the submitted form:",
        "X-QUILLET: sent by web form submition activated CGI program.",
        "no email address in this line (",
        "line used from ini file {",
        "sending success reply message.",
        "generated headers {",
    ]
    for message in quoted:
        assert message in text, "the FAQ no longer mentions %r" % message
        assert message.encode() in program, "the FAQ quotes %r, which the program never writes" % message


def test_its_example_ini_file_and_form_deliver_a_message(site):
    faq = site.run("-FAQ").text
    parser = FaqParser()
    parser.feed(faq)
    ini = block_starting(parser, "smtp 127.0.0.1").split("\n")
    form = block_starting(parser, '<form method="post"')
    names = re.findall(r'name="([^"]+)"', form)
    assert names == ["Name", "Email", "Message"]

    server = ScriptedSmtpServer().start()
    try:
        site.write_file("thanks.html", "<html><body>Thanks ||Name||.</body></html>\n")
        site.write_file("sorry.html", "<html><body>Sorry.</body></html>\n")
        lines = []
        for line in ini:
            if line.startswith("smtp "):
                line = "smtp " + server.address
            elif line.startswith("success_html_page "):
                line = "success_html_page " + site.path("thanks.html")
            elif line.startswith("failure_html_page "):
                line = "failure_html_page " + site.path("sorry.html")
            lines.append(line)
        site.write_ini(lines)
        run = site.cgi("Name=Jo&Email=jo%40example.net&Message=Hello+there")
    finally:
        server.stop()

    assert run.page.startswith("<html><body>Thanks Jo.</body>")
    commands = [command for _, command in server.commands]
    assert "MAIL FROM:<webform@example.org>" in commands
    assert "RCPT TO:<owner@example.org>" in commands
    assert len(server.messages) == 1
    message = server.messages[0].decode("latin-1")
    for line in (" Name Jo", " Email jo@example.net", " Message Hello there", "Subject: Message from the contact form"):
        assert line in message


def test_its_reply_page_example_echoes_the_fields(site):
    parser = FaqParser()
    parser.feed(site.run("-FAQ").text)
    example = block_starting(parser, "<p>Thank you, ||Name||.")
    site.write_file("sorry.html", example + "\n")
    site.write_ini(["failure_html_page sorry.html"])
    run = site.cgi("Name=Jo&Email=jo%40example.net")
    assert run.page == "<p>Thank you, Jo. We will answer you at jo@example.net.</p>\n"
