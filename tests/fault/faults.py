"""What the fault tests add to the end-to-end harness: a look at a running
process through /proc, the supervisor's retry count replayed from what
Tarnwick printed, and rigctl servers that misbehave on purpose. Everything
listens on and talks to 127.0.0.1 only.
"""

import os
import re
import shutil
import socket
import struct
import subprocess
import tempfile
import threading
import time

from harness import LOOPBACK, Target

# The supervisor's promise: a link that is not connected gets a new worker on
# every 16th one-second tick, counting on from the ticks frozen while its
# last connection was made.
RETRY_PERIOD = 16
# How far a tick may lie from where the replay puts it.
TICK_SLACK = 0.5
BANNER = b"Tarnwick running - Press ctrl/c to exit\r\n"
ON = b"T 1\n"
OFF = b"T 0\n"


def connected_message(address):
    return b"Connected to HAMLIB socket Addr %s\r\n" % address


def terminated_message(address):
    return b"HAMLIB Thread Terminated Addr %s\r\n" % address


def lost_message(address):
    return b"HAMLIB Connection lost for Addr %s\r\n" % address


def link_events(output, address):
    """The link's connects and ends as (kind, offset just past the message),
    in order; kind is "up" or "down"."""
    events = []
    for kind, message in (("up", connected_message(address)),
                          ("down", terminated_message(address)),
                          ("down", lost_message(address))):
        start = 0
        while True:
            found = output.find(message, start)
            if found < 0:
                break
            events.append((found, kind, found + len(message)))
            start = found + 1
    return [(kind, end) for _, kind, end in sorted(events)]


class ProcessProbe:
    """Reads a running process's resources from /proc."""

    def __init__(self, pid):
        self.pid = pid
        self._ticks = os.sysconf("SC_CLK_TCK")

    def _path(self, *parts):
        return os.path.join("/proc", str(self.pid), *parts)

    def fds(self):
        return len(os.listdir(self._path("fd")))

    def threads(self):
        return len(os.listdir(self._path("task")))

    def rss_kb(self):
        return self._status_kb("VmRSS")

    def peak_rss_kb(self):
        return self._status_kb("VmHWM")

    def _status_kb(self, field):
        with open(self._path("status")) as status:
            for line in status:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
        raise AssertionError("no %s in /proc/%d/status" % (field, self.pid))

    def cpu_seconds(self):
        """User and system time used so far."""
        with open(self._path("stat")) as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        # utime and stime are fields 14 and 15 of stat; fields[0] is field 3.
        return (int(fields[11]) + int(fields[12])) / self._ticks

    def sample(self):
        return {"fds": self.fds(), "threads": self.threads(), "rss_kb": self.rss_kb()}

    def socket_inodes(self):
        inodes = set()
        for fd in os.listdir(self._path("fd")):
            try:
                target = os.readlink(self._path("fd", fd))
            except OSError:
                continue
            match = re.match(r"socket:\[(\d+)\]$", target)
            if match:
                inodes.add(match.group(1))
        return inodes

    def listening_sockets(self):
        """The process's sockets that wait for others: TCP in LISTEN, any
        UDP socket, and Unix-domain sockets that accept connections. Each as
        (table, line)."""
        inodes = self.socket_inodes()
        found = []
        for table in ("tcp", "tcp6", "udp", "udp6", "unix"):
            try:
                with open(self._path("net", table)) as entries:
                    lines = entries.read().splitlines()[1:]
            except FileNotFoundError:
                continue
            for line in lines:
                fields = line.split()
                if table == "unix":
                    # Num RefCount Protocol Flags Type St Inode [Path];
                    # flag 0x10000 (__SO_ACCEPTCON) marks a listening socket.
                    listening = int(fields[3], 16) & 0x10000 != 0
                    inode = fields[6]
                elif table.startswith("tcp"):
                    listening = fields[3] == "0A"  # TCP_LISTEN
                    inode = fields[9]
                else:
                    listening = True
                    inode = fields[9]
                if listening and inode in inodes:
                    found.append((table, line.strip()))
        return found


# The Windows build's handle_count.exe (run_fault.py --handle-count).
HANDLE_COUNT = None
# The programs are built with a sanitizer (run_fault.py --sanitized), whose
# shadow memory grows as they run: their resident memory is no measure of
# their own, and limits on it are not checked. Every other check stands.
SANITIZED = False


def windows_handle_count(image):
    """Under Wine: how many handles the one running process whose program
    file is named image has open."""
    if HANDLE_COUNT is None:
        raise AssertionError("run_fault.py was not given --handle-count")
    result = subprocess.run(Target.command(HANDLE_COUNT, image), stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, env=Target.environment(), timeout=60)
    rows = [line.split() for line in result.stdout.decode(errors="replace").splitlines()
            if line.strip()]
    if result.returncode != 0 or len(rows) != 1:
        raise AssertionError("handle_count %s: status %d, %r"
                             % (image, result.returncode, result.stdout))
    return int(rows[0][1])


def wait_until(predicate, timeout, interval=0.05):
    """Polls until predicate() is true; returns whether it became true."""
    deadline = time.monotonic() + timeout
    while True:
        if predicate():
            return True
        if time.monotonic() > deadline:
            return False
        time.sleep(interval)


