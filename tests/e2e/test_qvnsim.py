"""qvnsim as a user meets it: one client at a time, a running qvnsim left
alone, its socket file removed however it ends, keys typed too early
dropped; and on Linux, who may serve a virtual port that Tarnwick opens."""

import os
import pty
import signal
import socket
import subprocess
import termios
import time
import unittest

from harness import EndToEnd, Output, Target, unique_name

REFUSED = 231 if Target.wine else 111  # ERROR_PIPE_BUSY, ECONNREFUSED
NOT_FOUND = 2
ACCESS_DENIED = 13
NOBODY = 65534
ON = b"T 1\n"
ENDING_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


def socket_file(name):
    return "/tmp/QVN" + name


def default_signals():
    """In the child: the ending signals as a program started from a
    terminal has them, however the tests themselves were started."""
    for number in ENDING_SIGNALS:
        signal.signal(number, signal.SIG_DFL)


def sighup_ignored():
    default_signals()
    signal.signal(signal.SIGHUP, signal.SIG_IGN)


def open_failed_lines(name, code):
    return (b"TXGATE port QVN%s Open failed code %d - trying real com port\r\n"
            % (name.encode(), code),
            b"TXGATE port %s Open failed code %d\r\n" % (name.encode(), NOT_FOUND))


class OnePortOneClientTest(EndToEnd):
    def test_a_second_tarnwick_is_refused_while_the_first_is_connected(self):
        rig = self.start_recording_rig()
        name = unique_name("Second")
        sim = self.start_qvnsim(name)
        first = self.start_tarnwick(name, "127.0.0.1:%d" % rig.port)
        sim.wait_connected()
        self.wait_linked(first, rig.port)

        second = self.start_tarnwick(name, "127.0.0.1:%d" % rig.port)
        for line in open_failed_lines(name, REFUSED):
            second.out.wait_for(line, Target.startup_allowance())
        sim.send("on")
        self.assertEqual(rig.wait_received(ON), ON)

    def test_a_second_qvnsim_leaves_the_running_one_alone(self):
        name = unique_name("Twice")
        first = self.start_qvnsim(name)
        second = self.start(Target.command(Target.qvnsim, name), stderr=subprocess.PIPE)
        errors = Output(second.popen.stderr)
        self.assertEqual(second.wait_exit(Target.startup_allowance()), 1)
        errors.wait_closed(Target.startup_allowance())
        self.assertEqual(errors.bytes().replace(b"\r\n", b"\n"),
                         b"qvnsim: the port is already offered (by another qvnsim, or QVN): %s\n"
                         % name.encode())
        self.assertEqual(second.out.bytes(), b"")

        rig = self.start_recording_rig()
        tarnwick = self.start_tarnwick(name, "127.0.0.1:%d" % rig.port)
        first.wait_connected()
        self.wait_linked(tarnwick, rig.port)
        first.send("on")
        self.assertEqual(rig.wait_received(ON), ON)


@unittest.skipIf(Target.wine, "a Windows pipe has no file to leave behind")
class SocketFileTest(EndToEnd):
    def test_a_stale_socket_file_is_replaced_by_one_for_its_owner_only(self):
        name = unique_name("Stale")
        path = socket_file(name)
        stale = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        stale.bind(path)
        stale.close()  # the file stays, with nothing behind it
        self.addCleanup(lambda: os.path.exists(path) and os.unlink(path))

        rig = self.start_recording_rig()
        sim = self.start_qvnsim(name)
        self.assertEqual(os.stat(path).st_mode & 0o777, 0o600)
        tarnwick = self.start_tarnwick(name, "127.0.0.1:%d" % rig.port)
        sim.wait_connected()
        self.wait_linked(tarnwick, rig.port)
        sim.send("on")
        self.assertEqual(rig.wait_received(ON), ON)

    def test_ctrl_c_sigterm_and_sighup_remove_the_socket_file(self):
        for number in ENDING_SIGNALS:
            with self.subTest(signal=number):
                name = unique_name("Signal%d" % number)
                sim = self.start_qvnsim(name, preexec_fn=default_signals)
                self.assertTrue(os.path.exists(socket_file(name)))
                sim.program.popen.send_signal(number)
                self.assertEqual(sim.program.wait_exit(5.0), -number)
                self.assertFalse(os.path.exists(socket_file(name)))

    def test_a_signal_ignored_at_start_stays_ignored(self):
        name = unique_name("Nohup")
        sim = self.start_qvnsim(name, preexec_fn=sighup_ignored)
        sim.program.popen.send_signal(signal.SIGHUP)
        time.sleep(0.5)
        self.assertIsNone(sim.program.popen.poll())
        self.assertTrue(os.path.exists(socket_file(name)))
        sim.program.popen.send_signal(signal.SIGTERM)
        self.assertEqual(sim.program.wait_exit(5.0), -signal.SIGTERM)
        self.assertFalse(os.path.exists(socket_file(name)))


