"""Several ports: slot k's port always keys slot k's rig, whichever ports
could be opened."""

from harness import EndToEnd, Target, unique_name


class FourPortsTest(EndToEnd):
    def test_each_change_reaches_only_its_own_rig(self):
        rigs = [self.start_rigctld() for _ in range(4)]
        names = [unique_name("Four%d" % k) for k in range(4)]
        tarnwick, sims = self.start_linked(names, rigs)

        self.check_each_rig_follows_its_port(
            rigs, lambda k, state: sims[k].send("on" if state else "off"))


class FailedPortTest(EndToEnd):
    def test_second_port_keys_second_rig_when_the_first_cannot_be_opened(self):
        first_rig = self.start_recording_rig()
        second_rig = self.start_rigctld()
        missing = unique_name("Missing")
        name = unique_name("Second")
        sim = self.start_qvnsim(name)
        tarnwick = self.start_tarnwick(missing, "127.0.0.1:%d" % first_rig.port,
                                       name, "127.0.0.1:%d" % second_rig.port)
        sim.wait_connected()
        self.wait_linked(tarnwick, first_rig.port)
        self.wait_linked(tarnwick, second_rig.port)
        tarnwick.out.wait_for(b"TXGATE port %s Open failed code " % missing.encode(),
                              Target.startup_allowance())

        sim.send("on")
        second_rig.wait_ptt(1)
        sim.send("off")
        second_rig.wait_ptt(0)
        self.assertEqual(first_rig.received(), b"")


class EmptySlotTest(EndToEnd):
    def test_ports_after_an_empty_name_are_not_opened_but_linked(self):
        first_rig = self.start_recording_rig()
        second_rig = self.start_rigctld()
        name = unique_name("AfterEmpty")
        sim = self.start_qvnsim(name)
        tarnwick = self.start_tarnwick("", "127.0.0.1:%d" % first_rig.port,
                                       name, "127.0.0.1:%d" % second_rig.port)
        lines = [b"Connected to HAMLIB socket Addr 127.0.0.1:%d\r\n" % second_rig.port,
                 b"Tarnwick running - Press ctrl/c to exit\r\n"]
        end = tarnwick.out.wait_for_all(lines, Target.startup_allowance() + 3.0)
        # Two seconds after start-up the monitor has long opened what it
        # opens: the port behind the empty slot is not among them.
        self.assertEqual(sorted(tarnwick.out.bytes()[:end].splitlines(keepends=True)),
                         sorted(lines))
        self.assertEqual(sim.program.out.bytes(), b"ready\n")
