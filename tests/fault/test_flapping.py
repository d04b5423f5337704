"""rigctld killed and restarted at random moments, on two links at once: each
loss is followed by a new connection on the supervisor's schedule, every PTT
change made while a link is up reaches its rig, and descriptors and threads
stay bounded.

TARNWICK_FAULT_SEED=N replays one random schedule."""

import os
import random
import threading
import time

from faults import (BANNER, RETRY_PERIOD, WINE_FD_SLACK, FaultTest, connected_message,
                    frozen_retry_ticks, link_events, predicted_start, terminated_message,
                    wine_or)
from harness import EndToEnd, Target, unique_name

LINKS = 2
RESTARTS_PER_LINK = wine_or(5, 2)
# A reconnect comes on the first tick that finds the count at 16: between
# 15 and 16 ticks after the loss, minus the frozen count, plus this margin.
MARGIN = 1.5
# How far a connect may come from the tick at which the replayed count
# predicts its worker start.
EARLY_LIMIT = 0.5
LATE_LIMIT = 0.9
LOSS_LINE_LAG = 0.5
GRID_ERROR = 0.1


class LinkRecord:
    def __init__(self, k, rig, sim):
        self.k = k
        self.rig = rig
        self.sim = sim
        self.address = b"127.0.0.1:%d" % rig.port
        self.connects = []
        self.losses = []
        self.reconnects = []  # (seconds after the loss, 16 - frozen count)
        self.offsets = []  # seconds after the worker start the replay predicts
        self.changes = 0
        self.flip = 0
        self.random = None  # each link's schedule of its own


