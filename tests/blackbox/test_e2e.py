"""The example contact form end to end, with real parts throughout: Debian's
headless Chromium fills in examples/form.html as a visitor would and submits
it to a web server on 127.0.0.1 configured as docs/install.md says (Apache
with mod_cgid and with mod_cgi, nginx with fcgiwrap, lighttpd; see
webserver.py), which runs quillet as its CGI program (as www-data), and
quillet hands the message to a private Postfix instance that delivers it to
a local Maildir. The test reads what the browser shows and what arrived in
the mailbox. Then the same with the mail server stopped, and with one that
never answers: the browser shows the failure page. And through each server,
a visitor's query string that reads like a console command changes neither
the log nor the ini file, and neither file is served.

Then the lines against bots and the other replies, through Apache, nginx
and lighttpd, with the scripted SMTP server counting what reaches it: a
success_redirect lands on the site's thank-you page, and reloading it sends
nothing more; examples/fetch-form.html shows the JSON answer, served from
the same origin and from a second loopback origin listed in an
allowed_origin line, while a page at an unlisted origin is refused and
cannot read the answer; a bot that fills in every field, the hidden
honeypot included, is answered as if it had sent and sends nothing.

Screenshots of the pages go to <build folder>/artefacts/.

Needs root (Postfix's private instance, web servers running CGI as
www-data), apache2, nginx, fcgiwrap, lighttpd, chromium, node and
playwright-core in tests/e2e/node_modules, all of which scripts/install-deps
installs.
"""

import contextlib
import email
import email.policy
import json
import os
import select
import shutil
import signal
import socket
import subprocess
import time
import urllib.error
import urllib.request

import pytest

import mailservers
import webserver
from conftest import BINARY, PROJECT, SANITIZER_MARKS, make_scratch_dir
from smtp_script import ScriptedSmtpServer

E2E = os.path.join(PROJECT, "tests", "e2e")
DRIVER = os.path.join(E2E, "submit-form.mjs")
PLAYWRIGHT = os.path.join(E2E, "node_modules", "playwright-core", "package.json")
CHROMIUM = "/usr/bin/chromium"
ARTEFACTS = os.path.join(os.environ.get("QUILLET_BUILD_DIR") or os.path.join(PROJECT, "build"), "artefacts")

SHORT_TIMEOUT = 3        # smtp_timeout of the failure runs, in seconds
PAGE_TIMEOUT_MS = 60000  # the browser's wait for each page
DRIVER_SECONDS = 180     # hang guard for one visit (the first starts Chromium)
DRIVER_STOP_SECONDS = 30  # for the driver to stop Chromium and end

# What the visitor types: markup in every free-text field, non-ASCII
# letters, quotes, and a message whose third line is a lone ".". The
# example's From is its own static line.
NAME = "Zoë <b id=\"injected\">Ångström</b> & \"Co\""
EMAIL = "zoe.angstrom@example.org"
SITE_SENDER = "form@example.com"
TOPIC = "Feedback on the site"
SUBJECT = "Grüße <script>document.title='owned'</script> & 'more'"
MESSAGE_LINES = ["Hello from Zoë,", "the next line is a lone dot:", ".", "and this one ends it <i>for real</i> ✓"]
MESSAGE = "\n".join(MESSAGE_LINES)

FIELDS = [
    {"selector": "#name", "type": NAME},
    {"selector": "#from", "type": EMAIL},
    {"selector": "#topic", "select": TOPIC},
    {"selector": "#subject", "type": SUBJECT},
    {"selector": "#message", "type": MESSAGE},
]
READ = ["#outcome", "#echo-from", "#echo-topic", "#echo-subject", "#echo-message"]
# Elements that exist only if a submitted value's markup was taken as markup.
INJECTED = ["#injected", "script", "i"]

# The failure pages through each web server; of Apache, Debian's default
# (mod_cgid) is enough for them.
FAILURE_KINDS = ("apache", "nginx", "lighttpd")
# What the log says when the mail server is stopped, or never answers.
WHY_NOT_SENT = {"stopped": "Connection Refused", "silent": "Timedout"}
# Query strings without "=", which Apache passes to the program as its
# arguments, as a console passes commands.
COMMAND_QUERIES = ["?-blanklog", "?-version_insert_filename+quillet.ini"]

pytestmark = pytest.mark.skipif(os.geteuid() != 0, reason="Postfix's private instance and www-data need root")


