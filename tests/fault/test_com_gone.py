"""A USB serial adapter unplugged under a watched COM port: its modem lines
start failing with EIO. The port is announced once and dropped without
spinning on it; the other COM port, and every link, go on."""

import re
import time

from faults import BANNER, ON, OFF, FaultTest, wine_or
from harness import EndToEnd, Target

QUIET_SECONDS = 3.0
# Waiting on the other port costs nothing; polling a failing port would take
# a whole core. Under Wine, its own line polling (every millisecond, for the
# port that is still watched) costs more.
CPU_LIMIT = wine_or(0.3, 1.0)
GONE, KEPT = 0, 1


class ComPortGoneTest(FaultTest, EndToEnd):
    def test_failing_lines_drop_the_port_once_and_the_other_goes_on(self):
        rigs = [self.start_recording_rig() for _ in range(2)]
        ports = [self.start_modemsim() for _ in range(2)]
        tarnwick = self.start_tarnwick_on([port.name for port in ports], rigs)
        tarnwick.out.wait_for(BANNER, Target.startup_allowance() + 3.0)
        for rig in rigs:
            self.wait_linked(tarnwick, rig.port)
        for port, rig in zip(ports, rigs):
            port.send("cts 1")
            self.assertEqual(rig.wait_received(ON), ON)

        ports[GONE].send("fail EIO")
        closed = tarnwick.out.wait_for(b" - no longer monitored\r\n", Target.startup_allowance())
        line = tarnwick.out.bytes()[:closed].split(b"\r\n")[-2] + b"\r\n"
        print("reported: %r" % line)
        self.assertRegex(line, re.escape(b"TXGATE port %s Closed code " % ports[GONE].name.encode())
                         + rb"\d+ - no longer monitored\r\n$")

        # Dropped: no busy wait on the failing port while nothing happens.
        self.assert_quiet(tarnwick, QUIET_SECONDS, CPU_LIMIT, "the port failed")

        expected = ON
        for state in (0, 1, 0):
            ports[KEPT].send("cts %d" % state)
            expected += ON if state else OFF
            self.assertEqual(rigs[KEPT].wait_received(expected), expected)
        # The gone port's lines come back: nothing watches it any more.
        ports[GONE].send("fail none")
        ports[GONE].send("cts 0")
        time.sleep(1.5)  # past a check of the COM lines too
        self.assert_alive(tarnwick)
        self.assertEqual(rigs[GONE].received(), ON)
        self.assertEqual(rigs[KEPT].received(), expected)
        self.assertEqual(tarnwick.out.bytes().count(b"no longer monitored"), 1)
