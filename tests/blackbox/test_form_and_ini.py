"""The input side as a web server drives it: CONTENT_LENGTH and the body on
standard input, the ini file beside the program, and what the log shows of
both. Submitted values are watched through the ini file's
use_submitted_variable_for_headerline lines, whose debug line shows the
value that was found."""

import os

import pytest

FORM_BUFFER_SIZE = 100000
MAX_FORM_VARIABLES = 1000
MAX_LINE_ENTRIES = 1000
INI_LINE_SIZE = 63998

FATAL_INI_PAGE = (
    "Pragma: no-cache\nContent-type: text/html\n\n"
    "<HTML><BODY>\nerror: The ini file could not be opened..\n</BODY></HTML>\n"
)


def size_line(got, declared):
    return "FORM DATA SIZE != CONTENT_LENGTH, got(%d), CL(%d)" % (got, declared)


def watch(*names):
    """Ini lines that show the submitted value of each name in the log."""
    return ["use_submitted_variable_for_headerline " + name for name in names]


def shown(name, value):
    return "add_header_line(%s,%s)" % (name, value)


def between(messages, first, last):
    """The log messages after `first` and before `last`."""
    start = messages.index(first)
    return messages[start + 1 : messages.index(last, start)]


# ---- CONTENT_LENGTH ----


def test_no_content_length_reads_nothing_and_logs_nothing(site):
    site.write_ini(watch("a"))
    run = site.cgi("a=1", content_length=False)
    assert run.returncode == 0
    messages = site.log_messages()
    assert between(messages, "getting form info.", "loading config file.") == []
    assert shown("a", "") in messages


@pytest.mark.parametrize(
    "content_length, body, value, error",
    [
        ("", "a=1", "", None),
        ("abc", "a=1", "", None),
        ("0", "a=1", "", None),
        ("3", "a=1", "1", None),
        (" 3", "a=1", "1", None),
        ("3xyz", "a=1", "1", None),
        ("+3", "a=1", "1", None),
        ("2", "a=1", "", None),
        ("10", "a=1&bb", "1", size_line(6, 10)),
        ("-5", "a=1", "", size_line(0, -5)),
        ("4294967299", "a=1", "1", size_line(3, 2147483647)),
    ],
)
def test_content_length_is_read_by_atoi_rules(site, content_length, body, value, error):
    site.write_ini(watch("a"))
    run = site.cgi(body, content_length=content_length)
    assert run.returncode == 0
    messages = site.log_messages()
    expected = [error] if error else []
    assert between(messages, "getting form info.", "loading config file.") == expected
    assert shown("a", value) in messages


def test_a_body_past_the_buffer_is_cut_at_99999_bytes(site):
    body = "x=" + "a" * 149998
    assert len(body) == 150000
    site.write_ini(watch("x"))
    run = site.cgi(body, content_length="150000")
    assert run.returncode == 0
    messages = site.log_messages()
    assert size_line(FORM_BUFFER_SIZE - 1, 150000) in messages
    assert shown("x", "a" * (FORM_BUFFER_SIZE - 3)) in messages


def test_a_body_longer_than_declared_is_read_only_as_far_as_declared(site):
    site.write_ini(watch("a", "b"))
    site.cgi("a=1&b=2", content_length="3")
    messages = site.log_messages()
    assert shown("a", "1") in messages and shown("b", "") in messages
    assert not any(m.startswith("FORM DATA SIZE") for m in messages)


def test_a_nul_byte_ends_the_data(site):
    site.write_ini(watch("a", "b"))
    site.cgi(b"a=12\x003&b=2")
    messages = site.log_messages()
    assert shown("a", "12") in messages and shown("b", "") in messages


# ---- decoding ----


@pytest.mark.parametrize(
    "body, name, value",
    [
        ("name=Joe+Bloggs&town=Z%FCrich", "town", "Z\xfcrich"),
        ("name=Joe+Bloggs&town=Z%FCrich", "name", "Joe Bloggs"),
        ("x=%2541", "x", "A"),
        ("%2541=x", "%41", "x"),
        ("a%3Db=c", "a", "b=c"),
        ("a=b=c", "a", "b=c"),
        ("x=50%25off", "x", "50%OFf"),
        ("x=%zz", "x", "S"),
        ("x=%7e", "x", "~"),
        ("x=%2B+y", "x", "+ y"),
        ("x=a%26b&y=2", "x", "a&b"),
        ("x=a%0Db\rc", "x", "abc"),
        ("x=%", "x", "%"),
        ("x=%4", "x", "%4"),
        ("a=1&a=2", "a", "1"),
        ("Name=lower", "name", ""),
        ("a=1&&=empty", "", ""),
        ("flag", "flag", ""),
    ],
)
def test_values_decode_as_the_form_sent_them(site, body, name, value):
    site.write_ini(watch(name))
    site.cgi(body)
    assert shown(name, value) in site.log_messages()


def test_line_feeds_in_a_value_survive(site):
    site.write_ini(["use_submitted_variable_for_bodycontent x"])
    site.cgi("x=one%0D%0Atwo")
    assert "add_body_variable(x,one\ntwo}" in site.log_text()


