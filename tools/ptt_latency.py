#!/usr/bin/env python3
"""Measures Tarnwick's PTT latency end to end.

  ptt_latency.py --tarnwick PATH [--changes N] [--qvnsim PATH [--wine]]

A loopback rigctl stand-in on 127.0.0.1 receives Tarnwick's link, answers
every command with "RPRT 0\\n" and timestamps each "T 1\\n" / "T 0\\n" the
moment it arrives. PTT changes go into a virtual port one at a time, each
after the previous command has arrived, alternating on and off; the
latency of a change is from its write to its command's arrival.

By default (POSIX only) the script offers the virtual port itself, as QVN
would, on the Unix socket /tmp/QVN<name>, and times the very write of the
status bytes. With --qvnsim the changes go through qvnsim's standard input
("on"/"off"), and the time also covers qvnsim reading its command; with
--wine both programs are Windows builds run by /usr/lib/wine/wine64.
"""

import argparse
import os
import socket
import statistics
import subprocess
import sys
import threading
import time

LOOPBACK = "127.0.0.1"
WINE_LOADER = "/usr/lib/wine/wine64"
ON, OFF = b"T 1\n", b"T 0\n"


def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tarnwick", required=True)
    parser.add_argument("--changes", type=int, default=1000)
    parser.add_argument("--qvnsim", help="drive the port through qvnsim")
    parser.add_argument("--wine", action="store_true", help="run Windows builds under Wine")
    arguments = parser.parse_args()
    if arguments.wine and not arguments.qvnsim:
        parser.error("--wine needs --qvnsim (the port is then a Windows named pipe)")
    if arguments.changes < 1:
        parser.error("--changes must be at least 1")
    return arguments


class Lines:
    """Reads a program's output in a thread; waits for a given line."""

    def __init__(self, stream):
        self._data = b""
        self._cond = threading.Condition()
        self._stream = stream
        threading.Thread(target=self._pump, daemon=True).start()

    def _pump(self):
        while True:
            chunk = os.read(self._stream.fileno(), 4096)
            with self._cond:
                self._data += chunk
                self._cond.notify_all()
            if not chunk:
                return

    def wait_for(self, text, timeout):
        deadline = time.monotonic() + timeout
        with self._cond:
            while text not in self._data:
                left = deadline - time.monotonic()
                if left <= 0:
                    raise SystemExit("timed out waiting for %r; output so far: %r"
                                     % (text, self._data))
                self._cond.wait(left)
            self._data = self._data[self._data.index(text) + len(text):]


def command(arguments, program, *args):
    return ([WINE_LOADER] if arguments.wine else []) + [program] + list(args)


def environment(arguments):
    env = dict(os.environ)
    if arguments.wine:
        env.setdefault("WINEDEBUG", "-all")
    return env


def start(arguments, program, *args, stdin=subprocess.DEVNULL):
    return subprocess.Popen(command(arguments, program, *args), stdin=stdin,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                            env=environment(arguments))


class OwnPort:
    """The virtual port offered by this script on /tmp/QVN<name>."""

    def __init__(self, name):
        self.path = "/tmp/QVN" + name
        if os.path.exists(self.path):
            os.unlink(self.path)
        self.listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.listener.bind(self.path)
        self.listener.listen(1)
        self.connection = None

    def wait_opened(self, timeout):
        self.listener.settimeout(timeout)
        self.connection, _ = self.listener.accept()

    def change(self, on):
        self.connection.sendall(bytes([0xFF, 0x02 if on else 0x00]))

    def after_change(self):
        pass

    def close(self):
        for sock in (self.connection, self.listener):
            if sock is not None:
                sock.close()
        if os.path.exists(self.path):
            os.unlink(self.path)


class QvnsimPort:
    """The virtual port offered by qvnsim, driven through its stdin."""

    def __init__(self, arguments, name):
        # A killed POSIX qvnsim leaves its socket file behind.
        self.socket_file = None if arguments.wine else "/tmp/QVN" + name
        self.process = start(arguments, arguments.qvnsim, name, stdin=subprocess.PIPE)
        self.lines = Lines(self.process.stdout)
        self.lines.wait_for(b"ready", 30.0)

    def wait_opened(self, timeout):
        self.lines.wait_for(b"connected", timeout)

    def change(self, on):
        self.process.stdin.write(b"on\n" if on else b"off\n")
        self.process.stdin.flush()

    def after_change(self):
        self.lines.wait_for(b"ok", 5.0)

    def close(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()
        if self.socket_file and os.path.exists(self.socket_file):
            os.unlink(self.socket_file)


def receive_command(connection, pending):
    """Returns the next 4-byte command and the time its last byte arrived."""
    while len(pending) < 4:
        chunk = connection.recv(64)
        arrived = time.perf_counter_ns()
        if not chunk:
            raise SystemExit("Tarnwick closed the link")
        pending += chunk
    return bytes(pending[:4]), arrived, pending[4:]


def measure(port, connection, changes):
    latencies = []
    pending = bytearray()
    for i in range(changes):
        on = i % 2 == 0
        written = time.perf_counter_ns()
        port.change(on)
        got, arrived, pending = receive_command(connection, pending)
        if got != (ON if on else OFF):
            raise SystemExit("change %d: expected %r, got %r" % (i, ON if on else OFF, got))
        connection.sendall(b"RPRT 0\n")
        latencies.append((arrived - written) / 1000.0)
        port.after_change()
    return latencies


def report(latencies, how):
    ordered = sorted(latencies)
    p99 = ordered[max(0, -(-len(ordered) * 99 // 100) - 1)]
    print("PTT latency over %d changes (%s), microseconds:" % (len(ordered), how))
    print("  median %.0f  p99 %.0f  max %.0f  min %.0f  mean %.0f"
          % (statistics.median(ordered), p99, ordered[-1], ordered[0],
             statistics.fmean(ordered)))


def main():
    arguments = parse_arguments()
    name = "tnwkLatency%d" % os.getpid()
    rig = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    rig.bind((LOOPBACK, 0))
    rig.listen(1)
    port = QvnsimPort(arguments, name) if arguments.qvnsim else OwnPort(name)
    tarnwick = start(arguments, arguments.tarnwick, name, "%s:%d" % rig.getsockname())
    try:
        output = Lines(tarnwick.stdout)
        port.wait_opened(30.0)
        rig.settimeout(30.0)
        connection, _ = rig.accept()
        connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        output.wait_for(b"Connected to HAMLIB socket Addr", 30.0)
        how = ("through qvnsim" if arguments.qvnsim else "own virtual port") + \
              (", under Wine" if arguments.wine else "")
        report(measure(port, connection, arguments.changes), how)
        connection.close()
    finally:
        tarnwick.kill()
        tarnwick.wait()
        port.close()
        rig.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
