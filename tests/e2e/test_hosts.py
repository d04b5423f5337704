"""Hosts given by name and as bracketed literals: the link connects and
carries PTT, and the messages show the address as typed. A name that does
not resolve is asked in a network of its own whose only name server is a
stand-in (isolated_resolver.py), so that no query leaves the machine."""

import os
import sys
import tempfile
import time
import unittest

from harness import EndToEnd, Target, unique_name

HERE = os.path.dirname(os.path.abspath(__file__))
RESOLVER = os.path.join(HERE, "isolated_resolver.py")
NAME_NOT_FOUND = 11001 if Target.wine else -2  # WSAHOST_NOT_FOUND, EAI_NONAME
RETRY_SECONDS = 16.0
BANNER = b"Tarnwick running - Press ctrl/c to exit\r\n"


class NamedHostTest(EndToEnd):
    def carries_ptt(self, rig, address):
        """Tarnwick between qvnsim and the rig, its link to the address as
        typed; PTT keyed and released reaches the rig."""
        name = unique_name("Host")
        sim = self.start_qvnsim(name)
        tarnwick = self.start_tarnwick(name, address)
        sim.wait_connected()
        self.wait_linked(tarnwick, rig.port, address=address)
        sim.send("on")
        rig.wait_ptt(1)
        sim.send("off")
        rig.wait_ptt(0)
        self.assertNotIn(b"Connect Failed", tarnwick.out.bytes())

    def test_localhost_reaches_a_rig_on_127_0_0_1(self):
        # The hosts file gives localhost (127.0.0.1 only, on this machine):
        # no name server is asked.
        rig = self.start_rigctld()
        self.carries_ptt(rig, "localhost:%d" % rig.port)

    def test_a_bracketed_ipv6_literal_reaches_a_rig_on_ipv6_loopback(self):
        rig = self.start_rigctld(host="::1")
        self.carries_ptt(rig, "[::1]:%d" % rig.port)


def attempts_in(log, name):
    """The times of the lookups of name in the stand-in's log, one per
    connection attempt: the queries of one attempt (A and AAAA) come
    within a second of each other."""
    if not os.path.exists(log):
        return []
    times = []
    with open(log) as lines:
        for line in lines:
            when, asked = line.split()
            if asked == name and (not times or float(when) - times[-1] > 1.0):
                times.append(float(when))
    return times


@unittest.skipUnless(os.geteuid() == 0, "needs a network of its own (unshare, as root)")
class UnresolvableNameTest(EndToEnd):
    def start_isolated_tarnwick(self, log, *args):
        if Target.wine:
            # Wine makes its sockets in the wineserver, which must stay in
            # this machine's network: a Wine program started out here keeps
            # one running, so that the isolated one does not start its own.
            self.start_qvnsim(unique_name("KeepWineserver"))
        command = ["unshare", "--net", "--mount", sys.executable, RESOLVER, log, "--"]
        return self.start(command + Target.command(Target.tarnwick, *args))

    def test_a_name_not_found_is_reported_once_and_looked_up_at_every_attempt(self):
        with tempfile.NamedTemporaryFile(prefix="tarnwick-lookups-", delete=False) as created:
            log = created.name
        self.addCleanup(os.unlink, log)
        host = "no-such-rig.invalid"
        address = "%s:4532" % host
        tarnwick = self.start_isolated_tarnwick(log, unique_name("Nameless"), address)
        failed = b"Connect Failed for HAMLIB socket - error code = %d Addr %s\r\n" % (
            NAME_NOT_FOUND, address.encode())
        tarnwick.out.wait_for(failed, Target.startup_allowance())
        banner = tarnwick.out.arrival(tarnwick.out.wait_for(BANNER,
                                                            Target.startup_allowance() + 3.0))
        self.assertEqual(len(attempts_in(log, host)), 1)

        # The supervisor's first retry, 16 ticks after the banner, looks the
        # name up again and fails again without a word.
        deadline = banner + RETRY_SECONDS + 5.0
        while len(attempts_in(log, host)) < 2 and time.monotonic() < deadline:
            time.sleep(0.2)
        attempts = attempts_in(log, host)
        self.assertEqual(len(attempts), 2, attempts)
        self.assertGreater(attempts[1] - banner, RETRY_SECONDS - 1.5)
        self.assertLess(attempts[1] - banner, RETRY_SECONDS + 1.5)
        time.sleep(0.5)
        self.assertEqual(tarnwick.out.bytes().count(b"Connect Failed"), 1, tarnwick.out.bytes())
        self.assertIsNone(tarnwick.popen.poll())
