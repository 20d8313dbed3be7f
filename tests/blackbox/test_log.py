"""The log file as the runs leave it: who may read it, and how big it may grow
under `log_max_size`. Several runs share the log; the tests here run many at
once to show that it is moved aside by one of them only and that no line is
lost or torn."""

import fcntl
import os
import pwd
import stat
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

from conftest import LOG_LINE

KILOBYTE = 1024


def mode_of(path):
    return stat.S_IMODE(os.stat(path).st_mode)


def size_of(path):
    return os.path.getsize(path) if os.path.exists(path) else 0


def note(site, kilobytes):
    return "log file reached %d KB; the earlier lines are in %s.old" % (kilobytes, site.log_path)


def old_log_text(site):
    path = site.log_path + ".old"
    return site.read_file(path).decode("latin-1") if os.path.exists(path) else ""


def runs_in(*texts):
    """Each run's messages in the order written, by process id, from log
    texts given oldest first. A line without a frame continues the message
    before it (a message may hold line feeds)."""
    runs = {}
    last = None
    for text in texts:
        for line in text.splitlines():
            match = LOG_LINE.match(line)
            if match:
                last = runs.setdefault(int(match.group(9)), [])
                last.append(match.group(10))
            else:
                assert last is not None, "a log begins with a torn line: %r" % line
                last[-1] += "\n" + line
    return runs


def post(site, number):
    """One run that logs its own number, as a visitor's field value."""
    assert site.cgi("n=v%04d" % number).returncode == 0


# The line through which a run's number reaches the log ("add_header_line(n,v0001)").
NUMBERED_INI = ["use_submitted_variable_for_headerline n"]


def calibrate(site):
    """The messages of one run (number 0), and the bytes it logs, with the
    ini line "log_max_size 99999" (more than any test reaches): the tests
    then write a limit of the same length, so that every run logs as many
    bytes."""
    site.write_ini(["log_max_size 99999"] + NUMBERED_INI)
    post(site, 0)
    (template,) = runs_in(site.log_text()).values()
    size = size_of(site.log_path)
    os.remove(site.log_path)
    return template, size


def expected(template, number, limit):
    """The messages of run `number` under the ini line "log_max_size <limit>"."""
    return [
        m.replace("v0000", "v%04d" % number).replace("{log_max_size 99999}", "{log_max_size %s}" % limit)
        for m in template
    ]


# ---- who may read the log ----


@pytest.mark.parametrize("creator", ["cgi run", "fatal page", "-blanklog"])
def test_a_log_the_program_creates_is_closed_to_others(site, creator):
    # The log holds what visitors wrote: only its owner and group read it.
    if creator == "cgi run":
        site.write_ini(["smtp 127.0.0.1:1"])
    previous = os.umask(0o022)  # a web server's usual umask takes nothing more away
    try:
        run = site.run("-blanklog") if creator == "-blanklog" else site.cgi("a=1")
    finally:
        os.umask(previous)
    assert run.returncode == {"cgi run": 0, "fatal page": 1, "-blanklog": 0}[creator]
    assert mode_of(site.log_path) == 0o640


# ---- log_max_size ----


@pytest.mark.parametrize(
    "value, used, limited",
    [
        ("1", True, True),
        ("1000000", True, False),
        ("0", False, False),
        ("12kb", False, False),
        ("-1", False, False),
        ("1000001", False, False),
        (" 5", False, False),
        ("", False, False),
    ],
)
def test_log_max_size_values(site, value, used, limited):
    line = "log_max_size " + value
    site.write_ini([line] + NUMBERED_INI)
    post(site, 1)  # each run logs more than 1 KB
    post(site, 2)
    messages = [m for ms in runs_in(old_log_text(site), site.log_text()).values() for m in ms]
    assert ("line used from ini file {%s}" % line in messages) == used
    assert os.path.exists(site.log_path + ".old") == limited
    assert (size_of(site.log_path) <= KILOBYTE) == limited


def test_the_log_is_moved_aside_before_a_line_would_pass_the_limit(site):
    template, _ = calibrate(site)
    site.write_ini(["log_max_size 00001"] + NUMBERED_INI)
    old_path = site.log_path + ".old"
    for number in range(1, 5):
        post(site, number)
        assert size_of(site.log_path) <= KILOBYTE
        assert size_of(old_path) <= KILOBYTE
    assert site.log_messages()[0] == note(site, 1)
    # The old log holds the lines before the new one's: each run's lines
    # read on from one to the other without a gap. A run logs more than
    # 1 KB, so its first lines may have gone with an earlier generation.
    runs = runs_in(old_log_text(site), site.log_text())
    for pid, number in zip(runs, range(5 - len(runs), 5)):
        messages = [m for m in runs[pid] if not m.startswith("log file reached")]
        want = expected(template, number, "00001")
        assert messages == want[len(want) - len(messages) :]
    assert runs[list(runs)[-1]][-1] == "ended."


