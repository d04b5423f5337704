"""PTT from a virtual port, carried by qvnsim's status bytes, to the rig:
read back from a real rigctld, and byte for byte from a recording server."""

import re
import time
import unittest

from harness import EndToEnd, Target, unique_name

ON = b"T 1\n"
OFF = b"T 0\n"


class PttToRigctldTest(EndToEnd):
    def setUp(self):
        self.rig = self.start_rigctld()
        name = unique_name("Ptt")
        self.sim = self.start_qvnsim(name)
        self.tarnwick = self.start_tarnwick(name, "127.0.0.1:%d" % self.rig.port)
        self.sim.wait_connected()
        self.wait_linked(self.tarnwick, self.rig.port)

    def test_keying_and_releasing_reaches_the_rig(self):
        self.assertEqual(self.rig.ptt(), 0)
        for _ in range(3):
            self.sim.send("on")
            self.rig.wait_ptt(1)
            self.sim.send("off")
            self.rig.wait_ptt(0)

    def test_status_bytes_among_data_and_split_between_reads(self):
        self.sim.send("raw 41 FF 02 42")     # data, status 02, data
        self.rig.wait_ptt(1)
        self.sim.send("raw FF FF FF 00")     # an escaped data byte 0xFF, then status 00
        self.rig.wait_ptt(0)
        self.sim.send("raw 41 FF")           # the escape ends one read ...
        self.sim.send("sleep 200")
        self.sim.send("raw 02 42")           # ... its status byte begins the next
        self.rig.wait_ptt(1)
        self.sim.send("status 01")           # bit 1 clear: off
        self.rig.wait_ptt(0)
        self.sim.send("status 03")           # bit 1 set: on
        self.rig.wait_ptt(1)


class ExactCommandsTest(EndToEnd):
    def setUp(self):
        self.rig = self.start_recording_rig()
        self.name = unique_name("Exact")
        self.sim = self.start_qvnsim(self.name)
        self.tarnwick = self.start_tarnwick(self.name, "127.0.0.1:%d" % self.rig.port)
        self.sim.wait_connected()
        self.wait_linked(self.tarnwick, self.rig.port)

    def test_one_command_per_status_change_and_none_otherwise(self):
        # Each step that must send nothing is followed by one that sends, so
        # a stray command shows up in the recorded order.
        steps = [
            ("off", b""),                      # equals the initial status
            ("on", ON),
            ("on", b""),                       # unchanged
            ("status 03", ON),                 # other bits changed: sent again
            ("status 01", OFF),
            ("raw 41 FF FF 42 0D 0A", b""),    # data only
            ("raw FF 02 FF 00 FF 02", ON + OFF + ON),
            ("raw FF", b""),                   # escape pending at a read's end
            ("sleep 200", b""),
            ("raw 00", OFF),
            ("status 00", b""),
            ("on", ON),
        ]
        expected = b""
        for command, sends in steps:
            self.sim.send(command)
            expected += sends
        self.assertEqual(self.rig.wait_received(expected), expected)


class ClosedPortTest(EndToEnd):
    def test_a_port_closed_by_qvn_is_announced_once_and_the_other_goes_on(self):
        rigs = [self.start_recording_rig() for _ in range(2)]
        names = [unique_name("Closed%d" % k) for k in range(2)]
        sims = [self.start_qvnsim(name) for name in names]
        tarnwick = self.start_tarnwick(names[0], "127.0.0.1:%d" % rigs[0].port,
                                       names[1], "127.0.0.1:%d" % rigs[1].port)
        for sim, rig in zip(sims, rigs):
            sim.wait_connected()
            self.wait_linked(tarnwick, rig.port)

        sims[0].send("on")
        self.assertEqual(rigs[0].wait_received(ON), ON)
        sims[0].send("quit")
        closed = tarnwick.out.wait_for(b" - no longer monitored\r\n",
                                       Target.startup_allowance())
        lines = tarnwick.out.bytes()[:closed].split(b"\r\n")
        self.assertRegex(lines[-2] + b"\r\n",
                         re.escape(b"TXGATE port %s Closed code " % names[0].encode())
                         + rb"\d+ - no longer monitored\r\n$")

        sims[1].send("on")
        self.assertEqual(rigs[1].wait_received(ON), ON)
        sims[1].send("off")
        self.assertEqual(rigs[1].wait_received(ON + OFF), ON + OFF)
        self.assertEqual(tarnwick.out.bytes().count(b"no longer monitored"), 1)
        self.assertEqual(rigs[0].received(), ON)


