#!/usr/bin/env python3
"""Independent reader and writer of the cache partition layout.

The cache partition is the space behind the last primary partition of a disk
image (64 heads x 63 sectors per cylinder), from the next cylinder to the last
whole cylinder; on a GUID partition table, the space behind the last entry. Sectors 0..511 hold one 512-byte directory entry each, sector
512 is a zero end sector, data chunks of 64 sectors follow from sector 513.

  cachetool.py list IMAGE             verify everything, print "name size" lines
  cachetool.py get IMAGE NAME OUT      extract a file (verified)
  cachetool.py write IMAGE NAME=FILE.. lay out a fresh cache holding these files
  cachetool.py flip IMAGE entry INDEX OFFSET     flip one byte of an entry
  cachetool.py flip IMAGE chunk NAME CHUNK OFFSET flip one byte of a chunk
  cachetool.py entry IMAGE INDEX       print first/reserved/size of an entry

CRC-32: polynomial 0x04C11DB7, most significant bit first, from 0, no final XOR.
"""
import struct
import sys

CYL = 64 * 63
MAGIC = 0x48730A43
DATA_START = 513
CHUNK = 32768
CHUNK_DATA = 32760
CHUNK_SECTORS = 64


def _table():
    t = []
    for i in range(256):
        c = i << 24
        for _ in range(8):
            c = ((c << 1) ^ 0x04C11DB7) if c & 0x80000000 else (c << 1)
        t.append(c & 0xFFFFFFFF)
    return t


TABLE = _table()


def crc32(data, crc=0):
    for b in data:
        crc = ((crc << 8) & 0xFFFFFFFF) ^ TABLE[((crc >> 24) ^ b) & 0xFF]
    return crc


def gpt_area(f):
    """The cache partition of a GUID partition table: from the first 1 MiB
    boundary behind the last entry to the last usable sector, at most
    2^32 - 1 sectors. The primary header is taken as sound."""
    f.seek(512)
    header = f.read(512)
    first_usable, last_usable = struct.unpack_from('<QQ', header, 40)
    entries_lba, count, size = struct.unpack_from('<QII', header, 72)
    f.seek(entries_lba * 512)
    array = f.read(count * size)
    end = first_usable - 1
    for i in range(count):
        e = array[i * size:(i + 1) * size]
        if any(e[:16]):
            end = max(end, struct.unpack_from('<Q', e, 40)[0])
    first = (end + 1 + 2047) // 2048 * 2048
    return first, min(last_usable - first + 1, 2**32 - 1)


