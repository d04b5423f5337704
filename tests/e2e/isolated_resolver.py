#!/usr/bin/env python3
"""Runs a command in a network of its own, where the only name server is a
stand-in that knows no name.

  unshare --net --mount python3 isolated_resolver.py LOG -- COMMAND [ARG...]

As root, in new network and mount namespaces: checks that the network holds
nothing but the loopback interface (so no query can leave the machine),
brings it up, puts a resolv.conf naming 127.0.0.1 over /etc/resolv.conf
(a bind mount that only this mount namespace sees), and answers every query
that comes there with "no such name" (NXDOMAIN), appending one line per
query to LOG: the time (time.monotonic(), the clock the tests read) and
the name asked. Then it becomes COMMAND (exec), so that whoever started it
holds COMMAND's process; the name server is its child and dies with it.
"""

import ctypes
import os
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

PR_SET_PDEATHSIG = 1


def only_loopback():
    links = subprocess.run(["ip", "-o", "link", "show"], check=True, capture_output=True,
                           text=True).stdout.splitlines()
    names = [line.split(":")[1].strip() for line in links]
    return names == ["lo"]


def point_resolver_at_loopback():
    conf = tempfile.NamedTemporaryFile("w", prefix="tarnwick-resolv-", delete=False)
    conf.write("nameserver 127.0.0.1\noptions timeout:1 attempts:1\n")
    conf.close()
    subprocess.run(["mount", "--bind", conf.name, "/etc/resolv.conf"], check=True)
    os.unlink(conf.name)  # the mount keeps it while the namespace lives


def question_name(query):
    labels = []
    at = 12
    while at < len(query) and query[at] != 0:
        length = query[at]
        labels.append(query[at + 1:at + 1 + length].decode("ascii", "replace"))
        at += 1 + length
    return ".".join(labels), at + 5  # the zero label, type and class


def not_found_answer(query):
    """The query's own header and question, as an answer: no such name."""
    ident, flags = struct.unpack("!HH", query[:4])
    name, end = question_name(query)
    answer_flags = 0x8000 | (flags & 0x7900) | 0x0080 | 3  # QR, opcode and RD kept, RA, NXDOMAIN
    return name, struct.pack("!HHHHHH", ident, answer_flags, 1, 0, 0, 0) + query[12:end]


def serve(server, log):
    ctypes.CDLL(None).prctl(PR_SET_PDEATHSIG, signal.SIGKILL)
    while True:
        query, peer = server.recvfrom(512)
        if len(query) < 17:
            continue
        name, answer = not_found_answer(query)
        with open(log, "a") as out:
            out.write("%.6f %s\n" % (time.monotonic(), name))
        server.sendto(answer, peer)


def main():
    if len(sys.argv) < 4 or sys.argv[2] != "--":
        sys.exit("usage: unshare --net --mount isolated_resolver.py LOG -- COMMAND [ARG...]")
    log, command = sys.argv[1], sys.argv[3:]
    if not only_loopback():
        sys.exit("isolated_resolver.py: not in a network of its own (run it under unshare --net)")
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    point_resolver_at_loopback()
    server = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    server.bind(("127.0.0.1", 53))
    if os.fork() == 0:
        serve(server, log)
    server.close()
    os.execvp(command[0], command)


if __name__ == "__main__":
    main()