class BrowserDriver:
    """The browser driver (submit-form.mjs) with its Chromium: started at the
    first visit and kept for the next ones, each in a fresh browser context;
    started anew after a visit that hung or ended it."""

    def __init__(self, node, work):
        self.node = node
        self.work = work  # the browser's profile, its PID, the driver's messages
        self.pid_file = os.path.join(work, "chromium-pid")
        self.messages = os.path.join(work, "driver-messages.txt")
        self.process = None
        self.pending = b""

    def visit(self, job):
        """The driver's report on `job`."""
        if self.process is not None and self.process.poll() is not None:
            self.stop()
        if self.process is None:
            settings = os.path.join(self.work, "browser.json")
            with open(settings, "w", encoding="utf-8") as handle:
                json.dump({"chromium": CHROMIUM, "scratch": self.work, "pid_file": self.pid_file}, handle)
            with open(self.messages, "wb") as messages:
                self.process = subprocess.Popen([self.node, DRIVER, settings], cwd=E2E, stdin=subprocess.PIPE,
                                                stdout=subprocess.PIPE, stderr=messages)
            self.pending = b""
        with contextlib.suppress(BrokenPipeError):
            self.process.stdin.write(json.dumps(job).encode("utf-8") + b"\n")
            self.process.stdin.flush()
        deadline = time.monotonic() + DRIVER_SECONDS
        while b"\n" not in self.pending:
            left = deadline - time.monotonic()
            ready = left > 0 and select.select([self.process.stdout], [], [], left)[0]
            chunk = os.read(self.process.stdout.fileno(), 1 << 16) if ready else b""
            if not chunk:
                self.stop()
                with open(self.messages, "rb") as handle:
                    raise AssertionError("the browser driver ended or gave no report within %d s:\n%s" % (
                        DRIVER_SECONDS, handle.read().decode("utf-8", "replace")))
            self.pending += chunk
        line, self.pending = self.pending.split(b"\n", 1)
        return json.loads(line.decode("utf-8"))

    def stop(self):
        if self.process is None:
            return
        with contextlib.suppress(BrokenPipeError):
            self.process.stdin.close()  # the end of the jobs: the driver stops Chromium and ends
        try:
            self.process.wait(timeout=DRIVER_STOP_SECONDS)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.process.stdout.close()
        if self.process.returncode != 0:
            stop_chromium(self.pid_file)
        self.process = None


def stop_chromium(pid_file):
    """Ends the browser a failed or killed driver left behind: the process
    group of the PID the driver recorded (the browser leads its own group)."""
    try:
        with open(pid_file) as handle:
            pid = int(handle.read().strip())
    except (OSError, ValueError):
        return
    with contextlib.suppress(ProcessLookupError, PermissionError):
        os.killpg(pid, signal.SIGKILL)


@pytest.fixture(scope="module")
def browser_driver():
    """The browser driver, once its node, Chromium and playwright-core and
    the web servers are there; stopped after the module's last test."""
    missing = [what for what, present in (
        ("node", shutil.which("node") is not None),
        (CHROMIUM, os.path.exists(CHROMIUM)),
        ("playwright-core in tests/e2e/node_modules", os.path.exists(PLAYWRIGHT)),
    ) if not present] + webserver.missing_programs()
    assert not missing, "missing %s: run scripts/install-deps" % ", ".join(missing)
    os.makedirs(ARTEFACTS, exist_ok=True)
    work = make_scratch_dir()
    driver = BrowserDriver(shutil.which("node"), work)
    try:
        yield driver
    finally:
        driver.stop()
        shutil.rmtree(work, ignore_errors=True)


@pytest.fixture
def site_dir():
    directory = make_scratch_dir()
    yield directory
    shutil.rmtree(directory, ignore_errors=True)


def submit(driver, server, screenshot, **job):
    """Fills in and submits the form in Chromium; returns the driver's report
    (url, title, html, text, elements, counts, seconds). `job` changes the
    driver's job (see submit-form.mjs): another form, other fields, another
    page to land on."""
    report = driver.visit(dict({
        "form_url": server.form_url,
        "action_url": server.cgi_url,
        "fields": FIELDS,
        "submit": "#send",
        "screenshot": os.path.join(ARTEFACTS, screenshot),
        "timeout_ms": PAGE_TIMEOUT_MS,
        "read": READ,
        "count": INJECTED,
    }, **job))
    assert "error" not in report, "the browser's visit failed:\n%s\n%s:\n%s" % (
        report.get("error"), server.kind, server.error_log_text())
    assert os.path.getsize(os.path.join(ARTEFACTS, screenshot)) > 0
    # The program's standard error reaches the web server's log.
    errors = server.error_log_text()
    for mark in SANITIZER_MARKS:
        assert mark not in errors, "sanitizer report:\n" + errors
    return report