@pytest.mark.parametrize("layout", ["log in the folder", "link to a folder of its own"])
def test_a_program_folder_closed_to_the_web_server(site, layout):
    # The folder is root's: "nobody" may write the log but create nothing
    # beside it, so the log cannot be moved aside there. A symbolic link to
    # a log in a folder of its own (docs/install.md) moves the file it leads to.
    site.write_ini(["log_max_size 2"] + NUMBERED_INI)  # more than a run logs
    earlier = "an earlier line\n" * 128  # 2 KB: full
    log = site.log_path
    if layout == "link to a folder of its own":
        nobody = pwd.getpwnam("nobody")
        os.mkdir(site.path("logs"), 0o750)
        os.chown(site.path("logs"), nobody.pw_uid, nobody.pw_gid)
        os.symlink("logs/quillet.log", site.log_path)
        log = site.path("logs/quillet.log")
    site.write_file(log, earlier, mode=0o666)
    os.chmod(site.directory, 0o755)
    run = site.cgi("n=v0001", user="nobody")
    assert run.returncode == 0
    assert run.stderr == b""
    messages = site.log_messages()
    if layout == "log in the folder":
        assert site.log_text().startswith(earlier)
        errors = [m for m in messages if m.startswith("the log was not rotated")]
        assert errors == ["the log was not rotated: %s.new could not be created (13)(Permission denied)." % log]
        assert messages[128] == "starting version 1.0w" and messages[-1] == "ended."
        assert not os.path.exists(log + ".old")
    else:
        assert os.readlink(site.log_path) == "logs/quillet.log"
        assert site.read_file("logs/quillet.log.old").decode("latin-1") == earlier
        assert messages[0] == "log file reached 2 KB; the earlier lines are in %s.old" % log
        assert messages[1] == "starting version 1.0w" and messages[-1] == "ended."
        assert mode_of(log) == 0o640


WORKERS = 8
RUNS_EACH = 3
LIMIT_KB = 64  # more than all the runs' lines together


def waiting_for_lock(path):
    """How many processes wait for a lock on the file (Linux /proc/locks:
    a waiter's line has "->", each line ends in device:inode, start, end)."""
    inode = ":%d " % os.stat(path).st_ino
    with open("/proc/locks") as locks:
        return sum(1 for line in locks if "->" in line and inode in line)


def test_runs_that_reach_the_limit_at_once_move_the_log_aside_once(site):
    template, run_size = calibrate(site)
    assert WORKERS * RUNS_EACH * run_size + 1000 < LIMIT_KB * KILOBYTE
    site.write_ini(["log_max_size %05d" % LIMIT_KB] + NUMBERED_INI)
    # A log so full that any line passes the limit, held locked (as a run
    # holds it) until every worker's first run waits for it with the log
    # open: the first to get it moves the log aside, the others must see
    # that what they hold is no longer the log, and write to the new one.
    full = "x" * 99 + "\n"
    filler = full * ((LIMIT_KB * KILOBYTE - 10) // len(full))
    site.write_file("quillet.log", filler)
    holder = os.open(site.log_path, os.O_WRONLY)
    fcntl.lockf(holder, fcntl.LOCK_EX)

    def worker(first):
        for number in range(first, first + RUNS_EACH):
            post(site, number)

    with ThreadPoolExecutor(WORKERS) as pool:
        try:
            workers = [pool.submit(worker, 1 + w * RUNS_EACH) for w in range(WORKERS)]
            deadline = time.monotonic() + 120
            while waiting_for_lock(site.log_path) < WORKERS:
                assert time.monotonic() < deadline, "the runs never waited for the lock"
                time.sleep(0.05)
        finally:
            os.close(holder)  # releases the lock
        for done in workers:
            done.result()

    assert site.read_file("quillet.log.old").decode("latin-1") == filler
    assert site.log_messages()[0] == note(site, LIMIT_KB)
    runs = runs_in(site.log_text())
    numbers = []
    for messages in runs.values():
        if messages[0].startswith("log file reached"):
            messages = messages[1:]
        (number,) = [int(m[-5:-1]) for m in messages if m.startswith("add_header_line(n,v")]
        assert messages == expected(template, number, "%05d" % LIMIT_KB)
        numbers.append(number)
    assert sorted(numbers) == list(range(1, WORKERS * RUNS_EACH + 1))
