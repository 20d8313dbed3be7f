"""Debian's web servers on loopback running quillet as their CGI program,
each configured as docs/install.md tells a site owner, with the example
contact form laid out as the guide installs it.

`deploy_example(directory, binary, ini_text)` lays out a site in `directory`:

    htdocs/form.html             the example form (the document root),
    htdocs/fetch-form.html         the same form sent with fetch(), and the
    htdocs/thanks.html             page a success_redirect may lead to
    cgi-bin/quillet              a copy of the built program
    cgi-bin/quillet.ini          `ini_text` (see example_ini())
    cgi-bin/success.html         the example reply pages, which the ini file
    cgi-bin/failure.html           names relative to the CGI's directory
    cgi-bin/quillet.log          empty, writable by the account CGI runs as,
    cgi-bin/quillet.rate           as is the rate_limit's file

`web_server(kind, site)` starts one private instance serving htdocs/ and
running cgi-bin/quillet as /cgi-bin/quillet, with its own configuration,
PID file and logs in a folder of the site's, listening on 127.0.0.1 on a
port the system picked, and stops it by its PID when the block ends. The
kinds (KINDS):

    apache          Debian's apache2 after "a2enmod cgi": the event MPM, so
                    mod_cgid (Debian's own .load/.conf files of those modules)
    apache-mod_cgi  the same with the prefork MPM, where "a2enmod cgi"
                    gives mod_cgi
    nginx           nginx, and fcgiwrap as Debian's fcgiwrap service runs it
                    (a socket handed over as systemd does, "fcgiwrap -f")
    lighttpd        lighttpd with mod_cgi

The part of each configuration that concerns quillet is read from
docs/install.md (see guide_block()), with /usr/lib/cgi-bin and the
fcgiwrap socket replaced by the site's paths, so the guide says what is
tested. Started as root, each runs CGI programs as www-data, as Debian's
do, which is why the log file is handed to that account; otherwise as the
current account. A system instance of any of them (port 80, /run) is never
used or touched.

`static_server(directory)` serves the files of a folder on another port of
127.0.0.1, a second origin for pages that post to the first.

Used by test_e2e.py, test_load.py and scripts/demo.
"""

import contextlib
import functools
import http.server
import os
import pwd
import grp
import shutil
import signal
import socket
import subprocess
import threading
import time
import urllib.error
import urllib.request

from instances import read_text

HERE = os.path.dirname(os.path.abspath(__file__))
PROJECT = os.path.dirname(os.path.dirname(HERE))
EXAMPLES = os.path.join(PROJECT, "examples")
GUIDE = os.path.join(PROJECT, "docs", "install.md")

LIGHTTPD = "/usr/sbin/lighttpd"
APACHE = "/usr/sbin/apache2"
APACHE_MODULES = "/etc/apache2/mods-available"       # Debian's LoadModule lines and settings
APACHE_CGI_BIN_CONF = "/etc/apache2/conf-available/serve-cgi-bin.conf"
NGINX = "/usr/sbin/nginx"
NGINX_FASTCGI_PARAMS = "/etc/nginx/fastcgi_params"
NGINX_MIME_TYPES = "/etc/nginx/mime.types"
FCGIWRAP = "/usr/sbin/fcgiwrap"
GUIDE_CGI_BIN = "/usr/lib/cgi-bin"                    # where the guide installs the program
GUIDE_FCGIWRAP_SOCKET = "/run/fcgiwrap.socket"        # the socket of Debian's fcgiwrap service
CGI_ACCOUNT = "www-data"      # Debian's web servers run CGI programs as this account
PROGRAM_NAME = "quillet"
FORM_PATH = "/form.html"
CGI_PATH = "/cgi-bin/" + PROGRAM_NAME

