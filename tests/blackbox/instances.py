"""What the test servers' instances share (mailservers.py: Postfix and
aiosmtpd; packaged_mailservers.py: Exim and OpenSMTPD): the scratch folders
they live in, the clean-up of what an interrupted run left, ports the system
picks, waits, and the checks on processes.

Every instance lives in its own folder under SCRATCH_ROOT, named
"<kind>-<pid of the test process that owns it>-<random>", so the name says
from the moment the folder exists who owns it. A folder whose owner is gone
is what an interrupted run left: the module that made it ends what still runs
there and the folder is removed (`remove_stale_instances`) before it starts
a new instance. A process an instance started records its PID in the folder
(`record_pid`); it is ended by that PID only while it still runs with the
folder on its command line (`recorded_pid`), so never a reused number.
"""

import contextlib
import os
import re
import shutil
import signal
import socket
import stat
import subprocess
import tempfile
import time

SCRATCH_ROOT = os.path.join(tempfile.gettempdir(), "quillet-mailservers-%d" % os.geteuid())
PID_FILE = "server.pid"     # in an instance folder: the PID of the process it started

START_ATTEMPTS = 5          # a picked port may be taken before the server binds it
STOP_WAIT_SECONDS = 20      # for a process to go after SIGTERM
DELIVERY_WAIT_SECONDS = 60  # for a server's queue to empty
COMMAND_SECONDS = 120       # any command a server is set up or asked with


class MailServerError(Exception):
    """A server could not be set up, started, stopped or waited for."""


# ---- ports, commands, waits ----


def free_loopback_port():
    """A TCP port on 127.0.0.1 that was free a moment ago (the system picked it)."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def start_on_a_free_port(start, attempts=START_ATTEMPTS):
    """Starts a server on a port the system picks: `start(port)` returns None
    once the server runs there, or else the text that tells why not (having
    stopped what it started). A port taken between the pick and the server's
    bind ("in use" in the text) is tried again with another, `attempts`
    times in all. Returns None, or the last attempt's text."""
    last = ""
    for _ in range(attempts):
        last = start(free_loopback_port())
        if last is None:
            return None
        if "in use" not in last:
            break
    return last


def run_command(args, env=None, timeout=COMMAND_SECONDS):
    """(exit status, standard output and error) of a command."""
    completed = subprocess.run(args, capture_output=True, env=env, timeout=timeout)
    return completed.returncode, completed.stdout.decode("latin-1") + completed.stderr.decode("latin-1")


def wait_until(predicate, seconds, interval=0.05):
    """Whether `predicate()` became true within `seconds` (asked every `interval`)."""
    deadline = time.monotonic() + seconds
    while True:
        if predicate():
            return True
        if time.monotonic() >= deadline:
            return False
        time.sleep(interval)


def wait_for_queue(list_queue, settled, seconds):
    """Waits until `settled(list_queue())` holds for a server's queue
    listing; raises MailServerError with the last listing otherwise."""
    listing = ""

    def done():
        nonlocal listing
        listing = list_queue()
        return settled(listing)

    if not wait_until(done, seconds, interval=0.1):
        raise MailServerError("queue not empty after %ds:\n%s" % (seconds, listing))


def read_text(path):
    """A file's text (Latin-1), or "" when it cannot be read."""
    try:
        with open(path, "rb") as handle:
            return handle.read().decode("latin-1")
    except (OSError, TypeError):
        return ""


def check_root(what):
    if os.geteuid() != 0:
        raise MailServerError("%s needs root" % what)


@contextlib.contextmanager
def running(server):
    """`server` started; stopped when the block ends, however it ends."""
    server.start()
    try:
        yield server
    finally:
        server.stop()


# ---- processes ----


def process_alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    # A zombie is gone for our purposes.
    try:
        with open("/proc/%d/stat" % pid) as handle:
            return handle.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return True


def end_process(pid, seconds=STOP_WAIT_SECONDS):
    """SIGTERM, then SIGKILL if the process is still there after `seconds`."""
    with contextlib.suppress(ProcessLookupError):
        os.kill(pid, signal.SIGTERM)
    if not wait_until(lambda: not process_alive(pid), seconds, interval=0.05):
        with contextlib.suppress(ProcessLookupError):
            os.kill(pid, signal.SIGKILL)


def end_daemon(instance):
    """Ends an instance's daemon (its `process`, a Popen) by its PID and
    closes the file its standard error went to (`stderr`). Used as a method
    by the instance classes: `end_daemon = instances.end_daemon`."""
    if instance.process is not None:
        end_process(instance.process.pid)
        with contextlib.suppress(subprocess.TimeoutExpired):
            instance.process.wait(timeout=STOP_WAIT_SECONDS)
        instance.process = None
    if instance.stderr is not None:
        instance.stderr.close()
        instance.stderr = None


def child_pids(parent):
    found = []
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        with contextlib.suppress(OSError, IndexError, ValueError):
            with open("/proc/%s/stat" % name) as handle:
                if int(handle.read().rsplit(")", 1)[1].split()[1]) == parent:
                    found.append(int(name))
    return found


