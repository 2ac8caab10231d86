// ntfs_craft [-r] <volume file>: makes on an NTFS volume (a partition's bytes in
// a file) what the ntfs-3g tools and wimapply do not make from a Linux
// tree: compressed and sparse files, names differing only in case, DOS
// names, distinct security descriptors, reparse points, object IDs, hard
// links, a dirty volume. Requests come on standard input, one a line, fields
// separated by '|':
//   dir|PATH                      a directory
//   file|PATH|TEXT                a file holding TEXT
//   big|PATH|SIZE                 a file of SIZE bytes of a repeating pattern
//   sparse|PATH|SIZE|OFF:TEXT,... a file of SIZE bytes, TEXT at each OFF, holes between
//   attrib|PATH|HEX               the file attribute bits (compressed on a
//                                 directory: files made in it are compressed)
//   dos|PATH|NAME                 the DOS (8.3) name
//   sd|PATH|N                     security descriptor number N (owner, group
//                                 and access rights depend on N)
//   junction|PATH|TARGET          a mount point to the Windows path TARGET
//   reparse|PATH|HEXTAG|TEXT      reparse data of the tag, TEXT its opaque bytes
//   objid|PATH|HEX                the object ID (16 bytes in hex)
//   link|PATH|NEWPATH             another name of the file
//   ea|PATH|NAME|VALUE            an extended attribute (the only one)
//   stream|PATH|NAME|TEXT         a named data stream holding TEXT (on a
//                                 file or a directory)
//   dirty                         the volume's dirty flag
//   times|PATH                    prints PATH and its four times (100 ns units,
//                                 as the library hands them out, in hex)
// Paths are absolute; the directory of each must exist. It ends with status 1
// and the failing line on the first request the library refuses. With -r the
// volume is opened read-only (for times).
#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#define HAVE_STDARG_H 1
#define HAVE_STDDEF_H 1
#define HAVE_STDINT_H 1
#define HAVE_STRING_H 1
#define HAVE_SYS_STAT_H 1
#define HAVE_SYS_TYPES_H 1
#define HAVE_TIME_H 1
extern "C" {
#include <ntfs-3g/attrib.h>
#include <ntfs-3g/dir.h>
#include <ntfs-3g/ea.h>
#include <ntfs-3g/inode.h>
#include <ntfs-3g/object_id.h>
#include <ntfs-3g/reparse.h>
#include <ntfs-3g/security.h>
#include <ntfs-3g/types.h>
#include <ntfs-3g/unistr.h>
#include <ntfs-3g/volume.h>
}
#undef min
#undef max