def test_a_thousand_pairs_are_kept_and_the_rest_ignored(site):
    body = "&".join("f%d=%d" % (i, i) for i in range(1, MAX_FORM_VARIABLES + 2))
    site.write_ini(watch("f1", "f1000", "f1001"))
    run = site.cgi(body)
    assert run.returncode == 0
    messages = site.log_messages()
    assert shown("f1", "1") in messages
    assert shown("f1000", "1000") in messages
    assert shown("f1001", "") in messages
    assert between(messages, "getting form info.", "loading config file.") == []


def test_over_long_fields_are_kept_whole(site):
    name = "n" * 40000
    value = "v%41" * 14990  # 59960 bytes that decode to 29980
    body = "short=1&" + name + "=" + value
    assert len(body) < FORM_BUFFER_SIZE
    site.write_ini(watch(name, "short"))
    run = site.cgi(body)
    assert run.returncode == 0
    messages = site.log_messages()
    assert shown(name, "vA" * 14990) in messages
    assert shown("short", "1") in messages


# ---- the ini file ----


def test_ini_lines_log_what_they_did(site):
    site.write_ini(
        [
            "smtp 127.0.0.1:1",
            "headerline Subject: Form Submission Data",
            "use_submitted_variable_for_bodycontent Name:",
            "bodycontent_line Thanks",
            "this line is a comment",
            "add_orlund_link true",
            "smtp_timeout 5",
            "smtp_timeout 5x",
        ]
    )
    site.cgi("Name:=Joe")
    messages = between(site.log_messages(), "loading config file.", "generating email.")
    assert messages == [
        "line used from ini file {smtp 127.0.0.1:1}",
        "add_header_line(Subject: Form Submission Data,)",
        "line used from ini file {headerline Subject: Form Submission Data}",
        "add_body_variable(Name:,Joe}",
        "line used from ini file {use_submitted_variable_for_bodycontent Name:}",
        "add_body_variable(Thanks,}",
        "line used from ini file {bodycontent_line Thanks}",
        "line used from ini file {smtp_timeout 5}",
    ]


def test_logging_errors_silences_debug_lines_from_its_own_line_on(site):
    site.write_ini(["smtp 127.0.0.1:1", "logging errors", "headerline Subject: x", "sendall true"])
    run = site.cgi("a=1")
    assert run.returncode == 0
    messages = site.log_messages()
    assert "line used from ini file {smtp 127.0.0.1:1}" in messages
    assert "loading config file." in messages
    after = messages[messages.index("line used from ini file {smtp 127.0.0.1:1}") + 1 :]
    for debug in ("line used from ini file", "add_header_line(", "generating email.", "ended."):
        assert not any(m.startswith(debug) for m in after), (debug, after)


def test_line_ends_of_the_ini_file_make_no_difference(make_site):
    logs = []
    for folder, line_end in (("lf", "\n"), ("crlf", "\r\n")):
        site = make_site(folder=folder)
        site.write_ini(["smtp 127.0.0.1:1", "headerline Subject: x", "use_submitted_variable_for_headerline a"],
                       line_end=line_end)
        site.cgi("a=1")
        logs.append(between(site.log_messages(), "loading config file.", "generating email."))
    assert logs[0] == logs[1]
    assert "add_header_line(a,1)" in logs[0]


def test_the_1001st_header_and_body_lines_are_dropped_with_an_error(site):
    lines = ["logging errors"]
    lines += ["headerline X-%d: x" % i for i in range(1, MAX_LINE_ENTRIES + 2)]
    lines += ["bodycontent_line b%d" % i for i in range(1, MAX_LINE_ENTRIES + 2)]
    site.write_ini(lines)
    run = site.cgi("a=1")
    assert run.returncode == 0
    messages = site.log_messages()
    assert "too many header lines in ini file, line dropped {headerline X-1001: x}" in messages
    assert "too many body lines in ini file, line dropped {bodycontent_line b1001}" in messages
    assert not any("X-1000" in m or "b1000}" in m for m in messages)


def test_an_over_long_ini_line_is_read_in_pieces(site):
    # The line's first INI_LINE_SIZE - 1 characters are one line; the rest,
    # "smtp_timeout 7", is handled as a line of its own.
    first = "bodycontent_line " + "b" * (INI_LINE_SIZE - 1 - len("bodycontent_line "))
    site.write_ini([first + "smtp_timeout 7"])
    site.cgi("a=1")
    messages = site.log_messages()
    assert "line used from ini file {%s}" % first in messages
    assert "line used from ini file {smtp_timeout 7}" in messages


def test_a_missing_ini_file_ends_with_the_fatal_page(site):
    run = site.cgi("a=1")
    assert run.returncode == 1
    assert run.text == FATAL_INI_PAGE
    messages = site.log_messages()
    assert messages[-2:] == ["The ini file could not be opened.", "ended"]
    assert "The ini file could not be opened.\n" in site.log_text().splitlines(keepends=True)


def test_an_unreadable_ini_file_ends_with_the_fatal_page(site):
    site.write_ini(["smtp 127.0.0.1:1"])
    os.chmod(site.ini_path, 0o600)
    os.chmod(site.directory, 0o777)  # the log stays writable for the other account
    run = site.cgi("a=1", user="nobody")
    assert run.returncode == 1
    assert run.text == FATAL_INI_PAGE
    assert "The ini file could not be opened." in site.log_messages()
