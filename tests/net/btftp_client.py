#!/usr/bin/env python3
"""A broadcast-flavour client that knows nothing of the server's notes: it
sends the bare read request on the control stream, takes the 4-byte answer,
and reads windows of 32 packets from its port 10000 strictly in step,
acknowledging each. A packet of a later window before the current one is
complete is an error, as it is for such clients. Writes the file's bytes to
the output path; exit status 0 when the file ended cleanly.

  btftp_client.py SERVER NAME OUTPUT

With --hostile in place of OUTPUT, a member that never takes a window: it
says it holds windows ahead, then asks for the window before the first
again every half second, with a burst of repair requests for the first
packet each time, until the server drops it (exit status 0) or a minute
has passed (1)."""
import select, socket, struct, sys, time

BLOCK, WINDOW = 1408, 32
server, name, output = sys.argv[1], sys.argv[2], sys.argv[3]
if output == "--hostile":
    tcp = socket.create_connection((server, 99), timeout=10)
    tcp.sendall(struct.pack("!H", 1) + name.encode() + b"\0octet\0" + struct.pack("!HH", 7, 3))
    end = time.monotonic() + 60
    try:
        while time.monotonic() < end:
            tcp.sendall(struct.pack("!HH", 3, 0xFFFF) + struct.pack("!HH", 8, 0) * 20)
            if select.select([tcp], [], [], 0.5)[0] and not tcp.recv(4096):
                sys.exit(0)
    except OSError:
        sys.exit(0)
    sys.exit("not dropped")
udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
udp.bind(("0.0.0.0", 10000))
tcp = socket.create_connection((server, 99), timeout=10)
tcp.sendall(struct.pack("!H", 1) + name.encode() + b"\0octet\0")
answer = tcp.recv(4)
if len(answer) != 4 or struct.unpack("!H", answer[:2])[0] != 2:
    sys.exit("no answer to the request")
data, window = bytearray(), 0
while True:
    slots, last = {}, None
    while len(slots) < (WINDOW if last is None else last + 1):
        if not select.select([udp], [], [], 5)[0]:
            tcp.sendall(struct.pack("!HH", 3, (window - 1) & 0xFFFF))  # ask again
            continue
        packet = udp.recv(2048)
        op, number = struct.unpack("!HH", packet[:4])
        slot = (number - window * WINDOW) & 0xFFFF
        if op != 5 or slot >= 0x8000:
            continue
        if slot >= WINDOW:
            sys.exit(f"packet {number} of a later window while window {window} is incomplete")
        slots[slot] = packet[4:]
        if len(packet) - 4 < BLOCK:
            last = slot
    for slot in range(len(slots)):
        data += slots[slot]
    tcp.sendall(struct.pack("!HH", 3, window & 0xFFFF))
    window += 1
    if last is not None:
        break
open(output, "wb").write(data)
