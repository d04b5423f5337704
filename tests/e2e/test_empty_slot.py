"""A port name left empty in a slot: that slot's link gets no worker, at
start-up or at any restart, while the links after it connect; and the
ports after it stay unopened, with --reopen as well."""

import time

from harness import EndToEnd, Target, unique_name

BANNER = b"Tarnwick running - Press ctrl/c to exit\r\n"
EMPTY = 1
# The supervisor's first restart of a link that is not connected comes 16
# ticks after the banner: watching 18.5 s past it covers that with margin.
WATCH_PAST_BANNER = 18.5


class EmptySlotTest(EndToEnd):
    def start_run(self, options, tag):
        names = [unique_name("%s%d" % (tag, k)) for k in range(3)]
        names[EMPTY] = ""
        listeners = [self.start_listener() for _ in range(3)]
        sims = {k: self.start_qvnsim(names[k]) for k in range(3) if k != EMPTY}
        args = list(options)
        for name, listener in zip(names, listeners):
            args += [name, "127.0.0.1:%d" % listener.getsockname()[1]]
        return self.start_tarnwick(*args), listeners, sims

    @staticmethod
    def accepted(listener):
        count = 0
        while True:
            try:
                connection, _ = listener.accept()
            except BlockingIOError:
                return count
            connection.close()
            count += 1

    def test_empty_slot_starts_no_worker_and_leaves_the_ports_after_it_unopened(self):
        runs = {options: self.start_run(options, tag)
                for options, tag in (((), "Es"), (("--reopen",), "Esr"))}
        banners = [tarnwick.out.arrival(tarnwick.out.wait_for(
            BANNER, Target.startup_allowance() + 3.0)) for tarnwick, _, _ in runs.values()]
        time.sleep(max(0.0, max(banners) + WATCH_PAST_BANNER - time.monotonic()))

        for options, (tarnwick, listeners, sims) in runs.items():
            with self.subTest(options=options):
                self.assertIsNone(tarnwick.popen.poll())
                counts = [self.accepted(listener) for listener in listeners]
                self.assertEqual(counts, [1, 0, 1])
                out = tarnwick.out.bytes()
                empty_address = b"127.0.0.1:%d" % listeners[EMPTY].getsockname()[1]
                self.assertNotIn(empty_address, out)
                for k in range(3):
                    if k != EMPTY:
                        self.wait_linked(tarnwick, listeners[k].getsockname()[1], timeout=0.1)
                # The port before the empty slot is open; the one after it
                # was never opened (qvnsim would say "connected"), and
                # Tarnwick said nothing about it.
                sims[0].wait_connected()
                self.assertEqual(sims[2].program.out.bytes(), b"ready\n")
                self.assertNotIn(b"TXGATE", out)
