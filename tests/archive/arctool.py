#!/usr/bin/env python3
"""Independent reader and writer of disk archives (a test tool, not shipped).

Written from the format description alone, to cross-check the C++ writer and
reader: two readings of the format that agree guard against a shared
misunderstanding.

  arctool.py read FIRST-FRAGMENT
      Checks every fragment (magic, lengths, offsets, CRC, break markers) and
      the section layout, and prints the archive's canonical description.
  arctool.py heads FIRST-FRAGMENT
      Checks the fragment headers and file lengths only (magic and width,
      stream length, offsets; no data), for archives too large to unpack
      here, and prints the width, fragment count and stream length.
  arctool.py write DESCRIPTION FIRST-FRAGMENT LIMIT [final-crc]
      Writes the archive that a description describes, cut into fragments of
      at most LIMIT data bytes (counted before each chunk). The first
      fragment's CRC covers the archive header with its sum of file sizes 0,
      as first written, unless final-crc asks for the CRC of the final data.

Fragments begin with a 20-byte header ("VKR" 0x10: magic, stream length,
stream offset, data length, CRC, each u32) or a 28-byte one ("VKR" 0x11:
the same, then the high halves of the stream length and offset); the
writer writes the narrow one.

The description has one item per line, bytes in lowercase hex:
  full | incr
  header <20 bytes>
  boot <bytes>                      (full)
  dirsum <entry> / filesum <entry>  (full)
  dir <24-byte record>, then subdir <entry> and file <entry> lines (full)
  data <content>                    (full: one per file, in file order)
  idir <12-byte record> <name>, subdir <entry>, then per file
      ifile <entry> and data <content>          (incr)
  end
"""
import struct
import sys

MAGIC = 0x10524B56
MAGIC_WIDE = 0x11524B56
CHUNK = 32768
PACKED_MAX = 36864
NAME_MAX = 128
BREAK = b"\xff\xff\x00\x00"


class FormatError(Exception):
    pass


def crc32(data, crc=0, _table=[]):
    """CRC-32, polynomial 0x04C11DB7, most significant bit first, from 0,
    no final XOR."""
    if not _table:
        for i in range(256):
            c = i << 24
            for _ in range(8):
                c = ((c << 1) ^ 0x04C11DB7) if c & 0x80000000 else (c << 1)
            _table.append(c & 0xFFFFFFFF)
    for b in data:
        crc = ((crc << 8) & 0xFFFFFFFF) ^ _table[(crc >> 24) ^ b]
    return crc


class Predictor:
    """The byte predictor: a 64 KiB table indexed by the last two bytes."""

    def __init__(self):
        self.table = bytearray(i & 0xFF for i in range(65536))
        self.context = 0

    def pack(self, data):
        out = bytearray()
        table, ctx = self.table, self.context
        for g in range(0, len(data), 8):
            group = data[g:g + 8]
            flag_at = len(out)
            out.append(0)
            flag = 0
            for k, x in enumerate(group):
                if table[ctx] != x:
                    table[ctx] = x
                    out.append(x ^ 0xFF)
                    flag |= 0x80 >> k
                ctx = ((ctx << 8) | x) & 0xFFFF
            for _ in range(len(group), 8):
                ctx = ((ctx << 8) | table[ctx]) & 0xFFFF
            out[flag_at] = flag
        self.context = ctx
        return bytes(out)

    def unpack(self, packed, n):
        out = bytearray()
        table, ctx, p = self.table, self.context, 0
        while len(out) < n:
            if p >= len(packed):
                raise FormatError("packed data ends early")
            flag = packed[p]
            p += 1
            for k in range(8):
                if flag & (0x80 >> k):
                    if p >= len(packed):
                        raise FormatError("packed data ends early")
                    x = packed[p] ^ 0xFF
                    p += 1
                    table[ctx] = x
                else:
                    x = table[ctx]
                if len(out) < n:
                    out.append(x)
                ctx = ((ctx << 8) | x) & 0xFFFF
        if p != len(packed):
            raise FormatError("chunk holds %d packed bytes, uses %d" % (len(packed), p))
        self.context = ctx
        return bytes(out)


def first_written(data):
    """The first fragment's data as a writer first wrote them: the archive
    header's sum of file sizes still 0. Writers may store that fragment's CRC
    before they patch the real sum in."""
    return data[:16] + b"\0\0\0\0" + data[20:] if len(data) >= 20 else data


