"""Bad command lines, one table, with the cases of the parser's unit test
where they fit: each gives the outcome the program defines (the usage text,
a refusal with status 1, or a run whose messages say what became of each
port and link), never a crash and never a write to a file. And a machine
that cannot give Tarnwick a thread: --fail-safe refuses to start rather
than run without its way out, and a monitor that cannot start says so."""

import os
import resource
import tempfile
import time

import faults
from faults import BANNER, wine_or
from harness import EndToEnd, Target, unique_name

USAGE = (b"Missing paramters - you need COM port and IP Address and rigctl port of QVN, eg \r\n"
         b"  Tarnwick com10 192.168.1.64:4532\r\n\r\nPress any key to exit\r\n")
NOT_FOUND = 2
REFUSED = wine_or(111, 10061)           # ECONNREFUSED, WSAECONNREFUSED
NO_FAMILY = wine_or(97, 10047)          # EAFNOSUPPORT, WSAEAFNOSUPPORT
UNREACHABLE = wine_or(101, 10051)       # ENETUNREACH, WSAENETUNREACH
NAME_NOT_FOUND = wine_or(-2, 11001)     # EAI_NONAME, WSAHOST_NOT_FOUND
NOT_A_TERMINAL = 25                     # ENOTTY
HUGE = 30000  # under the 32767 characters of a Windows command line


def port_failed(name, code=NOT_FOUND):
    """The two messages of a port that is no virtual port (no such pipe) and
    no COM port (code)."""
    return [b"TXGATE port QVN%s Open failed code %d - trying real com port\r\n" % (name, NOT_FOUND),
            b"TXGATE port %s Open failed code %d\r\n" % (name, code)]


def connected(address):
    return b"Connected to HAMLIB socket Addr %s\r\n" % address


def connect_failed(code, address):
    return b"Connect Failed for HAMLIB socket - error code = %d Addr %s\r\n" % (code, address)


class Case:
    """One command line. `args` may hold {N} (a fresh port name), {L} (the
    case's listening port) and {L+65536}. An exit case gives the status and
    the whole output; a run case gives, from the arguments as filled in,
    every line printed up to a moment after the banner (None: not compared),
    and how many connections the listener gets."""

    def __init__(self, title, args, status=None, output=None, lines=None, connections=0,
                 native_only=False):
        self.title = title
        self.args = args
        self.status = status
        self.output = output
        self.lines = lines
        self.connections = connections
        self.native_only = native_only