START_SECONDS = 30            # for the first page to be served
STOP_SECONDS = 10             # for a server to go after SIGTERM
LISTEN_BACKLOG = 64
SYSTEMD_FIRST_FD = 3          # where socket activation expects the socket
BIND_ATTEMPTS = 5             # Apache binds its own port: a new one if another process took it

KINDS = ("apache", "apache-mod_cgi", "nginx", "lighttpd")


class WebServerError(Exception):
    """A web server could not be configured, started or stopped."""


class Site:
    """The folders and files of one deployed example site."""

    def __init__(self, directory):
        self.directory = directory
        self.htdocs = os.path.join(directory, "htdocs")
        self.cgi_bin = os.path.join(directory, "cgi-bin")
        self.program = os.path.join(self.cgi_bin, PROGRAM_NAME)
        self.ini_path = self.program + ".ini"
        self.log_path = self.program + ".log"
        self.rate_path = self.program + ".rate"

    def write_ini(self, text):
        with open(self.ini_path, "w", encoding="utf-8") as handle:
            handle.write(text)
        os.chmod(self.ini_path, 0o644)

    def log_text(self):
        return read_text(self.log_path)


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
    for name, folder in (("form.html", site.htdocs), ("fetch-form.html", site.htdocs), ("thanks.html", site.htdocs),
                         ("success.html", site.cgi_bin), ("failure.html", site.cgi_bin)):
        shutil.copy(os.path.join(EXAMPLES, name), folder)
        os.chmod(os.path.join(folder, name), 0o644)
    shutil.copy(binary, site.program)
    os.chmod(site.program, 0o755)
    site.write_ini(ini_text)
    # The log and rate files beside the program belong to the account that
    # runs it; nobody else needs to write there.
    uid, gid = cgi_account()
    for path in (site.log_path, site.rate_path):
        with open(path, "ab"):
            pass
        os.chown(path, uid, gid)
        os.chmod(path, 0o640)
    return site


def guide_block(first_line, replacements):
    """The indented block of docs/install.md that begins with the line
    `first_line`, unindented, with each (old, new) of `replacements` made.
    A block that is gone, or that no longer holds an `old`, is an error: the
    guide changed, and what is tested has to follow it."""
    with open(GUIDE, encoding="utf-8") as handle:
        lines = handle.read().split("\n")
    starts = [number for number, line in enumerate(lines) if line == "    " + first_line]
    if len(starts) != 1:
        raise WebServerError("docs/install.md has %d blocks beginning %r, not one" % (len(starts), first_line))
    block = []
    for line in lines[starts[0]:]:
        if not line.startswith("    "):
            break
        block.append(line[4:])
    text = "\n".join(block) + "\n"
    for old, new in replacements:
        if old not in text:
            raise WebServerError("docs/install.md's block %r no longer names %s" % (first_line, old))
        text = text.replace(old, new)
    return text


def run_as():
    """(user, group) a server started as root runs CGI programs as, or None
    when we are not root (the server then runs them as us)."""
    if os.geteuid() != 0:
        return None
    return CGI_ACCOUNT, grp.getgrgid(pwd.getpwnam(CGI_ACCOUNT).pw_gid).gr_name


def lighttpd_config(site, port):
    """Static files from htdocs/ on the socket handed over, and the guide's
    lines that hand lighttpd the one program."""
    lines = [
        # Debian's lighttpd.conf loads these; the guide's lines add to them.
        'server.modules = ("mod_indexfile", "mod_access", "mod_alias", "mod_redirect")',
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
    ]
    account = run_as()
    if account:
        lines += ['server.username = "%s"' % account[0], 'server.groupname = "%s"' % account[1]]
    return "\n".join(lines) + "\n" + guide_block(
        'server.modules += ("mod_alias", "mod_cgi")', [(GUIDE_CGI_BIN, site.cgi_bin)])


# The MPM and the CGI module `a2enmod cgi` enables with it, per kind.
APACHE_MODULES_OF = {"apache": ("mpm_event", "cgid"), "apache-mod_cgi": ("mpm_prefork", "cgi")}


