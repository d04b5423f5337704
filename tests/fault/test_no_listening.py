"""Tarnwick listens for nobody: with its ports open and its links up, none of
its sockets is a listening TCP socket, a UDP socket or a Unix-domain socket
that accepts connections. The same look finds the listeners of rigctld and
qvnsim, so it does see them where they are."""

from faults import BANNER, ON, FaultTest, ProcessProbe
from harness import EndToEnd, Target, unique_name


class NoListeningSocketTest(FaultTest, EndToEnd):
    def test_no_socket_of_the_running_process_waits_for_others(self):
        rig = self.start_rigctld()
        recording = self.start_recording_rig()
        names = [unique_name("Nl0"), unique_name("Nl1")]
        sims = [self.start_qvnsim(name) for name in names]
        tarnwick = self.start_tarnwick(names[0], "127.0.0.1:%d" % rig.port,
                                       names[1], "127.0.0.1:%d" % recording.port)
        for sim in sims:
            sim.wait_connected()
        self.wait_linked(tarnwick, rig.port)
        self.wait_linked(tarnwick, recording.port)
        tarnwick.out.wait_for(BANNER, Target.startup_allowance() + 3.0)
        sims[0].send("on")
        rig.wait_ptt(1)
        sims[1].send("on")
        self.assertEqual(recording.wait_received(ON), ON)

        probe = self.probe(tarnwick)
        # Its link sockets and virtual ports are there, and none listens.
        self.assertGreaterEqual(len(probe.socket_inodes()), 1)
        self.assertEqual(probe.listening_sockets(), [])

        # The look itself works: rigctld's TCP listener and qvnsim's port
        # (a listening Unix-domain socket natively) are found.
        found = ProcessProbe(rig.popen.pid).listening_sockets()
        self.assertIn("tcp", [table for table, _ in found], found)
        if not Target.wine:
            found = self.probe(sims[0].program).listening_sockets()
            self.assertIn("unix", [table for table, _ in found], found)