def assert_values_echoed_as_text(report):
    """Every echoed value reads exactly as typed, and none of its markup
    became an element: the values were HTML-escaped."""
    assert report["counts"] == {selector: 0 for selector in INJECTED}, report["html"]
    assert report["elements"]["#echo-message"] == MESSAGE
    assert report["elements"]["#echo-subject"] == SUBJECT
    assert report["title"] != "owned"


@contextlib.contextmanager
def stopped_server():
    """A loopback port that nothing listens on, as when the mail server is
    stopped."""
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    port = listener.getsockname()[1]
    listener.close()
    yield "127.0.0.1:%d" % port


@contextlib.contextmanager
def silent_server():
    """A loopback port that takes connections and never says a word."""
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen(8)
    try:
        yield "127.0.0.1:%d" % listener.getsockname()[1]
    finally:
        listener.close()


@pytest.mark.parametrize("kind", webserver.KINDS)
def test_the_visitor_sees_the_success_page_and_the_message_arrives(browser_driver, site_dir, kind):
    with mailservers.postfix_server() as postfix:
        # The example's ini file with this server and mailbox; "sendall true"
        # adds the listing of every field, in which the message's lines stand
        # unindented, so that the lone "." begins a line on the wire.
        ini = webserver.example_ini(postfix.smtp, to=mailservers.TEST_ADDRESS, extra_lines=["sendall true"])
        site = webserver.deploy_example(site_dir, BINARY, ini)
        with webserver.web_server(kind, site) as server:
            report = submit(browser_driver, server, "e2e-%s-success.png" % kind)

        # What the browser shows.
        assert report["url"] == server.cgi_url
        assert report["title"] == "Message sent", report["text"]
        assert report["elements"]["#outcome"] == "Thank you, " + NAME
        assert report["elements"]["#echo-from"] == EMAIL
        assert report["elements"]["#echo-topic"] == TOPIC
        assert_values_echoed_as_text(report)

        # What arrived: one message from the site's own address, the
        # visitor's in Reply-To, the Subject as readers decode it.
        messages = postfix.messages()
        assert len(messages) == 1, postfix.log_text()
        message = messages[0]
        assert message.sender == SITE_SENDER
        assert message.recipients == [mailservers.TEST_ADDRESS]
        assert message.headers("From") == [("Contact form <%s>" % SITE_SENDER).encode()]
        assert message.headers("Reply-To") == [EMAIL.encode()]
        assert message.headers("To") == [("Site Owner <%s>" % mailservers.TEST_ADDRESS).encode()]
        readable = email.message_from_bytes(message.content, policy=email.policy.default)
        assert str(readable["Subject"]) == SUBJECT
        assert readable["Content-Transfer-Encoding"] == "8bit"  # Postfix announces 8BITMIME
        assert message.headers("X-QUILLET") == [b"sent by web form submition activated CGI program."]

        # Every field in the body, the message's lines intact and in order,
        # the lone "." line included (dot-stuffed on the wire, unstuffed by
        # the server), and nothing after the listing's last line was lost.
        body_lines = message.body.decode("utf-8").replace("\r\n", "\n").split("\n")
        # (a static line ends in the space before its empty content)
        assert body_lines[0] == " A visitor wrote through the contact form: "
        for label, value in (("Name:", NAME), ("Reply-To:", EMAIL), ("Topic:", TOPIC), ("Subject:", SUBJECT)):
            assert " %s %s" % (label, value) in body_lines
        first = body_lines.index(" Message: " + MESSAGE_LINES[0])
        indent = " " * (len("Message:") + 2)
        assert body_lines[first + 1:first + 4] == [indent + line for line in MESSAGE_LINES[1:]]
        listing = body_lines.index("(Message:)==(" + MESSAGE_LINES[0])
        assert body_lines[listing + 1:listing + 4] == MESSAGE_LINES[1:3] + [MESSAGE_LINES[3] + ")"]
        assert "." in body_lines

        assert "Email not sent." not in site.log_text()


