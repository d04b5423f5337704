"""What the end-to-end tests drive: the built tarnwick and qvnsim, real
rigctld servers and small loopback servers, all on 127.0.0.1, and COM ports
with simulated modem lines (tools/modemsim).

Every process a test starts is registered with the test and killed in its
clean-up, so nothing outlives a test (tarnwick runs until it is killed).
"""

import atexit
import bisect
import collections
import fcntl
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

LOOPBACK = "127.0.0.1"
WINE_LOADER = "/usr/lib/wine/wine64"


class Target:
    """The programs under test; run_e2e.py fills it from its command line."""

    tarnwick = None
    qvnsim = None
    modemsim = None  # the native driver; libmodemsim.so lies beside it
    wine = False
    sanitized = False

    @classmethod
    def command(cls, program, *args):
        prefix = [WINE_LOADER] if cls.wine else []
        return prefix + [program] + [str(a) for a in args]

    @classmethod
    def environment(cls):
        env = dict(os.environ)
        if cls.wine:
            env.setdefault("WINEDEBUG", "-all")
        return env

    @classmethod
    def modem_lines_environment(cls):
        """What a program needs to see the lines of modemsim's ports: the
        preloaded library, and a folder of shared files for this process's
        tests (each port's file is named after its device number)."""
        if cls.modemsim is None:
            raise AssertionError("no modemsim given (run_e2e.py --modemsim)")
        if cls._modemsim_dir is None:
            cls._modemsim_dir = tempfile.mkdtemp(prefix="tarnwick-modemsim-")
            # A killed modemsim leaves its port's file behind.
            atexit.register(shutil.rmtree, cls._modemsim_dir, True)
        library = os.path.join(os.path.dirname(cls.modemsim), "libmodemsim.so")
        return {"LD_PRELOAD": library, "MODEMSIM_DIR": cls._modemsim_dir}

    _modemsim_dir = None

    @classmethod
    def startup_allowance(cls):
        """Seconds a program may take to start: Wine is slower."""
        return 15.0 if cls.wine else 5.0


def free_port(host=LOOPBACK):
    """A TCP port on a loopback address (127.0.0.1 or ::1) that nothing
    listens on now."""
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    with socket.socket(family, socket.SOCK_STREAM) as probe:
        probe.bind((host, 0))
        return probe.getsockname()[1]


SYN_SENT = "02"  # a connect's state in /proc/net/tcp: SYN sent, no answer yet


def connecting_since(port, timeout):
    """Waits for a socket connecting to 127.0.0.1:port (SYN sent, no answer
    yet) to show in the kernel's table; returns when it was first seen."""
    remote = "0100007F:%04X" % port
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        with open("/proc/net/tcp") as table:
            for line in table.read().splitlines()[1:]:
                fields = line.split()
                if fields[2] == remote and fields[3] == SYN_SENT:
                    return time.monotonic()
        time.sleep(0.01)
    raise AssertionError("no connect to port %d within %.1f s" % (port, timeout))


def unique_name(tag):
    """A port name no other test uses: never COMn or LPTn."""
    return "tnwk%s%d" % (tag, os.getpid())


