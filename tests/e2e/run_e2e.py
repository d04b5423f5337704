#!/usr/bin/env python3
"""Runs the end-to-end tests against built tarnwick and qvnsim programs.

  run_e2e.py --tarnwick PATH --qvnsim PATH [--modemsim PATH] [--wine] [--sanitized]
             [--suite NAME ...]

With --wine the programs are Windows builds run by /usr/lib/wine/wine64 in
the environment given (WINEPREFIX as set by CTest; WINEDEBUG defaults to
-all). The COM-port suites need --modemsim, the native modem-line
simulator's driver (libmodemsim.so beside it). Without WINEPREFIX a scratch
prefix is made for the run and its wineserver is stopped at the end. Without --suite every suite runs, each in
its own process, all at once.
"""

import argparse
import os
import subprocess
import sys
import tempfile
import threading
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SUITES = ["usage", "link", "reconnect", "ptt", "four_ports", "fail_safe", "com_lines",
          "com_ports", "timestamps", "empty_slot", "slow_connect", "hosts", "qvnsim"]
WINESERVER = "/usr/lib/wine/wineserver"


def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tarnwick", required=True)
    parser.add_argument("--qvnsim", required=True)
    parser.add_argument("--modemsim")
    parser.add_argument("--wine", action="store_true")
    parser.add_argument("--sanitized", action="store_true",
                        help="the programs are built with a sanitizer, which takes SIGSEGV")
    parser.add_argument("--suite", action="append", choices=SUITES)
    return parser.parse_args()


def run_suite(arguments, suite):
    """Runs one suite in this process; returns (passed, failed)."""
    sys.dont_write_bytecode = True  # leave no __pycache__ in the source tree
    sys.path.insert(0, HERE)
    import harness
    harness.Target.tarnwick = os.path.abspath(arguments.tarnwick)
    harness.Target.qvnsim = os.path.abspath(arguments.qvnsim)
    harness.Target.modemsim = arguments.modemsim and os.path.abspath(arguments.modemsim)
    harness.Target.wine = arguments.wine
    harness.Target.sanitized = arguments.sanitized
    tests = unittest.defaultTestLoader.loadTestsFromName("test_" + suite)
    result = unittest.TextTestRunner(verbosity=2, stream=sys.stdout).run(tests)
    failed = len(result.failures) + len(result.errors) + len(result.unexpectedSuccesses)
    return result.testsRun - failed - len(result.skipped), failed


def run_in_parallel(arguments, suites):
    """Runs each suite in a child process; returns (passed, failed)."""
    base = [sys.executable, os.path.abspath(__file__), "--tarnwick", arguments.tarnwick,
            "--qvnsim", arguments.qvnsim] + (["--wine"] if arguments.wine else [])
    base += ["--sanitized"] if arguments.sanitized else []
    if arguments.modemsim:
        base += ["--modemsim", arguments.modemsim]
    children = {suite: subprocess.Popen(base + ["--suite", suite], stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
                for suite in suites}
    outputs = {}

    def collect(suite):
        outputs[suite] = children[suite].communicate()[0].decode(errors="replace")

    threads = [threading.Thread(target=collect, args=(suite,)) for suite in suites]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    passed = failed = 0
    for suite in suites:
        print("=== %s ===" % suite)
        print(outputs[suite], end="")
        counts = [line for line in outputs[suite].splitlines() if line.startswith("e2e counts:")]
        if counts:
            p, f = counts[-1].split(":")[1].split()
            passed += int(p)
            failed += int(f)
        if children[suite].returncode != 0 and not failed:
            failed += 1
    return passed, failed


def prepare_wine_prefix():
    """A scratch Wine prefix for a run outside CTest; returns it."""
    prefix = os.path.join(tempfile.gettempdir(), "tarnwick-e2e-wine-%d" % os.getuid())
    os.environ["WINEPREFIX"] = prefix
    os.environ.setdefault("WINEDEBUG", "-all")
    os.environ.setdefault("WINEDLLOVERRIDES", "mscoree,mshtml=")
    if not os.path.exists(os.path.join(prefix, "system.reg")):
        subprocess.run(["/usr/lib/wine/wine64", "wineboot", "-i"], check=True,
                       stdin=subprocess.DEVNULL)
    return prefix


def main():
    arguments = parse_arguments()
    scratch_prefix = None
    if arguments.wine and "WINEPREFIX" not in os.environ:
        scratch_prefix = prepare_wine_prefix()
    try:
        if arguments.suite and len(arguments.suite) == 1:
            passed, failed = run_suite(arguments, arguments.suite[0])
            print("e2e counts: %d %d" % (passed, failed))
        else:
            passed, failed = run_in_parallel(arguments, arguments.suite or SUITES)
    finally:
        if scratch_prefix:
            subprocess.run([WINESERVER, "-k"], check=False)
    print("%d passed, %d failed" % (passed, failed))
    return 0 if failed == 0 and passed > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
