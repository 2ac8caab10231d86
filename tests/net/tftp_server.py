#!/usr/bin/env python3
"""A small TFTP test server for the enhanced (UDP, 1408-byte blocks) and the
broadcast (TCP control on port 99, windows of 32 packets) flavours, with
fault injection.

  tftp_server.py --root DIR [--address IP] [--port 59] [--block 1408]
  tftp_server.py --root DIR --broadcast [--port 99] [--clients N] [--to IP]

Faults (block numbers count from 1 in the UDP flavours, packet numbers from 0
in the broadcast flavour):
  --drop N        the first copy of block N is not sent
  --dup N         block N is sent twice
  --late N:SECS   block N is sent SECS seconds late
  --foreign N     before block N a bogus copy comes from another port
  --error CODE:TEXT   every request is answered by an ERROR packet
  --error-at N    the first transfer to reach block N gets ERROR 3 instead
  --silent-after N    nothing is sent after block N
  --beyond N      broadcast: before the final short packet, a full one N
                  packets past it (in the same window) that is no part of the file
  --swap N        block N is sent after block N+1 (once)
  --log FILE      one line per packet received ("RRQ name", "ACK n")

Options of a request (blksize, windowsize, tsize) in the UDP flavours:
  --options ignore   (default) the request is served as if it had none
  --options refuse   a request with options gets ERROR 8
  --options accept   an OACK agrees blksize up to --block, windowsize up
                     to --window and tsize; blocks then go in windows, and
                     an ACK inside a window starts the next one after it
  --options bad      the OACK offers a bigger block than was asked
                     (a client must refuse it with ERROR 8)
  --window N         the biggest window agreed (default 32)
"""
import argparse
import os
import select
import socket
import struct
import threading
import time

RRQ, DATA, ACK, ERROR, OACK = 1, 3, 4, 5, 6
WINDOW = 32


def parse_args():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--root", required=True)
    p.add_argument("--address", default="0.0.0.0")
    p.add_argument("--port", type=int)
    p.add_argument("--block", type=int, default=1408)
    p.add_argument("--broadcast", action="store_true")
    p.add_argument("--clients", type=int, default=1, help="broadcast: clients to gather before streaming")
    p.add_argument("--to", help="broadcast: send data to this address instead of each client's")
    p.add_argument("--drop", type=int, action="append", default=[])
    p.add_argument("--dup", type=int, action="append", default=[])
    p.add_argument("--late", action="append", default=[])
    p.add_argument("--foreign", type=int, action="append", default=[])
    p.add_argument("--error")
    p.add_argument("--error-at", type=int)
    p.add_argument("--silent-after", type=int)
    p.add_argument("--beyond", type=int)
    p.add_argument("--swap", type=int, action="append", default=[])
    p.add_argument("--options", choices=["ignore", "refuse", "accept", "bad"], default="ignore")
    p.add_argument("--window", type=int, default=32)
    p.add_argument("--log")
    a = p.parse_args()
    if a.port is None:
        a.port = 99 if a.broadcast else 59
    a.late = {int(n): float(s) for n, s in (x.split(":") for x in a.late)}
    return a


class Faults:
    def __init__(self, args):
        self.args = args
        self.dropped = set()
        self.held = {}  # swapped blocks waiting for the next one
        self.cut = False
        self.lock = threading.Lock()
        self.logfile = open(args.log, "a", buffering=1) if args.log else None

    def log(self, text):
        if self.logfile:
            with self.lock:
                self.logfile.write(text + "\n")

    def cut_here(self, number):
        """True once, for the first transfer that reaches block --error-at."""
        with self.lock:
            if number != self.args.error_at or self.cut:
                return False
            self.cut = True
            return True

    def send(self, sock, packet, number, to):
        """Sends one DATA packet with the faults that apply to `number`."""
        a = self.args
        if a.silent_after is not None and number > a.silent_after:
            return
        if number in a.drop and number not in self.dropped:
            self.dropped.add(number)
            return
        if number in a.foreign:
            other = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            other.bind((sock.getsockname()[0], 0))
            other.sendto(packet[:4] + b"\xee" * (len(packet) - 4), to)
            other.close()
        if number in a.late:
            time.sleep(a.late.pop(number))
        if number in a.swap:
            a.swap.remove(number)
            self.held[number + 1] = packet
            return
        sock.sendto(packet, to)
        if number in a.dup:
            sock.sendto(packet, to)
        if number in self.held:
            sock.sendto(self.held.pop(number), to)


def read_name(packet):
    parts = packet[2:].split(b"\0")
    return parts[0].decode("latin-1") if parts else ""


