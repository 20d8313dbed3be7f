"""Load: 2000 form submissions through lighttpd, 8 at a time, to a private
Postfix instance that delivers them to a local Maildir. Counts, not timings.

The site is the example contact form (examples/) with the default logging
(every step, the whole dialogue), so the one log file is as busy as it gets.
Each submission carries its own marker in its message field. Afterwards:

- every request got the success page, echoing its own marker (2000 pages);
- the mailbox holds 2000 messages, each with one marker, every marker in
  exactly one message (nothing lost, nothing doubled);
- the log consists of whole lines in the log line format, and the lines of
  every run, gathered by its process id, read exactly as those of the first
  submission, which runs alone before the others (no line torn, split or
  interleaved with another run's).

Then the rate limit under the same load: 200 submissions, 8 at a time, from
two client addresses (127.0.0.1 and 127.0.0.2, the clients' sockets bound to
each), with "rate_limit 10 86400" and JSON answers. Exactly 10 per address
are delivered, every other one is refused with 429, nothing else is lost,
and the log holds whole lines: every delivered run logs exactly as every
other delivered run, every refused run as every other refused run.

Needs root (Postfix's private instance, lighttpd running CGI as www-data).
"""

import collections
import http.client
import json
import os
import queue
import re
import shutil
import threading
import time
import urllib.parse

import pytest

import mailservers
import webserver
from conftest import BINARY, LOG_LINE, SANITIZER_MARKS, make_scratch_dir

SUBMISSIONS = 2000
CLIENTS = 8
REQUEST_SECONDS = 120          # one request's limit: a hang guard, not a timing
DELIVERY_SECONDS = 300         # for Postfix's queue to empty after the last request
MARKER_FORMAT = "marker-%04d"  # fixed width: every run's log lines have the same lengths
MARKER = re.compile(rb"marker-\d{4}")

NAME = "Load Tester"
EMAIL = "load.tester@example.org"
TOPIC = "A question"
SUBJECT = "Load test"

pytestmark = pytest.mark.skipif(os.geteuid() != 0, reason="Postfix's private instance and www-data need root")


def form_body(number):
    marker = MARKER_FORMAT % number
    fields = [("Name:", NAME), ("Reply-To:", EMAIL), ("Topic:", TOPIC), ("Subject:", SUBJECT),
              ("Message:", "Submission %s of the load test." % marker)]
    return marker, urllib.parse.urlencode(fields).encode("ascii")


def post(server, body, client_address="127.0.0.1", accept=None):
    """One POST on a connection of its own (so that no request is ever
    sent twice on a connection the server had already closed), from
    `client_address`. Returns (status, page text) or (None, the error)."""
    connection = http.client.HTTPConnection("127.0.0.1", server.port, timeout=REQUEST_SECONDS,
                                            source_address=(client_address, 0))
    headers = {"Content-Type": "application/x-www-form-urlencoded", "Connection": "close"}
    if accept:
        headers["Accept"] = accept
    try:
        connection.request("POST", webserver.CGI_PATH, body=body, headers=headers)
        reply = connection.getresponse()
        return reply.status, reply.read().decode("utf-8", "replace")
    except (OSError, http.client.HTTPException) as error:
        return None, repr(error)
    finally:
        connection.close()


