#!/usr/bin/env python3
"""A DHCP stand-in for the discovery tests, run in the server namespace.

  net_dhcp.py listen LOG     records every request (time and hex), answers none
  net_dhcp.py answer LOG     first a reply for another client, then a crafted
                             reply whose file field holds options (overload)
  net_dhcp.py wrongxid LOG   a reply with another transaction id
  net_dhcp.py check LOG MAC  checks the recorded requests byte for byte
"""
import socket
import struct
import sys
import time

COOKIE = bytes([99, 130, 83, 99])


def expected_request(mac):
    """The DISCOVER as it must appear on the wire: 576 bytes."""
    p = bytearray(576)
    p[0:4] = bytes([1, 1, 6, 0])
    p[4:8] = bytes([0xD2, 0x04, 0, 0])
    p[28:34] = mac
    options = COOKIE + bytes([53, 1, 1, 55, 160]) + bytes(range(1, 97)) + bytes(range(128, 192))
    options += bytes([57, 2, 0x05, 0x08, 255])
    p[236:236 + len(options)] = options
    return bytes(p)


def reply(request, xid=None, chaddr=None, file_field=b"", sname=b"", options=b""):
    p = bytearray(548)
    p[0:4] = bytes([2, 1, 6, 0])
    p[4:8] = request[4:8] if xid is None else struct.pack("<I", xid)
    p[16:20] = socket.inet_aton("10.77.0.2")
    p[20:24] = socket.inet_aton("10.77.0.1")
    p[28:44] = request[28:44] if chaddr is None else chaddr
    p[44:44 + len(sname)] = sname
    p[108:108 + len(file_field)] = file_field
    p[236:240] = COOKIE
    p[240:240 + len(options)] = options
    return bytes(p)


def serve(mode, log):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
    s.bind(("0.0.0.0", 67))
    out = open(log, "a", buffering=1)
    while True:
        data, _ = s.recvfrom(2048)
        out.write("%.3f %s\n" % (time.time(), data.hex()))
        to = ("255.255.255.255", 68)
        if mode == "answer":
            s.sendto(reply(data, chaddr=b"\x02\x99" + bytes(14), file_field=b"other.tbr"), to)
            time.sleep(0.2)
            in_file = bytes([67, 13]) + b"boot/over.tbr" + bytes([43, 4]) + b"abc\0" + bytes([255])
            opts = bytes([53, 1, 2, 52, 1, 1, 3, 8]) + socket.inet_aton("10.77.0.1") + \
                socket.inet_aton("10.77.0.9") + bytes([2, 4, 0xFF, 0xFF, 0xFF, 0xF0]) + \
                bytes([200, 2, 1, 2, 26, 2, 0x05, 0xDC, 255])
            s.sendto(reply(data, file_field=in_file, sname=b"bootsrv", options=opts), to)
        elif mode == "wrongxid":
            s.sendto(reply(data, xid=999, file_field=b"x.tbr"), to)


def check(log, mac):
    lines = [l.split() for l in open(log)]
    want = expected_request(bytes.fromhex(mac.replace(":", "")))
    bad = [i for i, (_, h) in enumerate(lines) if bytes.fromhex(h) != want]
    times = [float(t) for t, _ in lines]
    gaps = [round(b - a, 2) for a, b in zip(times, times[1:])]
    print("requests %d gaps %s mismatched %s" % (len(lines), gaps, bad))
    ok = not bad and all(1.8 <= g <= 2.6 for g in gaps)
    return 0 if ok else 1


if __name__ == "__main__":
    if sys.argv[1] == "check":
        sys.exit(check(sys.argv[2], sys.argv[3]))
    serve(sys.argv[1], sys.argv[2])
