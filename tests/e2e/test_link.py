"""Start-up against a real rigctld: the messages of a link and of a port
that cannot be opened, byte for byte, and the retries of a link whose
server is down."""

import socket
import time

from harness import LOOPBACK, EndToEnd, Target, unique_name

BANNER = b"Tarnwick running - Press ctrl/c to exit\r\n"
# A missing file: ENOENT on POSIX, ERROR_FILE_NOT_FOUND on Windows.
NOT_FOUND = 2
CONNECTION_REFUSED = 10061 if Target.wine else 111  # WSAECONNREFUSED, ECONNREFUSED


def lines_of(data):
    return [line + b"\r\n" for line in data.split(b"\r\n")[:-1]]


class StartUpTest(EndToEnd):
    def test_messages_up_to_the_banner(self):
        rig = self.start_rigctld()
        name = unique_name("NoSuchPort")
        tarnwick = self.start_tarnwick(name, "127.0.0.1:%d" % rig.port)
        connected = b"Connected to HAMLIB socket Addr 127.0.0.1:%d\r\n" % rig.port
        pipe_failed = (b"TXGATE port QVN%s Open failed code %d - trying real com port\r\n"
                       % (name.encode(), NOT_FOUND))
        com_failed = b"TXGATE port %s Open failed code %d\r\n" % (name.encode(), NOT_FOUND)
        # The link's, the monitor's and the main thread's lines, in any
        # order between them.
        end = tarnwick.out.wait_for_all([connected, pipe_failed, com_failed, BANNER],
                                        Target.startup_allowance() + 3.0)

        # The banner follows the start of the links by two seconds.
        linked = tarnwick.out.arrival(self.wait_linked(tarnwick, rig.port))
        banner_after = tarnwick.out.arrival(tarnwick.out.wait_for(BANNER, 0.0)) - linked
        self.assertGreater(banner_after, 1.8)
        self.assertLess(banner_after, 3.0)

        lines = lines_of(tarnwick.out.bytes()[:end])
        self.assertEqual(sorted(lines), sorted([connected, pipe_failed, com_failed, BANNER]))
        self.assertLess(lines.index(pipe_failed), lines.index(com_failed))


class DownServerTest(EndToEnd):
    def test_one_failure_message_then_silent_retries_every_16_seconds(self):
        # A bound socket that does not listen refuses connections and keeps
        # the port for this test; listening on it later brings the server up.
        server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.addCleanup(server.close)
        server.bind((LOOPBACK, 0))
        port = server.getsockname()[1]
        address = b"127.0.0.1:%d" % port

        tarnwick = self.start_tarnwick(unique_name("Down"), address.decode())
        failed = b"Connect Failed for HAMLIB socket - error code = %d Addr %s\r\n" % (
            CONNECTION_REFUSED, address)
        tarnwick.out.wait_for(failed, Target.startup_allowance())
        banner_end = tarnwick.out.wait_for(BANNER, Target.startup_allowance() + 3.0)
        banner = tarnwick.out.arrival(banner_end)

        # The first retry, 16 ticks after the banner, fails without a word;
        # the server comes up after it and the second retry connects.
        time.sleep(max(0.0, banner + 20.0 - time.monotonic()))
        server.listen(1)
        server.settimeout(20.0)
        connection, _ = server.accept()
        connection.close()
        connected_after = time.monotonic() - banner
        self.assertGreater(connected_after, 32.0 - 1.5)
        self.assertLess(connected_after, 32.0 + 1.5)
        tarnwick.out.wait_for(b"Connected to HAMLIB socket Addr %s\r\n" % address, 2.0)
        self.assertEqual(tarnwick.out.bytes().count(b"Connect Failed"), 1,
                         tarnwick.out.bytes())
