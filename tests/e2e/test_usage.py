"""The command line: the usage path, the refusals of arguments that do not
fit the tables, and the longest arguments that still do."""

import os
import re
import shlex
import signal
import socket
import subprocess
import termios
import time

from harness import LOOPBACK, EndToEnd, Target, unique_name

USAGE = (b"Missing paramters - you need COM port and IP Address and rigctl port of QVN, eg \r\n"
         b"  Tarnwick com10 192.168.1.64:4532\r\n\r\nPress any key to exit\r\n")


class UsageTest(EndToEnd):
    def test_no_argument_prints_usage_and_exits_0_at_end_of_input(self):
        tarnwick = self.start_tarnwick()
        self.assertEqual(tarnwick.wait_exit(Target.startup_allowance()), 0)
        self.assertEqual(tarnwick.out.bytes(), USAGE)

    def test_one_argument_waits_for_one_character_then_exits_0(self):
        tarnwick = self.start_tarnwick("onlyone", stdin=subprocess.PIPE)
        tarnwick.out.wait_for(USAGE, Target.startup_allowance())
        # Still waiting for its character a moment after the usage text.
        time.sleep(0.3)
        self.assertIsNone(tarnwick.popen.poll(), "exited without waiting for a character")
        tarnwick.popen.stdin.write(b"x")
        tarnwick.popen.stdin.flush()
        self.assertEqual(tarnwick.wait_exit(5.0), 0)
        self.assertEqual(tarnwick.out.bytes(), USAGE)


class KeyWaitOnATerminalTest(EndToEnd):
    """On a terminal the wait for a key turns echo and line mode off; a stop
    signal during it gives them back before it ends the process."""

    def wait_for_echo(self, terminal, on):
        deadline = time.monotonic() + Target.startup_allowance()
        while bool(termios.tcgetattr(terminal)[3] & termios.ECHO) != on:
            if time.monotonic() > deadline:
                raise AssertionError("echo never turned %s" % ("on" if on else "off"))
            time.sleep(0.01)

    def test_a_stop_signal_during_the_wait_restores_the_terminal(self):
        if Target.wine:
            self.skipTest("a Windows console keeps no modes for the shell to lose")
        for signal_number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            with self.subTest(signal=signal_number.name):
                master, terminal = os.openpty()
                self.addCleanup(os.close, master)
                self.addCleanup(os.close, terminal)
                before = termios.tcgetattr(terminal)
                tarnwick = self.start_tarnwick(stdin=terminal)
                tarnwick.out.wait_for(USAGE, Target.startup_allowance())
                self.wait_for_echo(terminal, on=False)
                tarnwick.popen.send_signal(signal_number)
                self.assertEqual(tarnwick.wait_exit(5.0), -signal_number)
                self.assertEqual(termios.tcgetattr(terminal), before)


class NullInputTest(EndToEnd):
    def test_the_null_device_is_the_end_of_input_even_under_a_terminal(self):
        # Under a terminal Wine gives the program a console, and the null
        # device is a character device as a console is: only a test for a
        # console tells them apart. Standard input of script stays open.
        command = " ".join(shlex.quote(part) for part in Target.command(Target.tarnwick))
        script = self.start(["script", "-qfec", command + " < /dev/null", "/dev/null"],
                            stdin=subprocess.PIPE)
        self.assertEqual(script.wait_exit(Target.startup_allowance()), 0)
        # Wine's console draws the text with terminal controls between the
        # characters, and a space as a cursor movement.
        shown = re.sub(rb"\x1b\[[0-9;?]*[A-Za-z]", b"", script.out.bytes())
        self.assertIn(b"paramters", shown)


def project_version():
    """The version as the one place that sets it, the top CMakeLists.txt, says."""
    top = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "CMakeLists.txt")
    with open(top) as cmake:
        return re.search(r"project\(tarnwick VERSION ([0-9.]+)", cmake.read()).group(1)