def apache_config(site, port, root, kind):
    """Debian's own files for the modules "a2enmod cgi" leaves enabled (its
    APACHE_RUN_DIR set to `root`), the document root, and the guide's
    ScriptAlias block for the site's cgi-bin/."""
    mpm, cgi = APACHE_MODULES_OF[kind]
    lines = [
        "ServerName 127.0.0.1",
        "Listen 127.0.0.1:%d" % port,
        'DefaultRuntimeDir "%s"' % root,
        'PidFile "%s/apache2.pid"' % root,
        'ErrorLog "%s/error.log"' % root,
        "LogLevel warn",
    ]
    account = run_as()
    if account:
        lines += ["User %s" % account[0], "Group %s" % account[1]]
    for module in (mpm, "authz_core", "alias", "dir", "mime", cgi):
        for suffix in (".load", ".conf"):
            path = os.path.join(APACHE_MODULES, module + suffix)
            if os.path.exists(path):
                lines.append('Include "%s"' % path)
    lines += [
        # As Debian's apache2.conf: nothing outside what is granted below.
        "<Directory />", "    AllowOverride None", "    Require all denied", "</Directory>",
        'DocumentRoot "%s"' % site.htdocs,
        '<Directory "%s">' % site.htdocs, "    Require all granted", "</Directory>",
        "DirectoryIndex form.html",
    ]
    return "\n".join(lines) + "\n" + guide_block(
        "ScriptAlias /cgi-bin/ /usr/lib/cgi-bin/", [(GUIDE_CGI_BIN, site.cgi_bin)])


def nginx_config(site, port, root, fcgiwrap_socket):
    """A server block on 127.0.0.1 for htdocs/ holding the guide's location
    for the program, with fcgiwrap's socket at `fcgiwrap_socket`."""
    lines = ["daemon off;", "worker_processes 1;", 'pid "%s/nginx.pid";' % root,
             'error_log "%s/error.log";' % root]
    account = run_as()
    if account:
        lines.append("user %s %s;" % account)
    lines += ["events { worker_connections 64; }", "http {",
              "    include %s;" % NGINX_MIME_TYPES,
              '    access_log "%s/access.log";' % root]
    for kind in ("client_body", "fastcgi", "proxy", "scgi", "uwsgi"):
        lines.append('    %s_temp_path "%s/%s";' % (kind, root, kind))
    location = guide_block("location = /cgi-bin/quillet {", [
        (GUIDE_CGI_BIN, site.cgi_bin), (GUIDE_FCGIWRAP_SOCKET, fcgiwrap_socket)])
    lines += ["    server {", "        listen 127.0.0.1:%d;" % port, '        root "%s";' % site.htdocs,
              "        index form.html;"]
    lines += ["        " + line for line in location.splitlines()]
    lines += ["    }", "}"]
    return "\n".join(lines) + "\n"


def loopback_listener():
    """A listening TCP socket on 127.0.0.1, on a port the system picked."""
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    try:
        listener.bind(("127.0.0.1", 0))
        listener.listen(LISTEN_BACKLOG)
    except BaseException:
        listener.close()
        raise
    return listener