def cases(regular_file):
    long_port = b"p" * 64
    long_address = b"127.0.0.1:" + b"4" * 154
    return [
        Case("no argument", [], status=0, output=USAGE),
        Case("one argument", [b"com10"], status=0, output=USAGE),
        Case("third argument ignored", [b"{N}", b"127.0.0.1:{L}", b"{N}x"],
             lines=lambda x: port_failed(x[0]) + [connected(x[1]), BANNER], connections=1),
        Case("four pairs and a spare",
             [b"{N}a", b"127.0.0.1:{L}", b"{N}b", b"127.0.0.1:{L}", b"{N}c", b"127.0.0.1:{L}",
              b"{N}d", b"127.0.0.1:{L}", b"{N}e"],
             lines=lambda x: sum((port_failed(x[k]) for k in (0, 2, 4, 6)), [])
             + [connected(x[1])] * 4 + [BANNER], connections=4),
        Case("five pairs", [b"{N}", b"127.0.0.1:{L}"] * 5, status=1,
             output=b"Too many ports (at most 4)\r\n"),
        Case("64-character port", [long_port, b"127.0.0.1:{L}"], status=1,
             output=b"Port name too long (at most 63 characters): %s\r\n" % long_port),
        Case("164-character address", [b"{N}", long_address], status=1,
             output=b"Address too long (at most 163 characters): %s\r\n" % long_address),
        Case("a time-out of no seconds", [b"{N}", b"127.0.0.1:{L}", b"--tx-timeout=0"], status=1,
             output=b"Bad value for --tx-timeout (1 to 86400 seconds): --tx-timeout=0\r\n"),
        Case("huge argument", [b"x" * HUGE, b"127.0.0.1:{L}"], status=1,
             output=b"Port name too long (at most 63 characters): %s\r\n" % (b"x" * 300)),
        Case("empty port", [b"", b"127.0.0.1:{L}"], lines=lambda x: [BANNER]),
        Case("no colon", [b"{N}", b"127.0.0.1"],
             lines=lambda x: port_failed(x[0]) + [connect_failed(NO_FAMILY, x[1]), BANNER]),
        # The system refuses a TCP connect to 255.255.255.255 at once.
        Case("the broadcast address", [b"{N}", b"255.255.255.255:{L}"],
             lines=lambda x: port_failed(x[0]) + [connect_failed(UNREACHABLE, x[1]), BANNER]),
        # Hosts that are no address and that no name server is asked about
        # (names are looked up in tests/e2e/test_hosts.py, in a network of
        # their own).
        Case("empty host", [b"{N}", b":{L}"],
             lines=lambda x: port_failed(x[0]) + [connect_failed(NAME_NOT_FOUND, x[1]), BANNER]),
        Case("no address in brackets", [b"{N}", b"[nohost]:{L}"],
             lines=lambda x: port_failed(x[0]) + [connect_failed(NAME_NOT_FOUND, x[1]), BANNER]),
        Case("port 0", [b"{N}", b"127.0.0.1:0"],
             lines=lambda x: port_failed(x[0]) + [connect_failed(REFUSED, x[1]), BANNER]),
        Case("non-numeric port", [b"{N}", b"127.0.0.1:abc"],
             lines=lambda x: port_failed(x[0]) + [connect_failed(REFUSED, x[1]), BANNER]),
        Case("port above 65535 keeps its low 16 bits", [b"{N}", b"127.0.0.1:{L+65536}"],
             lines=lambda x: port_failed(x[0]) + [connected(x[1]), BANNER], connections=1),
        Case("non-ASCII bytes", [b"\xc3\xa9\xff{N}", b"127.0.0.1:{L}\xe9\x80"],
             lines=lambda x: port_failed(x[0]) + [connected(x[1]), BANNER], connections=1,
             native_only=True),
        Case("non-ASCII letter", ["\u00e9{N}".encode(), b"127.0.0.1:{L}"],
             lines=None, connections=1),
        Case("format characters", [b"%s%n%x{N}", b"%s%n"],
             lines=lambda x: port_failed(x[0]) + [connect_failed(NO_FAMILY, x[1]), BANNER]),
        Case("/dev/null as a COM port", [b"/dev/null", b"127.0.0.1:{L}"],
             lines=lambda x: port_failed(x[0], NOT_A_TERMINAL) + [connected(x[1]), BANNER],
             connections=1, native_only=True),
        Case("a regular file as a COM port", [regular_file, b"127.0.0.1:{L}"],
             lines=lambda x: port_failed(x[0], NOT_A_TERMINAL) + [connected(x[1]), BANNER],
             connections=1, native_only=True),
    ]


def fill(argument, name, port):
    return (argument.replace(b"{N}", name).replace(b"{L+65536}", b"%d" % (port + 65536))
            .replace(b"{L}", b"%d" % port))


