#!/usr/bin/env python3
"""Soak: Tarnwick on four virtual ports against four rigctld servers that are
killed and restarted at random, with PTT changed continuously through qvnsim.

  python3 tools/soak.py [--minutes 10] [--tarnwick build/linux/tarnwick]
                        [--qvnsim build/linux/tools/qvnsim] [--seed N]

Needs rigctld (Debian: libhamlib-utils) and a native build. Every change is
read back from its rigctld ("t"): a change made while its link was up and
its server was not killed must reach the server, or it counts as lost while
up (must be 0). At the end it prints the changes made, reached and lost,
the reconnections and their delays (and any that came later than the
supervisor's schedule allows), and the peak memory, descriptors and threads
of the Tarnwick process. Exit status 1 if anything was lost while up or a
reconnection came late. Talks to 127.0.0.1 only; stops everything it started.
"""

import argparse
import json
import os
import random
import statistics
import sys
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.dont_write_bytecode = True
sys.path[:0] = [os.path.join(ROOT, "tests", "fault"), os.path.join(ROOT, "tests", "e2e")]

import harness  # noqa: E402
from faults import BANNER, ProcessProbe, link_events, predicted_start  # noqa: E402

PORTS = 4
VERIFY_SECONDS = 2.0
# How long a server stays up, and down, between kills: random within these.
UP_SECONDS = (5.0, 60.0)
DOWN_SECONDS = (0.5, 25.0)
LATE_MARGIN = 1.5


def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--minutes", type=float, default=10.0)
    parser.add_argument("--tarnwick", default=os.path.join(ROOT, "build", "linux", "tarnwick"))
    parser.add_argument("--qvnsim", default=os.path.join(ROOT, "build", "linux", "tools", "qvnsim"))
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--timeline", help="write every link event, kill and restart to this "
                        "file (JSON), for a closer look")
    return parser.parse_args()


class Session:
    """Starts programs the way the end-to-end tests do and stops them all."""

    def __init__(self):
        self._cleanups = []

    def start(self, command, stdin=None):
        program = harness.Program(command, stdin=stdin if stdin is not None
                                  else harness.subprocess.DEVNULL)
        self.addCleanup(program.kill)
        return program

    def addCleanup(self, function):  # the harness's name for it
        self._cleanups.append(function)

    def close(self):
        for function in reversed(self._cleanups):
            try:
                function()
            except Exception as error:  # keep stopping the rest
                print("clean-up: %s" % error, file=sys.stderr)


class Port:
    """One port: its qvnsim, its rigctld and what happened to its changes."""

    def __init__(self, k, rig, sim):
        self.k = k
        self.rig = rig
        self.sim = sim
        self.address = b"127.0.0.1:%d" % rig.port
        self.lock = threading.Lock()  # the rig is killed and asked from two threads
        self.epoch = 0  # counts kills
        self.up = True
        self.kills = []
        self.restarts = []
        self.made = 0
        self.reached = 0
        self.made_while_down = 0
        self.lost_in_outage = 0
        self.lost_while_up = []
        self.flip = 0

    def ptt(self):
        with self.lock:
            if not self.up:
                return None
            try:
                return self.rig.ptt()
            except (OSError, AssertionError):
                return None

    def kill(self):
        with self.lock:
            self.epoch += 1
            self.up = False
            self.rig.kill()
            self.kills.append(time.monotonic())

    def restart(self):
        with self.lock:
            self.rig.start()
            self.up = True
            self.restarts.append(time.monotonic())


def link_up(tarnwick, port):
    events = link_events(tarnwick.out.bytes(), port.address)
    return bool(events) and events[-1][0] == "up", len(events)


def change_ptt(tarnwick, port, end, rng):
    """One change, read back from the rig when the link is up."""
    up, events_before = link_up(tarnwick, port)
    epoch = port.epoch
    current = port.ptt() if up else None
    wanted = 1 - current if current is not None else rng.randint(0, 1)
    port.flip ^= 1
    port.sim.send("status %02X" % ((wanted << 1) | (0x10 if port.flip else 0x20)))
    if current is None:
        port.made_while_down += 1
        time.sleep(0.1)
        return
    port.made += 1
    started = time.monotonic()
    while time.monotonic() - started < VERIFY_SECONDS:
        if port.ptt() == wanted:
            port.reached += 1
            return
        time.sleep(0.01)
    still_up, events_after = link_up(tarnwick, port)
    if still_up and events_after == events_before and port.epoch == epoch:
        port.lost_while_up.append((time.monotonic(), wanted))
        print("LOST while up: port %d, PTT %d" % (port.k, wanted), flush=True)
    else:
        port.lost_in_outage += 1


