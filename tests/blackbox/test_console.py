"""The program started by hand from a console: the banner, -blanklog, the
release rename, the help text and the demonstration ini file."""

import errno
import os

import pytest

HELP_TEXT = (
    "\nQUILLET - https://quillet.example.org/\n"
    "This program sends emails based upon the ini files and information submitted\n"
    " through standard HTTP post format (this is a cgi executable).\n\n"
    "Ini variable names are:\n"
    '"smtp"   - use once to specify smtp server.\n'
    '"logging"  - use once to specify logging (debug/errors)\n'
    '"sendall"  - use once to send all variables in the body (true/false).\n'
    '"success_html_page" - file to output if successful send of email.\n'
    '"failure_html_page" - file to output if failure to send email.\n'
    '"headerline" - static header entry e.g. "headerline Subject: email"\n'
    '"use_submitted_variable_for_headerline" - dynamic header entry e.g.\n'
    '   If submitted variable "Subject:" is set to "email", then\n'
    '   "use_submitted_variable_for_headerline Subject:" outputs "Subject: email" \n'
    '"bodycontent_line" - static body line e.g. "bodycontent_line Users details:"\n'
    '"use_submitted_variable_for_bodycontent" - dynamic body line entry e.g.\n'
    '   If submitted variable "Name:" is set to "Joe Bloggs", then\n'
    '   "use_submitted_variable_for_bodycontent Name:" outputs "Name: Joe Bloggs" \n'
    "Variables are outputed in the order that they are in, in the ini file.\n\n"
    "Headers that must be defined are: 'To:', 'From:' and 'Subject:'.\n"
    "The email address in the 'From:' header will be the bounce email address.\n"
    "The email address in the 'To:' header will be the recipient.\n\n"
)
CGI_ENVIRONMENT = {"GATEWAY_INTERFACE": "CGI/1.1", "REQUEST_METHOD": "GET"}
PROMPT = "Would you like me to generate a demo ini file for you?[y/n]"
DEMO_INI = (
    "smtp 127.0.0.1\n"
    "logging errors\n"
    "sendall false\n"
    "hello_method HELO\n"
    "success_html_page /html/success.html\n"
    "failure_html_page /html/failure.html\n\n"
    'headerline To: "Me" <webmaster@example.com>\n'
    'headerline From: "Me" <webmaster@example.com>\n'
    "headerline Subject: Form Submission Data\n"
    "use_submitted_variable_for_headerline Status:\n"
    "bodycontent_line Here are the details that they submitted:\n"
    "use_submitted_variable_for_bodycontent Name:\n"
    "use_submitted_variable_for_bodycontent Email:\n"
    "use_submitted_variable_for_bodycontent Interests:\n"
)


# ---- the banner ----


def test_version_and_question_mark_print_one_banner_and_log_nothing(site):
    version = site.run("-version")
    question = site.run("-?")
    assert version.returncode == 0 and question.returncode == 0
    assert version.stdout == question.stdout
    assert "quillet" in version.text and "1.0w" in version.text
    assert not os.path.exists(site.log_path)


@pytest.mark.parametrize("args", [["-VERSION"], ["-faq"], ["-version", "extra"], ["-blanklog", "x"], ["help"]])
def test_unrecognised_commands_print_the_help(site, args):
    site.write_ini("smtp 127.0.0.1\n")
    run = site.run(*args)
    assert run.returncode == 0
    assert run.text == HELP_TEXT, "an existing ini file: no question is asked"
    assert site.log_messages()[-2:] == ["printing help info.", "ending."]
    assert site.read_file("quillet.ini") == b"smtp 127.0.0.1\n"


# ---- -blanklog ----


def test_blanklog_leaves_only_the_first_line(site):
    site.write_file("quillet.log", "old line 1\nold line 2\n")
    run = site.run("-blanklog")
    assert run.returncode == 0
    assert run.stdout == b""
    assert site.log_text() == "This is the log file for quillet\n"


def test_blanklog_that_cannot_open_the_log(site):
    os.mkdir(site.log_path)  # a directory where the log should be
    run = site.run("-blanklog")
    assert run.returncode == 3
    assert run.text == "cant open %s for output 21 Is a directory\n" % site.log_path
    assert os.path.isdir(site.log_path)


def test_blanklog_that_cannot_finish_writing(site):
    os.symlink("/dev/full", site.log_path)
    run = site.run("-blanklog")
    assert run.returncode == 3
    assert run.text in (
        "cant close %s for output 28 No space left on device\n" % site.log_path,
        "cant write to %s for output 28 No space left on device\n" % site.log_path,
    )


