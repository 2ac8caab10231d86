#!/usr/bin/env python3
"""Test tool for archive creation: prints the canonical description (the one
that tests/archive/arctool.py "read" prints) of the archive that an archive
of a host tree must be, worked out from the tree with os.lstat alone.

  zip_tool.py full TREE [FILTERS...]
  zip_tool.py incr TREE [FILTERS...]
  zip_tool.py same TREE COPY [FILTERS...]
      Checks that COPY holds what passes the filters of TREE: the same
      names, kinds, permissions, modification times, contents and link
      targets (exit status 1 and the differences otherwise).
  zip_tool.py names DESCRIPTION
      Lists the tree of an archive description (arctool.py "read" output)
      as "D path" and "F path size" lines, directories in archive order.

FILTERS are "-pattern" (an exclusion) and "+pattern" (an exception to the
exclusion before it), matched with "*" and "?" against paths relative to
TREE, with case. The host directory file system presents itself as EXT2
with 86 attribute bytes: in summaries for a full archive, in the entries
for an incremental one. Directories of the tree are scanned as a
subdirectory scan: no boot area.
"""
import os
import re
import stat
import struct
import sys

SPECIAL = [b"IO.DOS", b"IO.SYS", b"MSDOS.SYS", b"IBMBIO.SYS", b"IBMDOS.SYS"]
ATTR = 86


def sort_key(name):
    if name in SPECIAL:
        return (0, SPECIAL.index(name), b"", b"")
    return (1, 0, name.lower(), name)


def attributes(path, st):
    a = struct.pack("<HHIIIHII", st.st_mode & 0xFFFF, st.st_uid & 0xFFFF,
                    int(st.st_atime), int(st.st_mtime), int(st.st_ctime),
                    st.st_gid & 0xFFFF, st.st_size & 0xFFFFFFFF, 0)
    extra = b""
    if stat.S_ISLNK(st.st_mode) and st.st_size <= 59:
        extra = os.readlink(path)
    elif stat.S_ISFIFO(st.st_mode) or stat.S_ISCHR(st.st_mode) or stat.S_ISBLK(st.st_mode):
        major, minor = os.major(st.st_rdev), os.minor(st.st_rdev)
        extra = struct.pack("<I", (minor & 0xFF) | ((major & 0xFFF) << 8)
                            | ((minor & ~0xFF) << 12))
    a += extra
    return a + bytes(ATTR - len(a))


def size_and_content(path, st):
    if stat.S_ISREG(st.st_mode):
        with open(path, "rb") as f:
            data = f.read()
        return len(data), data
    if stat.S_ISLNK(st.st_mode) and st.st_size > 59:
        target = os.readlink(path)
        return len(target), target
    return 0, b""


def add_entry_size(size, name, block):
    """The ext2 directory-size rule of the host directory driver."""
    if size == 0:
        size = 24
    if name is None:
        return size
    record = (len(name) + 8 + 3) & ~3
    used = size % block
    if used and used + record > block:
        size += block - used
    return size + record


def wildcard(pattern):
    rx = "".join(".*" if c == "*" else "." if c == "?" else re.escape(c) for c in pattern)
    return re.compile(rx + r"\Z", re.S)


def passes(rules, rel):
    for exclusion, exceptions in rules:
        if exclusion.match(rel) and not any(e.match(rel) for e in exceptions):
            return False
    return True


class Dir:
    def __init__(self, path, rel, st):
        self.path, self.rel, self.st = path, rel, st
        self.subdirs, self.files = [], []


def scan(path, rel, rules, st):
    """Paths are bytes. Names of 128 bytes or more, and names whose path
    (as given on the command line) would reach 1024 bytes, are left out."""
    d = Dir(path, rel, st)
    names = sorted(os.listdir(path), key=sort_key)
    for name in names:
        if len(name) >= 128 or len(path) + 1 + len(name) >= 1024:
            continue
        full = path + b"/" + name
        child_rel = (rel + b"/" if rel else b"") + name
        cst = os.lstat(full)
        if not passes(rules, child_rel.decode("latin-1")):
            continue
        if stat.S_ISDIR(cst.st_mode):
            d.subdirs.append((name, scan(full, child_rel, rules, cst)))
        else:
            d.files.append((name, full, cst))
    return d