@pytest.mark.parametrize("kind", FAILURE_KINDS)
@pytest.mark.parametrize("mail_server", ["stopped", "silent"])
def test_when_the_mail_server_is_stopped_or_silent_the_visitor_sees_the_failure_page(browser_driver, site_dir,
                                                                                    kind, mail_server):
    with (stopped_server() if mail_server == "stopped" else silent_server()) as smtp:
        ini = webserver.example_ini(smtp, to=mailservers.TEST_ADDRESS,
                                    extra_lines=["smtp_timeout %d" % SHORT_TIMEOUT])
        site = webserver.deploy_example(site_dir, BINARY, ini)
        with webserver.web_server(kind, site) as server:
            report = submit(browser_driver, server, "e2e-%s-%s.png" % (kind, mail_server))

    assert report["url"] == server.cgi_url
    assert report["title"] == "Message not sent", report["text"]
    assert report["elements"]["#outcome"] == "Sorry, %s, your message could not be sent" % NAME
    assert_values_echoed_as_text(report)
    # Refused at once, or given up after the time-out; the bound only guards
    # against a hang.
    assert report["seconds"] < SHORT_TIMEOUT + 30
    log = site.log_text()
    assert WHY_NOT_SENT[mail_server] in log and "Email not sent." in log, log


def fetch(url):
    """(status, body) of a GET, error statuses included."""
    try:
        with urllib.request.urlopen(url, timeout=PAGE_TIMEOUT_MS / 1000) as reply:
            return reply.status, reply.read()
    except urllib.error.HTTPError as error:
        return error.code, error.read()


@pytest.mark.parametrize("kind", webserver.KINDS)
def test_a_query_string_is_no_console_command_and_the_files_beside_the_program_are_not_served(site_dir, kind):
    site = webserver.deploy_example(site_dir, BINARY, webserver.example_ini("127.0.0.1:1"))
    # The CGI account owns the program's folder, as the site's user does
    # under suEXEC: a command that ran could rename the ini file there.
    shutil.chown(site.cgi_bin, *webserver.run_as())
    earlier = b"an earlier visitor's message, which must stay\n"
    with open(site.log_path, "wb") as handle:
        handle.write(earlier)
    with open(site.ini_path, "rb") as handle:
        ini = handle.read()
    files = sorted(os.listdir(site.cgi_bin))

    with webserver.web_server(kind, site) as server:
        answers = [fetch(server.cgi_url + query) for query in COMMAND_QUERIES]
        served = [fetch(server.url + "/cgi-bin/" + name) for name in ("quillet.ini", "quillet.log")]

    with open(site.log_path, "rb") as handle:
        assert handle.read().startswith(earlier)
    with open(site.ini_path, "rb") as handle:
        assert handle.read() == ini
    assert sorted(os.listdir(site.cgi_bin)) == files
    # Each query was an ordinary run: the failure page (no form was sent).
    for status, page in answers:
        assert status == 200 and b"Message not sent" in page, (status, page[:300])
    for status, body in served:
        assert b"smtp 127.0.0.1:1" not in body and earlier not in body, (status, body[:300])


def test_the_guides_apache_block_is_what_debian_configures():
    """The guide offers its ScriptAlias block as what Debian's own
    serve-cgi-bin.conf does; the private Apache instances run the guide's."""
    with open(webserver.APACHE_CGI_BIN_CONF, encoding="utf-8") as handle:
        debian = handle.read()
    block = debian[debian.index("<IfDefine ENABLE_USR_LIB_CGI_BIN>"):debian.index("</IfDefine>")]
    guide = webserver.guide_block("ScriptAlias /cgi-bin/ /usr/lib/cgi-bin/", [])
    assert [line.strip() for line in block.splitlines()[1:] if line.strip()] == \
        [line.strip() for line in guide.splitlines()]


# ---- the lines against bots, redirects and fetch() ----

THANKS_PATH = "/thanks.html"
FETCH_FORM_PATH = "/fetch-form.html"
FETCH_READ = ["#outcome", "#answer"]
# A bot fills in every field it finds, the one people never see as well.
BOT_FIELDS = FIELDS + [{"selector": "#website", "set": "http://cheap-pills.example/"}]
FETCH_ORIGINS = ("same origin", "listed origin", "unlisted origin")


@contextlib.contextmanager
def scripted_mail_server():
    """The scripted SMTP server of the black-box tests: takes every message
    and counts its sessions."""
    server = ScriptedSmtpServer().start()
    try:
        yield server
    finally:
        server.stop()