def test_blanklog_as_an_account_without_write_permission(site):
    site.write_file("quillet.log", "kept\n", mode=0o644)
    run = site.run("-blanklog", user="nobody")
    assert run.returncode == 3
    assert run.text == "cant open %s for output 13 Permission denied\n" % site.log_path
    assert site.log_text() == "kept\n", "the old log file is left as it was"


# ---- the release rename ----

RENAME_CASES = [
    (["quillet.zip"], "quillet10w.zip"),
    (["quillet.zip", "-os", "nt"], "quillet10w_nt.zip"),
    (["quillet.zip", "-os", "nt", "-chip", "x86"], "quillet10w_x86-nt.zip"),
    (["quillet.zip", "-os", "-chip", "-chip", "x86"], "quillet10w_x86.zip"),
    (["quillet_setup.exe", "-os", "nt"], "quillet10w_nt_setup.exe"),
    (["quillet.zip", "-chip", "x86", "-os", "nt"], "quillet10w.zip"),
    (["quillet.zip", "-os"], "quillet10w.zip"),
    (["quillet"], "quillet10w"),
]


@pytest.mark.parametrize("args,new_name", RENAME_CASES)
def test_release_rename(site, args, new_name):
    os.mkdir(site.path("dist"))
    target = os.path.join(site.directory, "dist", args[0])
    with open(target, "w") as handle:
        handle.write("release")
    run = site.run("-version_insert_filename", *args, argv0="C:\\build\\quillet.exe", cwd=site.path("dist"))
    assert run.returncode == 0, run.text
    assert run.text == "renamed  %s  ->  %s\n" % (args[0], new_name)
    assert os.listdir(site.path("dist")) == [new_name]
    assert not os.path.exists(site.log_path), "the command writes no log line"


def test_release_rename_as_started_without_directory_or_extension(site):
    site.write_file("quillet.zip", "release")
    run = site.run("-version_insert_filename", "quillet.zip", argv0="quillet")
    assert run.returncode == 0
    assert os.path.exists(site.path("quillet10w.zip"))


@pytest.mark.parametrize(
    "target,message",
    [
        ("other.zip", "I dont want to rename that file (other.zip)(10w)(quillet)(quillet10wip)\n"),
        ("dist\\quillet.zip", "I dont want to rename that file (dist\\quillet.zip)(10w)(quillet)(quillet10willet.zip)\n"),
    ],
)
def test_release_rename_refuses_other_files(site, target, message):
    site.write_file(target, "x")
    run = site.run("-version_insert_filename", target, argv0="C:\\build\\quillet.exe")
    assert run.returncode == 3
    assert run.text == message
    assert os.path.exists(site.path(target))


def test_release_rename_without_a_target_refuses(site):
    run = site.run("-version_insert_filename", argv0="C:\\build\\quillet.exe")
    assert run.returncode == 3
    assert run.text == "I dont want to rename that file ((null))(10w)(quillet)(quillet10w)\n"


def test_release_rename_never_replaces_an_existing_file(site):
    site.write_file("quillet.zip", "new release")
    site.write_file("quillet10w.zip", "published release")
    run = site.run("-version_insert_filename", "quillet.zip")
    assert run.returncode == 3
    assert run.text == "rename failed. quillet.zip  -> quillet10w.zip  17:File exists\n"
    assert site.read_file("quillet10w.zip") == b"published release"
    assert site.read_file("quillet.zip") == b"new release"


def test_release_rename_twice_fails_the_second_time(site):
    site.write_file("quillet.zip", "release")
    assert site.run("-version_insert_filename", "quillet.zip").returncode == 0
    again = site.run("-version_insert_filename", "quillet.zip")
    assert again.returncode == 3
    assert again.text == "rename failed. quillet.zip  -> quillet10w.zip  2:No such file or directory\n"
    assert site.read_file("quillet10w.zip") == b"release"



# ---- a web server's run ignores the command line ----


@pytest.mark.parametrize(
    "args",
    [["-blanklog"], ["-version_insert_filename", "quillet.ini"], ["-FAQ"], ["-version"], ["help"], ["-?", "y"]],
)
def test_cgi_run_ignores_its_arguments(site, args):
    # A query string without "=" reaches the program as arguments (RFC 3875
    # 4.4): a visitor's words, never a console command.
    site.write_ini(["smtp 127.0.0.1:1", "logging errors"])
    site.write_file("quillet.log", "earlier lines\n")
    run = site.run(*args, stdin=b"y\n", env=CGI_ENVIRONMENT)
    assert run.returncode == 0
    assert run.text.startswith("Pragma: no-cache\nContent-type: text/html\n\n<HTML><BODY>\nemail NOT sent.")
    assert os.path.exists(site.ini_path) and not os.path.exists(site.path("quillet10w.ini"))
    assert site.read_file("quillet.log").startswith(b"earlier lines\n")
    assert "email not sent due to From" in site.log_text()