def listening_addresses(pid):
    """The (address, port) pairs on which process `pid` has listening TCP
    sockets, from /proc (IPv4 and IPv6)."""
    inodes = set()
    fd_dir = "/proc/%d/fd" % pid
    for name in os.listdir(fd_dir):
        with contextlib.suppress(OSError):
            target = os.readlink(os.path.join(fd_dir, name))
            if target.startswith("socket:["):
                inodes.add(target[len("socket:["):-1])
    found = []
    for table, family in (("/proc/net/tcp", socket.AF_INET), ("/proc/net/tcp6", socket.AF_INET6)):
        with contextlib.suppress(FileNotFoundError):
            with open(table) as handle:
                next(handle)
                for row in handle:
                    fields = row.split()
                    local, state, inode = fields[1], fields[3], fields[9]
                    if state != "0A" or inode not in inodes:  # 0A: LISTEN
                        continue
                    address, port = local.split(":")
                    raw = bytes.fromhex(address)
                    # /proc shows the address as 32-bit words in host order.
                    raw = b"".join(raw[i:i + 4][::-1] for i in range(0, len(raw), 4))
                    found.append((socket.inet_ntop(family, raw), int(port, 16)))
    return found


def listening_pid(pid, port):
    """`pid` or the child of it that listens on `port`, or None."""
    for candidate in [pid] + child_pids(pid):
        with contextlib.suppress(OSError):
            if any(bound == port for _, bound in listening_addresses(candidate)):
                return candidate
    return None


class DaemonInstance:
    """A mail server run as a child process of the tests from its instance
    folder (`root`), listening on 127.0.0.1:`port`, its standard error in
    server.err; what the private Exim and the packaged servers share."""

    def __init__(self):
        self.root = None
        self.process = None
        self.stderr = None
        self.host = "127.0.0.1"
        self.port = None

    @property
    def smtp(self):
        """The ini file's `smtp` value for this server."""
        return "%s:%d" % (self.host, self.port)

    def spawn(self, args):
        """Starts the daemon as a child process; its standard error goes to
        server.err, its PID to server.pid."""
        self.stderr = open(os.path.join(self.root, "server.err"), "ab")
        self.process = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=self.stderr, stderr=self.stderr,
                                        cwd=self.root, start_new_session=True)
        record_pid(self.root, self.process.pid)

    def listening(self):
        """Whether the daemon listens, or is gone (nothing more to wait for)."""
        if self.process.poll() is not None:
            return True
        return listening_pid(self.process.pid, self.port) is not None

    def server_pid(self):
        """The process that holds the listening socket."""
        return listening_pid(self.process.pid, self.port)

    end_daemon = end_daemon


# ---- instance folders ----


def scratch_root():
    """SCRATCH_ROOT, created if missing; refused if it is not a plain folder
    of ours (a symbolic link, another owner)."""
    try:
        os.mkdir(SCRATCH_ROOT, 0o755)
    except FileExistsError:
        pass
    info = os.lstat(SCRATCH_ROOT)
    if not stat.S_ISDIR(info.st_mode) or info.st_uid != os.geteuid():
        raise MailServerError("%s is not a folder owned by this account" % SCRATCH_ROOT)
    os.chmod(SCRATCH_ROOT, 0o755)  # the delivering accounts must pass through
    return SCRATCH_ROOT


def new_instance_dir(kind, remove_stale):
    """A new instance folder "<kind>-<pid of this process>-<random>", made
    after `remove_stale(root)` has cleaned up what interrupted runs left."""
    root = scratch_root()
    remove_stale(root)
    directory = tempfile.mkdtemp(prefix="%s-%d-" % (kind, os.getpid()), dir=root)
    os.chmod(directory, 0o755)
    return directory


def instance_owner(name, kinds):
    """The PID in the name of an instance folder of one of `kinds`, or None."""
    match = re.match(r"(?:%s)-(\d+)-" % "|".join(re.escape(kind) for kind in kinds), name)
    return int(match.group(1)) if match else None


def remove_stale_instances(root, kinds, clean_up):
    """Removes the instance folders of `kinds` under `root` whose test process
    is gone, after `clean_up(folder)` has ended what still runs there."""
    for name in os.listdir(root):
        directory = os.path.join(root, name)
        owner = instance_owner(name, kinds)
        if owner is None or not os.path.isdir(directory) or os.path.islink(directory):
            continue
        if owner == os.getpid() or process_alive(owner):
            continue
        clean_up(directory)
        shutil.rmtree(directory, ignore_errors=True)


def record_pid(directory, pid):
    with open(os.path.join(directory, PID_FILE), "w") as handle:
        handle.write("%d\n" % pid)


def recorded_pid(directory, marker=None):
    """The PID an instance folder recorded, if that process still runs with
    the folder (and `marker`, when given) on its command line."""
    try:
        with open(os.path.join(directory, PID_FILE)) as handle:
            pid = int(handle.read().strip())
        with open("/proc/%d/cmdline" % pid, "rb") as handle:
            command = handle.read()
    except (OSError, ValueError):
        return None
    if directory.encode() not in command or (marker is not None and marker not in command):
        return None
    return pid


def end_recorded_process(directory, marker=None):
    """Ends the process an instance folder recorded (see recorded_pid)."""
    pid = recorded_pid(directory, marker)
    if pid is not None:
        end_process(pid)
