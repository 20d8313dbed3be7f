"""lighttpd on loopback running quillet as its CGI program, laid out as a site
owner would install the example contact form.

`deploy_example(directory, binary, ini_text)` lays out a site in `directory`:

    htdocs/form.html             the example form (the document root)
    cgi-bin/quillet              a copy of the built program
    cgi-bin/quillet.ini          `ini_text` (see example_ini())
    cgi-bin/success.html         the example reply pages, which the ini file
    cgi-bin/failure.html           names relative to the CGI's directory
    cgi-bin/quillet.log          empty, writable by the account CGI runs as

`lighttpd_server(site)` starts Debian's lighttpd with a private configuration
in the site's folder: it listens on 127.0.0.1 on a port the system picked
(the listening socket is bound here and handed over the way systemd hands
one over, so no other process can take the port in between), serves
htdocs/, and runs cgi-bin/quillet, and nothing else, as /cgi-bin/quillet.
Started as root it runs CGI programs as www-data, as Debian's lighttpd does,
which is why the log file is handed to that account; otherwise as the
current account. The server is stopped by its PID when the block ends.

Used by test_e2e.py and by scripts/demo.
"""

import contextlib
import os
import pwd
import grp
import shutil
import signal
import socket
import subprocess
import time
import urllib.error
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
PROJECT = os.path.dirname(os.path.dirname(HERE))
EXAMPLES = os.path.join(PROJECT, "examples")

LIGHTTPD = "/usr/sbin/lighttpd"
CGI_ACCOUNT = "www-data"      # Debian's web servers run CGI programs as this account
PROGRAM_NAME = "quillet"
FORM_PATH = "/form.html"
CGI_PATH = "/cgi-bin/" + PROGRAM_NAME

START_SECONDS = 30            # for the first page to be served
STOP_SECONDS = 10             # for lighttpd to go after SIGTERM
LISTEN_BACKLOG = 64
SYSTEMD_FIRST_FD = 3          # where socket activation expects the socket


class WebServerError(Exception):
    """lighttpd could not be configured, started or stopped."""


class Site:
    """The folders and files of one deployed example site."""

    def __init__(self, directory):
        self.directory = directory
        self.htdocs = os.path.join(directory, "htdocs")
        self.cgi_bin = os.path.join(directory, "cgi-bin")
        self.program = os.path.join(self.cgi_bin, PROGRAM_NAME)
        self.ini_path = self.program + ".ini"
        self.log_path = self.program + ".log"

    def write_ini(self, text):
        with open(self.ini_path, "w", encoding="utf-8") as handle:
            handle.write(text)
        os.chmod(self.ini_path, 0o644)

    def log_text(self):
        try:
            with open(self.log_path, "rb") as handle:
                return handle.read().decode("latin-1")
        except FileNotFoundError:
            return ""


def example_ini(smtp, to=None, extra_lines=()):
    """examples/quillet.ini with its `smtp` line set to `smtp` ("host:port"),
    its static To line's address replaced by `to` (when given), and
    `extra_lines` appended. Every other line stays as the example has it."""
    with open(os.path.join(EXAMPLES, "quillet.ini"), encoding="utf-8") as handle:
        lines = handle.read().splitlines()
    result = []
    replaced_smtp = replaced_to = False
    for line in lines:
        if line.startswith("smtp "):
            line, replaced_smtp = "smtp " + smtp, True
        elif to is not None and line.startswith("headerline To: "):
            line, replaced_to = "headerline To: Site Owner <%s>" % to, True
        result.append(line)
    if not replaced_smtp or (to is not None and not replaced_to):
        raise WebServerError("examples/quillet.ini has no smtp line or no static To line")
    result.extend(extra_lines)
    return "\n".join(result) + "\n"


def cgi_account():
    """(uid, gid) CGI programs run as: www-data when we are root, else us."""
    if os.geteuid() != 0:
        return os.geteuid(), os.getegid()
    account = pwd.getpwnam(CGI_ACCOUNT)
    return account.pw_uid, account.pw_gid


def deploy_example(directory, binary, ini_text):
    """Lays out the example site in `directory` (created if missing) and
    returns its Site."""
    site = Site(directory)
    for folder in (directory, site.htdocs, site.cgi_bin):
        os.makedirs(folder, exist_ok=True)
        os.chmod(folder, 0o755)  # the CGI account must pass through and read
    for name, folder in (("form.html", site.htdocs), ("success.html", site.cgi_bin),
                         ("failure.html", site.cgi_bin)):
        shutil.copy(os.path.join(EXAMPLES, name), folder)
        os.chmod(os.path.join(folder, name), 0o644)
    shutil.copy(binary, site.program)
    os.chmod(site.program, 0o755)
    site.write_ini(ini_text)
    # The log file beside the program belongs to the account that runs it;
    # nobody else needs to write there.
    with open(site.log_path, "ab"):
        pass
    uid, gid = cgi_account()
    os.chown(site.log_path, uid, gid)
    os.chmod(site.log_path, 0o640)
    return site


