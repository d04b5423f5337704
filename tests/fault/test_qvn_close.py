"""QVN closes one of three virtual ports: that port is announced once and
dropped without spinning on it; the other ports, and every link, the closed
port's own included, go on. They go on too when Tarnwick's output is a pipe
that nobody reads, or one whose reader has gone."""

import fcntl
import os
import re
import select
import signal
import time

from faults import BANNER, ON, OFF, FaultTest, connected_message, link_events, wine_or
from harness import EndToEnd, Target, unique_name

PORTS = 3
CLOSED = 1
QUIET_SECONDS = 3.0
# Waiting on the other ports costs nothing; polling a closed socket would
# take a whole core.
CPU_LIMIT = wine_or(0.3, 1.0)
F_SETPIPE_SZ = 1031
PIPE_SIZE = 4096
# How soon another port's change must reach its server while the output is
# blocked.
CARRIED_WITHIN = 2.0
BROKEN_PIPE = wine_or(32, 109)  # EPIPE, ERROR_BROKEN_PIPE


def read_until(fd, needles, timeout):
    """Reads the pipe until every one of needles has come, in any order;
    returns what was read."""
    data = b""
    deadline = time.monotonic() + timeout
    while not all(needle in data for needle in needles):
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            raise AssertionError("%r not read within %.1f s; got %r" % (needles, timeout, data))
        data += os.read(fd, 65536)
    return data


def fill_pipe(write_end):
    """Fills the pipe through an open of its own, non-blocking, so that
    Tarnwick's end stays blocking; returns how many bytes it took."""
    filler = os.open("/proc/self/fd/%d" % write_end, os.O_WRONLY | os.O_NONBLOCK)
    filled = 0
    try:
        while True:
            filled += os.write(filler, b"x" * PIPE_SIZE)
    except BlockingIOError:
        os.close(filler)
    return filled


class QvnClosesAPortTest(FaultTest, EndToEnd):
    def test_closed_port_is_dropped_and_the_rest_goes_on(self):
        rigs = [self.start_recording_rig() for _ in range(PORTS)]
        names = [unique_name("Qc%d" % k) for k in range(PORTS)]
        tarnwick, sims = self.start_linked(names, rigs)
        tarnwick.out.wait_for(BANNER, Target.startup_allowance() + 3.0)

        expected = [b""] * PORTS
        for k in range(PORTS):
            sims[k].send("on")
            expected[k] += ON
            self.assertEqual(rigs[k].wait_received(expected[k]), expected[k])

        sims[CLOSED].send("quit")
        closed = tarnwick.out.wait_for(b" - no longer monitored\r\n", Target.startup_allowance())
        line = tarnwick.out.bytes()[:closed].split(b"\r\n")[-2] + b"\r\n"
        self.assertRegex(line, re.escape(b"TXGATE port %s Closed code " % names[CLOSED].encode())
                         + rb"\d+ - no longer monitored\r\n$")

        # Dropped: no busy wait on the closed port while nothing happens.
        self.assert_quiet(tarnwick, QUIET_SECONDS, CPU_LIMIT, "the port closed")

        # The other ports go on, each on its own link, in order.
        for state in (0, 1, 0):
            for k in range(PORTS):
                if k != CLOSED:
                    sims[k].send("on" if state else "off")
                    expected[k] += ON if state else OFF
        for k in range(PORTS):
            self.assertEqual(rigs[k].wait_received(expected[k]), expected[k])
        self.assertEqual(rigs[CLOSED].received(), ON)

        # Announced once; every link, the closed port's too, still up.
        self.assert_alive(tarnwick)
        out = tarnwick.out.bytes()
        self.assertEqual(out.count(b"no longer monitored"), 1)
        for rig in rigs:
            self.assertEqual([kind for kind, _ in link_events(out, b"127.0.0.1:%d" % rig.port)],
                             ["up"])

    def start_on_pipe(self, names, rigs, options=(), fill=False):
        """qvnsim on each name, and Tarnwick between them and the rigs, its
        output a pipe of PIPE_SIZE bytes read by hand up to the banner and
        every link's connection, then filled if asked; returns (tarnwick,
        sims, the reading end, bytes filled)."""
        sims = [self.start_qvnsim(name) for name in names]
        read_end, write_end = os.pipe()
        fcntl.fcntl(write_end, F_SETPIPE_SZ, PIPE_SIZE)
        tarnwick = self.start_tarnwick_on(names, rigs, options, stdout=write_end)
        for sim in sims:
            sim.wait_connected()
        read_until(read_end, [BANNER] + [connected_message(b"127.0.0.1:%d" % rig.port)
                                         for rig in rigs], Target.startup_allowance() + 3.0)
        filled = fill_pipe(write_end) if fill else 0
        os.close(write_end)
        return tarnwick, sims, read_end, filled

    def test_output_nobody_reads_holds_up_no_port(self):
        rigs = [self.start_recording_rig() for _ in range(PORTS)]
        names = [unique_name("Qo%d" % k) for k in range(PORTS)]
        tarnwick, sims, read_end, filled = self.start_on_pipe(names, rigs, fill=True)
        self.addCleanup(os.close, read_end)

        # Ports 0 and 2 close, in that order (the second only once the first
        # qvnsim has ended): their messages cannot be written; port 1's
        # changes go on all the same.
        for k in (0, 2):
            sims[k].quit()
        for state, command in ((1, ON), (0, ON + OFF)):
            sims[1].send("on" if state else "off")
            self.assertEqual(rigs[1].wait_received(command, CARRIED_WITHIN), command,
                             "another port's change was held up by the output")
        self.assert_alive(tarnwick)

        # Read again, the output carries the messages made meanwhile, in order.
        closed = [b"TXGATE port %s Closed code %d - no longer monitored\r\n"
                  % (names[k].encode(), BROKEN_PIPE) for k in (0, 2)]
        self.assertEqual(read_until(read_end, closed, 5.0), b"x" * filled + b"".join(closed))

    def test_output_whose_reader_has_gone_ends_nothing_and_the_way_out_still_releases(self):
        if Target.wine:
            self.skipTest("SIGPIPE is POSIX's")
        rigs = [self.start_rigctld() for _ in range(2)]
        names = [unique_name("Qp%d" % k) for k in range(2)]
        tarnwick, sims, read_end, _ = self.start_on_pipe(names, rigs, ["--fail-safe"])
        for sim, rig in zip(sims, rigs):
            sim.send("on")
            rig.wait_ptt(1)
        os.close(read_end)  # the reader has gone

        # Port 1 stops: released, and its message cannot be written.
        sims[1].send("quit")
        rigs[1].wait_ptt(0)
        time.sleep(0.5)
        self.assert_alive(tarnwick)
        tarnwick.popen.send_signal(signal.SIGTERM)
        self.assertEqual(tarnwick.wait_exit(5.0), -signal.SIGTERM)
        self.assertEqual(rigs[0].ptt(), 0)