def blocks(d):
    counts = []
    for i in range(6):
        block = 1024 << i
        size = 0
        for name, _ in d.subdirs:
            size = add_entry_size(size, name, block)
        for name, _, _ in d.files:
            size = add_entry_size(size, name, block)
        size = add_entry_size(size, None, block)
        counts.append(min(0xFFFF, -(-size // block)))
    return counts


def preorder(d, depth=0):
    yield d, depth
    for _, child in d.subdirs:
        yield from preorder(child, depth + 1)


def totals(d):
    """Descendants and subtree block totals."""
    own = blocks(d)
    count, sums = 1, list(own)
    for _, child in d.subdirs:
        c, s = totals(child)
        count += c
        sums = [a + b for a, b in zip(sums, s)]
    return count, sums


def subdir_entry(name, child, attrs):
    count, sums = totals(child)
    return struct.pack("<I6H", count, *[min(0xFFFF, s) for s in sums]) + attrs + name + b"\0"


def describe(kind, tree, rules):
    tree = os.fsencode(tree).rstrip(b"/")
    root = scan(tree, b"", rules, os.lstat(tree))
    dirs = list(preorder(root))
    files = [f for d, _ in dirs for f in d.files]
    contents = [size_and_content(full, st) for _, full, st in files]
    total = sum(size for size, _ in contents) & 0xFFFFFFFF
    sa, da = (ATTR, 0) if kind == "full" else (0, ATTR)
    lines = [kind, "header " + (b"EXT2" + struct.pack("<IIHHI", len(dirs), len(files), sa, da,
                                                      total)).hex()]
    pops = []
    previous = -1
    for _, depth in dirs:
        pops.append(0 if previous < 0 else previous - depth + 1)
        previous = depth
    if kind == "full":
        lines.append("boot ")
        for d, _ in dirs:
            lines.append("dirsum " + (struct.pack("<6HII", *blocks(d), len(d.subdirs),
                                                  len(d.files))
                                      + attributes(d.path, d.st)).hex())
        for (_, full, st), (size, _) in zip(files, contents):
            lines.append("filesum " + (struct.pack("<I", size) + attributes(full, st)).hex())
        for (d, _), p in zip(dirs, pops):
            lines.append("dir " + struct.pack("<6HIIHH", *blocks(d), len(d.subdirs),
                                              len(d.files), p, 0).hex())
            lines += ["subdir " + subdir_entry(n, c, b"").hex() for n, c in d.subdirs]
            for (name, full, st) in d.files:
                size, _ = size_and_content(full, st)
                lines.append("file " + (struct.pack("<I", size) + name + b"\0").hex())
        lines += ["data " + data.hex() for _, data in contents]
    else:
        for (d, _), p in zip(dirs, pops):
            name = os.path.basename(d.path) if d is not root else b""
            lines.append("idir %s %s" % (struct.pack("<2sHII", b"CH", p, len(d.subdirs),
                                                     len(d.files)).hex(), name.hex()))
            lines += ["subdir " + subdir_entry(n, c, attributes(c.path, c.st)).hex()
                      for n, c in d.subdirs]
            for (name, full, st) in d.files:
                size, data = size_and_content(full, st)
                lines.append("ifile " + (struct.pack("<I", size) + attributes(full, st)
                                         + name + b"\0").hex())
                lines.append("data " + data.hex())
    return "\n".join(lines + ["end"]) + "\n"


def parse_rules(args):
    rules = []
    for a in args:
        if a.startswith("-"):
            rules.append((wildcard(a[1:]), []))
        elif a.startswith("+") and rules:
            rules[-1][1].append(wildcard(a[1:]))
    return rules


def listing(d, base=b""):
    """What a copy must keep of every entry below a scanned directory (a
    directory's modification time moves as its entries are created)."""
    out = []
    for name, child in d.subdirs:
        out.append((base + name, "dir", child.st.st_mode & 0o7777))
        out += listing(child, base + name + b"/")
    for name, full, st in d.files:
        if stat.S_ISLNK(st.st_mode):
            what = ("link", os.readlink(full))
        elif stat.S_ISREG(st.st_mode):
            what = ("file", open(full, "rb").read(), st.st_mode & 0o7777)
        else:
            what = ("node", stat.S_IFMT(st.st_mode), st.st_mode & 0o7777)
        out.append((base + name,) + what + (int(st.st_mtime),))
    return out


def same(tree, copy, rules):
    want = listing(scan(os.fsencode(tree).rstrip(b"/"), b"", rules, os.lstat(tree)))
    everything = []
    got = listing(scan(os.fsencode(copy).rstrip(b"/"), b"", everything, os.lstat(copy)))
    if want == got:
        return 0
    w, g = set(want), set(got)
    for item in sorted(w - g)[:10]:
        print("missing or different:", repr(item)[:150])
    for item in sorted(g - w)[:10]:
        print("unexpected:", repr(item)[:150])
    return 1


def names(description):
    lines = [l.split(" ") for l in open(description).read().splitlines()]
    da = struct.unpack("<H", bytes.fromhex(lines[1][1])[14:16])[0]
    out, stack, current = [], [], None

    def name_at(entry, fixed):
        return entry[fixed + da:].split(b"\0")[0].decode("latin-1")

    for words in lines[2:]:
        kind = words[0]
        if kind in ("dir", "idir"):
            record = bytes.fromhex(words[1])
            pops = struct.unpack("<H", record[20:22] if kind == "dir" else record[2:4])[0]
            if current is None:
                current = ["", [], 0]
            else:
                stack.append(current)
                del stack[len(stack) - pops:]
                parent = stack[-1]
                if kind == "idir":
                    child = bytes.fromhex(words[2]).decode("latin-1")
                else:
                    child = parent[1][parent[2]]
                    parent[2] += 1
                current = [parent[0] + child + "/", [], 0]
        elif kind == "subdir":
            name = name_at(bytes.fromhex(words[1]), 16)
            current[1].append(name)
            out.append("D " + current[0] + name)
        elif kind in ("file", "ifile"):
            entry = bytes.fromhex(words[1])
            size = struct.unpack("<I", entry[:4])[0]
            out.append("F %s%s %d" % (current[0], name_at(entry, 4), size))
    print("\n".join(out))
    return 0


def main(argv):
    if len(argv) == 3 and argv[1] == "names":
        return names(argv[2])
    if len(argv) >= 4 and argv[1] == "same":
        return same(argv[2], argv[3], parse_rules(argv[4:]))
    if len(argv) >= 3 and argv[1] in ("full", "incr"):
        sys.stdout.write(describe(argv[1], argv[2], parse_rules(argv[3:])))
        return 0
    sys.stderr.write(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
