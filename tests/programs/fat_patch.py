#!/usr/bin/env python3
"""Damages FAT volumes on purpose for the driver's tests.

fat_patch.py <image> <byte offset of the partition> <command> [arguments]
  boot <field offset> <width 1|2|4> <value>   set a boot sector field
  fat <cluster> <value>                       set a FAT entry in both copies
  next <cluster>                              print a FAT entry
  start <NAME EXT>                            print the first cluster of a root entry
  setstart <NAME EXT> <cluster>               set the first cluster of a root entry
  fill <cluster> <byte>                       fill a cluster with one byte value
  reverse <NAME EXT>                          run a root file's chain backwards: the
                                              same clusters in reverse order, the
                                              data moved with them
"""
import struct
import sys


class Volume:
    def __init__(self, path, offset):
        self.f = open(path, "r+b")
        self.base = offset
        b = self.read(0, 512)
        self.spc = b[13]
        self.reserved = struct.unpack_from("<H", b, 14)[0]
        self.root_entries = struct.unpack_from("<H", b, 17)[0]
        spf16 = struct.unpack_from("<H", b, 22)[0]
        self.fat32 = self.root_entries == 0
        self.spf = struct.unpack_from("<I", b, 36)[0] if self.fat32 else spf16
        self.root_cluster = struct.unpack_from("<I", b, 44)[0] if self.fat32 else 0
        self.root_sector = self.reserved + 2 * self.spf
        self.data = self.root_sector + self.root_entries // 16
        self.width = 4 if self.fat32 else 2

    def read(self, pos, n):
        self.f.seek(self.base + pos)
        return self.f.read(n)

    def write(self, pos, data):
        self.f.seek(self.base + pos)
        self.f.write(data)

    def cluster_pos(self, c):
        return (self.data + (c - 2) * self.spc) * 512

    def entry_pos(self, copy, c):
        return (self.reserved + copy * self.spf) * 512 + c * self.width

    def get(self, c):
        raw = self.read(self.entry_pos(0, c), self.width)
        return struct.unpack("<I" if self.fat32 else "<H", raw)[0]

    def set(self, c, v):
        for copy in (0, 1):
            self.write(self.entry_pos(copy, c), struct.pack("<I" if self.fat32 else "<H", v))

    def root_slots(self):
        if not self.fat32:
            yield from ((self.root_sector * 512 + 32 * i) for i in range(self.root_entries))
            return
        c = self.root_cluster
        while 2 <= c < 0x0FFFFFF0:
            for i in range(self.spc * 16):
                yield self.cluster_pos(c) + 32 * i
            c = self.get(c)

    def find(self, name):
        base, _, ext = name.partition(".")
        want = (base.ljust(8) + ext.ljust(3)).encode()
        for pos in self.root_slots():
            slot = self.read(pos, 32)
            if slot[0] == 0:
                break
            if slot[:11] == want:
                return pos
        sys.exit("no entry " + name)


def main():
    v = Volume(sys.argv[1], int(sys.argv[2]))
    cmd, args = sys.argv[3], sys.argv[4:]
    if cmd == "boot":
        fmt = {"1": "<B", "2": "<H", "4": "<I"}[args[1]]
        v.write(int(args[0]), struct.pack(fmt, int(args[2])))
    elif cmd == "fat":
        v.set(int(args[0]), int(args[1]))
    elif cmd == "next":
        print(v.get(int(args[0])))
    elif cmd == "start":
        slot = v.read(v.find(args[0]), 32)
        print(struct.unpack_from("<H", slot, 20)[0] << 16 | struct.unpack_from("<H", slot, 26)[0])
    elif cmd == "setstart":
        pos = v.find(args[0])
        c = int(args[1])
        v.write(pos + 20, struct.pack("<H", c >> 16))
        v.write(pos + 26, struct.pack("<H", c & 0xFFFF))
    elif cmd == "reverse":
        pos = v.find(args[0])
        slot = v.read(pos, 32)
        c = struct.unpack_from("<H", slot, 20)[0] << 16 | struct.unpack_from("<H", slot, 26)[0]
        chain = []
        end = 0x0FFFFFF0 if v.fat32 else 0xFFF0
        while 2 <= c < end:
            chain.append(c)
            c = v.get(c)
        size = v.spc * 512
        blocks = [v.read(v.cluster_pos(x), size) for x in chain]
        order = chain[::-1]
        for block, x in zip(blocks, order):
            v.write(v.cluster_pos(x), block)
        for a, b in zip(order, order[1:]):
            v.set(a, b)
        v.set(order[-1], 0x0FFFFFFF if v.fat32 else 0xFFFF)
        v.write(pos + 20, struct.pack("<H", order[0] >> 16))
        v.write(pos + 26, struct.pack("<H", order[0] & 0xFFFF))
    elif cmd == "fill":
        v.write(v.cluster_pos(int(args[0])), bytes([int(args[1])]) * (v.spc * 512))
    else:
        sys.exit(__doc__)


main()