def test_cgi_run_without_ini_file_writes_no_demonstration_file(site):
    run = site.run("help", stdin=b"y\n", env=CGI_ENVIRONMENT)
    assert run.returncode == 1
    assert "error: The ini file could not be opened.." in run.page
    assert PROMPT not in run.text and not os.path.exists(site.ini_path)


# ---- help and the demonstration ini file ----


def test_no_arguments_logs_the_three_names_and_goes_on(site):
    site.write_ini("")
    site.cgi(b"")
    messages = site.log_messages()
    assert messages[:4] == [
        "starting version 1.0w",
        "argv[0] == " + site.program,
        "Log file == " + site.log_path,
        "Ini file == " + site.ini_path,
    ]


@pytest.mark.parametrize("answer", ["Y\n", "y\n", "yes\r\n", "Yes"])
def test_demo_ini_file_written_on_yes(site, answer):
    run = site.run("help", stdin=answer)
    assert run.returncode == 0
    assert run.text == HELP_TEXT + PROMPT + "ini file is (%s).\n\n" % site.ini_path
    assert site.read_file("quillet.ini").decode() == DEMO_INI
    assert site.log_messages()[-4:] == [
        "printing help info.",
        "detected no ini file.",
        "writing demo ini file.",
        "ending.",
    ]


@pytest.mark.parametrize("answer", ["n\n", "\n", "", "ok\n", " y\n", "\r\n"])
def test_demo_ini_file_not_written_otherwise(site, answer):
    run = site.run("help", stdin=answer)
    assert run.returncode == 0
    assert run.text == HELP_TEXT + PROMPT
    assert not os.path.exists(site.ini_path)
    assert site.log_messages()[-1] == "ending."


def test_demo_ini_file_that_cannot_be_created(site):
    os.symlink("/nonexistent/folder/quillet.ini", site.ini_path)
    run = site.run("help", stdin="y\n")
    assert run.returncode == 0
    assert run.text == HELP_TEXT + PROMPT + "ini file is (%s).\n\n" % site.ini_path + (
        "Oh, I cant do that, (2)(No such file or directory)."
    )
    assert "could not write demo ini file." in site.log_messages()


# Runs the program (its path and arguments follow) with files limited to
# LIMIT bytes and SIGXFSZ ignored, so that a write past the limit fails.
SIZE_LIMITED = [
    "/usr/bin/python3", "-c",
    "import os, resource, signal, sys\n"
    "signal.signal(signal.SIGXFSZ, signal.SIG_IGN)\n"
    "resource.setrlimit(resource.RLIMIT_FSIZE, (int(sys.argv[1]), int(sys.argv[1])))\n"
    "os.execv(sys.argv[2], sys.argv[2:])\n",
]


def test_demo_ini_file_that_cannot_be_written_whole_is_removed(site):
    run = site.run("help", stdin="y\n", wrapper=SIZE_LIMITED + ["64"])
    assert run.returncode == 0
    assert run.text == HELP_TEXT + PROMPT + "ini file is (%s).\n\n" % site.ini_path + (
        "Oh, I cant do that, (%d)(File too large)." % errno.EFBIG
    )
    assert not os.path.exists(site.ini_path), "no half configuration is left"


def test_unreadable_ini_file_gets_no_offer(site):
    site.write_file("quillet.ini", "smtp 127.0.0.1\n", mode=0o600)
    site.write_file("quillet.log", "", mode=0o666)
    run = site.run("help", stdin="y\n", user="nobody")
    assert run.returncode == 0
    assert run.text == HELP_TEXT
    assert site.log_messages()[-2:] == ["detected no ini file.", "ending."]
    assert site.read_file("quillet.ini") == b"smtp 127.0.0.1\n"


def test_help_with_its_files_in_a_missing_directory(site):
    run = site.run("help", stdin="n\n", argv0="/nonexistent/folder/quillet")
    assert run.returncode == 0
    assert run.text == HELP_TEXT + PROMPT
    assert not os.path.exists("/nonexistent/folder")
