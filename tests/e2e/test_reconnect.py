"""A rigctld that goes away and comes back: the link ends, is made again on
the supervisor's schedule, and PTT reaches the new server."""

import time

from harness import EndToEnd, Target, unique_name

# The first connect succeeds before the supervisor's first tick, so the
# frozen retry count is 0 and the restart comes 16 ticks after the loss.
RESTART_TICKS = 16
BANNER = b"Tarnwick running - Press ctrl/c to exit\r\n"
# How long the new rig is watched for a state that must not be resent.
NOT_RESENT_WATCH = 0.5


class ReconnectTest(EndToEnd):
    def test_restarted_rigctld_is_connected_again_and_gets_ptt(self):
        rig = self.start_rigctld()
        name = unique_name("Re")
        sim = self.start_qvnsim(name)
        address = b"127.0.0.1:%d" % rig.port
        tarnwick = self.start_tarnwick(name, address.decode())
        sim.wait_connected()
        linked = self.wait_linked(tarnwick, rig.port)

        # The supervisor counts from the banner on: the loss comes after it.
        linked = tarnwick.out.wait_for(BANNER, Target.startup_allowance() + 3.0, linked)
        sim.send("on")
        rig.wait_ptt(1)

        rig.kill()
        lost = tarnwick.out.wait_for(b"HAMLIB Thread Terminated Addr %s\r\n" % address, 5.0,
                                     linked)
        loss = tarnwick.out.arrival(lost)
        rig.start()

        again = self.wait_linked(tarnwick, rig.port, lost, timeout=RESTART_TICKS + 5.0)
        reconnected_after = tarnwick.out.arrival(again) - loss
        self.assertLess(reconnected_after, RESTART_TICKS + 1.5)
        self.assertGreater(reconnected_after, RESTART_TICKS - 1.5)
        # Nothing between the loss and the new connection: the restarted
        # server was up before the first retry.
        self.assertEqual(tarnwick.out.bytes()[lost:again],
                         b"Connected to HAMLIB socket Addr %s\r\n" % address)

        # The new rig starts with PTT off; the state is not resent on connect,
        # where it would have come at once.
        time.sleep(NOT_RESENT_WATCH)
        self.assertEqual(rig.ptt(), 0)
        sim.send("off")
        sim.send("on")
        rig.wait_ptt(1)
        sim.send("off")
        rig.wait_ptt(0)
