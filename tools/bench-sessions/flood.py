#!/usr/bin/python3
# Floods the router of bench-sessions with other peers while its modems connect, on loopback only,
# bounded in count (at most 20 000 peers) and time (--seconds, at most 300):
#
#   flood.py [--bench PATH] [--plain] [--limit N] [--cpu C] [--after MS] [--seconds S]
#            idle|halfopen PEERS MODEMS
#
# idle: PEERS connections from 127.0.0.2-9 that send nothing; halfopen: the same, each sending 20 of
# the 41 bytes of an AUTH frame, and opening again when the router closes it. The router (bench-sessions
# with MODEMS modems and 1 s of traffic) runs under a limit of open files of N (default 1024); its
# modems connect once the flood is under way: --after ms (2500) after the router listens, or with --plain (a
# bench-sessions that takes no options, as an older build) 1.2 s after, on the port it chose. --cpu
# pins the router to that core (its modems are not pinned), to share it with busy loops there. Prints the benchmark's lines and what the flood did.
import argparse
import os
import resource
import selectors
import socket
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def crc8(data):
    crc = 0
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = ((crc << 1) ^ 0x07) & 0xFF if crc & 0x80 else (crc << 1) & 0xFF
    return crc


def partial_auth(modem_id):
    control = 4 | (32 << 9)  # an AUTH frame of 32 bytes
    head = bytes([modem_id >> 8, modem_id & 0xFF, control >> 8, control & 0xFF])
    return (b"\x55\xAA" + head + bytes([crc8(head)]) + bytes(34))[:20]


def listening_port(pid):
    """The port the process listens on, from its socket descriptors and the system's table."""
    inodes = set()
    for fd in os.listdir("/proc/%d/fd" % pid):
        try:
            link = os.readlink("/proc/%d/fd/%s" % (pid, fd))
        except OSError:
            continue
        if link.startswith("socket:["):
            inodes.add(link[8:-1])
    with open("/proc/net/tcp") as table:
        for line in list(table)[1:]:
            f = line.split()
            if f[3] == "0A" and f[9] in inodes:
                return int(f[1].split(":")[1], 16)
    return 0


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def main():
    a = argparse.ArgumentParser()
    a.add_argument("--bench", default=None)
    a.add_argument("--plain", action="store_true")
    a.add_argument("--limit", type=int, default=1024)
    a.add_argument("--cpu", type=int, default=-1)
    a.add_argument("--after", type=int, default=2500)
    a.add_argument("--seconds", type=int, default=120)
    a.add_argument("kind", choices=["idle", "halfopen"])
    a.add_argument("peers", type=int)
    a.add_argument("modems", type=int)
    o = a.parse_args()
    peers = max(0, min(o.peers, 20000))
    seconds = max(1, min(o.seconds, 300))
    bench = o.bench or os.path.join(os.getcwd(), "build-rel/tools/bench-sessions/bench-sessions")
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    port = free_port()
    limit = o.limit

    def lowered():
        resource.setrlimit(resource.RLIMIT_NOFILE, (limit, limit))
        if o.cpu >= 0:
            os.sched_setaffinity(0, {o.cpu})

    options = [] if o.plain else ["--port", str(port), "--delay", str(o.after)]
    router = subprocess.Popen([bench] + options + [str(o.modems), "1"],
                              stdout=subprocess.PIPE, text=True, preexec_fn=lowered)
    start = time.monotonic()
    while True:  # until the router listens
        if o.plain:
            port = listening_port(router.pid)
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            break
        except OSError:
            if time.monotonic() - start > 10 or router.poll() is not None:
                sys.exit("flood.py: the router did not listen")
            time.sleep(0.05)

    sel = selectors.DefaultSelector()
    opened = closed = 0

    def open_peer(k):
        nonlocal opened
        s = socket.socket()
        s.setblocking(False)
        s.bind(("127.0.0.%d" % (2 + k % 8), 0))
        try:
            s.connect(("127.0.0.1", port))
        except BlockingIOError:
            pass
        sel.register(s, selectors.EVENT_WRITE if o.kind == "halfopen" else selectors.EVENT_READ, k)
        opened += 1

    for k in range(peers):
        open_peer(k)
    flood_up = time.monotonic() - start
    end = start + seconds
    while router.poll() is None and time.monotonic() < end:
        for key, ev in sel.select(0.05):
            s, k = key.fileobj, key.data
            try:
                if ev & selectors.EVENT_WRITE:
                    s.send(partial_auth(k % 65536))
                    sel.modify(s, selectors.EVENT_READ, k)
                    continue
                if s.recv(4096):
                    continue
            except OSError:
                pass
            sel.unregister(s)
            s.close()
            closed += 1
            if o.kind == "halfopen":
                open_peer(k)
    if router.poll() is None:  # out of time
        router.kill()
    out = router.communicate()[0]
    for key in list(sel.get_map().values()):
        key.fileobj.close()
    print(out, end="")
    print("flood.py: %s, %d peers held (%d opened in all, %d closed by the router), up in %.1f s; router "
          "limit of open files %d" % (o.kind, peers, opened, closed, flood_up, limit))


main()