namespace {

using Bytes = std::vector<char>;

void Put16(Bytes& b, uint16_t v) {
    b.push_back(static_cast<char>(v & 0xFF));
    b.push_back(static_cast<char>(v >> 8));
}
void Put32(Bytes& b, uint32_t v) {
    Put16(b, static_cast<uint16_t>(v & 0xFFFF));
    Put16(b, static_cast<uint16_t>(v >> 16));
}
void Set16(Bytes& b, size_t at, uint16_t v) {
    b[at] = static_cast<char>(v & 0xFF);
    b[at + 1] = static_cast<char>(v >> 8);
}
void Set32(Bytes& b, size_t at, uint32_t v) {
    Set16(b, at, static_cast<uint16_t>(v & 0xFFFF));
    Set16(b, at + 2, static_cast<uint16_t>(v >> 16));
}

// A SID: revision 1, authority 5 (NT), its sub-authorities.
Bytes Sid(const std::vector<uint32_t>& sub) {
    Bytes b{1, static_cast<char>(sub.size()), 0, 0, 0, 0, 0, 5};
    for (uint32_t s : sub)
        Put32(b, s);
    return b;
}

// A self-relative security descriptor: owner, group and a DACL of two
// allowing entries, all depending on n so that each n gives another one.
Bytes Descriptor(uint32_t n) {
    Bytes owner = Sid({21, 1111, 2222, 3333, 1000 + n});
    Bytes group = Sid({32, 544});
    Bytes everyone{1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0}; // S-1-1-0
    Bytes acl;
    auto ace = [&acl](uint32_t mask, uint8_t flags, const Bytes& sid) {
        acl.push_back(0); // access allowed
        acl.push_back(static_cast<char>(flags));
        Put16(acl, static_cast<uint16_t>(8 + sid.size()));
        Put32(acl, mask);
        acl.insert(acl.end(), sid.begin(), sid.end());
    };
    ace(0x1F01FF, 0, owner);
    ace(n % 2 ? 0x1200A9 : 0x1301BF, static_cast<uint8_t>(n % 3 ? 0 : 3), everyone);
    Bytes d{1, 0};
    Put16(d, 0x8004); // self-relative, DACL present
    Put32(d, 20);     // owner
    Put32(d, static_cast<uint32_t>(20 + owner.size()));
    Put32(d, 0); // no SACL
    Put32(d, static_cast<uint32_t>(20 + owner.size() + group.size()));
    d.insert(d.end(), owner.begin(), owner.end());
    d.insert(d.end(), group.begin(), group.end());
    Bytes header{2, 0};
    Put16(header, static_cast<uint16_t>(8 + acl.size()));
    Put16(header, 2);
    Put16(header, 0);
    d.insert(d.end(), header.begin(), header.end());
    d.insert(d.end(), acl.begin(), acl.end());
    return d;
}

void PutUtf16(Bytes& b, const std::string& ascii) {
    for (char c : ascii)
        Put16(b, static_cast<uint8_t>(c));
}

// Mount point reparse data: tag, lengths, then the substitute name
// ("\??\" + target) and the print name, each ended by a zero character.
Bytes Junction(const std::string& target) {
    std::string sub = "\\??\\" + target;
    Bytes path;
    PutUtf16(path, sub);
    Put16(path, 0);
    PutUtf16(path, target);
    Put16(path, 0);
    Bytes b;
    Put32(b, 0xA0000003);
    Put16(b, static_cast<uint16_t>(8 + path.size()));
    Put16(b, 0);
    Put16(b, 0);
    Put16(b, static_cast<uint16_t>(sub.size() * 2));
    Put16(b, static_cast<uint16_t>(sub.size() * 2 + 2));
    Put16(b, static_cast<uint16_t>(target.size() * 2));
    b.insert(b.end(), path.begin(), path.end());
    return b;
}

Bytes Hex(const std::string& text) {
    Bytes b;
    for (size_t i = 0; i + 1 < text.size(); i += 2)
        b.push_back(static_cast<char>(std::stoul(text.substr(i, 2), nullptr, 16)));
    return b;
}

std::vector<std::string> Fields(const std::string& line) {
    std::vector<std::string> f;
    std::stringstream in(line);
    std::string part;
    while (std::getline(in, part, '|'))
        f.push_back(part);
    return f;
}

class Volume {
  public:
    explicit Volume(ntfs_volume* vol) : vol_(vol) {}

    ntfs_inode* Open(const std::string& path) {
        return ntfs_pathname_to_inode(vol_, nullptr, path.c_str());
    }

    // The directory of path and the last name in UTF-16, or null.
    ntfs_inode* Parent(const std::string& path, ntfschar** name, int* len) {
        size_t slash = path.rfind('/');
        std::string dir = slash == 0 ? "/" : path.substr(0, slash);
        *name = nullptr;
        *len = ntfs_mbstoucs(path.c_str() + slash + 1, name);
        if (*len <= 0) return nullptr;
        return Open(dir);
    }

    ntfs_inode* Create(const std::string& path, mode_t type) {
        ntfschar* name;
        int len;
        ntfs_inode* dir = Parent(path, &name, &len);
        if (!dir) {
            free(name);
            return nullptr;
        }
        ntfs_inode* ni = ntfs_create(dir, const_cpu_to_le32(0), name, static_cast<u8>(len), type);
        free(name);
        ntfs_inode_close(dir);
        return ni;
    }

