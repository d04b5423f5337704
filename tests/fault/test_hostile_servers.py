"""rigctl servers that misbehave while the link is up: one floods replies,
others reset the connection while commands are coming."""

import threading
import time

import faults
from faults import (BANNER, ON, OFF, FaultTest, Server, is_whole_commands, link_events, reset,
                    wait_until, wine_or)
from harness import EndToEnd, Target, unique_name

FLOOD_BYTES = wine_or(40, 20) * 1024 * 1024
REPLY = b"RPRT 0\n"
# The link worker is woken for replies once this many bytes wait (SO_RCVLOWAT).
LOW_WATER = wine_or(256, 1)
RSS_GROWTH_LIMIT_KB = 1024


def receive_queue(local_port, remote_port):
    """Bytes waiting unread in the receive queue of the loopback TCP socket
    local_port -> remote_port, whoever owns it (/proc/net/tcp)."""
    wanted = ("0100007F:%04X" % local_port, "0100007F:%04X" % remote_port)
    with open("/proc/net/tcp") as table:
        for line in table.read().splitlines()[1:]:
            fields = line.split()
            if (fields[1], fields[2]) == wanted:
                return int(fields[4].split(":")[1], 16)
    return None


class FloodServer(Server):
    """Sends FLOOD_BYTES of replies as fast as they are taken, once told to
    start, and records every byte it receives meanwhile."""

    def __init__(self):
        self.go = threading.Event()
        self.flooded = threading.Event()
        self.received = bytearray()
        self.lock = threading.Condition()
        self.peer_port = None
        super().__init__()

    def serve(self, connection, index):
        self.peer_port = connection.getpeername()[1]
        reader = threading.Thread(target=self._read, args=(connection,), daemon=True)
        reader.start()
        if self.go.wait(30.0):
            block = REPLY * (65536 // len(REPLY))
            left = FLOOD_BYTES
            while left > 0 and not self.stopped.is_set():
                chunk = block[:left]
                connection.sendall(chunk)
                left -= len(chunk)
            self.flooded.set()
        self.stopped.wait(120.0)
        connection.close()

    def _read(self, connection):
        while True:
            try:
                chunk = connection.recv(4096)
            except OSError:
                return
            if not chunk:
                return
            with self.lock:
                self.received += chunk
                self.lock.notify_all()

    def wait_received(self, count, timeout):
        with self.lock:
            self.lock.wait_for(lambda: len(self.received) >= count, timeout)
            return bytes(self.received)


class FloodTest(FaultTest, EndToEnd):
    def test_tens_of_megabytes_of_replies_are_drained_without_effect(self):
        server = self.start_server(FloodServer())
        name = unique_name("Flood")
        sim = self.start_qvnsim(name)
        tarnwick = self.start_tarnwick(name, server.address.decode())
        sim.wait_connected()
        self.wait_linked(tarnwick, server.port)
        tarnwick.out.wait_for(BANNER, Target.startup_allowance() + 3.0)
        probe = self.probe(tarnwick)
        baseline = probe.sample()
        peak = [baseline["rss_kb"]]
        sampling = threading.Event()

        def sample_memory():
            while not sampling.is_set():
                peak[0] = max(peak[0], probe.rss_kb())
                time.sleep(0.02)

        sampler = threading.Thread(target=sample_memory, daemon=True)
        sampler.start()
        self.addCleanup(sampling.set)
        started = time.monotonic()
        server.go.set()

        # PTT changes while the replies pour in: each one arrives, in order.
        expected = b""
        for state in [1, 0] * 10:
            sim.send("on" if state else "off")
            expected += ON if state else OFF
            self.assertEqual(server.wait_received(len(expected), 5.0), expected)

        self.assertTrue(server.flooded.wait(wine_or(60.0, 120.0)), "the replies were not taken")
        # Drained: on Tarnwick's end of the connection less waits unread than
        # the low-water mark for which the link worker wakes (natively; the
        # Windows build sets none).
        def drained():
            unread = receive_queue(server.peer_port, server.port)
            return unread is not None and unread < LOW_WATER

        self.assertTrue(wait_until(drained, wine_or(10.0, 30.0)),
                        "%r bytes unread" % receive_queue(server.peer_port, server.port))
        drained = time.monotonic() - started
        sampling.set()
        sampler.join(2.0)

        # No effect: the link stays up, sends nothing of its own, and PTT goes on.
        sim.send("on")
        expected += ON
        self.assertEqual(server.wait_received(len(expected), 5.0), expected)
        self.assertEqual([kind for kind, _ in link_events(tarnwick.out.bytes(), server.address)],
                         ["up"])
        self.assert_alive(tarnwick)
        print("%d MB drained in %.1f s; RSS %d kB before, %d kB at most"
              % (FLOOD_BYTES >> 20, drained, baseline["rss_kb"], peak[0]))
        if not faults.SANITIZED:
            self.assertLess(peak[0], baseline["rss_kb"] + RSS_GROWTH_LIMIT_KB)
        self.assert_settles(probe, {"fds": baseline["fds"], "threads": baseline["threads"]})


class ResettingServer(Server):
    """Reads a few commands of each connection, then resets it while more
    keep coming. Records what each connection brought."""

    def __init__(self, read_before_reset):
        self.read_before_reset = read_before_reset
        self.connections = []
        super().__init__()

    def serve(self, connection, index):
        connection.settimeout(10.0)
        received = b""
        try:
            while len(received) < self.read_before_reset:
                chunk = connection.recv(self.read_before_reset - len(received))
                if not chunk:
                    break
                received += chunk
        except OSError:
            pass
        self.connections.append(received)
        reset(connection)


class ResetTest(FaultTest, EndToEnd):
    PORTS = 4
    ROUNDS = 2

    def test_resets_while_commands_are_sent(self):
        servers = [self.start_server(ResettingServer(40)) for _ in range(self.PORTS)]
        names = [unique_name("Reset%d" % k) for k in range(self.PORTS)]
        sims = [self.start_qvnsim(name) for name in names]
        args = []
        for name, server in zip(names, servers):
            args += [name, server.address.decode()]
        tarnwick = self.start_tarnwick(*args)
        for sim, server in zip(sims, servers):
            sim.wait_connected()
            self.wait_linked(tarnwick, server.port)

        # Every port keys and releases as fast as it can: a reset always
        # meets commands on their way.
        stop = threading.Event()
        burst = "raw " + "FF 02 FF 00 " * 128
        failures = []

        def key(sim):
            try:
                for _ in range(1000000):
                    if stop.is_set() or time.monotonic() > deadline:
                        return
                    sim.send(burst)
                    time.sleep(0.001)
            except BaseException as error:
                failures.append(error)

        # Each round: every link is reset, the supervisor connects it again.
        deadline = time.monotonic() + self.ROUNDS * 17.5 + wine_or(5.0, 15.0)
        keyers = [threading.Thread(target=key, args=(sim,), daemon=True) for sim in sims]
        for keyer in keyers:
            keyer.start()
        self.addCleanup(stop.set)
        for server in servers:
            self.assertTrue(wait_until(lambda: len(server.connections) >= self.ROUNDS,
                                       deadline - time.monotonic(), 0.2),
                            "%d resets" % len(server.connections))
        stop.set()
        for keyer in keyers:
            keyer.join(10.0)
        # Still running (a SIGPIPE would have ended it, and qvnsim's writes
        # with it), ...
        self.assert_alive(tarnwick)
        self.assertEqual(failures, [])

        # ... and each connection, the ones after a reconnect included,
        # carried whole commands.
        for server in servers:
            self.assertIsNone(server.error)
            for received in server.connections:
                self.assertTrue(is_whole_commands(received), received)
                self.assertGreater(len(received), 0)
            # The server has seen the connections; Tarnwick's lines about
            # them may still be on their way.
            rounds = 2 * self.ROUNDS - 1
            wait_until(lambda: len(link_events(tarnwick.out.bytes(), server.address)) >= rounds,
                       5.0)
            events = [kind for kind, _ in link_events(tarnwick.out.bytes(), server.address)]
            self.assertEqual(events[:rounds], ["up", "down"] * (self.ROUNDS - 1) + ["up"])