def read_options(packet):
    """The options after name and mode, names in lower case."""
    parts = packet[2:].split(b"\0")[2:]
    return {parts[i].decode("latin-1").lower(): parts[i + 1].decode("latin-1")
            for i in range(0, len(parts) - 1, 2) if parts[i]}


def open_file(root, name):
    path = os.path.normpath(os.path.join(root, name.lstrip("/")))
    if not path.startswith(os.path.normpath(root)) or not os.path.isfile(path):
        return None
    with open(path, "rb") as f:
        return f.read()


# --- UDP flavour: one thread per transfer, lock-step blocks -------------

def serve_transfer(args, faults, data, client, options):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind((args.address if args.address != "0.0.0.0" else "", 0))
    if data is None or args.error:
        code, _, text = (args.error or "1:File not found").partition(":")
        sock.sendto(struct.pack("!HH", ERROR, int(code)) + text.encode() + b"\0", client)
        return
    if options and args.options == "refuse":
        sock.sendto(struct.pack("!HH", ERROR, 8) + b"Options not supported\0", client)
        return
    if options and args.options in ("accept", "bad"):
        serve_windows(args, faults, data, client, options, sock)
        return
    block = 1
    while True:
        chunk = data[(block - 1) * args.block: block * args.block]
        packet = struct.pack("!HH", DATA, block & 0xFFFF) + chunk
        if faults.cut_here(block):
            sock.sendto(struct.pack("!HH", ERROR, 3) + b"Disk full or allocation exceeded\0", client)
            return
        faults.send(sock, packet, block, client)
        # Retransmitted on our own timeout only: answering duplicate ACKs
        # too would send every later block twice.
        deadline, tries = time.time() + 1.0, 0
        while True:
            r, _, _ = select.select([sock], [], [], max(0, deadline - time.time()))
            if not r:
                tries += 1
                if tries > 5:
                    return
                faults.send(sock, packet, block, client)
                deadline = time.time() + 1.0
                continue
            reply, source = sock.recvfrom(2048)
            if source != client or len(reply) < 4:
                continue
            op, number = struct.unpack("!HH", reply[:4])
            faults.log("ACK %d" % number)
            if op == ACK and number == block & 0xFFFF:
                break
        if len(chunk) < args.block:
            return
        block += 1


def agree(args, data, options):
    """The OACK's options and the block size and window they set."""
    block, window, agreed = 512 if args.port != 59 else args.block, 1, []
    if "blksize" in options:
        block = min(int(options["blksize"]), args.block)
        if args.options == "bad":
            block = int(options["blksize"]) + 1
        agreed.append(("blksize", block))
    if "windowsize" in options:
        window = min(int(options["windowsize"]), args.window)
        agreed.append(("windowsize", window))
    if "tsize" in options:
        agreed.append(("tsize", len(data)))
    packet = struct.pack("!H", OACK) + b"".join(b"%s\0%d\0" % (k.encode(), v) for k, v in agreed)
    return packet, block, window


def serve_windows(args, faults, data, client, options, sock):
    """Blocks in windows after an OACK: the client acknowledges the last
    block of each window, or the last one it holds in order after a gap; an
    acknowledgement arriving while a window is sent starts the next window
    after it at once."""
    oack, block, window = agree(args, data, options)
    faults.log("OACK " + " ".join("%s=%s" % kv for kv in sorted(options.items())))
    last = len(data) // block + 1  # the last block is short, maybe empty
    acked, tries = None, 0
    while acked is None:  # block 0: the OACK's acknowledgement
        sock.sendto(oack, client)
        r, _, _ = select.select([sock], [], [], 1.0)
        if not r:
            tries += 1
            if tries > 5:
                return
            continue
        reply, source = sock.recvfrom(2048)
        if source != client or len(reply) < 4:
            continue
        op, number = struct.unpack("!HH", reply[:4])
        faults.log("%s %d" % ("ACK" if op == ACK else "OP%d" % op, number))
        if op == ERROR:
            return
        if op == ACK and number == 0:
            acked = 0

    def take_ack(wait):
        """The absolute block an ACK names (within what was sent), None
        after `wait` seconds without one; -1 when the client ends it."""
        r, _, _ = select.select([sock], [], [], wait)
        if not r:
            return None
        reply, source = sock.recvfrom(2048)
        if source != client or len(reply) < 4:
            return None
        op, number = struct.unpack("!HH", reply[:4])
        faults.log("%s %d" % ("ACK" if op == ACK else "OP%d" % op, number))
        if op == ERROR:
            return -1
        if op != ACK:
            return None
        back = (sent - number) & 0xFFFF  # how far behind the last block sent
        return sent - back if sent - back >= acked else None

    tries = 0
    while acked < last:
        sent = acked
        end = min(acked + window, last)
        restarted = False
        while sent < end:
            sent += 1
            if faults.cut_here(sent):
                sock.sendto(struct.pack("!HH", ERROR, 3) + b"Disk full or allocation exceeded\0", client)
                return
            chunk = data[(sent - 1) * block: sent * block]
            faults.send(sock, struct.pack("!HH", DATA, sent & 0xFFFF) + chunk, sent, client)
            got = take_ack(0)
            if got == -1:
                return
            if got is not None:
                acked, restarted = got, True
                break
        if restarted:
            tries = 0
            continue
        deadline = time.time() + 1.0
        while True:
            got = take_ack(max(0, deadline - time.time()))
            if got == -1:
                return
            if got is not None:
                acked, tries = got, 0
                break
            if time.time() >= deadline:
                tries += 1
                if tries > 5:
                    return
                break  # the window goes again from the last block acknowledged