    static bool Write(ntfs_inode* ni, int64_t at, const char* data, int64_t size) {
        ntfs_attr* na = ntfs_attr_open(ni, AT_DATA, AT_UNNAMED, 0);
        if (!na) return false;
        bool ok = ntfs_attr_pwrite(na, at, size, data) == size;
        ntfs_attr_close(na);
        return ok;
    }

    static bool Truncate(ntfs_inode* ni, int64_t size) {
        ntfs_attr* na = ntfs_attr_open(ni, AT_DATA, AT_UNNAMED, 0);
        if (!na) return false;
        bool ok = ntfs_attr_truncate(na, size) == 0;
        ntfs_attr_close(na);
        return ok;
    }

    bool Run(const std::vector<std::string>& f) {
        const std::string& verb = f[0];
        if (verb == "dirty")
            return ntfs_volume_write_flags(vol_, vol_->flags | VOLUME_IS_DIRTY) == 0;
        if (f.size() < 2) return false;
        const std::string& path = f[1];
        if (verb == "times") {
            // A file missing is a line of the listing, not the end of it.
            ntfs_inode* ni = Open(path);
            if (!ni) {
                std::cout << path << ": missing\n";
                return true;
            }
            char value[32];
            int size = ntfs_inode_get_times(ni, value, sizeof value);
            std::cout << path << ":";
            for (int at = 0; at + 8 <= size; at += 8) {
                uint64_t t = 0;
                for (int i = 7; i >= 0; --i)
                    t = t << 8 | static_cast<uint8_t>(value[at + i]);
                std::cout << " " << std::hex << t << std::dec;
            }
            std::cout << "\n";
            return Close(ni, size > 0);
        }
        if (verb == "dir") return Close(Create(path, S_IFDIR));
        if (verb == "file" && f.size() == 3) {
            ntfs_inode* ni = Create(path, S_IFREG);
            return ni && Close(ni, Write(ni, 0, f[2].data(), static_cast<int64_t>(f[2].size())));
        }
        if (verb == "big" && f.size() == 3) {
            ntfs_inode* ni = Create(path, S_IFREG);
            if (!ni) return false;
            // Text that compresses, written in one piece.
            int64_t size = std::stoll(f[2]);
            std::string data;
            for (int64_t i = 0; static_cast<int64_t>(data.size()) < size; ++i)
                data += "line " + std::to_string(i) + " of a compressible file\n";
            return Close(ni, Write(ni, 0, data.data(), size));
        }
        if (verb == "sparse" && f.size() == 4) {
            ntfs_inode* ni = Create(path, S_IFREG);
            if (!ni || !Truncate(ni, std::stoll(f[2]))) return Close(ni, false);
            std::stringstream pieces(f[3]);
            std::string piece;
            while (std::getline(pieces, piece, ',')) {
                size_t colon = piece.find(':');
                std::string text = piece.substr(colon + 1);
                if (!Write(ni, std::stoll(piece.substr(0, colon)), text.data(),
                           static_cast<int64_t>(text.size())))
                    return Close(ni, false);
            }
            return Close(ni);
        }
        if (verb == "ea" && f.size() == 4) {
            // One entry of the $EA list: next entry offset, flags, name and
            // value lengths, the name and its NUL, the value, padded to 4.
            Bytes value;
            Put32(value, 0);
            value.push_back(0);
            value.push_back(static_cast<char>(f[2].size()));
            Put16(value, static_cast<uint16_t>(f[3].size()));
            value.insert(value.end(), f[2].begin(), f[2].end());
            value.push_back(0);
            value.insert(value.end(), f[3].begin(), f[3].end());
            value.resize((value.size() + 3) & ~size_t(3));
            Set32(value, 0, static_cast<uint32_t>(value.size()));
            ntfs_inode* ni = Open(path);
            return Close(ni, ni && ntfs_set_ntfs_ea(ni, value.data(), value.size(), 0) == 0);
        }
        if (verb == "stream" && f.size() == 4) {
            ntfs_inode* ni = Open(path);
            ntfschar* name = nullptr;
            int len = ntfs_mbstoucs(f[2].c_str(), &name);
            bool ok = ni && len > 0 &&
                      ntfs_attr_add(ni, AT_DATA, name, static_cast<u8>(len),
                                    reinterpret_cast<const u8*>(f[3].data()),
                                    static_cast<s64>(f[3].size())) == 0;
            free(name);
            return Close(ni, ok);
        }
        if (verb == "link" && f.size() == 3) {
            ntfs_inode* ni = Open(path);
            ntfschar* name;
            int len;
            ntfs_inode* dir = Parent(f[2], &name, &len);
            bool ok = ni && dir && ntfs_link(ni, dir, name, static_cast<u8>(len)) == 0;
            free(name);
            if (dir) ntfs_inode_close(dir);
            return Close(ni, ok);
        }
        if (verb == "dos" && f.size() == 3) {
            // The library closes both inodes itself once it has set the name.
            ntfs_inode* ni = Open(path);
            size_t slash = path.rfind('/');
            ntfs_inode* dir = Open(slash == 0 ? "/" : path.substr(0, slash));
            if (!ni || !dir) {
                if (dir) ntfs_inode_close(dir);
                return Close(ni, false);
            }
            return ntfs_set_ntfs_dos_name(ni, dir, f[2].data(), f[2].size(), 0) == 0;
        }
        ntfs_inode* ni = Open(path);
        if (!ni || f.size() != (verb == "reparse" ? 4u : 3u)) return Close(ni, false);
        Bytes value;
        int status = -1;
        if (verb == "attrib") {
            value.resize(4);
            Set32(value, 0, static_cast<uint32_t>(std::stoul(f[2], nullptr, 16)));
            status = ntfs_set_ntfs_attrib(ni, value.data(), value.size(), 0);
        } else if (verb == "sd") {
            struct SECURITY_CONTEXT scx {};
            scx.vol = vol_;
            value = Descriptor(static_cast<uint32_t>(std::stoul(f[2])));
            status = ntfs_set_ntfs_acl(&scx, ni, value.data(), value.size(), 0);
        } else if (verb == "junction") {
            value = Junction(f[2]);
            status = ntfs_set_ntfs_reparse_data(ni, value.data(), value.size(), 0);
        } else if (verb == "reparse") {
            Put32(value, static_cast<uint32_t>(std::stoul(f[2], nullptr, 16)));
            Put16(value, static_cast<uint16_t>(f[3].size()));
            Put16(value, 0);
            value.insert(value.end(), f[3].begin(), f[3].end());
            status = ntfs_set_ntfs_reparse_data(ni, value.data(), value.size(), 0);
        } else if (verb == "objid") {
            value = Hex(f[2]);
            status = ntfs_set_ntfs_object_id(ni, value.data(), value.size(), 0);
        }
        return Close(ni, status == 0);
    }