def area(image):
    """(first sector, size in sectors) of the cache partition."""
    with open(image, 'rb') as f:
        mbr = f.read(512)
        if mbr[510:512] == b'\x55\xaa' and any(mbr[446 + 16 * i + 4] == 0xEE for i in range(4)):
            return gpt_area(f)
        f.seek(0, 2)
        cylinders = f.tell() // (CYL * 512)
    highest = 0
    for i in range(4):
        e = mbr[446 + 16 * i: 462 + 16 * i]
        start, size = struct.unpack_from('<II', e, 8)
        if e[4] and size:
            highest = max(highest, (start + size - 1) // CYL)
    first = (highest + 1) * CYL
    return first, cylinders * CYL - first


class Cache:
    def __init__(self, image):
        self.image = image
        self.first, self.size = area(image)
        self.f = open(image, 'r+b')

    def read(self, sector, count=1):
        if sector + count > self.size:
            raise ValueError('read beyond the cache partition')
        self.f.seek((self.first + sector) * 512)
        return self.f.read(count * 512)

    def write(self, sector, data):
        assert len(data) % 512 == 0 and sector + len(data) // 512 <= self.size
        self.f.seek((self.first + sector) * 512)
        self.f.write(data)

    def entries(self):
        """Sound entries in order; stops at the first empty or damaged one."""
        out, chain = [], 0
        for i in range(512):
            e = self.read(i)
            if e[0] == 0:
                break
            name = e[:256].split(b'\0')[0].decode('latin-1')
            first, reserved, size, last = struct.unpack_from('<IIII', e, 256)
            magic, crc, prev = struct.unpack_from('<III', e, 500)
            problems = []
            if crc32(e[:504]) != crc:
                problems.append('crc')
            if prev != (0 if i == 0 else chain):
                problems.append('chain')
            if magic != MAGIC:
                problems.append('magic')
            if not (512 <= first < self.size and first + reserved <= self.size):
                problems.append('bounds')
            if any(e[272:500]):
                problems.append('padding')
            if problems:
                return out, (i, problems)
            out.append(dict(index=i, name=name, first=first, reserved=reserved, size=size,
                            last=last, crc=crc))
            chain = crc
        return out, None

    def data(self, entry):
        """The file's bytes; raises on a broken chunk chain."""
        running, data = 0, bytearray()
        chunks = (entry['size'] + CHUNK_DATA - 1) // CHUNK_DATA
        if chunks * CHUNK_SECTORS > entry['reserved']:
            raise ValueError('size beyond the reserved sectors')
        for n in range(chunks):
            c = self.read(entry['first'] + n * CHUNK_SECTORS, CHUNK_SECTORS)
            own = struct.unpack_from('<I', c, 32764)[0]
            if crc32(c[:32764]) != own:
                raise ValueError('chunk %d: own CRC' % n)
            if struct.unpack_from('<I', c, 32760)[0] != running:
                raise ValueError('chunk %d: previous CRC' % n)
            running = own
            take = min(CHUNK_DATA, entry['size'] - len(data))
            if n == chunks - 1 and any(c[take:CHUNK_DATA]):
                raise ValueError('last chunk not padded with zeros')
            data += c[:take]
        if running != entry['last']:
            raise ValueError('last-chunk CRC')
        return bytes(data)


def build_entry(name, first, reserved, size, last, chain):
    e = bytearray(512)
    raw = name.encode('latin-1')
    e[:len(raw)] = raw
    struct.pack_into('<IIII', e, 256, first, reserved, size, last)
    struct.pack_into('<I', e, 500, MAGIC)
    struct.pack_into('<I', e, 504, crc32(e[:504]))
    struct.pack_into('<I', e, 508, chain)
    return bytes(e)


def write_files(cache, files):
    sector, chain, entries = DATA_START, 0, b''
    for name, content in files:
        running, first = 0, sector
        for off in range(0, len(content), CHUNK_DATA):
            c = bytearray(content[off:off + CHUNK_DATA].ljust(CHUNK_DATA, b'\0'))
            c += struct.pack('<I', running)
            running = crc32(c)
            c += struct.pack('<I', running)
            cache.write(sector, bytes(c))
            sector += CHUNK_SECTORS
        e = build_entry(name, first, sector - first, len(content), running, chain)
        chain = struct.unpack_from('<I', e, 504)[0]
        entries += e
    cache.write(0, entries + bytes(512))


def main(argv):
    cmd, image = argv[1], argv[2]
    cache = Cache(image)
    if cmd == 'list':
        entries, bad = cache.entries()
        status = 0
        for e in entries:
            try:
                cache.data(e)
                print(e['name'], e['size'])
            except ValueError as err:
                print(e['name'], 'DAMAGED:', err)
                status = 1
        if bad:
            print('entry %d damaged: %s' % (bad[0], ','.join(bad[1])))
            status = 1
        return status
    if cmd == 'get':
        for e in cache.entries()[0]:
            if e['name'] == argv[3]:
                open(argv[4], 'wb').write(cache.data(e))
                return 0
        print('not found:', argv[3])
        return 1
    if cmd == 'entry':
        for e in cache.entries()[0]:
            if e['index'] == int(argv[3]):
                print(e['first'], e['reserved'], e['size'])
                return 0
        return 1
    if cmd == 'write':
        files = []
        for pair in argv[3:]:
            name, path = pair.split('=', 1)
            files.append((name, open(path, 'rb').read()))
        write_files(cache, files)
        return 0
    if cmd == 'flip':
        if argv[3] == 'entry':
            sector, offset = int(argv[4]), int(argv[5])
        else:
            e = [x for x in cache.entries()[0] if x['name'] == argv[4]][0]
            sector = e['first'] + int(argv[5]) * CHUNK_SECTORS + int(argv[6]) // 512
            offset = int(argv[6]) % 512
        s = bytearray(cache.read(sector))
        s[offset] ^= 0xFF
        cache.write(sector, bytes(s))
        return 0
    print(__doc__)
    return 2


if __name__ == '__main__':
    sys.exit(main(sys.argv))