def fragment_name(first, n):
    if n == 0:
        return first
    digits = str(n)
    if len(digits) > len(first):
        raise FormatError("no name for fragment %d" % n)
    return first[:len(first) - len(digits)] + digits


# ---- Reading ---------------------------------------------------------------

def parse_head(name, blob, file_length):
    """A fragment's header from its first bytes: magic, stream length,
    stream offset, data length, CRC and the header's size."""
    if len(blob) < 20:
        raise FormatError("%s: no header" % name)
    magic, length, offset, data_length, crc = struct.unpack("<5I", blob[:20])
    if magic == MAGIC_WIDE:
        if len(blob) < 28:
            raise FormatError("%s: no header" % name)
        high_length, high_offset = struct.unpack("<II", blob[20:28])
        length |= high_length << 32
        offset |= high_offset << 32
        head = 28
    elif magic == MAGIC:
        head = 20
    else:
        raise FormatError("%s: not an archive" % name)
    if file_length != head + data_length:
        raise FormatError("%s: size %d, header says %d" % (name, file_length, head + data_length))
    return magic, length, offset, data_length, crc, head


class Continuity:
    """What the fragments of one archive must share, in order: width,
    stream length, and each one's offset where the previous one ended."""

    def __init__(self):
        self.magic, self.stream_length, self.next_offset = None, None, 0

    def accept(self, name, blob, file_length):
        magic, length, offset, data_length, crc, head = parse_head(name, blob, file_length)
        if offset != self.next_offset:
            raise FormatError("%s: stream offset %d, expected %d" % (name, offset, self.next_offset))
        if self.stream_length is None:
            if length == 0:
                raise FormatError("%s: unfinished archive" % name)
            self.magic, self.stream_length = magic, length
        elif length != self.stream_length or magic != self.magic:
            raise FormatError("%s: fragment of another archive" % name)
        self.next_offset = offset + data_length
        return offset, crc, head

    def done(self):
        return self.stream_length is not None and self.next_offset >= self.stream_length


def read_heads(first):
    chain, n = Continuity(), 0
    while not chain.done():
        name = fragment_name(first, n)
        try:
            with open(name, "rb") as f:
                blob = f.read(28)
                size = f.seek(0, 2)
        except OSError:
            raise FormatError("cannot open fragment %s" % name)
        chain.accept(name, blob, size)
        n += 1
    if chain.next_offset != chain.stream_length:
        raise FormatError("fragments hold %d bytes, the stream %d" % (chain.next_offset,
                                                                      chain.stream_length))
    return "%s %d fragments %d bytes\n" % ("wide" if chain.magic == MAGIC_WIDE else "narrow", n,
                                           chain.stream_length)


class StreamReader:
    def __init__(self, first):
        self.first = first
        self.number = -1
        self.chain = Continuity()
        self.predictor = Predictor()
        self.chunk = b""
        self.at = 0
        self._open_next()

    def _open_next(self):
        self.number += 1
        name = fragment_name(self.first, self.number)
        try:
            with open(name, "rb") as f:
                blob = f.read()
        except OSError:
            raise FormatError("cannot open fragment %s" % name)
        offset, crc, head = self.chain.accept(name, blob, len(blob))
        data = blob[head:]
        if crc32(data) != crc and not (offset == 0 and crc32(first_written(data)) == crc):
            raise FormatError("%s: CRC mismatch" % name)
        self.data = data
        self.pos = 0

    def raw(self, n):
        if self.pos + n > len(self.data):
            raise FormatError("raw item beyond the data of fragment %d" % self.number)
        b = self.data[self.pos:self.pos + n]
        self.pos += n
        return b

    def u32(self):
        return struct.unpack("<I", self.raw(4))[0]

    def tag(self, expected):
        t = self.raw(2)
        if t != expected:
            raise FormatError("tag %r where %r belongs" % (t, expected))

    def finish(self):
        if self.pos != len(self.data) or self.chain.next_offset != self.chain.stream_length:
            raise FormatError("stream does not end with the archive")

    # Runs: each chunk is unpacked whole; records are taken from it.
    def start_run(self):
        if self.at != len(self.chunk):
            raise FormatError("previous run not used up")
        self.chunk, self.at = b"", 0

    def _load(self):
        packed_length, unpacked = struct.unpack("<HH", self.raw(4))
        if packed_length == 0xFFFF:
            if unpacked != 0 or self.pos != len(self.data):
                raise FormatError("break marker is not the fragment's last item")
            self._open_next()
            packed_length, unpacked = struct.unpack("<HH", self.raw(4))
        if packed_length > PACKED_MAX or unpacked > CHUNK:
            raise FormatError("chunk lengths %d/%d" % (packed_length, unpacked))
        self.chunk = self.predictor.unpack(self.raw(packed_length), unpacked)
        self.at = 0

    def take(self, n):
        if self.at == len(self.chunk):
            self._load()
        if len(self.chunk) - self.at < n:
            raise FormatError("record of %d bytes not whole in its chunk" % n)
        b = self.chunk[self.at:self.at + n]
        self.at += n
        return b

    def take_entry(self, fixed):
        head = self.take(fixed)
        rest = self.chunk[self.at:self.at + NAME_MAX]
        end = rest.find(b"\0")
        if end < 0:
            raise FormatError("name without NUL")
        return head + self.take(end + 1)

    def take_name(self):
        if self.at == len(self.chunk):
            self._load()
        end = self.chunk[self.at:self.at + NAME_MAX].find(b"\0")
        if end < 0:
            raise FormatError("name without NUL")
        return self.take(end + 1)[:-1]

    def end_run(self):
        if self.at != len(self.chunk):
            raise FormatError("run holds more than was read")

    def content(self, size):
        out = bytearray()
        if size:
            self.start_run()
            while len(out) < size:
                out += self.take(min(size - len(out), CHUNK))
            self.end_run()
        return bytes(out)


