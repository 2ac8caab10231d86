#!/usr/bin/env python3
"""Test tool for FAT full restores: describes host trees as FATx archives and
checks restored volumes by reading the image directly.

  fatrestore_tool.py describe TREE DESC [--boot fat16|fat32|none|BYTES] [--label L]
                                        [--data-files]
      Writes the arctool.py description of a full FATx archive of the host
      directory TREE. File attributes and times come from the host (the
      modification time; a name starting with "r_" is read-only, "h_"
      hidden, "s_" system); names that need a numeric short-name tail get
      one from a counter per directory (starting at TAILBASE, default 1).
      --boot chooses the boot area: a FAT16 boot sector, a FAT32 area of 32
      sectors, none, or that many bytes of a plain sector pattern. --label
      gives the volume a label: in the boot sector and as the root's
      volume-label entry. --data-files names the files' paths ("datafile"
      lines, for tests/bench/fatarc_write) instead of their contents.
  fatrestore_tool.py check IMAGE OFFSET TREE [--tail-base N] [--label L]
      Reads the FAT volume at byte OFFSET of IMAGE and compares it with what
      a restore of TREE's archive must give: the tree, every name, short
      name, attribute, time, size and content, and the layout (directories
      in directory order from the first directory cluster, files
      contiguous in file order, the FAT16 region before the directories,
      both FATs equal, FSInfo and the FAT32 backup boot sector). Prints
      "layout ok" or the differences, exit status 1 on any.
  fatrestore_tool.py inspect IMAGE OFFSET
      Prints the volume's parameters and its tree (debugging aid).
"""
import os
import struct
import sys
import time

DA = 15
MSDOS_ALLOWED = set(b"!#$%&'()-@_`{}~")


def crc32(data):
    """CRC-32, polynomial 0x04C11DB7, MSB first, from 0, no final XOR."""
    crc = 0
    for b in data:
        crc ^= b << 24
        for _ in range(8):
            crc = ((crc << 1) ^ 0x04C11DB7) if crc & 0x80000000 else crc << 1
            crc &= 0xFFFFFFFF
    return crc


def short_char(c):
    if 65 <= c <= 90 or 48 <= c <= 57 or c in MSDOS_ALLOWED:
        return c
    if 97 <= c <= 122:
        return c - 32
    if c < 128:
        return ord("_")
    return c  # the trees here are ASCII


def short_name(name, tail):
    """The 11-byte short name and the number of long-name slots."""
    raw = name.encode("latin-1")
    if raw in (b".", b".."):
        return raw.ljust(11), 0
    exact = case_only = True
    rest = raw
    if rest.startswith(b"."):
        exact = case_only = False
        rest = rest.lstrip(b".")
    dot = rest.rfind(b".")
    base_src, ext_src = (rest, b"") if dot < 0 else (rest[:dot], rest[dot + 1:])

    def take(src, limit):
        nonlocal exact, case_only
        out = bytearray()
        for c in src:
            if c in b" ." or len(out) >= limit:
                exact = case_only = False
                continue
            m = short_char(c)
            if m != c:
                exact = False
                if m != (c - 32 if 97 <= c <= 122 else c):
                    case_only = False
            out.append(m)
        return out

    base = take(base_src, 8)
    ext = take(ext_src, 3)
    if exact:
        return bytes(base.ljust(8) + ext.ljust(3)), 0
    if not case_only:
        number = tail if tail else crc32(raw)
        digits = str(number % 1000000).encode()
        at = min(len(base), 7 - len(digits))
        base = base[:at] + b"~" + digits
    return bytes(base.ljust(8, b" ")[:8] + ext.ljust(3)), (len(raw) + 12) // 13


def needs_tail(name):
    _, slots = short_name(name, 1)
    return slots > 0 and short_name(name, 1)[0] != short_name(name, 2)[0]


