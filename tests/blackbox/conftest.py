"""The black-box harness: the built program in a scratch directory, run as a
web server or a person at a console would run it.

A test asks for the `site` fixture, writes the ini file and whatever pages it
needs, and calls `site.run(...)` (console) or `site.cgi(body)` (a form POST).
Each run returns a `Run` with the exit status, standard output and error.
The log file beside the program is read with `site.log_messages()`.
"""

import os
import pwd
import re
import shutil
import stat
import subprocess
import tempfile

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
PROJECT = os.path.dirname(os.path.dirname(HERE))
BINARY = os.environ.get("QUILLET_BINARY") or os.path.join(PROJECT, "build", "quillet")

# One log line: "<day><suffix> <Month> <year>, <hour>:<mm>:<ss> <am|pm> - pid(<n>) - <message>"
LOG_LINE = re.compile(
    r"^(\d{1,2})(st|nd|rd|th) (January|February|March|April|May|June|July|August|"
    r"September|October|November|December) (\d{4}),  ?(\d{1,2}):(\d\d):(\d\d) (am|pm)"
    r" - pid\((\d+)\) - (.*)$"
)

SANITIZER_MARKS = ("Sanitizer", "runtime error:", "LeakSanitizer")


class Run:
    """What one run of the program left: status, standard output, error."""

    def __init__(self, returncode, stdout, stderr):
        self.returncode = returncode
        self.stdout = stdout  # bytes
        self.stderr = stderr  # bytes

    @property
    def text(self):
        return self.stdout.decode("latin-1")

    @property
    def headers(self):
        """The HTTP header block of a CGI reply (up to the empty line)."""
        head, _, _ = self.text.partition("\n\n")
        return head + "\n\n"

    @property
    def page(self):
        """The HTTP reply's body: everything after the empty line."""
        _, sep, body = self.text.partition("\n\n")
        assert sep, "no HTTP header block in %r" % self.text[:200]
        return body


class Site:
    """A scratch directory holding a copy of the program, as a web server's
    cgi-bin would hold it, with its ini, log and page files beside it."""

    def __init__(self, directory, name="quillet"):
        self.directory = directory
        self.name = name
        self.program = os.path.join(directory, name)
        shutil.copy2(BINARY, self.program)
        base = name
        for suffix in (".exe", ".cgi"):
            if suffix in base:
                base = base[: base.index(suffix)]
        self.ini_path = os.path.join(directory, base + ".ini")
        self.log_path = os.path.join(directory, base + ".log")

    def path(self, name):
        return os.path.join(self.directory, name)

    def write_file(self, name, content, mode=None):
        path = self.path(name)
        data = content.encode("latin-1") if isinstance(content, str) else content
        with open(path, "wb") as handle:
            handle.write(data)
        if mode is not None:
            os.chmod(path, mode)
        return path

    def read_file(self, name):
        with open(self.path(name), "rb") as handle:
            return handle.read()

    def write_ini(self, lines, line_end="\n"):
        """The ini file from a list of lines (or one text, written as it is)."""
        text = lines if isinstance(lines, (str, bytes)) else "".join(l + line_end for l in lines)
        self.write_file(os.path.basename(self.ini_path), text)

    def log_text(self):
        try:
            with open(self.log_path, "rb") as handle:
                return handle.read().decode("latin-1")
        except FileNotFoundError:
            return ""

    def log_lines(self):
        return self.log_text().splitlines()

    def log_messages(self):
        """Each stamped line's message; a bare line (the fatal page's) as it is."""
        messages = []
        for line in self.log_lines():
            match = LOG_LINE.match(line)
            messages.append(match.group(10) if match else line)
        return messages

    def run(self, *args, stdin=b"", env=None, argv0=None, timeout=60, user=None, cwd=None, wrapper=None):
        """Runs the program with `args`; argv[0] is the program's full path
        unless `argv0` says otherwise. `user` runs it as that account, as a
        web server runs CGI programs. `wrapper` is a command that gets the
        program's path and `args` after its own arguments and runs it."""
        environment = {"PATH": "/usr/bin:/bin"}
        for key in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TZ"):
            if key in os.environ:
                environment[key] = os.environ[key]
        if env:
            environment.update(env)
        preexec = None
        if user is not None:
            account = pwd.getpwnam(user)

            def preexec():
                os.setgroups([])
                os.setgid(account.pw_gid)
                os.setuid(account.pw_uid)

        data = stdin.encode("latin-1") if isinstance(stdin, str) else stdin
        command = [argv0 if argv0 is not None else self.program] + list(args)
        completed = subprocess.run(
            list(wrapper or []) + command,
            executable=None if wrapper else self.program,
            input=data,
            capture_output=True,
            env=environment,
            cwd=cwd or self.directory,
            timeout=timeout,
            preexec_fn=preexec,
        )
        errors = completed.stderr.decode("latin-1")
        for mark in SANITIZER_MARKS:
            assert mark not in errors, "sanitizer report:\n" + errors
        return Run(completed.returncode, completed.stdout, completed.stderr)

    def cgi(self, body=b"", content_length=None, env=None, **kwargs):
        """A form POST as a web server hands it over: CONTENT_LENGTH (the
        body's length unless given) and the body on standard input."""
        data = body.encode("latin-1") if isinstance(body, str) else body
        environment = {
            "GATEWAY_INTERFACE": "CGI/1.1",
            "REQUEST_METHOD": "POST",
            "CONTENT_TYPE": "application/x-www-form-urlencoded",
            "SERVER_PROTOCOL": "HTTP/1.1",
            "SCRIPT_NAME": "/cgi-bin/" + self.name,
        }
        if content_length is None:
            environment["CONTENT_LENGTH"] = str(len(data))
        elif content_length is not False:
            environment["CONTENT_LENGTH"] = str(content_length)
        if env:
            environment.update(env)
        return self.run(stdin=data, env=environment, **kwargs)


def make_scratch_dir():
    """A scratch directory that other accounts (the web server's) can enter."""
    directory = tempfile.mkdtemp(prefix="quillet-bb-")
    os.chmod(directory, stat.S_IRWXU | stat.S_IRGRP | stat.S_IXGRP | stat.S_IROTH | stat.S_IXOTH)
    return directory


@pytest.fixture
def scratch():
    directory = make_scratch_dir()
    yield directory
    shutil.rmtree(directory, ignore_errors=True)


@pytest.fixture
def site(scratch):
    """The program as 'quillet' in a fresh scratch directory."""
    return Site(scratch)


@pytest.fixture
def make_site(scratch):
    """Sites under other program names, each in its own folder of the scratch directory."""

    def make(name="quillet", folder="site"):
        directory = os.path.join(scratch, folder)
        os.makedirs(directory, exist_ok=True)
        os.chmod(directory, 0o755)
        return Site(directory, name)

    return make
