"""The black-box harness: the built program in a scratch directory, run as a
web server or a person at a console would run it.

A test asks for the `site` fixture, writes the ini file and whatever pages it
needs, and calls `site.run(...)` (console) or `site.cgi(body)` (a form POST).
Each run returns a `Run` with the exit status, standard output and error.
The log file beside the program is read with `site.log_messages()`.

The Windows build runs the same way under wine: the `wine_site` fixture is a
Site holding build-windows/quillet.exe (or QUILLET_WINDOWS_BINARY), run by
wine64 in a private prefix made once per test session (the `wine` fixture).
Its standard output and log have CR LF line ends.

With the environment variable CI set (scripts/test on CI), a test that would
be skipped fails instead: the test command cannot pass while leaving work out.
"""

import os
import pwd
import re
import shutil
import stat
import subprocess
import tempfile

import pytest

from instances import read_text

HERE = os.path.dirname(os.path.abspath(__file__))
PROJECT = os.path.dirname(os.path.dirname(HERE))
BINARY = os.environ.get("QUILLET_BINARY") or os.path.join(PROJECT, "build", "quillet")
WINDOWS_BINARY = os.environ.get("QUILLET_WINDOWS_BINARY") or os.path.join(PROJECT, "build-windows", "quillet.exe")

# Debian's wine64 package has no command on PATH; the wine package adds one.
WINE_LOADERS = ("/usr/lib/wine/wine64", "wine64", "wine")
WINE_SERVERS = ("/usr/lib/wine/wineserver64", "wineserver64", "wineserver")
WINE_BOOT_SECONDS = 300   # a new prefix: wine's first start is slow
WINE_STOP_SECONDS = 60    # for the wine server to go after `wineserver -k`

# One log line: "<day><suffix> <Month> <year>, <hour>:<mm>:<ss> <am|pm> - pid(<n>) - <message>"
LOG_LINE = re.compile(
    r"^(\d{1,2})(st|nd|rd|th) (January|February|March|April|May|June|July|August|"
    r"September|October|November|December) (\d{4}),  ?(\d{1,2}):(\d\d):(\d\d) (am|pm)"
    r" - pid\((\d+)\) - (.*)$"
)

SANITIZER_MARKS = ("Sanitizer", "runtime error:", "LeakSanitizer")


def ci_is_set():
    """Whether the environment says this is a CI run (CI set, not to a no)."""
    return os.environ.get("CI", "").strip().lower() not in ("", "0", "false", "no")


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    """On CI a skip is a failure: a missing package, account or privilege
    must not let the suite pass without running the test."""
    outcome = yield
    report = outcome.get_result()
    if report.skipped and not hasattr(report, "wasxfail") and ci_is_set():
        reason = report.longrepr[2] if isinstance(report.longrepr, tuple) else str(report.longrepr)
        report.outcome = "failed"
        report.longrepr = "skipped while CI is set, which makes it a failure: %s" % reason


class Run:
    """What one run of the program left: status, standard output, error.
    `line_end` is the line end of its standard output ("\r\n" on Windows)."""

    def __init__(self, returncode, stdout, stderr, line_end="\n"):
        self.returncode = returncode
        self.stdout = stdout  # bytes
        self.stderr = stderr  # bytes
        self.line_end = line_end

    @property
    def text(self):
        return self.stdout.decode("latin-1")

    @property
    def headers(self):
        """The HTTP header block of a CGI reply (up to the empty line)."""
        head, _, _ = self.text.partition(self.line_end * 2)
        return head + self.line_end * 2

    @property
    def page(self):
        """The HTTP reply's body: everything after the empty line."""
        _, sep, body = self.text.partition(self.line_end * 2)
        assert sep, "no HTTP header block in %r" % self.text[:200]
        return body