class BadCommandLinesTest(EndToEnd):
    def setUp(self):
        self.scratch = tempfile.mkdtemp(prefix="tnwk-bad-")
        self.addCleanup(os.rmdir, self.scratch)
        self.regular_file = os.path.join(self.scratch, "plain-file")
        with open(self.regular_file, "wb") as plain:
            plain.write(b"not a serial port\n")
        self.addCleanup(os.unlink, self.regular_file)
        before = os.stat(self.regular_file)
        self.file_state = (before.st_size, before.st_mtime_ns)

    def test_each_bad_command_line_has_its_defined_outcome(self):
        runs = []
        for index, case in enumerate(cases(self.regular_file.encode())):
            if case.native_only and Target.wine:
                continue
            listener = self.start_listener()
            port = listener.getsockname()[1]
            name = unique_name("Bad%d" % index).encode()
            args = [fill(argument, name, port) for argument in case.args]
            # Each in an empty folder of its own, to see that it writes nothing.
            folder = tempfile.mkdtemp(prefix="tnwk-cwd-")
            self.addCleanup(os.rmdir, folder)
            program = self.start_in(folder, args)
            runs.append((case, program, listener, args, folder))

        for case, program, listener, args, folder in runs:
            with self.subTest(case.title):
                self.check(case, program, listener, args)
                program.kill()
                self.assertEqual(os.listdir(folder), [], "it wrote a file")
        self.assertEqual(sorted(os.listdir(self.scratch)), ["plain-file"])
        with open(self.regular_file, "rb") as plain:
            self.assertEqual(plain.read(), b"not a serial port\n")
        after = os.stat(self.regular_file)
        self.assertEqual((after.st_size, after.st_mtime_ns), self.file_state)

    def start_in(self, folder, args):
        cwd = os.getcwd()
        os.chdir(folder)
        try:
            return self.start(Target.command(Target.tarnwick, *[a.decode("latin-1")
                                                                 for a in args])
                              if Target.wine else [Target.tarnwick] + args)
        finally:
            os.chdir(cwd)

    def check(self, case, program, listener, args):
        out = program.out
        if case.status is not None:
            status = program.wait_exit(Target.startup_allowance())
            self.assertEqual(status, case.status)
            self.assertEqual(out.bytes(), case.output)
            self.assertEqual(self.accepted(listener), 0)
            return
        out.wait_for(BANNER, Target.startup_allowance() + 3.0)
        expected = case.lines(args) if case.lines else None
        if expected:
            out.wait_for_all(expected, 2.0)
        # Time for a line that should not be there to show.
        time.sleep(0.5)
        status = program.popen.poll()
        self.assertIsNone(status, "ended with status %s" % status)
        lines = [line + b"\r\n" for line in out.bytes().split(b"\r\n")[:-1]]
        if expected is not None:
            self.assertEqual(sorted(lines), sorted(expected))
        self.assertEqual(self.accepted(listener), case.connections)

    @staticmethod
    def accepted(listener):
        """Connections made so far: every link connects before the banner."""
        count = 0
        for _ in range(100):
            try:
                connection, _ = listener.accept()
            except BlockingIOError:
                break
            connection.close()
            count += 1
        return count


def no_room_for_a_thread():
    """ulimit -v far below what one thread's stack asks for (each thread's
    stack is as large as the stack limit), with room for the process itself."""
    resource.setrlimit(resource.RLIMIT_STACK, (1 << 30, 1 << 30))
    resource.setrlimit(resource.RLIMIT_AS, (256 << 20, 256 << 20))


class NoThreadTest(EndToEnd):
    def test_fail_safe_refuses_to_start_and_a_monitor_that_cannot_start_says_so(self):
        if Target.wine:
            self.skipTest("the address-space limit is POSIX's")
        if faults.SANITIZED:
            self.skipTest("a sanitizer's shadow memory needs more address space than the limit")
        listener = self.start_listener()
        address = "127.0.0.1:%d" % listener.getsockname()[1]
        safe = self.start_tarnwick("--fail-safe", unique_name("Nt"), address,
                                   preexec_fn=no_room_for_a_thread)
        self.assertEqual(safe.wait_exit(Target.startup_allowance()), 1)
        self.assertEqual(safe.out.bytes(), b"--fail-safe cannot be set up (code 11)\r\n")

        plain = self.start_tarnwick(unique_name("Nt"), address, preexec_fn=no_room_for_a_thread)
        plain.out.wait_for(b"TXGATE port monitor failed to start code 11\r\n" + BANNER,
                           Target.startup_allowance() + 3.0)

