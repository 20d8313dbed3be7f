"""The interoperability matrix (scripts/interop): which tests of
test_interop.py make which of its columns, a pytest plugin that records the
results, and the table.

A test joins columns with the decorator `column(...)`; a name may hold the
test's parameters in braces ("{hello}"), filled in for each parametrized
copy. A cell passes when every test of its server and column passed.

Loaded with `-p interop_matrix`, the plugin appends one JSON line per test
to the file that QUILLET_INTEROP_RESULTS names: its node id, its server (the
`mail_server` parameter), its columns, its outcome (passed, failed, skipped,
error) and, for a failure, the last lines of pytest's report. Without that
variable the plugin does nothing.
"""

import json
import os

import pytest

RESULTS_VARIABLE = "QUILLET_INTEROP_RESULTS"

# (key, heading), in table order.
COLUMNS = [
    ("EHLO", "EHLO"),
    ("HELO", "HELO"),
    ("LF", "LF ends"),
    ("CRLF", "email_CR"),
    ("dot", "lone \".\""),
    ("long", "5,000 chars"),
    ("8bit", "8-bit"),
    ("refused", "refused RCPT"),
]
# A test without a column of its own: the server checks of the fixture, and
# the other deliveries of test_interop.py.
SERVER_CHECK = "server"
REPORT_LINES = 12


def column(*names):
    """Marks a test as one that makes the cells of `names` (see COLUMNS)."""

    def mark(function):
        function.matrix_columns = names
        return function

    return mark


def server_check(function):
    """Marks a test that checks the server itself, not quillet."""
    function.matrix_columns = (SERVER_CHECK,)
    return function


def columns_of(item):
    names = getattr(getattr(item, "function", None), "matrix_columns", ())
    params = item.callspec.params if hasattr(item, "callspec") else {}
    return [name.format(**params) for name in names]


def server_of(item):
    params = item.callspec.params if hasattr(item, "callspec") else {}
    return params.get("mail_server")


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    report = outcome.get_result()
    path = os.environ.get(RESULTS_VARIABLE)
    if not path:
        return
    # One line per test: its call, or the setup or teardown that failed.
    if report.when == "call" or (report.when == "setup" and not report.passed) or (
            report.when == "teardown" and report.failed):
        if report.when == "call":
            result = "passed" if report.passed else "skipped" if report.skipped else "failed"
        else:
            result = "skipped" if report.skipped else "error"
        text = "" if report.passed else report.longreprtext
        record = {
            "nodeid": item.nodeid,
            "server": server_of(item),
            "columns": columns_of(item),
            "outcome": result,
            "when": report.when,
            "report": "\n".join(text.splitlines()[-REPORT_LINES:]),
        }
        with open(path, "a") as handle:
            handle.write(json.dumps(record) + "\n")


def read_results(path):
    results = []
    with open(path) as handle:
        for line in handle:
            if line.strip():
                results.append(json.loads(line))
    return results


def cell(results, server, key):
    """"pass", "FAIL", "skip" or "-" (no such test ran) for one cell."""
    outcomes = [result["outcome"] for result in results if result["server"] == server and key in result["columns"]]
    if not outcomes:
        return "-"
    if any(outcome in ("failed", "error") for outcome in outcomes):
        return "FAIL"
    if all(outcome == "passed" for outcome in outcomes):
        return "pass"
    return "skip" if all(outcome == "skipped" for outcome in outcomes) else "FAIL"


def tally(results, server, keep):
    """'n/m' for the tests of `server` that `keep` picks: passed of run."""
    chosen = [result for result in results if result["server"] == server and keep(result)]
    if not chosen:
        return "-"
    passed = sum(1 for result in chosen if result["outcome"] == "passed")
    return "%d/%d" % (passed, len(chosen))


def table(results, rows):
    """The matrix as a Markdown table. `rows` lists (server kind, label,
    version); the last two columns count the server's own checks and every
    test of test_interop.py for that server (passed/run)."""
    keys = [key for key, _ in COLUMNS]
    headings = ["Server (setting)", "Version"] + [heading for _, heading in COLUMNS] + ["server checks", "all tests"]
    lines = [headings]
    for server, label, version in rows:
        cells = [cell(results, server, key) for key in keys]
        checks = tally(results, server, lambda result: SERVER_CHECK in result["columns"])
        everything = tally(results, server, lambda result: True)
        lines.append([label, version] + cells + [checks, everything])
    widths = [max(len(line[index]) for line in lines) for index in range(len(headings))]
    out = []
    for number, line in enumerate(lines):
        out.append("| " + " | ".join(text.ljust(width) for text, width in zip(line, widths)) + " |")
        if number == 0:
            out.append("|" + "|".join("-" * (width + 2) for width in widths) + "|")
    return "\n".join(out)


def failures(results):
    """The failed tests with the end of their reports, as text."""
    out = []
    for result in results:
        if result["outcome"] in ("failed", "error"):
            out.append("%s (%s, %s)\n%s" % (result["nodeid"], result["outcome"], result["when"], result["report"]))
    return "\n\n".join(out)