class Output:
    """Collects a stream's bytes in a thread, with the time each arrived."""

    def __init__(self, stream):
        # A descriptor of the reader's own: the test closes the stream when
        # it ends the program, and a number closed under a reader between
        # two reads could be another program's output by its next read.
        self._fd = os.dup(stream.fileno())
        self._data = bytearray()
        self._ends = []   # offset just past each chunk
        self._times = []  # monotonic time each chunk arrived
        self._closed = False
        self._error = None  # what ended the stream, when it was no end of file
        self._cond = threading.Condition()
        self._thread = threading.Thread(target=self._pump, daemon=True)
        self._thread.start()

    def _pump(self):
        try:
            while True:
                try:
                    chunk = os.read(self._fd, 4096)
                except OSError as error:
                    chunk = b""
                    self._error = error
                now = time.monotonic()
                with self._cond:
                    if not chunk:
                        self._closed = True
                        self._cond.notify_all()
                        return
                    self._data += chunk
                    self._ends.append(len(self._data))
                    self._times.append(now)
                    self._cond.notify_all()
        finally:
            os.close(self._fd)

    def _state(self):
        if not self._closed:
            return "open"
        return "closed" if self._error is None else "ended by %r" % self._error

    def bytes(self):
        with self._cond:
            return bytes(self._data)

    def arrival(self, end):
        """When the byte just before offset end had arrived."""
        with self._cond:
            i = bisect.bisect_left(self._ends, end)
            return self._times[i]

    def wait_for(self, needle, timeout, start=0):
        """Waits until needle appears at or after start; returns the offset
        just past it. Fails the test on timeout."""
        return self.wait_for_all([needle], timeout, start)

    def wait_for_all(self, needles, timeout, start=0):
        """Waits until every needle appears at or after start, in any order:
        lines that different threads print keep none between them. A needle
        listed n times must appear n times. Returns the offset just past the
        one that ends last. Fails the test on timeout."""
        wanted = collections.Counter(needles)
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                last = start
                missing = []
                for needle, count in wanted.items():
                    end = self._end_of_nth(needle, count, start)
                    if end is None:
                        missing.append(needle)
                    else:
                        last = max(last, end)
                if not missing:
                    return last
                left = deadline - time.monotonic()
                if left <= 0 or self._closed:
                    raise AssertionError(
                        "%s not seen within %.1f s (stream %s); got %r"
                        % (" nor ".join(repr(needle) for needle in missing), timeout,
                           self._state(), bytes(self._data)))
                self._cond.wait(left)

    def _end_of_nth(self, needle, count, start):
        """The offset just past the count-th of needle's appearances after
        start, which do not overlap; None when there are fewer."""
        end = start
        for _ in range(count):
            found = self._data.find(needle, end)
            if found < 0:
                return None
            end = found + len(needle)
        return end

    def wait_closed(self, timeout):
        """Waits until the stream has ended and its reader has taken all of
        it."""
        deadline = time.monotonic() + timeout
        with self._cond:
            while not self._closed:
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError("stream still open after %.1f s" % timeout)
                self._cond.wait(left)
        self._thread.join(max(0.0, deadline - time.monotonic()))
        if self._error is not None:
            raise AssertionError("reading the stream failed: %r" % self._error)