def read_archive(first):
    s = StreamReader(first)
    header = s.raw(20)
    _, dirs, files, sa, da, total = struct.unpack("<4sIIHHI", header)
    lines = []
    kind = s.raw(2)
    if kind == b"BS":
        lines += ["full", "header " + header.hex()]
        boot = s.u32()
        if boot % 512:
            raise FormatError("boot size %d" % boot)
        lines.append("boot " + s.content(boot).hex())
        s.tag(b"DS")
        s.start_run()
        lines += ["dirsum " + s.take(20 + sa).hex() for _ in range(dirs)]
        s.end_run()
        s.tag(b"FS")
        s.start_run()
        summaries = [s.take(4 + sa) for _ in range(files)]
        lines += ["filesum " + e.hex() for e in summaries]
        s.end_run()
        s.tag(b"DC")
        sizes = []
        for _ in range(dirs):
            record = s.raw(24)
            nsub, nfile = struct.unpack("<II", record[12:20])
            lines.append("dir " + record.hex())
            if nsub + nfile:
                s.start_run()
                lines += ["subdir " + s.take_entry(16 + da).hex() for _ in range(nsub)]
                for _ in range(nfile):
                    entry = s.take_entry(4 + da)
                    sizes.append(struct.unpack("<I", entry[:4])[0])
                    lines.append("file " + entry.hex())
                s.end_run()
        if len(sizes) != files:
            raise FormatError("%d file entries for %d files" % (len(sizes), files))
        s.tag(b"FC")
        for size in sizes:
            if s.u32() != size:
                raise FormatError("file size differs from its entry")
            lines.append("data " + s.content(size).hex())
    elif kind == b"CF":
        lines += ["incr", "header " + header.hex()]
        sizes = []
        for _ in range(dirs):
            record = s.raw(12)
            tag, _, nsub, nfile = struct.unpack("<2sHII", record)
            if tag != b"CH":
                raise FormatError("directory record without CH")
            s.start_run()
            name = s.take_name()
            lines.append("idir %s %s" % (record.hex(), name.hex()))
            lines += ["subdir " + s.take_entry(16 + da).hex() for _ in range(nsub)]
            s.end_run()
            for _ in range(nfile):
                s.start_run()
                entry = s.take_entry(4 + da)
                s.end_run()
                size = struct.unpack("<I", entry[:4])[0]
                sizes.append(size)
                lines += ["ifile " + entry.hex(), "data " + s.content(size).hex()]
        if len(sizes) != files:
            raise FormatError("%d files for %d announced" % (len(sizes), files))
    else:
        raise FormatError("unknown archive kind %r" % kind)
    s.tag(b"ZZ")
    s.finish()
    if sum(sizes) & 0xFFFFFFFF != total:
        raise FormatError("sum of file sizes %d, header says %d" % (sum(sizes), total))
    return "\n".join(lines + ["end"]) + "\n"


# ---- Writing ---------------------------------------------------------------