class HelpAndVersionTest(EndToEnd):
    """--help and --version answer and exit at once: standard input stays
    open, so a wait for a key would show as a process still running."""

    def run_to_exit(self, *args):
        tarnwick = self.start_tarnwick(*args, stdin=subprocess.PIPE)
        self.assertEqual(tarnwick.wait_exit(Target.startup_allowance()), 0)
        return tarnwick.out.bytes()

    def test_version_in_every_spelling_and_wherever_it_stands(self):
        line = b"Tarnwick %s\r\n" % project_version().encode()
        for args in (["--version"], ["-V"], ["com1", "127.0.0.1:1", "--bogus", "--version"]):
            with self.subTest(args=args):
                self.assertEqual(self.run_to_exit(*args), line)

    def test_help_lists_every_option_and_wins_over_the_rest(self):
        for args in (["--help"], ["-h"], ["/?"], ["p" * 70, "127.0.0.1:1", "-h"]):
            with self.subTest(args=args):
                help_text = self.run_to_exit(*args)
                self.assertTrue(help_text.startswith(b"Tarnwick %s" % project_version().encode()))
                for option in (b"--fail-safe", b"--reopen", b"--timestamps", b"--help",
                               b"--version"):
                    self.assertIn(option, help_text)
                self.assertNotIn(b"Press any key", help_text)

    def test_options_alone_are_too_few_arguments(self):
        tarnwick = self.start_tarnwick("--fail-safe", "--reopen")
        self.assertEqual(tarnwick.wait_exit(Target.startup_allowance()), 0)
        self.assertEqual(tarnwick.out.bytes(), USAGE)


class RefusalTest(EndToEnd):
    """Arguments the tables cannot hold: one line, status 1, no thread, so
    no link ever connects."""

    def setUp(self):
        # A listener that would see any link a refused start still made.
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.addCleanup(self.listener.close)
        self.listener.bind((LOOPBACK, 0))
        self.listener.listen(8)
        self.address = "127.0.0.1:%d" % self.listener.getsockname()[1]

    def assert_refused(self, args, line):
        tarnwick = self.start_tarnwick(*args)
        self.assertEqual(tarnwick.wait_exit(Target.startup_allowance()), 1)
        self.assertEqual(tarnwick.out.bytes(), line)
        self.listener.setblocking(False)
        with self.assertRaises(BlockingIOError, msg="a refused start connected a link"):
            self.listener.accept()[0].close()

    def test_port_name_of_64_characters(self):
        name = "p" * 64
        self.assert_refused(
            [name, self.address],
            b"Port name too long (at most 63 characters): %s\r\n" % name.encode())

    def test_address_of_164_characters(self):
        address = self.address + "x" * (164 - len(self.address))
        self.assert_refused(
            ["tnwkA", self.address, "tnwkB", address],
            b"Address too long (at most 163 characters): %s\r\n" % address.encode())

    def test_unknown_option_before_anything_else(self):
        # Before the pairs' own refusals too: the 64-character name is not reached.
        self.assert_refused(["--fail-safe", "p" * 64, self.address, "--falesafe"],
                            b"Unknown option: --falesafe\r\n")

    def test_five_pairs(self):
        args = []
        for k in range(5):
            args += ["tnwk%d" % k, self.address]
        self.assert_refused(args, b"Too many ports (at most 4)\r\n")


class LongestArgumentsTest(EndToEnd):
    def test_name_of_63_and_address_of_163_characters_are_used_whole(self):
        rig = self.start_rigctld()
        name = unique_name("L")
        name += "n" * (63 - len(name))
        # atoi stops at the first non-digit, so the padding keeps the port.
        address = "127.0.0.1:%d" % rig.port
        address += "x" * (163 - len(address))
        tarnwick = self.start_tarnwick(name, address)
        out = tarnwick.out
        out.wait_for(b"Connected to HAMLIB socket Addr %s\r\n" % address.encode(),
                     Target.startup_allowance())
        out.wait_for(b"TXGATE port QVN%s Open failed code " % name.encode(),
                     Target.startup_allowance())
        out.wait_for(b"TXGATE port %s Open failed code " % name.encode(),
                     Target.startup_allowance())