def lighttpd_config(site, port):
    """The private configuration: static files from htdocs/, the one CGI
    program at /cgi-bin/quillet, loopback only, on the socket handed over."""
    lines = [
        'server.modules = ("mod_access", "mod_alias", "mod_cgi", "mod_staticfile")',
        'server.document-root = "%s"' % site.htdocs,
        # The address of the socket handed over: lighttpd takes that socket
        # for it instead of binding one of its own.
        'server.bind = "127.0.0.1"',
        "server.port = %d" % port,
        'server.systemd-socket-activation = "enable"',
        'server.tag = "lighttpd"',
        'index-file.names = ("form.html")',
        'mimetype.assign = (".html" => "text/html; charset=utf-8", ".png" => "image/png",'
        ' ".css" => "text/css; charset=utf-8", "" => "application/octet-stream")',
        # Only the program itself is reachable under /cgi-bin/: its ini
        # file, log and pages beside it are not served.
        'alias.url = ("%s" => "%s")' % (CGI_PATH, site.program),
        '$HTTP["url"] == "%s" { cgi.assign = ("" => "") }' % CGI_PATH,
        'url.access-deny = (".ini", ".log", "~")',
    ]
    if os.geteuid() == 0:
        lines += ['server.username = "%s"' % CGI_ACCOUNT,
                  'server.groupname = "%s"' % grp.getgrgid(pwd.getpwnam(CGI_ACCOUNT).pw_gid).gr_name]
    return "\n".join(lines) + "\n"


class LighttpdServer:
    """A running lighttpd; see lighttpd_server()."""

    def __init__(self, site):
        self.site = site
        self.root = os.path.join(site.directory, "lighttpd")
        self.process = None
        self.listener = None
        self.port = None

    @property
    def url(self):
        return "http://127.0.0.1:%d" % self.port

    @property
    def form_url(self):
        return self.url + FORM_PATH

    @property
    def cgi_url(self):
        return self.url + CGI_PATH

    @property
    def error_log(self):
        """lighttpd's messages and the CGI program's standard error: no
        errorlog is set (a file lighttpd opens itself would have to belong to
        www-data), so both go to lighttpd's standard error, this file."""
        return os.path.join(self.root, "error.log")

    def error_log_text(self):
        try:
            with open(self.error_log, "rb") as handle:
                return handle.read().decode("latin-1")
        except FileNotFoundError:
            return ""

    def start(self):
        if not os.path.exists(LIGHTTPD):
            raise WebServerError("%s is missing: run scripts/install-deps" % LIGHTTPD)
        os.makedirs(self.root, exist_ok=True)
        os.chmod(self.root, 0o755)
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        try:
            self.listener.bind(("127.0.0.1", 0))
            self.listener.listen(LISTEN_BACKLOG)
            self.port = self.listener.getsockname()[1]
            config = os.path.join(self.root, "lighttpd.conf")
            with open(config, "w") as handle:
                handle.write(lighttpd_config(self.site, self.port))
            status = subprocess.run([LIGHTTPD, "-tt", "-f", config], capture_output=True, timeout=STOP_SECONDS)
            if status.returncode != 0:
                raise WebServerError("lighttpd refused its configuration:\n%s%s" % (
                    status.stdout.decode("latin-1"), status.stderr.decode("latin-1")))
        except BaseException:
            self.stop()
            raise
        listener_fd = self.listener.fileno()

        def hand_over_socket():
            # Socket activation: the socket is descriptor 3 and LISTEN_PID
            # names the process that is to use it (the shell execs lighttpd,
            # keeping its PID). Every other descriptor of ours is closed on
            # exec (Python opens them so), hence close_fds=False below: it
            # would close this one too.
            os.dup2(listener_fd, SYSTEMD_FIRST_FD, inheritable=True)
            os.set_inheritable(SYSTEMD_FIRST_FD, True)

        output = open(self.error_log, "wb")
        try:
            self.process = subprocess.Popen(
                ["/bin/sh", "-c", 'LISTEN_PID=$$ LISTEN_FDS=1 exec "$0" -D -f "$1"', LIGHTTPD, config],
                env={"PATH": "/usr/sbin:/usr/bin:/sbin:/bin"},
                stdin=subprocess.DEVNULL, stdout=output, stderr=subprocess.STDOUT,
                preexec_fn=hand_over_socket, close_fds=False,
                start_new_session=True,
            )
        finally:
            output.close()
        try:
            self._wait_until_serving()
        except BaseException:
            self.stop()
            raise
        return self

    def _wait_until_serving(self):
        deadline = time.monotonic() + START_SECONDS
        last = None
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                break
            try:
                with urllib.request.urlopen(self.form_url, timeout=STOP_SECONDS) as reply:
                    if reply.status == 200:
                        return
            except (urllib.error.URLError, OSError) as error:
                last = error
            time.sleep(0.05)
        raise WebServerError("lighttpd is not serving %s (%s; exit status %s):\n%s" % (
            self.form_url, last, self.process.poll(), self.error_log_text()[-4000:]))

    def stop(self):
        if self.process is not None:
            if self.process.poll() is None:
                with contextlib.suppress(ProcessLookupError):
                    os.kill(self.process.pid, signal.SIGTERM)
                try:
                    self.process.wait(timeout=STOP_SECONDS)
                except subprocess.TimeoutExpired:
                    with contextlib.suppress(ProcessLookupError):
                        os.kill(self.process.pid, signal.SIGKILL)
                    self.process.wait()
            self.process = None
        if self.listener is not None:
            self.listener.close()
            self.listener = None


@contextlib.contextmanager
def lighttpd_server(site):
    """A running lighttpd serving `site` (LighttpdServer); stopped on exit."""
    server = LighttpdServer(site)
    server.start()
    try:
        yield server
    finally:
        server.stop()