def run_port(tarnwick, port, end, rng, failures):
    try:
        for _ in range(10000000):
            if time.monotonic() > end:
                return
            change_ptt(tarnwick, port, end, rng)
            time.sleep(rng.uniform(0.0, 0.05))
    except BaseException as error:
        failures.append(error)


def run_chaos(port, end, rng, failures):
    """Kills and restarts the port's rigctld at random, until the end."""
    try:
        for _ in range(100000):
            if time.monotonic() + 1.0 > end:
                return
            time.sleep(min(rng.uniform(*UP_SECONDS), max(0.0, end - time.monotonic())))
            if time.monotonic() > end:
                return
            port.kill()
            time.sleep(rng.uniform(*DOWN_SECONDS))
            port.restart()
    except BaseException as error:
        failures.append(error)


def sample_resources(probe, end, peaks, stop):
    for _ in range(1000000):
        if stop.is_set() or time.monotonic() > end + 5.0:
            return
        try:
            sample = probe.sample()
        except OSError:
            return
        for key, value in sample.items():
            peaks[key] = max(peaks.get(key, 0), value)
        time.sleep(1.0)


def reconnections(tarnwick, port, banner):
    """(seconds from loss to reconnect, seconds from the server's return to
    reconnect, seconds after the worker start that the supervisor's replayed
    schedule predicts) for each reconnect."""
    out = tarnwick.out
    events = [(kind, out.arrival(end)) for kind, end in link_events(out.bytes(), port.address)]
    connects = [at for kind, at in events if kind == "up"]
    losses = [at for kind, at in events if kind == "down"]
    results = []
    for i, loss in enumerate(losses):
        if i + 1 >= len(connects):
            break
        connect = connects[i + 1]
        back = [at for at in port.restarts if at <= connect]
        after = max(loss, back[-1] if back else loss)
        # The first worker start once the server was back should connect.
        start = predicted_start(banner, connects[:i + 1], losses[:i + 1], after)
        late = connect - start if start is not None else float("inf")
        results.append((connect - loss, connect - after, late))
    return results


def write_timeline(path, tarnwick, ports, banner):
    out = tarnwick.out
    timeline = {"banner": banner, "ports": [
        {"address": port.address.decode(),
         "events": [(kind, out.arrival(end)) for kind, end in link_events(out.bytes(),
                                                                          port.address)],
         "kills": port.kills, "restarts": port.restarts} for port in ports]}
    with open(path, "w") as file:
        json.dump(timeline, file, indent=1)