def post_concurrently(server, numbers, address_of=lambda number: "127.0.0.1", accept=None):
    """Posts the submissions `numbers` from CLIENTS threads, each from the
    client address `address_of` gives it; returns {marker: (status, page)}."""
    work = queue.Queue()
    for number in numbers:
        work.put(number)
    results = {}
    lock = threading.Lock()

    def client():
        while True:
            try:
                number = work.get_nowait()
            except queue.Empty:
                return
            marker, body = form_body(number)
            outcome = post(server, body, address_of(number), accept)
            with lock:
                results[marker] = outcome

    threads = [threading.Thread(target=client, daemon=True) for _ in range(CLIENTS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return results


def is_success_page(page, marker):
    """The example's success page for this very submission."""
    return ("<title>Message sent</title>" in page and "Thank you, %s</h1>" % NAME in page
            and "Submission %s of the load test." % marker in page and "Message not sent" not in page)


# ---- the log ----

# Parts of a run's log lines that differ from run to run for good reasons:
# the marker, the queue id in Postfix's reply to the end of the data and, as
# its length varies, the offsets of the reply lines; the socket's number.
VARYING = [
    (re.compile(r"marker-\d{4}"), "marker-NNNN"),
    (re.compile(r"\{127\.0\.0\.[12]\}"), "{ADDRESS}"),
    (re.compile(r"queued as [0-9A-Za-z]+"), "queued as ID"),
    (re.compile(r"^(SEND|SENT|RECV)\(\d+\)"), r"\1(S)"),
    (re.compile(r"^RECV\(S\):\[\d+\]"), "RECV(S):[N]"),
    # The example's Date and Message-ID lines, in the logged header block,
    # and the byte counts of what was sent: the Message-ID holds the process
    # id, whose number of digits varies.
    (re.compile(r"Date: [^\n]*\n"), "Date: DATE\n"),
    (re.compile(r"Message-ID: <[^>]*>"), "Message-ID: <ID>"),
    (re.compile(r"^SENT\(S\): \(\d+/\d+ bytes\)"), "SENT(S): (N/N bytes)"),
]


def log_records(text):
    """The log as (pid, message) records: a line in the log line format
    starts a record, and the lines after it that are not in that format
    belong to its message (a message may hold line feeds of its own).
    Fails on a first line that is not in the format."""
    records = []
    for number, line in enumerate(text.split("\n")[:-1], 1):
        match = LOG_LINE.match(line)
        if match:
            records.append([int(match.group(9)), match.group(10)])
        else:
            assert records, "line %d is not in the log line format: %r" % (number, line)
            records[-1][1] += "\n" + line
    return records


def runs_of(records):
    """The messages of every run: the records of each process id, a new run
    at each "starting version" record (a process id may come back)."""
    runs = []
    current = {}
    for pid, message in records:
        if message.startswith("starting version ") or pid not in current:
            current[pid] = []
            runs.append(current[pid])
        current[pid].append(message)
    return runs


def normalised(messages):
    result = []
    for message in messages:
        for pattern, replacement in VARYING:
            message = pattern.sub(replacement, message)
        result.append(message)
    return result


def test_2000_submissions_8_at_a_time():
    directory = make_scratch_dir()
    try:
        with mailservers.postfix_server() as postfix:
            # The example's ini file with this server and mailbox, and its
            # "logging errors" line taken out: the default logs everything.
            ini = webserver.example_ini(postfix.smtp, to=mailservers.TEST_ADDRESS)
            ini = "".join(line + "\n" for line in ini.splitlines() if not line.startswith("logging "))
            site = webserver.deploy_example(os.path.join(directory, "site"), BINARY, ini)
            with webserver.lighttpd_server(site) as server:
                # The first submission alone: its log lines are the pattern.
                started = time.monotonic()
                results = {}
                marker, body = form_body(1)
                results[marker] = post(server, body)
                first_run_log = site.log_text()
                results.update(post_concurrently(server, range(2, SUBMISSIONS + 1)))
                posting_seconds = time.monotonic() - started
                errors = server.error_log_text()
            postfix.wait_for_delivery(seconds=DELIVERY_SECONDS)
            messages = mailservers.read_maildir(postfix.mailbox_dir())
            others = mailservers.read_maildir(postfix.mailbox_dir(mailservers.VICTIM))
            log = site.log_text()
        print("%d submissions posted in %.1fs; all delivered %.1fs after the first"
              % (SUBMISSIONS, posting_seconds, time.monotonic() - started))
    finally:
        shutil.rmtree(directory, ignore_errors=True)

    for mark in SANITIZER_MARKS:
        assert mark not in errors, "sanitizer report:\n" + errors

    # 2000 success pages, each for its own submission.
    markers = [MARKER_FORMAT % number for number in range(1, SUBMISSIONS + 1)]
    assert sorted(results) == markers
    failed = {marker: outcome for marker, outcome in results.items()
              if outcome[0] != 200 or not is_success_page(outcome[1], marker)}
    assert not failed, "%d of %d requests without their success page, e.g. %r" % (
        len(failed), SUBMISSIONS, sorted(failed.items())[:3])

    # 2000 messages, each with its own marker once, every marker once.
    assert others == []
    found = [MARKER.findall(message.data) for message in messages]
    assert [m for m in found if len(m) != 1] == [], "messages without exactly one marker"
    delivered = collections.Counter(m[0].decode("ascii") for m in found)
    assert sorted(delivered) == markers, "lost: %s" % sorted(set(markers) - set(delivered))[:10]
    assert len(messages) == SUBMISSIONS, "doubled: %s" % [m for m, n in delivered.items() if n > 1][:10]

    # Whole lines in the log line format; every run's lines as the first run's.
    assert log.startswith(first_run_log) and log.endswith("\n")
    pattern = normalised(runs_of(log_records(first_run_log))[0])
    assert pattern[0] == "starting version 1.0w" and pattern[-1] == "ended."
    assert "email sent! (1)" in pattern
    runs = runs_of(log_records(log))
    different = [run for run in runs if normalised(run) != pattern]
    assert not different, "%d of %d runs whose log lines differ from the first's; one of them:\n%s" % (
        len(different), len(runs), "\n".join(different[0])[:4000])
    assert len(runs) == SUBMISSIONS


# ---- the rate limit under load ----

RATE_LIMIT = 10
RATE_WINDOW = 86400                # seconds: the whole test falls in one window
RATE_SUBMISSIONS = 200
CLIENT_ADDRESSES = ("127.0.0.1", "127.0.0.2")
SENT = (200, {"sent": True})
REFUSED = (429, {"sent": False, "reason": "rate_limit"})


def client_address(number):
    return CLIENT_ADDRESSES[number % len(CLIENT_ADDRESSES)]


def test_the_rate_limit_holds_exactly_under_load():
    directory = make_scratch_dir()
    try:
        with mailservers.postfix_server() as postfix:
            ini = webserver.example_ini(postfix.smtp, to=mailservers.TEST_ADDRESS,
                                        extra_lines=["rate_limit %d %d" % (RATE_LIMIT, RATE_WINDOW)])
            ini = "".join(line + "\n" for line in ini.splitlines() if not line.startswith("logging "))
            site = webserver.deploy_example(os.path.join(directory, "site"), BINARY, ini)
            with webserver.lighttpd_server(site) as server:
                results = post_concurrently(server, range(1, RATE_SUBMISSIONS + 1), client_address,
                                            accept="application/json")
                errors = server.error_log_text()
            postfix.wait_for_delivery(seconds=DELIVERY_SECONDS)
            messages = mailservers.read_maildir(postfix.mailbox_dir())
            log = site.log_text()
    finally:
        shutil.rmtree(directory, ignore_errors=True)

    for mark in SANITIZER_MARKS:
        assert mark not in errors, "sanitizer report:\n" + errors

    # Every request answered: exactly RATE_LIMIT sent per address, the rest
    # refused, nothing else.
    answers = {}
    for number in range(1, RATE_SUBMISSIONS + 1):
        marker = MARKER_FORMAT % number
        status, page = results[marker]
        answer = (status, json.loads(page) if status in (200, 429) else page)
        assert answer in (SENT, REFUSED), (marker, status, page[:300])
        answers.setdefault(client_address(number), collections.Counter())[answer[0]] += 1
    per_address = RATE_SUBMISSIONS // len(CLIENT_ADDRESSES)
    print("answers per client address: %s; %d messages delivered" % (
        {address: dict(counts) for address, counts in answers.items()}, len(messages)))
    assert answers == {address: {200: RATE_LIMIT, 429: per_address - RATE_LIMIT} for address in CLIENT_ADDRESSES}

    # The messages delivered are exactly those answered as sent.
    sent = sorted(marker for marker, (status, _) in results.items() if status == 200)
    found = [MARKER.findall(message.data) for message in messages]
    assert sorted(m[0].decode("ascii") for m in found if len(m) == 1) == sent
    assert len(messages) == len(sent)

    # Whole lines; each delivered run logs as every other one, each refused
    # run as every other one.
    assert log.endswith("\n")
    runs = runs_of(log_records(log))
    assert len(runs) == RATE_SUBMISSIONS
    kinds = collections.defaultdict(set)
    for run in runs:
        kinds["email sent! (1)" in run].add(tuple(normalised(run)))
    assert len(kinds[True]) == 1 and len(kinds[False]) == 1, {k: len(v) for k, v in kinds.items()}
    refused_run = next(iter(kinds[False]))
    assert ("email not sent: the client {ADDRESS} reached the rate limit of %d messages in %d seconds"
            % (RATE_LIMIT, RATE_WINDOW)) in refused_run
    assert sum(1 for run in runs if "email sent! (1)" in run) == RATE_LIMIT * len(CLIENT_ADDRESSES)
    assert "rate limit not applied" not in log