class WebServer:
    """One running private instance; see web_server()."""

    def __init__(self, site, kind):
        self.site = site
        self.kind = kind
        self.root = os.path.join(site.directory, kind)  # its configuration, PID file and logs
        self.port = None
        self.processes = []  # started here; stopped by PID, the last first
        self.sockets = []    # bound here, handed over, closed at the end

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
    def process(self):
        """The web server itself (the last process started)."""
        return self.processes[-1] if self.processes else None

    def log_paths(self):
        """Every file the server and its helpers write messages into: their
        standard error, and the error log they open themselves, where the
        CGI program's standard error lands."""
        return sorted(os.path.join(self.root, name) for name in os.listdir(self.root)
                      if name.endswith(".log") and name != "access.log")

    def error_log_text(self):
        texts = []
        for path in self.log_paths():
            with open(path, "rb") as handle:
                texts.append("== %s\n%s" % (os.path.basename(path), handle.read().decode("latin-1")))
        return "".join(texts)

    def start(self):
        os.makedirs(self.root, exist_ok=True)
        os.chmod(self.root, 0o755)
        try:
            for _ in range(BIND_ATTEMPTS):
                for path in self.log_paths():
                    os.unlink(path)
                self._start()
                if self._wait_until_serving():
                    return self
                log, status = self.error_log_text(), self.process.poll()
                self.stop()
                # Apache lost the port it was given to another process: again
                # with a new one.
                if "Address already in use" not in log:
                    break
            raise WebServerError("%s is not serving %s (exit status %s):\n%s" % (
                self.kind, self.form_url, status, log[-4000:]))
        except BaseException:
            self.stop()
            raise

    def _spawn(self, argv, log_name, env=None, hand_over=None, user=None):
        """Starts `argv` in a session of its own, its standard output and
        error into `log_name` in the server's folder. `hand_over` (a socket)
        becomes its descriptor 3, announced as systemd announces a socket
        (LISTEN_FDS and LISTEN_PID) unless `env` says otherwise. `user`:
        (user, group) to run as."""
        environment = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin"}
        environment.update(env or {})
        preexec = None
        if hand_over is not None:
            descriptor = hand_over.fileno()
            if "NGINX" not in environment:
                # The shell execs the program, keeping its PID.
                argv = ["/bin/sh", "-c", 'LISTEN_PID=$$ LISTEN_FDS=1 exec "$0" "$@"'] + argv

            def preexec():
                # Every other descriptor of ours is closed on exec (Python
                # opens them so), hence close_fds=False below: it would close
                # this one too.
                os.dup2(descriptor, SYSTEMD_FIRST_FD, inheritable=True)
                os.set_inheritable(SYSTEMD_FIRST_FD, True)  # dup2 onto itself keeps close-on-exec
        output = open(os.path.join(self.root, log_name), "wb")
        try:
            self.processes.append(subprocess.Popen(
                argv, env=environment, stdin=subprocess.DEVNULL, stdout=output, stderr=subprocess.STDOUT,
                preexec_fn=preexec, close_fds=hand_over is None, start_new_session=True,
                user=user[0] if user else None, group=user[1] if user else None,
                extra_groups=[] if user else None))
        finally:
            output.close()

    def _start(self):
        listener = loopback_listener()
        self.sockets.append(listener)
        self.port = listener.getsockname()[1]
        if self.kind == "lighttpd":
            config = self._write("lighttpd.conf", lighttpd_config(self.site, self.port))
            self._spawn([LIGHTTPD, "-D", "-f", config], "stderr.log", hand_over=listener)
        elif self.kind == "nginx":
            fcgiwrap = self._fcgiwrap()
            config = self._write("nginx.conf", nginx_config(self.site, self.port, self.root, fcgiwrap))
            # The guide's "include fastcgi_params;" is relative to the
            # configuration's folder, as /etc/nginx/ is for Debian's.
            link = os.path.join(self.root, "fastcgi_params")
            if not os.path.lexists(link):
                os.symlink(NGINX_FASTCGI_PARAMS, link)
            # nginx takes the listening sockets named in NGINX over (its
            # binary upgrade) instead of binding its own.
            self._spawn([NGINX, "-p", self.root + "/", "-c", config, "-e", os.path.join(self.root, "error.log")],
                        "stderr.log", env={"NGINX": "%d;" % SYSTEMD_FIRST_FD}, hand_over=listener)
        else:
            # Apache binds its own port: the one picked here, freed just
            # before; start() picks another should someone take it first.
            listener.close()
            self.sockets.remove(listener)
            os.makedirs(os.path.join(self.root, "socks"), exist_ok=True)
            config = self._write("apache2.conf", apache_config(self.site, self.port, self.root, self.kind))
            self._spawn([APACHE, "-d", self.root, "-f", config, "-DFOREGROUND"], "stderr.log",
                        env={"APACHE_RUN_DIR": self.root})

    def _fcgiwrap(self):
        """Starts fcgiwrap as Debian's fcgiwrap.socket and fcgiwrap.service
        do: a Unix socket of www-data's with mode 0660 handed over, then
        "fcgiwrap -f" as www-data. Returns the socket's path."""
        path = os.path.join(self.root, "fcgiwrap.socket")
        with contextlib.suppress(FileNotFoundError):
            os.unlink(path)
        listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sockets.append(listener)
        listener.bind(path)
        os.chmod(path, 0o660)
        account = run_as()
        if account:
            shutil.chown(path, *account)
        listener.listen(LISTEN_BACKLOG)
        self._spawn([FCGIWRAP, "-f"], "fcgiwrap.log", hand_over=listener, user=account)
        return path

    def _write(self, name, text):
        path = os.path.join(self.root, name)
        with open(path, "w", encoding="utf-8") as handle:
            handle.write(text)
        return path

    def _wait_until_serving(self):
        """True once the form is served; False when a process ended first."""
        deadline = time.monotonic() + START_SECONDS
        while time.monotonic() < deadline:
            if any(process.poll() is not None for process in self.processes):
                return False
            try:
                with urllib.request.urlopen(self.form_url, timeout=STOP_SECONDS) as reply:
                    if reply.status == 200:
                        return True
            except (urllib.error.URLError, OSError):
                pass
            time.sleep(0.05)
        raise WebServerError("%s is not serving %s within %d s:\n%s" % (
            self.kind, self.form_url, START_SECONDS, self.error_log_text()[-4000:]))

    def stop(self):
        while self.processes:
            process = self.processes.pop()
            if process.poll() is None:
                with contextlib.suppress(ProcessLookupError):
                    os.kill(process.pid, signal.SIGTERM)
                try:
                    process.wait(timeout=STOP_SECONDS)
                except subprocess.TimeoutExpired:
                    with contextlib.suppress(ProcessLookupError):
                        os.kill(process.pid, signal.SIGKILL)
                    process.wait()
        while self.sockets:
            self.sockets.pop().close()


