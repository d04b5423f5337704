"""A rigctl server that accepts every connection and closes it at once, for a
minute, while PTT keeps changing: the link's messages follow its rules, the
supervisor keeps its 16-second cadence, and nothing spins or grows."""

import time

import faults
from faults import (BANNER, RETRY_PERIOD, WINE_FD_SLACK, AcceptAndClose, FaultTest,
                    connected_message, link_events, predicted_start, terminated_message,
                    wait_until, wine_or)
from harness import EndToEnd, Target, unique_name

DURATION = 60.0
# A thread that spins uses a whole second of CPU per second; Tarnwick idles.
CPU_LIMIT = wine_or(1.0, 3.0)
RSS_GROWTH_LIMIT_KB = 512
# How far a connect may come from the tick that the replayed count predicts:
# a tick early or late is a fault.
EARLY_LIMIT = 0.5
LATE_LIMIT = 0.9


class AcceptAndCloseTest(FaultTest, EndToEnd):
    def test_a_minute_of_connections_closed_at_once(self):
        server = self.start_server(AcceptAndClose())
        name = unique_name("Closer")
        sim = self.start_qvnsim(name)
        tarnwick = self.start_tarnwick(name, server.address.decode())
        sim.wait_connected()
        out = tarnwick.out
        banner_end = out.wait_for(BANNER, Target.startup_allowance() + 3.0)
        out.wait_for(terminated_message(server.address), 5.0)
        probe = self.probe(tarnwick)
        time.sleep(0.5)
        baseline = probe.sample()
        cpu_before = probe.cpu_seconds()
        started = time.monotonic()

        # PTT keeps changing: commands meet connections that the server has
        # already closed, and sends fail.
        samples = []
        state = 0
        while time.monotonic() - started < DURATION:
            state = 1 - state
            sim.send("on" if state else "off")
            time.sleep(0.1)
            if len(samples) < (time.monotonic() - started):
                samples.append(probe.sample())
        elapsed = time.monotonic() - started
        cpu = probe.cpu_seconds() - cpu_before
        self.assert_alive(tarnwick)

        # A connection the server has just taken is said by Tarnwick a
        # moment later.
        wait_until(lambda: len(server.accepted) == out.bytes().count(
            connected_message(server.address)), 5.0)
        # The link's rules: connected, then terminated, in turn; a failed
        # connect or a lost connection would be another fault.
        data = out.bytes()
        events = link_events(data, server.address)
        kinds = [kind for kind, _ in events]
        pairs = len(kinds) // 2
        self.assertEqual(kinds, ["up", "down"] * pairs + ["up"] * (len(kinds) % 2), data)
        self.assertNotIn(b"Connect Failed", data)
        self.assertNotIn(b"Connection lost", data)
        self.assertEqual(len(server.accepted), len([k for k in kinds if k == "up"]))

        # A new connection on each tick at which the supervisor's count
        # reaches 16: 18 s after start-up (2 s before its first tick), then
        # every 16 s, as the count starts over at each worker start and the
        # connect comes at once.
        banner = out.arrival(banner_end)
        connects = [out.arrival(end) for kind, end in events if kind == "up"]
        losses = [out.arrival(end) for kind, end in events if kind == "down"]
        # Each predicted from what came before it alone.
        starts = [predicted_start(banner, connects[:i], losses[:i], losses[i - 1])
                  for i in range(1, len(connects))]
        print("connections after %s s; predicted %s; CPU %.3f s in %.1f s; resources %r -> %r"
              % (["%.2f" % (c - connects[0]) for c in connects[1:]],
                 ["%.2f" % (s - connects[0]) for s in starts], cpu, elapsed, baseline,
                 probe.sample()))
        self.assertGreaterEqual(len(connects), int(DURATION // RETRY_PERIOD) + 1)
        for connect, start in zip(connects[1:], starts):
            self.assertGreater(connect - start, -EARLY_LIMIT)
            self.assertLess(connect - start, LATE_LIMIT)

        # No busy loop, and nothing grows.
        self.assertLess(cpu, CPU_LIMIT)
        for sample in samples:
            self.assertLessEqual(sample["fds"], baseline["fds"] + 1 + WINE_FD_SLACK)
            self.assertLessEqual(sample["threads"], baseline["threads"] + 1)
        limits = {"fds": baseline["fds"], "threads": baseline["threads"]}
        if not faults.SANITIZED:
            limits["rss_kb"] = baseline["rss_kb"] + RSS_GROWTH_LIMIT_KB
        self.assert_settles(probe, limits)
