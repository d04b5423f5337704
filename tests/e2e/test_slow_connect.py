"""A link whose connect took N seconds: the supervisor counted those N
ticks while the worker was connecting, and after the next loss it counts on
from there, so the restart comes 16 - N ticks (give or take one) after the
loss. N is made real and measured: a server whose listen backlog is full
drops the connect's SYN, and the kernel sends it again 1, 3 and 7 s later."""

import socket
import time

from harness import LOOPBACK, EndToEnd, Target, connecting_since, unique_name

BANNER = b"Tarnwick running - Press ctrl/c to exit\r\n"
RETRY_PERIOD = 16
# A tick either way, and a half second for a loaded machine.
MARGIN = 1.5
# The backlog is freed this long after the connect's first SYN: the
# retransmission 1 s after it is dropped, the one at 3 s gets through.
HOLD_BACKLOG = 2.0


class SlowConnectTest(EndToEnd):
    def test_restart_after_a_loss_counts_on_from_the_ticks_of_a_slow_connect(self):
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.addCleanup(listener.close)
        listener.bind((LOOPBACK, 0))
        listener.listen(0)  # one connection waiting to be accepted fills it
        listener.settimeout(RETRY_PERIOD + 10.0)
        port = listener.getsockname()[1]
        address = b"127.0.0.1:%d" % port
        connected = b"Connected to HAMLIB socket Addr %s\r\n" % address
        terminated = b"HAMLIB Thread Terminated Addr %s\r\n" % address

        tarnwick = self.start_tarnwick(unique_name("Slow"), address.decode())
        out = tarnwick.out
        first, _ = listener.accept()
        offset = out.wait_for(BANNER, Target.startup_allowance() + 3.0)

        # Loss 1, after the banner: the restart is 16 ticks later. Before it
        # comes, another client fills the backlog.
        first.close()
        offset = out.wait_for(terminated, 5.0, offset)
        filler = socket.create_connection((LOOPBACK, port))
        self.addCleanup(filler.close)
        syn = connecting_since(port, RETRY_PERIOD + 5.0)
        time.sleep(max(0.0, syn + HOLD_BACKLOG - time.monotonic()))
        waiting, _ = listener.accept()  # the filler's: the backlog has room again
        waiting.close()
        second, _ = listener.accept()
        offset = out.wait_for(connected, 10.0, offset)
        took = out.arrival(offset) - syn
        print("the connect took %.2f s" % took)
        self.assertGreater(took, 0.9, "the connect was not held up: nothing to measure")

        # Loss 2: the count stood at about `took` ticks and goes on from there.
        time.sleep(0.5)
        second.close()
        offset = out.wait_for(terminated, 5.0, offset)
        loss = out.arrival(offset)
        third, _ = listener.accept()
        self.addCleanup(third.close)
        offset = out.wait_for(connected, 5.0, offset)
        delay = out.arrival(offset) - loss
        print("restarted %.2f s after the loss; 16 - N = %.2f" % (delay, RETRY_PERIOD - took))
        self.assertLess(abs(delay - (RETRY_PERIOD - took)), MARGIN)
