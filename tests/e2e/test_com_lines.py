"""A COM port whose CTS line is PTT, run on the real programs: a
pseudo-terminal with modem lines that modemsim simulates, natively and under
Wine. Exact commands at a recording server, the rig's state read back from
rigctld, pulses, a driver that cannot wait for a change, and a port that is
left as it was found."""

import time

from harness import EndToEnd, Target

ON = b"T 1\n"
OFF = b"T 0\n"
BANNER = b"Tarnwick running - Press ctrl/c to exit\r\n"
# A stray command would have come by then: each arrives well within a few
# milliseconds, natively and under Wine.
SETTLE_SECONDS = 0.3
WINE_POLLS = ("Wine reads the lines about every millisecond instead of waiting in the "
              "driver: ")
# A pulse long enough for the monitor to read CTS on before it ends. Under
# Wine its thread runs at normal priority however it is set, and a
# loaded machine has kept it from reading for longer than 20 ms.
PULSE_MS = 100 if Target.wine else 20


class ComPortTest(EndToEnd):
    def start_com_ports(self, rigs, prepare=()):
        """A simulated port for each rig, each first given the modemsim
        commands in prepare, and Tarnwick between them; returns (tarnwick,
        ports) once every port is watched and every link is up."""
        ports = [self.start_modemsim() for _ in rigs]
        for port in ports:
            for command in prepare:
                port.send(command)
        tarnwick = self.start_tarnwick_on([port.name for port in ports], rigs)
        for port, rig in zip(ports, rigs):
            tarnwick.out.wait_for(b"TXGATE port %s Opened\r\n" % port.name.encode(),
                                  Target.startup_allowance())
            self.wait_linked(tarnwick, rig.port)
        # The banner comes two seconds after the start: by then every port's
        # first wait has long begun, so no change below can fall before it.
        tarnwick.out.wait_for(BANNER, Target.startup_allowance() + 3.0)
        return tarnwick, ports

    def run_steps(self, port, rig, steps, expected=b""):
        """Each step is a modemsim command and the commands it must send.
        Every step's commands are awaited before the next; a step that must
        send nothing is followed by one that sends, so a stray command
        shows in the recorded order. Returns all that was expected."""
        for command, sends in steps:
            port.send(command)
            expected += sends
            self.assertEqual(rig.wait_received(expected), expected, "after %r" % command)
        time.sleep(SETTLE_SECONDS)
        self.assertEqual(rig.received(), expected)
        return expected


class ExactComCommandsTest(ComPortTest):
    def setUp(self):
        self.rig = self.start_recording_rig()
        self.tarnwick, (self.port,) = self.start_com_ports([self.rig])

    def test_cts_keys_dsr_resends_and_ri_and_cd_send_nothing(self):
        self.run_steps(self.port, self.rig, [
            ("cts 1", ON),
            ("cts 0", OFF),
            ("dsr 1", OFF),   # DSR alone: the unchanged CTS state again
            ("ri 1", b""),
            ("cd 1", b""),
            ("cts 1", ON),
            ("dsr 0", ON),
            ("ri 0", b""),
            ("cd 0", b""),
            ("cts 0", OFF),
        ])

    def test_a_short_pulse_keys_and_releases(self):
        self.run_steps(self.port, self.rig, [("pulse cts %d" % PULSE_MS, ON + OFF)] * 5)

    def test_a_zero_length_pulse_ends_released(self):
        if Target.wine:
            self.skipTest(WINE_POLLS + "a pulse shorter than that is invisible to it, where "
                          "Windows itself reports it")
        expected = b""
        for _ in range(5):
            self.port.send("pulse cts 0")
            # The waiter sees one or both of the pulse's changes; the
            # monitor reads CTS for each, during the pulse or after it.
            self.rig.wait_until(lambda received: received[len(expected):].endswith(OFF))
            time.sleep(SETTLE_SECONDS)
            sent = self.rig.received()[len(expected):]
            self.assertIn(sent, (OFF, ON + OFF, OFF + OFF))
            expected += sent


class ComRigStateTest(ComPortTest):
    def test_the_rig_follows_cts(self):
        rig = self.start_rigctld()
        _, (port,) = self.start_com_ports([rig])
        self.assertEqual(rig.ptt(), 0)
        for _ in range(3):
            port.send("cts 1")
            rig.wait_ptt(1)
            port.send("dsr 1")
            port.send("cts 0")
            rig.wait_ptt(0)
            port.send("dsr 0")
            port.send("pulse cts %d" % PULSE_MS)
            time.sleep(SETTLE_SECONDS)
            rig.wait_ptt(0)


class RefusedWaitTest(ComPortTest):
    def test_lines_read_every_10_ms_carry_changes_20_ms_apart(self):
        if Target.wine:
            self.skipTest(WINE_POLLS + "it never asks the driver to wait")
        rig = self.start_recording_rig()
        _, (port,) = self.start_com_ports([rig], prepare=["refuse TIOCMIWAIT"])
        steps = []
        for _ in range(10):
            steps += [("cts 1", b""), ("sleep 20", ON), ("cts 0", b""), ("sleep 20", OFF)]
        for command, sends in steps:
            port.send(command)
        expected = b"".join(sends for _, sends in steps)
        self.assertEqual(rig.wait_received(expected), expected)
        time.sleep(SETTLE_SECONDS)
        self.assertEqual(rig.received(), expected)
        self.assertEqual(port.count("calls", "TIOCMIWAIT"), 1)  # asked once, then never again


class UntouchedPortTest(ComPortTest):
    def test_nothing_is_written_and_the_settings_stay(self):
        rig = self.start_recording_rig()
        port = self.start_modemsim()
        settings = port.ask("termios")
        tarnwick = self.start_tarnwick(port.name, "127.0.0.1:%d" % rig.port)
        tarnwick.out.wait_for(BANNER, Target.startup_allowance() + 3.0)
        self.run_steps(port, rig, [("cts 1", ON), ("dsr 1", ON), ("cts 0", OFF)])
        self.assertEqual(port.ask("termios"), settings)
        tarnwick.kill()
        self.assertEqual(port.ask("termios"), settings)
        self.assertEqual(port.ask("written"), b"written 0")
        for call in ("TIOCMSET", "TIOCMBIS", "TIOCMBIC"):
            self.assertEqual(port.count("calls", call), 0, call)
        self.assertEqual(port.ask("lines"), b"lines cts 0 dsr 1 ri 0 cd 0 rts 0 dtr 0")
