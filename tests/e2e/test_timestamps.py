"""--timestamps: every message after the command line begins with the local
date and time, "YYYY-MM-DD HH:MM:SS ", in a time zone far from UTC so that a
stamp in UTC, or off by the zone's odd 45 minutes, shows."""

import os
import re
import socket
import time

from harness import LOOPBACK, EndToEnd, Target, unique_name

BANNER = b"Tarnwick running - Press ctrl/c to exit\r\n"
NOT_FOUND = 2
CONNECTION_REFUSED = 10061 if Target.wine else 111
# Five hours and 45 minutes east of UTC, written out so that no time-zone
# database is needed (Wine takes TZ from the environment as well).
ZONE = "TNW-5:45"
STAMPED_LINE = re.compile(rb"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d) ([^\r\n]*\r\n)")


class TimestampsTest(EndToEnd):
    def setUp(self):
        saved = os.environ.get("TZ")
        os.environ["TZ"] = ZONE
        time.tzset()
        self.addCleanup(self.restore_zone, saved)

    @staticmethod
    def restore_zone(saved):
        if saved is None:
            del os.environ["TZ"]
        else:
            os.environ["TZ"] = saved
        time.tzset()

    def test_every_line_begins_with_the_local_date_and_time(self):
        rig = self.start_rigctld()
        refusing = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.addCleanup(refusing.close)
        refusing.bind((LOOPBACK, 0))  # bound, not listening: refuses
        name = unique_name("Ts")
        missing = unique_name("TsMissing")
        sim = self.start_qvnsim(name)
        up = "127.0.0.1:%d" % rig.port
        down = "127.0.0.1:%d" % refusing.getsockname()[1]
        # The option after the pairs counts as well.
        tarnwick = self.start_tarnwick(name, up, missing, down, "--timestamps")
        sim.wait_connected()
        out = tarnwick.out
        out.wait_for(BANNER, Target.startup_allowance() + 3.0)
        rig.kill()
        expected = [
            b"Connected to HAMLIB socket Addr %s\r\n" % up.encode(),
            b"Connect Failed for HAMLIB socket - error code = %d Addr %s\r\n"
            % (CONNECTION_REFUSED, down.encode()),
            b"TXGATE port QVN%s Open failed code %d - trying real com port\r\n"
            % (missing.encode(), NOT_FOUND),
            b"TXGATE port %s Open failed code %d\r\n" % (missing.encode(), NOT_FOUND),
            BANNER,
            b"HAMLIB Thread Terminated Addr %s\r\n" % up.encode(),
        ]
        # Four threads' lines, in any order between them.
        out.wait_for_all(expected, 5.0)

        data = out.bytes()
        lines = []
        start = 0
        while start < len(data):
            match = STAMPED_LINE.match(data, start)
            self.assertIsNotNone(match, "line without its stamp: %r" % data[start:start + 80])
            start = match.end()
            lines.append(match.group(2))
            # The stamp against the local time at which the line arrived: a
            # stamp is cut to the second, and the line takes a moment to come.
            arrived = time.time() - (time.monotonic() - out.arrival(start))
            stamp = time.mktime(time.strptime(match.group(1).decode(), "%Y-%m-%d %H:%M:%S"))
            self.assertGreater(arrived - stamp, -0.5, match.group(0))
            self.assertLess(arrived - stamp, 2.0, match.group(0))
        self.assertEqual(sorted(lines), sorted(expected))