class Program:
    """A started process with its standard output collected, unless it is
    given a descriptor of the test's own as its standard output. In a
    process group of its own (own_group), it is killed with every process
    of the group: --fail-safe's guard, which would otherwise act after the
    test."""

    def __init__(self, command, stdin=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                 environment=None, preexec_fn=None, stdout=subprocess.PIPE, own_group=False):
        self.started = time.monotonic()
        env = Target.environment()
        env.update(environment or {})
        self.own_group = own_group
        self.popen = subprocess.Popen(command, stdin=stdin, stdout=stdout,
                                      stderr=stderr, env=env, preexec_fn=preexec_fn,
                                      process_group=0 if own_group else None)
        self.out = Output(self.popen.stdout) if stdout == subprocess.PIPE else None

    def group(self):
        """The processes of its group still running, by process id (the
        program and the guard it may have started)."""
        found = []
        for entry in os.listdir("/proc"):
            try:
                with open("/proc/%s/stat" % entry) as stat:
                    fields = stat.read().rsplit(")", 1)[1].split()
            except (OSError, IndexError, ValueError):
                continue
            if int(fields[2]) == self.popen.pid and fields[0] != "Z":
                found.append(int(entry))
        return found

    def kill(self):
        if self.own_group:
            try:
                os.killpg(self.popen.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        if self.popen.poll() is None:
            self.popen.kill()
        self.popen.wait()
        for stream in (self.popen.stdin, self.popen.stdout, self.popen.stderr):
            if stream is not None:
                stream.close()

    def wait_exit(self, timeout):
        status = self.popen.wait(timeout)
        if self.out is not None:
            self.out.wait_closed(timeout)
        return status


class Rigctld:
    """Hamlib's rigctl server with the dummy rig, on a loopback port of
    127.0.0.1 or, given host="::1", of ::1, started with the extra
    arguments too (e.g. "--vfo", or "-A", PASSWORD)."""

    def __init__(self, port=None, host=LOOPBACK, ptt_type="RIG", extra=()):
        self._port_chosen = port is None
        self.ptt_type = ptt_type
        self.extra = list(extra)
        self.host = host
        self.port = port or free_port(host)
        self.popen = None
        self._query = None

    def start(self):
        """Starts rigctld and waits until it accepts. A port chosen here
        that another process took meanwhile is exchanged for a new one."""
        if shutil.which("rigctld") is None:
            raise AssertionError("rigctld is not installed (Debian: libhamlib-utils)")
        for attempt in range(3):
            self.popen = subprocess.Popen(
                ["rigctld", "-m", "1"] + (["-P", self.ptt_type] if self.ptt_type else [])
                + self.extra + ["-T", self.host, "-t", str(self.port)],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            try:
                self._wait_accepting(10.0)
                return self
            except AssertionError:
                self.kill()
                if not self._port_chosen or attempt == 2:
                    raise
                self.port = free_port(self.host)
        return self

    def _wait_accepting(self, timeout):
        deadline = time.monotonic() + timeout
        while True:
            if self.popen.poll() is not None:
                raise AssertionError("rigctld on port %d exited with %d"
                                     % (self.port, self.popen.returncode))
            try:
                socket.create_connection((self.host, self.port), timeout=1.0).close()
                if self._listens_itself():
                    return
            except OSError:
                pass
            if time.monotonic() > deadline:
                raise AssertionError("rigctld does not accept on port %d" % self.port)
            time.sleep(0.02)

    def _listens_itself(self):
        """Whether the socket listening on the port is this rigctld's: a
        parallel test's rigctld that took the port first answers as well,
        until that test ends it."""
        own = set()
        try:
            for fd in os.listdir("/proc/%d/fd" % self.popen.pid):
                own.add(os.readlink("/proc/%d/fd/%s" % (self.popen.pid, fd)))
        except OSError:
            return False  # it has ended, or is ending
        for table in ("/proc/net/tcp", "/proc/net/tcp6"):
            with open(table) as entries:
                for line in entries.read().splitlines()[1:]:
                    fields = line.split()
                    if (fields[3] == "0A" and int(fields[1].rsplit(":", 1)[1], 16) == self.port
                            and "socket:[%s]" % fields[9] in own):
                        return True
        return False

    def kill(self):
        self._close_query()
        if self.popen is not None and self.popen.poll() is None:
            self.popen.kill()
        if self.popen is not None:
            self.popen.wait()

    def ptt(self):
        """The rig's PTT state as rigctld reports it ("t" command), asked on
        a connection of its own that is kept open."""
        return int(self._ask(b"t", (b"0\n", b"1\n")))

    def set_ptt(self, state):
        """Keys or releases the rig as another client would, on the same
        connection, so that no client of this rigctld closes meanwhile."""
        self._ask(b"T %d" % state, (b"RPRT 0\n",))

    def _ask(self, command, answers):
        """Sends one command and returns its answer. A connection that broke
        (rigctld restarted) or answered out of turn is made again once:
        rigctld 4.5.4 closes a finished client's socket three times, so a
        connection it accepts meanwhile can be closed or crossed with
        another."""
        for attempt in range(2):
            try:
                if self._query is None:
                    self._query = socket.create_connection((self.host, self.port), timeout=2.0)
                answer = self._read_answer(command)
                if answer in answers:
                    return answer
                problem = AssertionError("rigctld answered %r to %r" % (answer, command))
            except OSError as error:
                problem = error
            self._close_query()
            if attempt == 1:
                raise problem
        return None

    def _read_answer(self, command):
        # In VFO mode every command names its VFO first.
        vfo = b" currVFO" if "--vfo" in self.extra else b""
        self._query.sendall(command[:1] + vfo + command[1:] + b"\n")
        answer = b""
        while not answer.endswith(b"\n"):
            chunk = self._query.recv(64)
            if not chunk:
                raise ConnectionResetError("rigctld closed the query connection")
            answer += chunk
        return answer

    def _close_query(self):
        if self._query is not None:
            self._query.close()
            self._query = None

    def wait_ptt(self, expected, timeout=2.0):
        """Polls until the rig reports the expected PTT state; returns the
        seconds it took."""
        start = time.monotonic()
        while True:
            state = self.ptt()
            if state == expected:
                return time.monotonic() - start
            if time.monotonic() - start > timeout:
                raise AssertionError("rig on port %d reports PTT %d, expected %d after %.1f s"
                                     % (self.port, state, expected, timeout))
            time.sleep(0.01)


class RecordingRig:
    """A loopback rigctl stand-in that records every byte it receives, and
    when each line came, and answers the k-th line with answers[k], or else
    "RPRT 0\\n". With hold_open it keeps its side of the connection open
    after the client has ended the stream, until stop."""

    def __init__(self, hold_open=False, answers=()):
        self._listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self._listener.bind((LOOPBACK, 0))
        self._listener.listen(4)
        self.port = self._listener.getsockname()[1]
        self._received = bytearray()
        self.line_times = []
        self._answers = list(answers)
        self._connections = 0
        self._hold_open = hold_open
        self.stream_ended = False  # the client ended its stream in order
        self._cond = threading.Condition()
        self._stopped = False
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def _serve(self):
        try:
            connection, _ = self._listener.accept()
        except OSError:
            return
        with self._cond:
            self._connections += 1
            self._cond.notify_all()
        with connection:
            while not self._stopped:
                try:
                    chunk = connection.recv(4096)
                except OSError:
                    return
                if not chunk:
                    self._note_end()
                    return
                with self._cond:
                    self._received += chunk
                    self._cond.notify_all()
                connection.sendall(self._answer(chunk.count(b"\n")))

    def _answer(self, lines):
        answer = b""
        for _ in range(lines):
            k = len(self.line_times)
            self.line_times.append(time.monotonic())
            answer += self._answers[k] if k < len(self._answers) else b"RPRT 0\n"
        return answer

    def _note_end(self):
        with self._cond:
            self.stream_ended = True
            self._cond.notify_all()
            while self._hold_open and not self._stopped:
                self._cond.wait(0.1)

    def received(self):
        with self._cond:
            return bytes(self._received)

    def wait_received(self, expected, timeout=2.0):
        """Waits until at least len(expected) bytes came; returns them all."""
        return self.wait_until(lambda received: len(received) >= len(expected), timeout)

    def wait_until(self, predicate, timeout=2.0):
        """Waits until predicate(all bytes received) holds, or the time is
        up; returns the bytes."""
        with self._cond:
            self._cond.wait_for(lambda: predicate(bytes(self._received)), timeout)
            return bytes(self._received)

    def another_connection(self, timeout):
        """Whether a client connects again within the timeout, once the
        first connection has ended."""
        self._listener.settimeout(timeout)
        try:
            connection, _ = self._listener.accept()
        except OSError:
            return False
        connection.close()
        return True

    def wait_stream_ended(self, timeout=2.0):
        """Whether the client ended its stream in order within the time."""
        with self._cond:
            return self._cond.wait_for(lambda: self.stream_ended, timeout)

    def stop(self):
        with self._cond:
            self._stopped = True
            self._cond.notify_all()
        self._listener.close()


def as_user(uid, command):
    """The command run as another user (setpriv, as root)."""
    return ["setpriv", "--reuid=%d" % uid, "--regid=%d" % uid, "--clear-groups"] + command


class Relay:
    """A loopback relay in front of a rigctl server, which a test can cut
    and restore. Cut, it closes every connection through it and nothing
    listens on its port, so connects are refused; the server behind it
    keeps its state (rigctld keeps PTT keyed). Restored, it listens on the
    same port again."""

    def __init__(self, server_port):
        self.server_port = server_port
        self.port = 0
        self._lock = threading.Lock()
        self._listener = None
        self._sockets = []
        self.restore()
        self.port = self._listener.getsockname()[1]

    def restore(self):
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind((LOOPBACK, self.port))
        listener.listen(4)
        with self._lock:
            self._listener = listener
        threading.Thread(target=self._accept, args=(listener,), daemon=True).start()

    def cut(self):
        with self._lock:
            listener, self._listener = self._listener, None
            sockets, self._sockets = self._sockets, []
        if listener is not None:
            # Closing alone would leave the accepting thread, and so the
            # listening socket, in accept.
            listener.shutdown(socket.SHUT_RDWR)
            listener.close()
        for sock in sockets:
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            sock.close()

    def stop(self):
        self.cut()

    def _accept(self, listener):
        while True:
            try:
                client, _ = listener.accept()
            except OSError:
                return
            try:
                server = socket.create_connection((LOOPBACK, self.server_port), timeout=2.0)
                server.settimeout(None)
            except OSError:
                client.close()
                continue
            with self._lock:
                self._sockets += [client, server]
            for source, sink in ((client, server), (server, client)):
                threading.Thread(target=self._pump, args=(source, sink), daemon=True).start()

    @staticmethod
    def _pump(source, sink):
        """Carries one direction; its end, or a failure, ends the other too."""
        try:
            while True:
                chunk = source.recv(4096)
                if not chunk:
                    break
                sink.sendall(chunk)
        except OSError:
            pass
        for sock in (source, sink):
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


class DrivenProgram:
    """A tool driven through its stdin that answers each command with a line
    on stdout; the tool's own class sets self.program and self._cursor and
    says who it is in label()."""

    def next_line(self, timeout):
        end = self.program.out.wait_for(b"\n", timeout, self._cursor)
        line = self.program.out.bytes()[self._cursor:end].rstrip(b"\r\n")
        self._cursor = end
        return line

    def expect(self, line, timeout):
        got = self.next_line(timeout)
        if got != line:
            raise AssertionError("%s said %r, expected %r" % (self.label(), got, line))


class Qvnsim(DrivenProgram):
    """qvnsim offering one virtual port, driven through its stdin; run as
    another user when uid is given."""

    def __init__(self, test, name, uid=None, **start):
        self.name = name
        command = Target.command(Target.qvnsim, name)
        if uid is not None:
            command = as_user(uid, command)
        self.program = test.start(command, stdin=subprocess.PIPE, **start)
        self._cursor = 0
        if not Target.wine:
            # A killed qvnsim leaves its socket file behind.
            test.addCleanup(self._remove_socket_file)

    def label(self):
        return "qvnsim " + self.name

    def _remove_socket_file(self):
        try:
            os.unlink("/tmp/QVN" + self.name)
        except FileNotFoundError:
            pass

    def wait_ready(self):
        self.expect(b"ready", Target.startup_allowance())

    def wait_connected(self):
        self.expect(b"connected", Target.startup_allowance())

    def send(self, command, acknowledgement=b"ok"):
        self.program.popen.stdin.write(command.encode() + b"\n")
        self.program.popen.stdin.flush()
        self.expect(acknowledgement, 5.0)

    def quit(self):
        """Closes the port and waits until qvnsim has ended. Offering the
        port again before then races its clean-up: natively it removes
        /tmp/QVN<NAME> after closing the connection, and could remove the
        new qvnsim's socket file."""
        self.send("quit")
        self.program.wait_exit(Target.startup_allowance())


class Modemsim(DrivenProgram):
    """modemsim: a pseudo-terminal whose modem lines the test sets through
    modemsim's stdin. It is a native program, under Wine too; there the port
    gets a COM name of its own in the prefix (see claim_com_name)."""

    FIRST_COM = 40  # above the names a prefix or another program may use

    def __init__(self, test):
        self._test = test
        self.program = test.start([Target.modemsim], stdin=subprocess.PIPE)
        self._cursor = 0
        self.device = None
        words = self.next_line(Target.startup_allowance()).split()
        if len(words) != 2 or words[0] != b"port":
            raise AssertionError("modemsim said %r" % b" ".join(words))
        self.device = words[1].decode()
        self.expect(b"ready", 5.0)
        # The port's name as Tarnwick is given it.
        self.name = self.claim_com_name() if Target.wine else self.device

    def label(self):
        return "modemsim %s" % self.device

    def claim_com_name(self):
        """Links the first free COMn of the prefix to the port; returns the
        name. A lock held for the test's life claims the number, so tests
        that share the prefix never take the same one, and a link left by a
        killed test is simply replaced."""
        dosdevices = os.path.join(os.environ["WINEPREFIX"], "dosdevices")
        for number in range(self.FIRST_COM, 256):
            lock = open(os.path.join(dosdevices, ".tarnwick-com%d.lock" % number), "w")
            try:
                fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                lock.close()
                continue
            link = os.path.join(dosdevices, "com%d" % number)
            if os.path.lexists(link):
                os.unlink(link)
            os.symlink(self.device, link)
            self._test.addCleanup(lock.close)
            self._test.addCleanup(os.unlink, link)
            return "COM%d" % number
        raise AssertionError("no free COM name in %s" % dosdevices)

    def ask(self, command, timeout=5.0):
        """Sends a command; returns modemsim's one-line answer."""
        self.program.popen.stdin.write(command.encode() + b"\n")
        self.program.popen.stdin.flush()
        return self.next_line(timeout)

    def send(self, command, timeout=5.0):
        answer = self.ask(command, timeout)
        if answer != b"ok":
            raise AssertionError("%s answered %r to %r" % (self.label(), answer, command))

    def count(self, question, key):
        """A number from an answer such as "calls TIOCMGET 3 ..." or "written 0"."""
        words = self.ask(question).split()
        return int(words[words.index(key.encode()) + 1])


class EndToEnd(unittest.TestCase):
    """Base of the end-to-end tests: starts programs and cleans up after.
    Once a test has made a port with simulated lines, the programs it starts
    afterwards see those lines."""

    environment = {}
    # The end of each program's output shown after a failed test.
    SHOWN_ON_FAILURE = 1500

    def run(self, result=None):
        """Runs the test; when it failed, shows what every program it
        started had printed, so that a failure seen once in CI can be read."""
        self._programs = []
        if result is None:
            return super().run(result)
        before = len(result.failures) + len(result.errors)
        outcome = super().run(result)
        if len(result.failures) + len(result.errors) > before:
            self._show_program_outputs()
        return outcome

    def _show_program_outputs(self):
        for command, program in self._programs:
            if program.out is None:
                continue
            printed = program.out.bytes()[-self.SHOWN_ON_FAILURE:]
            sys.stderr.write("--- %s (status %s) printed:\n%r\n"
                             % (" ".join(command), program.popen.returncode, printed))

    def start(self, command, stdin=subprocess.DEVNULL, **options):
        """Starts a program; options are Program's (stderr, preexec_fn)."""
        program = Program(command, stdin=stdin, environment=self.environment, **options)
        self.addCleanup(program.kill)
        self._programs.append((command, program))
        return program

    def start_modemsim(self):
        self.environment = Target.modem_lines_environment()
        return Modemsim(self)

    def start_tarnwick(self, *args, stdin=subprocess.DEVNULL, uid=None, **start):
        """start's options: preexec_fn, stdout."""
        command = Target.command(Target.tarnwick, *args)
        if uid is not None:
            command = as_user(uid, command)
        return self.start(command, stdin=stdin, own_group=True, **start)

    def start_tarnwick_on(self, names, rigs, options=(), **start):
        """Starts Tarnwick with the options, then port names[k] paired with
        rigs[k]."""
        args = list(options)
        for name, rig in zip(names, rigs):
            args += [name, "127.0.0.1:%d" % rig.port]
        return self.start_tarnwick(*args, **start)

    def start_linked(self, names, rigs, options=()):
        """qvnsim on each name, and Tarnwick with the options between them
        and the rigs; returns (tarnwick, sims) once every port is open and
        every link up."""
        sims = [self.start_qvnsim(name) for name in names]
        tarnwick = self.start_tarnwick_on(names, rigs, options)
        for sim, rig in zip(sims, rigs):
            sim.wait_connected()
            self.wait_linked(tarnwick, rig.port)
        return tarnwick, sims

    def start_rigctld(self, port=None, host=LOOPBACK, ptt_type="RIG", extra=()):
        rig = Rigctld(port, host, ptt_type, extra)
        self.addCleanup(rig.kill)
        return rig.start()

    def start_qvnsim(self, name, uid=None, **start):
        sim = Qvnsim(self, name, uid, **start)
        sim.wait_ready()
        return sim

    def start_listener(self):
        """A non-blocking socket listening on a free loopback port, which
        connects each link pointed at it (connections wait unaccepted)."""
        server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.addCleanup(server.close)
        server.bind((LOOPBACK, 0))
        server.listen(8)
        server.setblocking(False)
        return server

    def start_recording_rig(self, hold_open=False, answers=()):
        rig = RecordingRig(hold_open, answers)
        self.addCleanup(rig.stop)
        return rig

    def check_each_rig_follows_its_port(self, rigs, set_ptt):
        """Keys and releases each port in turn, set_ptt(k, state) setting
        port k's PTT, and reads back every rig after each change: each
        change reaches its own rig and no other."""
        def assert_states(expected):
            for rig, state in zip(rigs, expected):
                rig.wait_ptt(state)
            self.assertEqual([rig.ptt() for rig in rigs], expected)

        states = [0] * len(rigs)
        for state, order in ((1, (2, 0, 3, 1)), (0, (1, 2, 0, 3))):
            for k in order:
                set_ptt(k, state)
                states[k] = state
                assert_states(states)

    def start_relay(self, server_port):
        relay = Relay(server_port)
        self.addCleanup(relay.stop)
        return relay

    def wait_linked(self, tarnwick, rig_port, start=0, timeout=None, address=None):
        """Waits for the connected message of the link to rig_port, or to
        the address as typed; returns the offset just past it."""
        address = address or "127.0.0.1:%d" % rig_port
        message = b"Connected to HAMLIB socket Addr %s\r\n" % address.encode()
        return tarnwick.out.wait_for(message, timeout or Target.startup_allowance(), start)