def runs_in_log(site):
    """How many runs the log holds (the line before the ini file is read is
    always written)."""
    return site.log_text().count(" - starting version ")


@pytest.mark.parametrize("kind", FAILURE_KINDS)
def test_a_redirect_lands_on_the_thank_you_page_and_a_reload_sends_nothing_more(browser_driver, site_dir, kind):
    with scripted_mail_server() as mail:
        site = webserver.deploy_example(site_dir, BINARY, webserver.example_ini(mail.address))
        with webserver.web_server(kind, site) as server:
            thanks = server.url + THANKS_PATH
            site.write_ini(webserver.example_ini(mail.address, extra_lines=["success_redirect " + thanks]))
            report = submit(browser_driver, server, "e2e-%s-redirect.png" % kind, expect_url=thanks, reload=True,
                            read=["#outcome"])

    assert report["url"] == thanks and report["title"] == "Thank you", report["text"]
    assert report["reloaded"]["url"] == thanks and report["reloaded"]["title"] == "Thank you"
    # Post/Redirect/Get: the reload fetched the thank-you page again, and the
    # form went once.
    assert (mail.sessions, len(mail.messages), runs_in_log(site)) == (1, 1, 1), site.log_text()


@pytest.mark.parametrize("kind", FAILURE_KINDS)
@pytest.mark.parametrize("origin", FETCH_ORIGINS)
def test_the_fetch_form_shows_the_answer_where_its_origin_is_allowed(browser_driver, site_dir, kind, origin):
    elsewhere_pages = os.path.join(site_dir, "elsewhere")
    os.makedirs(elsewhere_pages)
    with scripted_mail_server() as mail, webserver.static_server(elsewhere_pages) as elsewhere:
        site = webserver.deploy_example(site_dir, BINARY, webserver.example_ini(mail.address))
        with webserver.web_server(kind, site) as server:
            allowed = [server.url] + ([elsewhere] if origin == "listed origin" else [])
            site.write_ini(webserver.example_ini(mail.address, extra_lines=["allowed_origin " + o for o in allowed]))
            form_url = server.url + FETCH_FORM_PATH
            if origin != "same origin":
                # The page on a static site of its own, posting to the program's
                # full address, as fetch-form.html tells a site owner to do.
                with open(os.path.join(site.htdocs, "fetch-form.html"), encoding="utf-8") as handle:
                    page = handle.read()
                assert 'action="/cgi-bin/quillet"' in page
                with open(os.path.join(elsewhere_pages, "fetch-form.html"), "w", encoding="utf-8") as handle:
                    handle.write(page.replace('action="/cgi-bin/quillet"', 'action="%s"' % server.cgi_url))
                form_url = elsewhere + FETCH_FORM_PATH
            report = submit(browser_driver, server, "e2e-%s-fetch-%s.png" % (kind, origin.split()[0]),
                            form_url=form_url, wait_selector="#answer", read=FETCH_READ)

    log = site.log_text()
    assert report["url"] == form_url, "the page stays where it is"
    if origin == "unlisted origin":
        # The program refused it, and the browser did not let the page read
        # the refusal (no Access-Control-Allow-Origin for its origin).
        assert report["elements"]["#answer"] == "no answer", report["text"]
        assert mail.sessions == 0
        assert "email not sent: the request's Origin {%s} is not one of the allowed_origin lines" % elsewhere in log
    else:
        assert report["elements"]["#answer"] == '200 {"sent":true}', report["text"]
        assert report["elements"]["#outcome"] == "Thank you, your message has been sent."
        assert len(mail.messages) == 1, log
        assert EMAIL.encode() in mail.messages[0]


@pytest.mark.parametrize("kind", FAILURE_KINDS)
def test_a_bot_that_fills_every_field_is_answered_as_if_sent_and_sends_nothing(browser_driver, site_dir, kind):
    with scripted_mail_server() as mail:
        site = webserver.deploy_example(site_dir, BINARY, webserver.example_ini(mail.address))
        with webserver.web_server(kind, site) as server:
            report = submit(browser_driver, server, "e2e-%s-bot.png" % kind, fields=BOT_FIELDS)

    assert report["url"] == server.cgi_url
    assert report["title"] == "Message sent", report["text"]
    assert mail.sessions == 0
    assert "email not sent: the honeypot field {website} was filled in; answered as if sent" in site.log_text()
