#!/usr/bin/env python3
"""Runs the fault tests against built tarnwick and qvnsim programs.

  run_fault.py --tarnwick PATH --qvnsim PATH [--modemsim PATH]
               [--wine [--handle-count PATH]] [--sanitized] --suite NAME ...

They use the end-to-end harness (tests/e2e/harness.py); --wine and the Wine
prefix work as for run_e2e.py. Suites given together run one after another.
"""

import argparse
import os
import subprocess
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
E2E = os.path.join(os.path.dirname(HERE), "e2e")
SUITES = ["flapping", "accept_close", "hostile_servers", "silent_server", "qvn_close",
          "bad_command_lines", "no_listening", "com_gone", "reopen"]


def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tarnwick", required=True)
    parser.add_argument("--qvnsim", required=True)
    parser.add_argument("--modemsim")
    parser.add_argument("--wine", action="store_true")
    parser.add_argument("--handle-count", help="the Windows build's handle_count.exe")
    parser.add_argument("--sanitized", action="store_true",
                        help="the programs are built with a sanitizer: no memory limits")
    parser.add_argument("--suite", action="append", choices=SUITES, required=True)
    return parser.parse_args()


def main():
    arguments = parse_arguments()
    sys.dont_write_bytecode = True  # leave no __pycache__ in the source tree
    sys.path[:0] = [HERE, E2E]
    import harness
    import run_e2e
    harness.Target.tarnwick = os.path.abspath(arguments.tarnwick)
    harness.Target.qvnsim = os.path.abspath(arguments.qvnsim)
    harness.Target.modemsim = arguments.modemsim and os.path.abspath(arguments.modemsim)
    harness.Target.wine = arguments.wine
    import faults
    faults.SANITIZED = arguments.sanitized
    if arguments.handle_count:
        faults.HANDLE_COUNT = os.path.abspath(arguments.handle_count)
    scratch_prefix = None
    if arguments.wine and "WINEPREFIX" not in os.environ:
        scratch_prefix = run_e2e.prepare_wine_prefix()
    passed = failed = 0
    try:
        for suite in arguments.suite:
            tests = unittest.defaultTestLoader.loadTestsFromName("test_" + suite)
            result = unittest.TextTestRunner(verbosity=2, stream=sys.stdout).run(tests)
            # A test with failing subtests counts once.
            bad = {getattr(test, "test_case", test).id()
                   for test, _ in result.failures + result.errors}
            bad |= {test.id() for test in result.unexpectedSuccesses}
            failed += len(bad)
            passed += result.testsRun - len(bad) - len(result.skipped)
    finally:
        if scratch_prefix:
            subprocess.run([run_e2e.WINESERVER, "-k"], check=False)
    print("%d passed, %d failed" % (passed, failed))
    return 0 if failed == 0 and passed > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