  private:
    static bool Close(ntfs_inode* ni, bool ok = true) {
        if (!ni) return false;
        return ntfs_inode_close(ni) == 0 && ok;
    }

    ntfs_volume* vol_;
};

} // namespace

int main(int argc, char** argv) {
    bool readOnly = argc == 3 && std::strcmp(argv[1], "-r") == 0;
    if (argc != 2 && !readOnly) {
        std::cerr << "usage: ntfs_craft [-r] <volume file> < requests\n";
        return 2;
    }
    const char* file = argv[argc - 1];
    ntfs_volume* vol = ntfs_mount(file, readOnly ? NTFS_MNT_RDONLY : NTFS_MNT_NONE);
    if (!vol) {
        std::cerr << "ntfs_craft: cannot open " << file << ": " << strerror(errno) << "\n";
        return 1;
    }
    NVolSetCompression(vol);
    Volume volume(vol);
    std::string line;
    int status = 0;
    while (status == 0 && std::getline(std::cin, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::vector<std::string> f = Fields(line);
        errno = 0;
        if (!volume.Run(f)) {
            std::cerr << "ntfs_craft: refused: " << line << ": " << strerror(errno) << "\n";
            status = 1;
        }
    }
    if (ntfs_umount(vol, FALSE) != 0) {
        std::cerr << "ntfs_craft: closing the volume: " << strerror(errno) << "\n";
        status = 1;
    }
    return status;
}
