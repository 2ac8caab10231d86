#!/usr/bin/env python3
"""Test tool for incremental restores: describes host trees, and hostile
trees, as incremental archives in the description language of
tests/archive/arctool.py ("write" turns a description into an archive).

  irestore_tool.py describe TREE DESC [--id ID] [--da N]
      Describes every directory and regular file below TREE, in pre-order
      with the subdirectories of a directory before its files, each group in
      name order. With the default identifier EXT2 and 86 attribute bytes
      the attributes are the host's (mode, owner, access, modification and
      change times, group, size); with FATx and 15 they are FAT's (the
      attribute byte, read-only for files without owner write permission,
      and the modification time, in UTC, as every date and time); any other
      --da gives zero bytes.
  irestore_tool.py hostile KIND DESC
      A small archive whose names try to leave the target: KIND is one of
      slashfile, dotdotfile, dotdotdir, dotdotrecord, slashrecord, deep
      (70 nested levels), longnames (a path beyond 1024 characters),
      overpop (a pop count larger than the depth), linkdir and linkfile (a
      symbolic link to ../../outside, then a directory record or a file
      of the same name that would go through it), intolink (a record for
      a directory "a" that the archive never creates, for a target where
      "a" is a link to a directory outside).
"""
import os
import stat
import struct
import sys
import time


def header(fsid, dirs, files, da):
    return fsid + struct.pack("<IIHHI", dirs, files, 0, da, 0)


def dos_date_time(t):
    tm = time.gmtime(t)
    date = ((tm.tm_year - 1980) << 9) | (tm.tm_mon << 5) | tm.tm_mday
    tod = (tm.tm_hour << 11) | (tm.tm_min << 5) | (tm.tm_sec // 2)
    return date, tod


def host_attr(st, da, fsid=b"EXT2"):
    if fsid == b"FATx" and da == 15:
        # Attribute byte, creation tenths, creation time and date, access
        # date, write time and date, no short-name tail.
        attr = 0x10 if stat.S_ISDIR(st.st_mode) else 0x20
        if not st.st_mode & stat.S_IWUSR:
            attr |= 0x01
        date, tod = dos_date_time(st.st_mtime)
        return struct.pack("<BBHHHHH", attr, 0, tod, date, date, tod, date) + bytes(3)
    if da != 86:
        return bytes(da)
    a = struct.pack("<HHIIIHII", st.st_mode & 0xFFFF, st.st_uid & 0xFFFF,
                    int(st.st_atime), int(st.st_mtime), int(st.st_ctime),
                    st.st_gid & 0xFFFF, st.st_size & 0xFFFFFFFF, 0)
    return a + bytes(86 - len(a))


def subdir(name, attr):
    return struct.pack("<I6H", 1, *([0] * 6)) + attr + name + b"\0"


def ifile(name, attr, size):
    return struct.pack("<I", size) + attr + name + b"\0"


def idir(pops, nsub, nfile, name):
    return "idir %s %s" % (struct.pack("<HHII", 0x4843, pops, nsub, nfile).hex(), name.hex())


def describe(root, fsid, da):
    records = []  # (depth, name, [(name, attr)], [(name, attr, content)])

    def walk(path, name, depth):
        names = sorted(os.fsencode(n) for n in os.listdir(path))
        subs, files = [], []
        for n in names:
            full = os.path.join(path, os.fsdecode(n))
            st = os.lstat(full)
            if stat.S_ISDIR(st.st_mode):
                subs.append((n, host_attr(st, da, fsid)))
            elif stat.S_ISREG(st.st_mode):
                with open(full, "rb") as f:
                    files.append((n, host_attr(st, da, fsid), f.read()))
        records.append((depth, name, subs, files))
        for n, _ in subs:
            walk(os.path.join(path, os.fsdecode(n)), n, depth + 1)

    walk(root, b"", 0)
    nfiles = sum(len(r[3]) for r in records)
    lines = ["incr", "header " + header(fsid, len(records), nfiles, da).hex()]
    prev = None
    for depth, name, subs, files in records:
        pops = 0 if prev is None else prev - depth + 1
        prev = depth
        lines.append(idir(pops, len(subs), len(files), name))
        lines += ["subdir " + subdir(n, a).hex() for n, a in subs]
        for n, a, content in files:
            lines += ["ifile " + ifile(n, a, len(content)).hex(), "data " + content.hex()]
    return lines + ["end"]


def hostile(kind):
    da = 0
    body = []  # (pops, name, [subdir names], [(file name, content)])
    if kind == "slashfile":
        body = [(0, b"", [], [(b"ok", b"fine\n"), (b"../escaped", b"bad\n")])]
    elif kind == "dotdotfile":
        body = [(0, b"", [], [(b"..", b"bad\n")])]
    elif kind == "dotdotdir":
        body = [(0, b"", [b".."], [])]
    elif kind == "dotdotrecord":
        body = [(0, b"", [], []), (0, b"..", [], [(b"escaped", b"bad\n")])]
    elif kind == "slashrecord":
        body = [(0, b"", [b"sub"], []), (0, b"sub/..", [], [(b"escaped", b"bad\n")])]
    elif kind == "deep":
        body = [(0, b"", [b"d"], [])] + [(0, b"d", [b"d"], [(b"f", b"x")]) for _ in range(70)]
    elif kind == "longnames":
        n = b"n" * 127
        body = [(0, b"", [n], [])] + [(0, n, [n], []) for _ in range(8)]
    elif kind in ("linkdir", "linkfile"):
        # A symbolic link to ../../outside, then a way in through it.
        da = 86
        target = b"../../outside"
        link = struct.pack("<HHIIIHII", 0xA1FF, 0, 0, 0, 0, 0, len(target), 0) + target
        link += bytes(86 - len(link))
        files = [(b"evil", b"", link)]
        if kind == "linkdir":
            body = [(0, b"", [], files), (0, b"evil", [], [(b"escaped", b"bad\n")])]
        else:
            body = [(0, b"", [], files + [(b"evil", b"bad\n", bytes(86))])]
    elif kind == "intolink":
        body = [(0, b"", [], []), (0, b"a", [], [(b"escaped", b"bad\n")])]
    elif kind == "overpop":
        body = [(0, b"", [b"a"], []), (0, b"a", [], []), (3, b"a", [], [(b"escaped", b"bad\n")])]
    else:
        raise SystemExit("unknown kind " + kind)
    nfiles = sum(len(r[3]) for r in body)
    lines = ["incr", "header " + header(b"EXT2", len(body), nfiles, da).hex()]
    for pops, name, subs, files in body:
        lines.append(idir(pops, len(subs), len(files), name))
        lines += ["subdir " + subdir(s, bytes(da)).hex() for s in subs]
        for f in files:
            n, content = f[0], f[1]
            attr = f[2] if len(f) > 2 else bytes(da)
            lines += ["ifile " + ifile(n, attr, len(content)).hex(), "data " + content.hex()]
    return lines + ["end"]


def main(argv):
    if len(argv) >= 4 and argv[1] == "describe":
        fsid, da = b"EXT2", 86
        rest = argv[4:]
        while rest:
            if rest[0] == "--id":
                fsid = rest[1].encode()
            elif rest[0] == "--da":
                da = int(rest[1])
            rest = rest[2:]
        lines = describe(argv[2], fsid, da)
        out = argv[3]
    elif len(argv) == 4 and argv[1] == "hostile":
        lines = hostile(argv[2])
        out = argv[3]
    else:
        sys.stderr.write(__doc__)
        return 2
    with open(out, "w") as f:
        f.write("\n".join(lines) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
