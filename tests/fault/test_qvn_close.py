"""QVN closes one of three virtual ports: that port is announced once and
dropped without spinning on it; the other ports, and every link, the closed
port's own included, go on."""

import re

from faults import BANNER, ON, OFF, FaultTest, link_events, wine_or
from harness import EndToEnd, Target, unique_name

PORTS = 3
CLOSED = 1
QUIET_SECONDS = 3.0
# Waiting on the other ports costs nothing; polling a closed socket would
# take a whole core.
CPU_LIMIT = wine_or(0.3, 1.0)


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