def main():
    arguments = parse_arguments()
    seed = arguments.seed if arguments.seed is not None else time.time_ns() % 1000000
    rng = random.Random(seed)
    harness.Target.tarnwick = os.path.abspath(arguments.tarnwick)
    harness.Target.qvnsim = os.path.abspath(arguments.qvnsim)
    session = Session()
    started_at = time.strftime("%Y-%m-%d %H:%M:%S")
    try:
        rigs = [harness.Rigctld() for _ in range(PORTS)]
        for rig in rigs:
            session.addCleanup(rig.kill)
            rig.start()
            # Tarnwick knows this port: a restarted server must come back on it.
            rig._port_chosen = False  # pylint: disable=protected-access
        names = ["soak%d_%d" % (k, os.getpid()) for k in range(PORTS)]
        sims = [harness.Qvnsim(session, name) for name in names]
        for sim in sims:
            sim.wait_ready()
        args = []
        for name, rig in zip(names, rigs):
            args += [name, "127.0.0.1:%d" % rig.port]
        tarnwick = session.start(harness.Target.command(harness.Target.tarnwick, *args))
        for sim in sims:
            sim.wait_connected()
        banner = tarnwick.out.arrival(tarnwick.out.wait_for(BANNER, 10.0))
        ports = [Port(k, rig, sim) for k, (rig, sim) in enumerate(zip(rigs, sims))]
        for port in ports:
            tarnwick.out.wait_for(b"Connected to HAMLIB socket Addr %s\r\n" % port.address, 5.0)
        probe = ProcessProbe(tarnwick.popen.pid)
        baseline = probe.sample()
        print("soak: %.1f minutes from %s, seed %d, tarnwick pid %d, at start %r"
              % (arguments.minutes, started_at, seed, probe.pid, baseline), flush=True)

        begin = time.monotonic()
        end = begin + arguments.minutes * 60.0
        failures = []
        peaks = dict(baseline)
        stop = threading.Event()
        threads = [threading.Thread(target=run_port,
                                    args=(tarnwick, port, end, random.Random(rng.random()),
                                          failures), daemon=True) for port in ports]
        threads += [threading.Thread(target=run_chaos,
                                     args=(port, end, random.Random(rng.random()), failures),
                                     daemon=True) for port in ports]
        sampler = threading.Thread(target=sample_resources, args=(probe, end, peaks, stop),
                                   daemon=True)
        for thread in threads + [sampler]:
            thread.start()
        for _ in range(int(arguments.minutes * 2) + 2):
            if time.monotonic() > end:
                break
            time.sleep(min(30.0, max(0.0, end - time.monotonic())))
            print("  %.0f s: %d changes made, %d reached, %d lost while up"
                  % (time.monotonic() - begin, sum(p.made for p in ports),
                     sum(p.reached for p in ports), sum(len(p.lost_while_up) for p in ports)),
                  flush=True)
        for thread in threads:
            thread.join(VERIFY_SECONDS + 35.0)
        stop.set()
        sampler.join(5.0)
        alive = tarnwick.popen.poll() is None
        peak_rss = probe.peak_rss_kb() if alive else None
        final = probe.sample() if alive else None
        duration = time.monotonic() - begin

        if arguments.timeline:
            write_timeline(arguments.timeline, tarnwick, ports, banner)
        delays = [r for port in ports for r in reconnections(tarnwick, port, banner)]
        late = [r for r in delays if r[2] > LATE_MARGIN]
        made = sum(p.made for p in ports)
        reached = sum(p.reached for p in ports)
        lost_up = sum(len(p.lost_while_up) for p in ports)
        print("\nsoak over %.1f s (seed %d); tarnwick %s" % (duration, seed,
                                                              "running" if alive else "DIED"))
        for port in ports:
            print("  port %d: server killed %d times; %d changes made while up, %d reached, "
                  "%d lost in an outage, %d lost while up; %d made while the link was down"
                  % (port.k, len(port.kills), port.made, port.reached, port.lost_in_outage,
                     len(port.lost_while_up), port.made_while_down))
        print("changes made while the link was up: %d" % made)
        print("changes that reached a connected server: %d" % reached)
        print("changes lost while a link was up: %d" % lost_up)
        print("changes made while a link was down (lost by design): %d"
              % sum(p.made_while_down for p in ports))
        print("changes cut off by a kill before they were read back: %d"
              % sum(p.lost_in_outage for p in ports))
        if delays:
            losses = [r[0] for r in delays]
            returns = [r[1] for r in delays]
            print("reconnections: %d; after the loss %.2f/%.2f/%.2f s (min/median/max); "
                  "after the server was back %.2f/%.2f/%.2f s; later than the schedule "
                  "+ %.1f s: %d"
                  % (len(delays), min(losses), statistics.median(losses), max(losses),
                     min(returns), statistics.median(returns), max(returns), LATE_MARGIN,
                     len(late)))
        print("resources at start %r; peak %r; at end %r; peak RSS (VmHWM) %s kB"
              % (baseline, peaks, final, peak_rss))
        if failures:
            print("a soak thread failed: %r" % failures[0])
        ok = alive and lost_up == 0 and not late and not failures and made > 0
        print("soak %s" % ("passed" if ok else "FAILED"))
        return 0 if ok else 1
    finally:
        session.close()


if __name__ == "__main__":
    sys.exit(main())
