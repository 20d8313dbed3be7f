"""The servers and the submission of scripts/demo (which installs and builds
first, then runs this with /usr/bin/python3).

It deploys the example site (examples/) with the built program into a
scratch folder, starts aiosmtpd and lighttpd on 127.0.0.1 with the same
fixtures the black-box tests use, and gives the example's ini file (which
holds the honeypot field "website") a success_redirect to the site's
thanks.html. It posts the example form once as a browser would, prints the
303 reply, the thank-you page it leads to and the delivered message; then
posts it as a spam bot does, every field filled in, the honeypot too, and
shows that the bot is answered as if sent while nothing more arrives. Then
it stops both servers. With --serve it keeps them running instead, prints
the form's URL and each message that arrives, and stops them on Ctrl-C.
With --tls the mail server speaks STARTTLS with a test CA's certificate and
requires a login, as a provider's submission service does, and the ini file
gets the lines for it.
"""

import argparse
import os
import shutil
import signal
import sys
import tempfile
import time
import urllib.error
import urllib.parse
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests", "blackbox"))

import mailservers  # noqa: E402
import tls_certs  # noqa: E402
import webserver  # noqa: E402

OWNER = "owner@example.com"   # the example's static To address, kept as it is
REPLY_SECONDS = 60            # for the web server's answer to the submission
POLL_SECONDS = 0.5            # --serve: how often the message folder is looked at
RULE = "-" * 72

# What the demo's visitor types into the form.
SUBMISSION = [
    ("Name:", "Ada Lovelace"),
    ("Reply-To:", "ada@example.org"),
    ("Topic:", "A question"),
    ("Subject:", "Grüße from the quillet demo"),
    ("Message:", "Does the contact form work? Ça va?\r\nIf this arrived as an e-mail, it does."),
]


def say(text=""):
    print(text, flush=True)


def show(title, text):
    say()
    say("%s %s" % (title, RULE[len(title) + 1:]))
    say(text.rstrip("\n"))
    say(RULE)


def show_message(message):
    envelope = "envelope: MAIL FROM:<%s>  RCPT TO:%s" % (
        message.sender, " ".join("<%s>" % r for r in message.recipients))
    if message.extra.get("tls"):
        envelope += "\nover %s, logged in as %s" % (message.extra["tls"], message.extra.get("login"))
    show("the e-mail as the mail server received it (%s)" % os.path.basename(message.path),
         envelope + "\n\n" + message.data.decode("utf-8", "replace").replace("\r\n", "\n"))


class KeepRedirects(urllib.request.HTTPRedirectHandler):
    """Hands a redirect back as it came instead of following it."""

    def redirect_request(self, *args):
        return None


def request(url, fields=None):
    """A GET, or a POST of `fields` as a browser posts a form (URL-encoded
    UTF-8); redirects are not followed. Returns the status, the reply's
    status line and header lines as text, the Location and the page."""
    data = urllib.parse.urlencode(fields).encode("ascii") if fields is not None else None
    headers = {"Content-Type": "application/x-www-form-urlencoded"} if data else {}
    opener = urllib.request.build_opener(KeepRedirects)
    try:
        with opener.open(urllib.request.Request(url, data=data, headers=headers), timeout=REPLY_SECONDS) as reply:
            status, head, page = reply.status, reply.headers, reply.read()
    except urllib.error.HTTPError as error:
        status, head, page = error.code, error.headers, error.read()
    text = "HTTP %d\n%s" % (status, "".join("%s: %s\n" % item for item in head.items()))
    return status, text, head.get("Location"), page.decode("utf-8", "replace")


def one_submission(server, mail):
    say("* submitting the example form once, as a browser would:")
    for name, value in SUBMISSION:
        say("    %-9s %s" % (name, value.replace("\r\n", " / ")))
    status, head, location, page = request(server.cgi_url, SUBMISSION)
    show("the reply: 303 See Other, to the site's thank-you page", head + "\n" + page)
    if status != 303 or location is None:
        say("no redirect; quillet's log says:")
        say(server.site.log_text())
        return 1
    _, head, _, page = request(location)
    show("the page the browser then loads (%s)" % location, head + "\n" + page)
    messages = mail.all_messages()
    if not messages:
        say("no message reached the mail server; quillet's log says:")
        say(server.site.log_text())
        return 1
    for message in messages:
        show_message(message)

    say()
    say("* submitting it again as a spam bot does: every field filled in, the hidden")
    say("  honeypot field \"website\" too")
    status, _, location, _ = request(server.cgi_url, SUBMISSION + [("website", "http://cheap-pills.example/")])
    arrived = len(mail.all_messages()) - len(messages)
    say("    the bot gets: HTTP %d to %s, as if it had been sent" % (status, location))
    say("    messages that reached the mail server: %d" % arrived)
    return 0 if status == 303 and arrived == 0 else 1