def dos_time(t):
    lt = time.localtime(t)
    date = ((lt.tm_year - 1980) << 9) | (lt.tm_mon << 5) | lt.tm_mday
    tod = (lt.tm_hour << 11) | (lt.tm_min << 5) | (lt.tm_sec // 2)
    return date, tod


class Entry:
    def __init__(self, path, name, is_dir, tail, label=None):
        st = os.lstat(path)
        self.path, self.name, self.is_dir = path, name, is_dir
        self.tail = tail
        self.short, self.slots = short_name(name, tail)
        attr = 0x10 if is_dir else 0x20
        for prefix, bit in (("r_", 1), ("h_", 2), ("s_", 4)):
            if name.startswith(prefix):
                attr |= bit
        if label is not None:
            attr = label
        date, tod = dos_time(st.st_mtime)
        tenths = (int(st.st_mtime) % 2) * 100 + 37
        self.attr = attr
        self.attrs = struct.pack("<BBHHHHH", attr, tenths, tod, date, date, tod, date)
        self.attrs += struct.pack("<I", tail)[:3]
        self.size = 0 if is_dir or label is not None else st.st_size
        self.content = None if is_dir or label is not None else path
        self.children = []  # directories: subdirectories first, then files


def load_tree(path, tail_base=1, name="", label=None):
    """The tree of a host directory; with a label, the root also holds the
    volume-label entry that an archive of a labelled volume carries."""
    root = Entry(path, name, True, 0)
    names = sorted(os.listdir(path))
    dirs = [n for n in names if os.path.isdir(os.path.join(path, n))]
    files = [n for n in names if not os.path.isdir(os.path.join(path, n))]
    counter = tail_base
    for n in dirs + files:
        tail = 0
        if needs_tail(n):
            tail = counter
            counter += 1
        p = os.path.join(path, n)
        if n in dirs:
            child = load_tree(p, tail_base, n)
            child.tail = tail
            child.short, child.slots = short_name(n, tail)
            child.attrs = child.attrs[:12] + struct.pack("<I", tail)[:3]
        else:
            child = Entry(p, n, False, tail)
        root.children.append(child)
    if label:
        entry = Entry(path, label, False, 0, 0x28)
        files = [c for c in root.children if not c.is_dir] + [entry]
        files.sort(key=lambda c: c.name.encode("latin-1"))
        root.children = [c for c in root.children if c.is_dir] + files
    return root


def dir_bytes(d):
    total = 64
    for c in d.children:
        total += 32 * (c.slots + 1)
    return total


def blocks(d):
    b = dir_bytes(d)
    return [(b + (1024 << k) - 1) // (1024 << k) for k in range(6)]


def preorder(d, depth=0):
    """(directory, depth) in directory order."""
    yield d, depth
    for c in d.children:
        if c.is_dir:
            yield from preorder(c, depth + 1)


def file_order(root):
    return [c for d, _ in preorder(root) for c in d.children if not c.is_dir]


def subtree(d):
    dirs = [x for x, _ in preorder(d)]
    totals = [sum(blocks(x)[k] for x in dirs) for k in range(6)]
    return len(dirs), totals


def boot_area(kind, label=None):
    if kind == "none":
        return b""
    if kind not in ("fat16", "fat32"):
        n = int(kind)
        return bytes((i * 7 + 3) & 0xFF for i in range(n))
    sector = bytearray(512)
    sector[0:3] = b"\xeb\x58\x90"
    sector[3:11] = b"ARCHIVED"
    sector[90:90 + 20] = b"archived boot code\r\n"
    sector[510:512] = b"\x55\xaa"
    e = 36 if kind == "fat16" else 64
    sector[e] = 0x80
    sector[e + 2] = 0x29
    sector[e + 3:e + 7] = b"\x12\x34\x56\x78"
    sector[e + 7:e + 18] = (label or "NO NAME").encode().ljust(11)
    sector[e + 18:e + 26] = b"FAT16   " if kind == "fat16" else b"FAT32   "
    if kind == "fat16":
        return bytes(sector)
    area = bytearray(16384)
    area[0:512] = sector
    info = bytearray(512)
    struct.pack_into("<I", info, 0, 0x41615252)
    struct.pack_into("<I", info, 484, 0x61417272)
    struct.pack_into("<II", info, 488, 0xFFFFFFFF, 0xFFFFFFFF)
    struct.pack_into("<I", info, 508, 0xAA550000)
    area[512:1024] = info
    area[1024 + 510:1024 + 512] = b"\x55\xaa"
    area[6 * 512:9 * 512] = area[0:3 * 512]
    return bytes(area)


def describe(tree, boot, tail_base=1, label=None, data_files=False):
    root = load_tree(tree, tail_base, label=label)
    dirs = list(preorder(root))
    files = file_order(root)
    total = sum(f.size for f in files) & 0xFFFFFFFF
    out = ["full",
           "header " + (b"FATx" + struct.pack("<IIHHI", len(dirs), len(files), 0, DA, total)).hex(),
           "boot " + boot_area(boot, label).hex()]
    for d, _ in dirs:
        subdirs = sum(1 for c in d.children if c.is_dir)
        out.append("dirsum " + struct.pack("<6HII", *blocks(d), subdirs,
                                           len(d.children) - subdirs).hex())
    for f in files:
        out.append("filesum " + struct.pack("<I", f.size).hex())
    prev = 0
    for i, (d, depth) in enumerate(dirs):
        subdirs = [c for c in d.children if c.is_dir]
        pops = 0 if i == 0 else prev - depth + 1
        prev = depth
        out.append("dir " + struct.pack("<6HIIHH", *blocks(d), len(subdirs),
                                        len(d.children) - len(subdirs), pops, 0).hex())
        for c in subdirs:
            n, totals = subtree(c)
            out.append("subdir " + (struct.pack("<I6H", n, *totals) + c.attrs +
                                    c.name.encode("latin-1") + b"\0").hex())
        for c in d.children:
            if not c.is_dir:
                out.append("file " + (struct.pack("<I", c.size) + c.attrs +
                                      c.name.encode("latin-1") + b"\0").hex())
    for f in files:
        if f.content is None:
            out.append("data ")
            continue
        if data_files:
            out.append("datafile " + f.content.encode().hex())
            continue
        with open(f.content, "rb") as fh:
            out.append("data " + fh.read().hex())
    out.append("end")
    return "\n".join(out) + "\n"


# ---- Reading a volume ------------------------------------------------------

class Volume:
    def __init__(self, image, offset):
        self.f = open(image, "rb")
        self.offset = offset
        b = self.sector(0)
        self.boot = b
        (self.bps, self.spc, self.reserved, self.nfats, self.root_entries, small, _media,
         fat16) = struct.unpack_from("<HBHBHHBH", b, 11)
        self.total = struct.unpack_from("<I", b, 32)[0] or small
        self.fat32 = self.root_entries == 0
        self.fat_sectors = struct.unpack_from("<I", b, 36)[0] if self.fat32 else fat16
        self.root_cluster = struct.unpack_from("<I", b, 44)[0] if self.fat32 else 0
        self.info_sector = struct.unpack_from("<H", b, 48)[0] if self.fat32 else 0
        self.backup = struct.unpack_from("<H", b, 50)[0] if self.fat32 else 0
        self.root_sector = self.reserved + 2 * self.fat_sectors
        self.data = self.root_sector + self.root_entries // 16
        self.clusters = (self.total - self.data) // self.spc
        self.width = 4 if self.fat32 else 2
        raw = self.read(self.reserved, self.fat_sectors)
        self.fat_raw = raw
        self.fat2_raw = self.read(self.reserved + self.fat_sectors, self.fat_sectors)
        n = len(raw) // self.width
        fmt = "<%d%s" % (n, "I" if self.fat32 else "H")
        self.fat = [v & 0x0FFFFFFF for v in struct.unpack(fmt, raw)] if self.fat32 else \
            list(struct.unpack(fmt, raw))

    def read(self, sector, count):
        self.f.seek(self.offset + sector * 512)
        return self.f.read(count * 512)

    def sector(self, n):
        return self.read(n, 1)

    def is_end(self, v):
        return v >= (0x0FFFFFF8 if self.fat32 else 0xFFF8)

    def chain(self, start):
        out = []
        c = start
        while 2 <= c < len(self.fat) and len(out) <= self.clusters:
            out.append(c)
            v = self.fat[c]
            if self.is_end(v) or v < 2:
                break
            c = v
        return out

    def cluster_data(self, clusters):
        return b"".join(self.read(self.data + (c - 2) * self.spc, self.spc) for c in clusters)

    def entries(self, raw):
        """(name, short, attr, slot bytes) of a directory's raw slots."""
        out, lfn = [], {}
        for i in range(0, len(raw), 32):
            s = raw[i:i + 32]
            if s[0] == 0:
                break
            if s[0] == 0xE5:
                lfn = {}
                continue
            if s[11] == 0x0F:
                chars = s[1:11] + s[14:26] + s[28:32]
                lfn[s[0] & 0x3F] = chars
                continue
            if s[0:2] in (b".\x20", b".."):
                lfn = {}
                continue
            if lfn:
                text = b"".join(lfn[k] for k in sorted(lfn)).decode("utf-16-le")
                name = text.split("\0")[0]
            else:
                base = s[0:8].rstrip(b" ")
                ext = s[8:11].rstrip(b" ")
                name = (base + (b"." + ext if ext else b"")).decode("latin-1")
            lfn = {}
            out.append((name, s))
        return out


def check(image, offset, tree, tail_base, label=None):
    v = Volume(image, offset)
    root = load_tree(tree, tail_base, label=label)
    problems = []
    spc = v.spc
    k = spc.bit_length() - 2
    dirs = [d for d, _ in preorder(root)]
    own = [blocks(d)[k] for d in dirs]
    # The planned layout.
    start = {}
    if v.fat32:
        c = 2
        for d, n in zip(dirs, own):
            start[id(d)] = list(range(c, c + n))
            c += n
        dlast = c - 1
        fc = dlast + 1
        for f in file_order(root):
            n = -(-(-(-f.size // 512)) // spc)
            start[id(f)] = list(range(fc, fc + n))
            fc += n
        flast = fc - 1
    else:
        d0 = 1024 // spc + 2
        c = d0
        start[id(root)] = []
        for d, n in zip(dirs[1:], own[1:]):
            start[id(d)] = list(range(c, c + n))
            c += n
        dlast = c - 1
        fc = 2
        jumped = False
        for f in file_order(root):
            n = -(-(-(-f.size // 512)) // spc)
            cl = []
            for _ in range(n):
                if fc == d0 and not jumped:
                    fc = dlast + 1
                    jumped = True
                cl.append(fc)
                fc += 1
            start[id(f)] = cl
        flast = fc - 1
    used = sum(len(x) for x in start.values())

    def walk(d, raw, path):
        # The volume label may share its name with a file: keyed apart.
        found = {(name, s[11] & 0x08 != 0): s for name, s in v.entries(raw)}
        if d is not root:
            first = raw[0:32]
            if first[0:11] != b".          " or struct.unpack_from("<H", first, 26)[0] != \
                    start[id(d)][0] & 0xFFFF:
                problems.append("%s: bad '.' entry" % path)
        for c in d.children:
            p = path + "/" + c.name
            s = found.pop((c.name, c.attrs[0] & 0x08 != 0), None)
            if s is None:
                problems.append("%s: missing" % p)
                continue
            if s[0:11] != c.short:
                problems.append("%s: short name %r, expected %r" % (p, s[0:11], c.short))
            if s[11:12] + s[13:20] + s[22:26] != c.attrs[0:1] + c.attrs[1:8] + c.attrs[8:12]:
                problems.append("%s: attributes or times differ" % p)
            first = (struct.unpack_from("<H", s, 20)[0] << 16) | struct.unpack_from("<H", s, 26)[0]
            size = struct.unpack_from("<I", s, 28)[0]
            want = start[id(c)]
            if (want[0] if want else 0) != first:
                problems.append("%s: starts at cluster %d, expected %d" %
                                (p, first, want[0] if want else 0))
            got = v.chain(first) if first else []
            if got != want:
                problems.append("%s: chain %s..., expected %s..." % (p, got[:4], want[:4]))
            if c.is_dir:
                walk(c, v.cluster_data(got), p)
            else:
                if size != c.size:
                    problems.append("%s: size %d, expected %d" % (p, size, c.size))
                content = b""
                if c.content is not None:
                    with open(c.content, "rb") as fh:
                        content = fh.read()
                if v.cluster_data(got)[:c.size] != content:
                    problems.append("%s: content differs" % p)
        for name, _ in found:
            problems.append("%s/%s: unexpected entry" % (path, name))

    if v.fat32:
        walk(root, v.cluster_data(v.chain(v.root_cluster)), "")
        info = v.sector(v.info_sector)
        free, nxt = struct.unpack_from("<II", info, 488)
        if free != v.clusters - used:
            problems.append("FSInfo free count %d, expected %d" % (free, v.clusters - used))
        if nxt != max(flast, dlast):
            problems.append("FSInfo next free %d, expected %d" % (nxt, max(flast, dlast)))
        if v.backup != 6 or v.read(6, 3) != v.read(0, 3):
            problems.append("backup boot sector (at %d) differs" % v.backup)
    else:
        raw = v.read(v.root_sector, 32)
        walk(root, raw, "")
    if v.fat_raw != v.fat2_raw:
        problems.append("the two FATs differ")
    marked = sum(1 for c in range(2, v.clusters + 2) if v.fat[c] != 0)
    if marked != used:
        problems.append("%d clusters in use, expected %d" % (marked, used))
    for p in problems[:40]:
        print(p)
    if not problems:
        print("layout ok")
    return 1 if problems else 0


def inspect(image, offset):
    v = Volume(image, offset)
    print("fat32" if v.fat32 else "fat16", "spc", v.spc, "fat", v.fat_sectors,
          "clusters", v.clusters, "total", v.total)

    def walk(raw, path, depth):
        for name, s in v.entries(raw):
            first = (struct.unpack_from("<H", s, 20)[0] << 16) | struct.unpack_from("<H", s, 26)[0]
            print("  " * depth + "%s [%s] attr %02x start %d size %d" %
                  (name, s[0:11].decode("latin-1"), s[11], first,
                   struct.unpack_from("<I", s, 28)[0]))
            if s[11] & 0x10 and depth < 64:
                walk(v.cluster_data(v.chain(first)), path + "/" + name, depth + 1)

    walk(v.cluster_data(v.chain(v.root_cluster)) if v.fat32 else v.read(v.root_sector, 32),
         "", 0)


def main(argv):
    args = argv[1:]
    tail_base = 1
    label = None
    if "--label" in args:
        i = args.index("--label")
        label = args[i + 1]
        del args[i:i + 2]
    if "--tail-base" in args:
        i = args.index("--tail-base")
        tail_base = int(args[i + 1])
        del args[i:i + 2]
    if len(args) >= 3 and args[0] == "describe":
        boot = "none"
        if "--boot" in args:
            i = args.index("--boot")
            boot = args[i + 1]
            del args[i:i + 2]
        with open(args[2], "w") as f:
            data_files = "--data-files" in args
            f.write(describe(args[1], boot, tail_base, label, data_files))
        return 0
    if len(args) == 4 and args[0] == "check":
        return check(args[1], int(args[2]), args[3], tail_base, label)
    if len(args) == 3 and args[0] == "inspect":
        inspect(args[1], int(args[2]))
        return 0
    sys.stderr.write(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