PROGRAMS = {"apache": [APACHE], "apache-mod_cgi": [APACHE], "nginx": [NGINX, FCGIWRAP], "lighttpd": [LIGHTTPD]}


def missing_programs(kinds=KINDS):
    """The programs of `kinds` that are not installed."""
    return sorted({path for kind in kinds for path in PROGRAMS[kind] if not os.path.exists(path)})


@contextlib.contextmanager
def web_server(kind, site):
    """A running private instance of `kind` (one of KINDS) serving `site`;
    stopped on exit."""
    missing = missing_programs([kind])
    if missing:
        raise WebServerError("%s missing: run scripts/install-deps" % ", ".join(missing))
    server = WebServer(site, kind)
    server.start()
    try:
        yield server
    finally:
        server.stop()


def lighttpd_server(site):
    """A running lighttpd serving `site`; stopped on exit."""
    return web_server("lighttpd", site)


class _QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


@contextlib.contextmanager
def static_server(directory):
    """Python's HTTP server serving the files of `directory` on 127.0.0.1, on
    a port the system picked: a page there is at an origin of its own.
    Yields its base URL ("http://127.0.0.1:port"); stopped on exit."""
    server = http.server.ThreadingHTTPServer(
        ("127.0.0.1", 0), functools.partial(_QuietHandler, directory=directory))
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        yield "http://127.0.0.1:%d" % server.server_address[1]
    finally:
        server.shutdown()
        server.server_close()
        thread.join(STOP_SECONDS)
