"""The log file as the runs leave it: who may read it, and how big it may grow
under `log_max_size`. Several runs share the log; the tests here run many at
once to show that it is moved aside by one of them only and that no line is
lost or torn."""

import os
import stat

import pytest

from conftest import LOG_LINE


def mode_of(path):
    return stat.S_IMODE(os.stat(path).st_mode)


# ---- who may read the log ----


@pytest.mark.parametrize(
    "creator",
    ["cgi run", "fatal page", "-blanklog"],
)
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
