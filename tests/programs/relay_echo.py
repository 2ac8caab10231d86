#!/usr/bin/env python3
"""UDP echo for the relay scenario.

  relay_echo.py server ADDR PORT
  relay_echo.py client ADDR PORT COUNT GAP_MS

The client sends COUNT numbered datagrams GAP_MS apart (0: at once), takes
the echoes until one second after the last, and prints one line of
"name value" pairs: sent, unique, duplicates, reordered (an echo whose number
is below one already seen), min_ms and median_ms (round trip of the first copy).
"""
import socket
import struct
import sys
import time


def server(addr, port):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((addr, port))
    while True:
        data, peer = s.recvfrom(2048)
        s.sendto(data, peer)


def client(addr, port, count, gap):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.connect((addr, port))
    s.setblocking(False)
    sent_at, rtts, seen = {}, [], set()
    dups = reordered = 0
    highest = -1

    def take(deadline):
        nonlocal dups, reordered, highest
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return
            s.settimeout(left)
            try:
                data = s.recv(2048)
            except (socket.timeout, BlockingIOError):
                return
            now = time.monotonic()
            (n,) = struct.unpack_from("!I", data)
            if n in seen:
                dups += 1
                continue
            seen.add(n)
            if n < highest:
                reordered += 1
            highest = max(highest, n)
            rtts.append(now - sent_at[n])

    for n in range(count):
        sent_at[n] = time.monotonic()
        s.send(struct.pack("!I", n) + bytes(60))
        take(time.monotonic() + gap / 1000.0)
    take(time.monotonic() + 1.0)
    rtts.sort()
    mid = rtts[len(rtts) // 2] * 1000 if rtts else 0
    low = rtts[0] * 1000 if rtts else 0
    print(f"sent {count} unique {len(seen)} duplicates {dups} reordered {reordered} "
          f"min_ms {low:.3f} median_ms {mid:.3f}")


if __name__ == "__main__":
    if sys.argv[1] == "server":
        server(sys.argv[2], int(sys.argv[3]))
    else:
        client(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), float(sys.argv[5]))