def serve(server, mail):
    say()
    say("Both servers keep running. Open the form in a browser on this machine:")
    say()
    say("    %s" % server.form_url)
    say()
    say("(On another machine: ssh -L %d:127.0.0.1:%d to this one, then the same URL.)" % (
        server.port, server.port))
    say("Each message lands in %s" % mail.folder)
    say("and is printed here as it arrives; quillet logs to %s." % server.site.log_path)
    say("Press Ctrl-C to stop.")
    seen = set()
    while True:
        for message in mail.all_messages():
            if message.path not in seen:
                seen.add(message.path)
                show_message(message)
        time.sleep(POLL_SECONDS)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--program", required=True, help="the built quillet")
    parser.add_argument("--serve", action="store_true", help="keep the servers running until Ctrl-C")
    parser.add_argument("--tls", action="store_true", help="STARTTLS and a login, as a provider's service")
    args = parser.parse_args(argv)

    # Ctrl-C, a plain kill and a closed terminal all end up in the clean-up
    # below (also when started in the background, where SIGINT arrives
    # ignored).
    signal.signal(signal.SIGINT, signal.default_int_handler)
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    signal.signal(signal.SIGHUP, signal.default_int_handler)
    scratch = tempfile.mkdtemp(prefix="quillet-demo-")
    os.chmod(scratch, 0o755)  # the web server's account passes through to the site
    try:
        options, extra = {}, []
        if args.tls:
            certificates = tls_certs.shared_certificates()
            ca_file = os.path.join(scratch, "ca.pem")
            shutil.copyfile(certificates.ca, ca_file)
            os.chmod(ca_file, 0o644)
            options = dict(tls=certificates.server, user=mailservers.SUBMISSION_USER,
                           password=mailservers.SUBMISSION_PASSWORD)
            extra = ["smtp_tls starttls", "smtp_tls_ca_file " + ca_file, "smtp_user " + mailservers.SUBMISSION_USER,
                     "smtp_password " + mailservers.SUBMISSION_PASSWORD]
        with mailservers.aiosmtpd_server(**options) as mail:
            say("* started the mail server: aiosmtpd on %s, writing each message to" % mail.smtp)
            say("    %s" % mail.folder)
            if args.tls:
                say("    with STARTTLS (a test CA's certificate) and AUTH required; the ini file gets:")
                for line in extra:
                    say("      " + line)
            ini = webserver.example_ini(mail.smtp, extra_lines=extra)
            site = webserver.deploy_example(os.path.join(scratch, "site"), args.program, ini)
            say("* deployed the example site in %s:" % site.directory)
            say("    htdocs/ with form.html, fetch-form.html and thanks.html, and cgi-bin/ with quillet,")
            say("    quillet.ini (examples/quillet.ini with \"smtp %s\"), success.html, failure.html," % mail.smtp)
            say("    quillet.log and quillet.rate")
            with webserver.lighttpd_server(site) as server:
                say("* started lighttpd on %s (PID %d), quillet as %s" % (
                    server.url, server.process.pid, webserver.CGI_PATH))
                say("    the form: %s" % server.form_url)
                # The redirect needs the site's own address, known only now;
                # quillet reads its ini file afresh for every request.
                thanks = server.url + "/thanks.html"
                site.write_ini(webserver.example_ini(mail.smtp, extra_lines=extra + ["success_redirect " + thanks]))
                say("* quillet.ini: \"honeypot_field website\" as the example has it, and")
                say("    success_redirect %s" % thanks)
                try:
                    status = serve(server, mail) if args.serve else one_submission(server, mail)
                except KeyboardInterrupt:
                    say()
                    status = 0
            say("* stopped lighttpd")
        say("* stopped the mail server")
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    say("* removed %s; nothing is left running" % scratch)
    return status


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except KeyboardInterrupt:
        sys.exit(130)