class VerboseTest(EndToEnd):
    def test_the_transmit_log_and_a_rig_whose_ptt_is_not_set_up(self):
        rig = self.start_rigctld(ptt_type=None)  # it answers T 1 and T 0 with "RPRT -1"
        name = unique_name("Verbose")
        sim = self.start_qvnsim(name)
        tarnwick = self.start_tarnwick(name, "127.0.0.1:%d" % rig.port, "--verbose")
        sim.wait_connected()
        self.wait_linked(tarnwick, rig.port)
        for command in ("on", "sleep 500", "off", "on"):
            sim.send(command)
        refused = b"HAMLIB Addr 127.0.0.1:%d refused T %%d with RPRT -1" % rig.port
        out = tarnwick.out
        # Each thread's lines in their order: the link's refusals, and the
        # monitor's transmit log, which may be written before or after them.
        out.wait_for(refused % 1 + b"\r\n", 3.0)
        logged = out.wait_for(b"TXGATE port %s PTT on\r\n" % name.encode(), 3.0)
        logged = out.wait_for(b"TXGATE port %s PTT off after " % name.encode(), 3.0, logged)
        out.wait_for(b"TXGATE port %s PTT on\r\n" % name.encode(), 3.0, logged)
        lines = out.bytes().split(b"\r\n")
        self.assertEqual([line for line in lines if b" refused " in line],
                         [refused % 1 + b" - check the server's PTT setting (rigctld: -P)",
                          refused % 0, refused % 1])
        log = b"\n".join(line for line in lines if line.startswith(b"TXGATE"))
        self.assertRegex(log, rb"^TXGATE port %s PTT on\nTXGATE port %s PTT off after "
                         rb"(0\.[5-9]|1\.[0-9]) s\nTXGATE port %s PTT on$"
                         % ((re.escape(name.encode()),) * 3))

    @unittest.skipIf(Target.wine, "the logic has no platform part, and rigctld's waits are long")
    def test_rigctld_in_vfo_mode_and_with_a_password(self):
        rigs = [self.start_rigctld(extra=extra) for extra in (["--vfo"], ["--vfo"], ["-A", "pw"])]
        names = [unique_name("Vfo%d" % k) for k in range(3)]
        sims = [self.start_qvnsim(name) for name in names]
        with_vfo = self.start_tarnwick_on(names[:1], rigs[:1], ["--vfo"])
        plain = self.start_tarnwick_on(names[1:], rigs[1:], ["--verbose"])
        for sim, rig, tarnwick in zip(sims, rigs, (with_vfo, plain, plain)):
            sim.wait_connected()
            self.wait_linked(tarnwick, rig.port)
        sent = time.monotonic()
        for sim in sims:
            sim.send("on")
        keyed = plain.out.wait_for(b"TXGATE port %s PTT on\r\n" % names[1].encode(), 3.0)
        rigs[0].wait_ptt(1)  # read back with "t currVFO"
        sims[0].send("off")
        rigs[0].wait_ptt(0)
        plain.out.wait_for(b"127.0.0.1:%d refused T 1 with RPRT -19 - the server wants a password "
                           b"(rigctld -A), which Tarnwick cannot send\r\n" % rigs[2].port, 3.0)
        # rigctld --vfo takes the "1" for the VFO and waits for the PTT value.
        unanswered = plain.out.wait_for(
            b"127.0.0.1:%d did not answer T 1 within 10 s - answers ignored (rigctld --vfo needs "
            b"--vfo, or the rig is not answering)\r\n" % rigs[1].port, 15.0)
        self.assertGreaterEqual(plain.out.arrival(unanswered) - sent, 10.0)
        self.assertLess(plain.out.arrival(unanswered) - plain.out.arrival(keyed), 13.0)