def replay_supervisor(banner, connects, losses, until):
    """Replays the supervisor's count for one link from what Tarnwick
    printed: its ticks fall about 1, 2, 3 ... seconds after the banner; at
    each tick a link that is not connected counts one more, and when the
    count reaches 16 a worker is started and the count starts over. connects
    and losses are the link's connect and loss times, in order: loss i ends
    connection i. Returns (tick time, count after the tick, whether a worker
    was started) for each tick up to until.

    Each tick sleeps a little over a second, so the ticks drift from the
    banner's grid. After the banner a worker is started only on a tick, and
    on the loopback it connects a moment later: a connect puts the grid, and
    the count, back in place."""
    # Loss i ends connection i; the last connection may still be up.
    intervals = [(start, losses[i] if i < len(losses) else float("inf"))
                 for i, start in enumerate(connects)]
    marks = [c for c in connects if c > banner + TICK_SLACK]
    count = 0
    ticks = []
    now = banner + 1.0
    for _ in range(1000000):
        if now > until:
            break
        follows = [c for c in marks if now - TICK_SLACK < c <= now + TICK_SLACK]
        if follows:
            now = follows[0] - 0.001
            count = 0
            started = True
        else:
            started = False
            if not any(start <= now < end for start, end in intervals):
                count += 1
                if count >= RETRY_PERIOD:
                    count = 0
                    started = True
        ticks.append((now, count, started))
        now += 1.0
    return ticks


def frozen_retry_ticks(banner, connects, losses, connect):
    """The count standing when the connection made at `connect` came: the
    value that stays frozen while that connection lasts (0 for a connection
    made before the supervisor's first tick)."""
    ticks = replay_supervisor(banner, connects, losses, connect + TICK_SLACK)
    ticks = [tick for tick in ticks if tick[0] < connect]
    return ticks[-1][1] if ticks else 0


def predicted_start(banner, connects, losses, after):
    """The first worker start after `after` that the replay predicts from
    what happened before it (connects and losses up to then)."""
    known_connects = [c for c in connects if c <= after]
    known_losses = losses[:len(known_connects)]
    for now, _, started in replay_supervisor(banner, known_connects, known_losses,
                                             after + 4 * RETRY_PERIOD):
        if started and now > after:
            return now
    return None


class Server:
    """A loopback rigctl stand-in run by one thread: accepts connections in
    turn and hands each to serve(connection, index). Records when each
    connection came."""

    def __init__(self, receive_buffer=0):
        self._listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        if receive_buffer:
            # Before listen, so that accepted connections advertise a small window.
            self._listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
        self._listener.bind((LOOPBACK, 0))
        self._listener.listen(8)
        self._listener.settimeout(0.2)
        self.port = self._listener.getsockname()[1]
        self.address = b"127.0.0.1:%d" % self.port
        self.accepted = []  # monotonic times
        self.stopped = threading.Event()
        self.error = None
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        index = 0
        while not self.stopped.is_set():
            try:
                connection, _ = self._listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            self.accepted.append(time.monotonic())
            try:
                self.serve(connection, index)
            except Exception as error:  # reported by the test through self.error
                self.error = error
            index += 1

    def serve(self, connection, index):
        raise NotImplementedError

    def stop(self):
        self.stopped.set()
        self._thread.join(10.0)
        self._listener.close()


class AcceptAndClose(Server):
    def serve(self, connection, index):
        connection.close()


def reset(connection):
    """Closes with SO_LINGER 0: the peer gets a reset, not an orderly end."""
    connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    connection.close()


def is_whole_commands(data):
    """Whether data is a run of whole PTT commands and nothing else."""
    return len(data) % 4 == 0 and all(data[i:i + 4] in (ON, OFF) for i in range(0, len(data), 4))


class FaultTest:
    """Mixed into EndToEnd tests: what several fault tests share."""

    def probe(self, program):
        return ProcessProbe(program.popen.pid)

    def start_server(self, server):
        self.addCleanup(server.stop)
        return server

    def private_tarnwick(self):
        """A copy of tarnwick under a name of its own, so that under Wine
        its process can be told from other tests' by its program file.
        Returns the path and the file name."""
        folder = tempfile.mkdtemp(prefix="tnwk-copy-")
        self.addCleanup(shutil.rmtree, folder, True)
        image = "tnwk%d%s" % (os.getpid(), os.path.splitext(Target.tarnwick)[1])
        path = os.path.join(folder, image)
        shutil.copy2(Target.tarnwick, path)
        return path, image

    def assert_alive(self, program):
        status = program.popen.poll()
        printed = program.out.bytes()[-2000:] if program.out is not None else b"(not collected)"
        self.assertIsNone(status, "tarnwick ended with status %s; output %r" % (status, printed))

    def assert_quiet(self, program, seconds, cpu_limit, after):
        """Nothing happening for a while costs the program under cpu_limit
        seconds of CPU: a dropped port is not polled."""
        probe = self.probe(program)
        cpu_before = probe.cpu_seconds()
        time.sleep(seconds)
        cpu = probe.cpu_seconds() - cpu_before
        print("CPU %.3f s in the %.0f s after %s" % (cpu, seconds, after))
        self.assertLess(cpu, cpu_limit)

    def assert_settles(self, probe, limits, timeout=3.0):
        """Waits until each of the probe's counts is at most its limit. Under
        Wine a process keeps a few more descriptors of its own: the Unix
        side of a socket is kept open once it has been used."""
        limits = dict(limits)
        if "fds" in limits:
            limits["fds"] += WINE_FD_SLACK

        def within():
            sample = probe.sample()
            return all(sample[key] <= value for key, value in limits.items())
        if not wait_until(within, timeout):
            self.fail("resources above %r: %r" % (limits, probe.sample()))


def wine_or(native, wine):
    """A figure that differs under Wine, whose programs start and run slower."""
    return wine if Target.wine else native


WINE_FD_SLACK = wine_or(0, 2)