class FlappingTest(FaultTest, EndToEnd):
    def setUp(self):
        seed = int(os.environ.get("TARNWICK_FAULT_SEED", time.time_ns() % 1000000))
        print("random schedule seed %d" % seed)
        self.seed = seed

    def change_ptt(self, link, count):
        """Makes count PTT changes, each of which must reach the rig: every
        status byte differs from the last and flips the rig's state."""
        for _ in range(count):
            wanted = 1 - link.rig.ptt()
            link.flip ^= 1
            link.sim.send("status %02X" % ((wanted << 1) | (0x10 if link.flip else 0x20)))
            link.rig.wait_ptt(wanted, timeout=2.0)
            link.changes += 1

    def flap(self, link, banner, offset, probe, samples):
        out = self.tarnwick.out
        for _ in range(RESTARTS_PER_LINK):
            self.change_ptt(link, link.random.randint(1, 4))
            time.sleep(link.random.uniform(0.0, 1.5))
            if link.random.random() < 0.5:
                # Changes racing the kill: not counted, they may be lost.
                link.sim.send("raw FF 02 FF 00 FF 02 FF 00")
            link.rig.kill()
            end = out.wait_for(terminated_message(link.address), 5.0, offset)
            loss = out.arrival(end)
            link.losses.append(loss)
            frozen = frozen_retry_ticks(banner, link.connects, link.losses[:-1], link.connects[-1])
            due = loss + RETRY_PERIOD - frozen
            # Back at a random moment before the retry falls due.
            latest = due - 2.5 - time.monotonic()
            time.sleep(link.random.uniform(0.1, max(0.2, latest)))
            link.rig.start()
            again = out.wait_for(connected_message(link.address),
                                 due + MARGIN + 2.0 - time.monotonic(), end)
            link.connects.append(out.arrival(again))
            predicted = self.nearest_prediction(banner, link, loss)
            link.reconnects.append((link.connects[-1] - loss, RETRY_PERIOD - frozen))
            link.offsets.append(link.connects[-1] - predicted)
            # Nothing about this link between the loss and the new connection:
            # the failure message stays silent, no second loss.
            self.assertEqual([kind for kind, _ in link_events(out.bytes()[end:again],
                                                              link.address)], ["up"])
            offset = again
            samples.append(probe.sample())
        self.change_ptt(link, 2)

    @staticmethod
    def nearest_prediction(banner, link, loss):
        """The tick the replayed count predicts from what came before the
        latest connect. The worker marks its link down before it says so,
        and a loaded machine can print the line after a tick that already
        counted the link as down; and the replayed ticks, placed by connect
        lines, can fall a little after the real ones. So a loss line from
        GRID_ERROR before a replayed tick to LOSS_LINE_LAG after it may have
        been either side of it."""
        connects = link.connects[:-1]
        predictions = [predicted_start(banner, connects, link.losses[:-1] + [loss - lag], loss - lag)
                       for lag in (-GRID_ERROR, 0.0, LOSS_LINE_LAG)]
        return min(predictions, key=lambda tick: abs(link.connects[-1] - tick))

    def test_rigctld_restarted_at_random_moments(self):
        rigs = [self.start_rigctld() for _ in range(LINKS)]
        names = [unique_name("Flap%d" % k) for k in range(LINKS)]
        sims = [self.start_qvnsim(name) for name in names]
        self.tarnwick = self.start_tarnwick_on(names, rigs)
        links = [LinkRecord(k, rig, sim) for k, (rig, sim) in enumerate(zip(rigs, sims))]
        for link in links:
            link.random = random.Random(self.seed * LINKS + link.k)
        offsets = []
        for link in links:
            link.sim.wait_connected()
            offset = self.wait_linked(self.tarnwick, link.rig.port)
            link.connects.append(self.tarnwick.out.arrival(offset))
            offsets.append(offset)
        banner_end = self.tarnwick.out.wait_for(BANNER, Target.startup_allowance() + 3.0)
        banner = self.tarnwick.out.arrival(banner_end)
        offsets = [max(offset, banner_end) for offset in offsets]

        probe = self.probe(self.tarnwick)
        baseline = probe.sample()
        samples = []
        failures = []

        def run(link, offset):
            try:
                self.flap(link, banner, offset, probe, samples)
            except BaseException as error:  # handed to the test's thread
                failures.append((link.k, error))

        threads = [threading.Thread(target=run, args=(link, offset))
                   for link, offset in zip(links, offsets)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(RESTARTS_PER_LINK * (RETRY_PERIOD + 12) + 30)
        self.assertFalse(any(thread.is_alive() for thread in threads), "a link's run hangs")
        if failures:
            raise AssertionError("link %d: %s" % failures[0]) from failures[0][1]
        self.assert_alive(self.tarnwick)

        for link in links:
            print("link %d: %d changes verified; reconnected after %s s (limit 16 - frozen + %.1f);"
                  " %s s after the predicted tick"
                  % (link.k, link.changes,
                     ", ".join("%.2f/%d" % pair for pair in link.reconnects), MARGIN,
                     ", ".join("%.3f" % offset for offset in link.offsets)))
            for delay, period in link.reconnects:
                self.assertLess(delay, period + MARGIN)
                self.assertGreater(delay, period - 1 - MARGIN)
            # And to the tick: a tick early or late is a fault.
            for offset in link.offsets:
                self.assertGreater(offset, -EARLY_LIMIT)
                self.assertLess(offset, LATE_LIMIT)
        self.assertEqual(sum(len(link.reconnects) for link in links), LINKS * RESTARTS_PER_LINK)

        # Descriptors and threads bounded: at most one link socket and one
        # ending worker more than with every link up, and back to that at the end.
        print("resources: at start %r, highest %r, at end %r"
              % (baseline, {key: max(s[key] for s in samples) for key in baseline},
                 probe.sample()))
        for sample in samples:
            self.assertLessEqual(sample["fds"], baseline["fds"] + LINKS + WINE_FD_SLACK)
            self.assertLessEqual(sample["threads"], baseline["threads"] + LINKS)
        self.assert_settles(probe, {"fds": baseline["fds"], "threads": baseline["threads"]})