class StreamWriter:
    def __init__(self, first, limit):
        self.first, self.limit = first, limit
        self.fragments = [bytearray()]
        self.predictor = Predictor()
        self.buffer = bytearray()

    def raw(self, b):
        self.fragments[-1] += b

    def _chunk(self, data):
        # Fragments switch only before a chunk that would take the current
        # one past its limit, counted in unpacked bytes.
        if len(self.fragments[-1]) + len(data) > self.limit:
            self.raw(BREAK)
            self.fragments.append(bytearray())
        packed = self.predictor.pack(bytes(data))
        self.raw(struct.pack("<HH", len(packed), len(data)) + packed)

    def record(self, b):
        if len(self.buffer) + len(b) > CHUNK:
            self.end_run()
        self.buffer += b

    def end_run(self):
        if self.buffer:
            self._chunk(self.buffer)
        self.buffer = bytearray()

    def content(self, data):
        for at in range(0, len(data), CHUNK):
            self._chunk(data[at:at + CHUNK])

    def close(self, sum_of_sizes, final_crc):
        # Written as an archive writer does: every fragment's CRC over its
        # data as written, the archive header's sum of sizes 0 (as a scan
        # passes it), and that sum patched in afterwards; with final_crc the
        # first fragment's CRC is made to cover the patched sum too.
        self.fragments[0][16:20] = b"\0\0\0\0"
        crcs = [crc32(data) for data in self.fragments]
        self.fragments[0][16:20] = struct.pack("<I", sum_of_sizes)
        if final_crc:
            crcs[0] = crc32(self.fragments[0])
        length = sum(len(f) for f in self.fragments)
        offset = 0
        for n, data in enumerate(self.fragments):
            header = struct.pack("<5I", MAGIC, length, offset, len(data), crcs[n])
            with open(fragment_name(self.first, n), "wb") as f:
                f.write(header + data)
            offset += len(data)


def write_archive(description, first, limit, final_crc=False):
    lines = [l.split(" ") for l in description.splitlines()]
    kind = lines[0][0]
    w = StreamWriter(first, limit)
    header = bytes.fromhex(lines[1][1])
    w.raw(header)
    sizes = []
    items = iter(lines[2:])
    line = next(items)
    if kind == "full":
        boot = bytes.fromhex(line[1])
        w.raw(b"BS" + struct.pack("<I", len(boot)))
        w.content(boot)
        line = next(items)
        w.raw(b"DS")
        while line[0] == "dirsum":
            w.record(bytes.fromhex(line[1]))
            line = next(items)
        w.end_run()
        w.raw(b"FS")
        while line[0] == "filesum":
            w.record(bytes.fromhex(line[1]))
            line = next(items)
        w.end_run()
        w.raw(b"DC")
        while line[0] == "dir":
            w.raw(bytes.fromhex(line[1]))
            line = next(items)
            while line[0] in ("subdir", "file"):
                w.record(bytes.fromhex(line[1]))
                line = next(items)
            w.end_run()
        w.raw(b"FC")
        while line[0] == "data":
            data = bytes.fromhex(line[1])
            sizes.append(len(data))
            w.raw(struct.pack("<I", len(data)))
            w.content(data)
            line = next(items)
    else:
        w.raw(b"CF")
        while line[0] == "idir":
            w.raw(bytes.fromhex(line[1]))
            w.record(bytes.fromhex(line[2]) + b"\0")
            line = next(items)
            while line[0] == "subdir":
                w.record(bytes.fromhex(line[1]))
                line = next(items)
            w.end_run()
            while line[0] == "ifile":
                entry = bytes.fromhex(line[1])
                w.record(entry)
                w.end_run()
                data = bytes.fromhex(next(items)[1])
                sizes.append(len(data))
                w.content(data)
                line = next(items)
    if line[0] != "end":
        raise FormatError("unexpected line %r" % " ".join(line))
    w.raw(b"ZZ")
    w.close(sum(sizes) & 0xFFFFFFFF, final_crc)


def main(argv):
    try:
        if len(argv) == 3 and argv[1] == "read":
            sys.stdout.write(read_archive(argv[2]))
            return 0
        if len(argv) == 3 and argv[1] == "heads":
            sys.stdout.write(read_heads(argv[2]))
            return 0
        if len(argv) in (5, 6) and argv[1] == "write" and argv[5:] in ([], ["final-crc"]):
            with open(argv[2]) as f:
                write_archive(f.read(), argv[3], int(argv[4]), len(argv) == 6)
            return 0
    except FormatError as e:
        sys.stderr.write("arctool: %s\n" % e)
        return 1
    sys.stderr.write(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