def serve_udp(args, faults):
    listener = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind((args.address, args.port))
    while True:
        packet, client = listener.recvfrom(2048)
        if len(packet) < 4 or struct.unpack("!H", packet[:2])[0] != RRQ:
            faults.log("STRAY %d" % len(packet))
            continue
        name = read_name(packet)
        options = read_options(packet)
        faults.log("RRQ " + name)
        if options:
            faults.log("OPTIONS " + " ".join("%s=%s" % kv for kv in sorted(options.items())))
        threading.Thread(target=serve_transfer, daemon=True,
                         args=(args, faults, open_file(args.root, name), client, options)).start()


# --- Broadcast flavour: windows of 32 under TCP acknowledgements --------

def read_exact(conn, n):
    data = b""
    while len(data) < n:
        more = conn.recv(n - len(data))
        if not more:
            return None
        data += more
    return data


def serve_group(args, faults, data, clients):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
    sock.bind((args.address, 0))
    targets = [(args.to, 10000)] if args.to else [(c[1][0], 10000) for c in clients]
    packets = (len(data) // args.block) + 1  # the last one is short, maybe empty
    live = {conn: addr for conn, addr in clients}
    window = 0
    while live and window * WINDOW < packets:
        first = window * WINDOW
        for number in range(first, min(first + WINDOW, packets)):
            chunk = data[number * args.block:(number + 1) * args.block]
            packet = struct.pack("!HH", ERROR, number & 0xFFFF) + chunk
            for to in targets:
                if args.beyond and number == packets - 1:
                    stray = struct.pack("!HH", ERROR, (number + args.beyond) & 0xFFFF)
                    sock.sendto(stray + b"\xbb" * args.block, to)
                faults.send(sock, packet, number, to)
        waiting = set(live)
        deadline = time.time() + 5
        resend = False
        while waiting and time.time() < deadline and not resend:
            r, _, _ = select.select(list(waiting), [], [], max(0, deadline - time.time()))
            for conn in r:
                ack = read_exact(conn, 4)
                if ack is None:
                    waiting.discard(conn)
                    live.pop(conn, None)
                    continue
                op, number = struct.unpack("!HH", ack)
                faults.log("ACK %d" % number)
                if op != DATA:
                    continue  # a window is acknowledged with opcode 3
                if number == window & 0xFFFF:
                    waiting.discard(conn)
                elif number == (window - 1) & 0xFFFF:
                    resend = True  # a client misses packets of this window
        if not resend and not waiting:
            window += 1
        elif waiting and not resend:
            for conn in waiting:  # silent clients are dropped
                live.pop(conn, None)
            window += 1
    time.sleep(0.5)
    for conn in [c for c, _ in clients]:
        conn.close()


def serve_broadcast(args, faults):
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind((args.address, args.port))
    listener.listen(64)
    while True:
        group = []
        name = None
        while len(group) < args.clients:
            conn, addr = listener.accept()
            request = conn.recv(600)
            if len(request) < 4 or struct.unpack("!H", request[:2])[0] != RRQ:
                conn.close()
                continue
            name = read_name(request)
            faults.log("RRQ " + name)
            if args.error:
                conn.sendall(struct.pack("!HH", ERROR, 0))
                conn.close()
                continue
            conn.sendall(struct.pack("!HH", 2, len(group)))
            group.append((conn, addr))
        data = open_file(args.root, name) or b""
        threading.Thread(target=serve_group, daemon=True, args=(args, faults, data, group)).start()


def main():
    args = parse_args()
    faults = Faults(args)
    try:
        (serve_broadcast if args.broadcast else serve_udp)(args, faults)
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