class Wine:
    """wine64 with a private prefix (WINEPREFIX) and its wine server, kept
    running so that each run starts quickly; see the `wine` fixture."""

    def __init__(self, loader, server, home):
        self.loader = loader
        self.server = server
        self.home = home
        self.prefix = os.path.join(home, "prefix")
        self.server_process = None

    @property
    def environment(self):
        return {
            "HOME": self.home,
            "WINEPREFIX": self.prefix,
            "WINEDEBUG": "-all",
            # No Mono or Gecko installer, no desktop menu entries.
            "WINEDLLOVERRIDES": "mscoree,mshtml=;winemenubuilder.exe=d",
        }

    def start(self):
        os.mkdir(self.prefix, 0o700)
        environment = dict(self.environment, PATH="/usr/bin:/bin")
        # A persistent server in the foreground: its PID is the one to wait
        # for, and the prefix's programs stay loaded between runs.
        self.server_process = subprocess.Popen([self.server, "-f", "-p"], env=environment, cwd=self.home,
                                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                               stderr=subprocess.DEVNULL)
        # The prefix's services outlive wineboot and keep what they inherited
        # open: its output goes to a file, not to a pipe read to its end.
        log = os.path.join(self.home, "wineboot.log")
        with open(log, "wb") as output:
            booted = subprocess.run([self.loader, "wineboot", "-i"], env=environment, cwd=self.home,
                                    stdin=subprocess.DEVNULL, stdout=output, stderr=output,
                                    timeout=WINE_BOOT_SECONDS)
        if booted.returncode != 0 or not os.path.isdir(os.path.join(self.prefix, "drive_c", "windows")):
            with open(log, "rb") as output:
                raise RuntimeError("wineboot failed (%d):\n%s" % (booted.returncode, output.read().decode("latin-1")))

    def stop(self):
        """Ends every program of the prefix, then its server (`wineserver -k`)."""
        if self.server_process is None:
            return
        environment = dict(self.environment, PATH="/usr/bin:/bin")
        subprocess.run([self.server, "-k"], env=environment, cwd=self.home, capture_output=True,
                       timeout=WINE_STOP_SECONDS)
        try:
            self.server_process.wait(timeout=WINE_STOP_SECONDS)
        except subprocess.TimeoutExpired:
            self.server_process.kill()
            self.server_process.wait()
        self.server_process = None


def find_program(candidates):
    for candidate in candidates:
        path = candidate if os.path.isabs(candidate) else shutil.which(candidate)
        if path and os.access(path, os.X_OK):
            return path
    return None


class Site:
    """A scratch directory holding a copy of the program, as a web server's
    cgi-bin would hold it, with its ini, log and page files beside it."""

    def __init__(self, directory, name="quillet", binary=None, wine=None):
        self.directory = directory
        self.name = name
        self.program = os.path.join(directory, name)
        self.wine = wine  # a Wine: the program is a Windows one, run by wine64
        self.line_end = "\r\n" if wine is not None else "\n"
        shutil.copy2(binary or BINARY, self.program)
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
        return read_text(self.log_path)

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
        if self.wine is not None:
            environment.update(self.wine.environment)
        if env:
            environment.update(env)
        if self.wine is not None:
            assert argv0 is None and user is None and wrapper is None, \
                "wine runs the program as this account, by its own name"
            wrapper = [self.wine.loader]
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
        return Run(completed.returncode, completed.stdout, completed.stderr, self.line_end)

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


@pytest.fixture(scope="session")
def wine():
    """wine64 in a private prefix, made once for the session (its first
    start takes a while); every program of the prefix and its server are
    ended, and the prefix removed, when the session ends."""
    loader, server = find_program(WINE_LOADERS), find_program(WINE_SERVERS)
    if loader is None or server is None:
        pytest.skip("wine64 is not installed: run scripts/install-deps")
    home = tempfile.mkdtemp(prefix="quillet-wine-")
    runner = Wine(loader, server, home)
    try:
        runner.start()
        yield runner
    finally:
        runner.stop()
        shutil.rmtree(home, ignore_errors=True)


@pytest.fixture
def wine_site(scratch, wine):
    """The Windows program as 'quillet.exe' in a fresh scratch directory, run by wine."""
    assert os.path.exists(WINDOWS_BINARY), "%s is missing: build the Windows program first" % WINDOWS_BINARY
    return Site(scratch, "quillet.exe", binary=WINDOWS_BINARY, wine=wine)