def receive_within(client, count, timeout):
    client.settimeout(timeout)
    data = b""
    try:
        while len(data) < count:
            chunk = client.recv(count - len(data))
            if not chunk:
                break
            data += chunk
    except socket.timeout:
        pass
    return data


def key_at_a_time(terminal):
    flags = termios.tcgetattr(terminal)[3]
    return flags & (termios.ICANON | termios.ECHO) == 0


@unittest.skipIf(Target.wine, "Wine gives a program no console of its own to type into")
class KeyboardTest(EndToEnd):
    def test_early_keys_are_dropped_and_ctrl_c_gives_the_terminal_back(self):
        name = unique_name("Keys")
        master, terminal = pty.openpty()
        self.addCleanup(os.close, master)
        self.addCleanup(os.close, terminal)
        at_start = termios.tcgetattr(terminal)[3]
        sim = self.start(Target.command(Target.qvnsim, name), stdin=terminal,
                         preexec_fn=default_signals)
        sim.out.wait_for(b"ready\n", Target.startup_allowance())
        os.write(master, b"q x")  # typed while no Tarnwick listens
        time.sleep(0.3)

        client = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)  # stands in for Tarnwick
        self.addCleanup(client.close)
        client.connect(socket_file(name))
        sim.out.wait_for(b"connected\n", Target.startup_allowance())
        sim.out.wait_for(b"PTT off\r\n", Target.startup_allowance())
        self.assertEqual(receive_within(client, 1, 0.5), b"")  # the early x sent nothing
        self.assertIsNone(sim.popen.poll())                    # and the early q did not quit

        os.write(master, b"k")
        self.assertEqual(receive_within(client, 2, 5.0), b"\xff\x02")
        sim.out.wait_for(b"PTT on\r\n", 5.0)
        deadline = time.monotonic() + 5.0
        while not key_at_a_time(terminal) and time.monotonic() < deadline:
            time.sleep(0.01)
        self.assertTrue(key_at_a_time(terminal))

        sim.popen.send_signal(signal.SIGINT)
        self.assertEqual(sim.wait_exit(5.0), -signal.SIGINT)
        self.assertEqual(termios.tcgetattr(terminal)[3] & (termios.ICANON | termios.ECHO),
                         at_start & (termios.ICANON | termios.ECHO))
        self.assertFalse(os.path.exists(socket_file(name)))


@unittest.skipIf(Target.wine, "a Windows pipe is no socket file in /tmp")
@unittest.skipUnless(os.geteuid() == 0, "runs programs as another user (setpriv, as root)")
class ServerUserTest(EndToEnd):
    def linked_through(self, name, rig, sim, **tarnwick):
        program = self.start_tarnwick(name, "127.0.0.1:%d" % rig.port, **tarnwick)
        sim.wait_connected()
        self.wait_linked(program, rig.port)
        sim.send("on")
        self.assertEqual(rig.wait_received(ON), ON)

    def test_a_port_served_by_another_user_is_refused_with_13(self):
        rig = self.start_recording_rig()
        name = unique_name("Squatted")
        self.start_qvnsim(name, uid=NOBODY)
        tarnwick = self.start_tarnwick(name, "127.0.0.1:%d" % rig.port)
        for line in open_failed_lines(name, ACCESS_DENIED):
            tarnwick.out.wait_for(line, Target.startup_allowance())
        self.wait_linked(tarnwick, rig.port)
        self.assertEqual(rig.received(), b"")

    def test_a_port_served_by_root_is_taken_by_any_user(self):
        rig = self.start_recording_rig()
        name = unique_name("ByRoot")
        sim = self.start_qvnsim(name)
        os.chmod(socket_file(name), 0o666)  # root lets every user open it
        self.linked_through(name, rig, sim, uid=NOBODY)

    def test_a_port_served_by_the_same_user_is_taken(self):
        rig = self.start_recording_rig()
        name = unique_name("SameUser")
        sim = self.start_qvnsim(name, uid=NOBODY)
        self.linked_through(name, rig, sim, uid=NOBODY)
