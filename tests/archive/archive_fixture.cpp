// Test support for the archive tests.
#include "archive_fixture.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "archive/reader.h"
#include "archive/writer.h"
#include "disk/files.h"
#include "hostdir/hostdir.h"
#include "platform/console.h"
#include "platform/settings.h"

namespace vk::test {

std::map<std::string, std::string>& Settings() {
    static std::map<std::string, std::string> settings;
    return settings;
}

namespace {

const char* ReadTestSetting(const char* name) {
    auto it = Settings().find(name);
    return it == Settings().end() ? "" : it->second.c_str();
}

std::string HeaderHex(const ArchiveHeader& h) {
    uint8_t raw[ArchiveHeader::kSize];
    h.Store(raw);
    return Hex(raw, sizeof raw);
}

Bytes RandomBytes(std::mt19937& rng, size_t n) {
    Bytes b(n);
    for (auto& x : b)
        x = uint8_t(rng());
    return b;
}

// Content with a mix of runs, text-like repetition and noise.
Bytes RandomContent(std::mt19937& rng, size_t n) {
    Bytes b(n);
    int kind = int(rng() % 3);
    for (size_t i = 0; i < n; ++i) {
        if (kind == 0)
            b[i] = uint8_t(rng());
        else if (kind == 1)
            b[i] = uint8_t("archive line of text\n"[i % 21] ^ (rng() % 31 == 0));
        else
            b[i] = uint8_t(i >> 12);
    }
    return b;
}

std::string RandomName(std::mt19937& rng) {
    // Mostly short names, some at the 127-character limit.
    size_t len = rng() % 8 == 0 ? kEntryNameMax - 1 : 1 + rng() % 20;
    std::string s;
    for (size_t i = 0; i < len; ++i)
        s += char('a' + rng() % 26);
    return s;
}

uint32_t RandomSize(std::mt19937& rng) {
    static const uint32_t sizes[] = {0, 1, 7, 8, 9, 100, 32767, 32768, 32769, 65536, 65537};
    return rng() % 3 == 0 ? uint32_t(rng() % 5000) : sizes[rng() % 11];
}

// A random directory tree in pre-order: depth of each directory (root 0).
std::vector<int> RandomDepths(std::mt19937& rng, int dirs) {
    std::vector<int> depth{0};
    for (int i = 1; i < dirs; ++i)
        depth.push_back(1 + int(rng() % (depth.back() + 1)));
    return depth;
}

// Parent index of each directory for pre-order depths.
std::vector<int> Parents(const std::vector<int>& depth) {
    std::vector<int> parent(depth.size(), -1), stack;
    for (size_t i = 0; i < depth.size(); ++i) {
        stack.resize(size_t(depth[i]));
        if (i > 0) parent[i] = stack.back();
        stack.push_back(int(i));
    }
    return parent;
}

uint16_t Pops(const std::vector<int>& depth, size_t i) {
    return i == 0 ? 0 : uint16_t(depth[i - 1] - depth[i] + 1);
}

Status Feed(Status (*write)(ArchiveWriter*, const uint8_t*, uint32_t), ArchiveWriter* w,
            const Bytes& data, Piece piece) {
    for (size_t at = 0; at < data.size();) {
        size_t n = std::min<size_t>(uint32_t(piece), data.size() - at);
        if (write(w, data.data() + at, uint32_t(n))) return 1;
        at += n;
    }
    return 0;
}

Bytes EntryAt(const uint8_t* p, uint32_t fixed) {
    size_t n = fixed + std::strlen(reinterpret_cast<const char*>(p + fixed)) + 1;
    return Bytes(p, p + n);
}

Status ReadPieces(Status (*read)(IArchive*, const uint8_t**, uint32_t*), IArchive* r, uint32_t size,
                  Bytes* out) {
    out->clear();
    while (out->size() < size) {
        const uint8_t* p;
        uint32_t len;
        if (read(r, &p, &len)) return 1;
        out->insert(out->end(), p, p + len);
    }
    return 0;
}

} // namespace

std::string Hex(const uint8_t* p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s(2 * n, '0');
    for (size_t i = 0; i < n; ++i) {
        s[2 * i] = digits[p[i] >> 4];
        s[2 * i + 1] = digits[p[i] & 15];
    }
    return s;
}

std::string Describe(const FullModel& m) {
    std::string s = "full\nheader " + HeaderHex(m.header) + "\nboot " + Hex(m.boot) + "\n";
    for (auto& e : m.dirSummaries)
        s += "dirsum " + Hex(e) + "\n";
    for (auto& e : m.fileSummaries)
        s += "filesum " + Hex(e) + "\n";
    for (auto& d : m.dirs) {
        uint8_t raw[DirectoryRecord::kSize];
        d.record.Store(raw);
        s += "dir " + Hex(raw, sizeof raw) + "\n";
        for (auto& e : d.subdirs)
            s += "subdir " + Hex(e) + "\n";
        for (auto& e : d.files)
            s += "file " + Hex(e) + "\n";
    }
    for (auto& c : m.contents)
        s += "data " + Hex(c) + "\n";
    return s + "end\n";
}

std::string Describe(const IncrModel& m) {
    std::string s = "incr\nheader " + HeaderHex(m.header) + "\n";
    for (auto& d : m.dirs) {
        uint8_t raw[IDirectoryRecord::kSize];
        d.record.Store(raw);
        s += "idir " + Hex(raw, sizeof raw) + " " +
             Hex(reinterpret_cast<const uint8_t*>(d.name.data()), d.name.size()) + "\n";
        for (auto& e : d.subdirs)
            s += "subdir " + Hex(e) + "\n";
        for (auto& f : d.files)
            s += "ifile " + Hex(f.entry) + "\ndata " + Hex(f.content) + "\n";
    }
    return s + "end\n";
}

// Appends the attribute bytes and the NUL-terminated name to a fixed entry
// part. The result is sized once and filled in place: growing a small vector
// by inserts trips GCC 12's array-bounds analysis at -O2.
static Bytes WithAttrAndName(Bytes fixed, const Bytes& attr, const std::string& name) {
    Bytes b(fixed.size() + attr.size() + name.size() + 1, 0);
    auto at = std::copy(fixed.begin(), fixed.end(), b.begin());
    at = std::copy(attr.begin(), attr.end(), at);
    std::copy(name.begin(), name.end(), at);
    return b;
}

Bytes SubdirEntryBytes(uint32_t descendants, uint16_t seed, const Bytes& attr,
                       const std::string& name) {
    Bytes b(SubdirEntry::kSize);
    SubdirEntry e;
    e.descendants = descendants;
    for (int i = 0; i < kBlockSizes; ++i)
        e.totals[i] = uint16_t(seed + i);
    e.Store(b.data());
    return WithAttrAndName(std::move(b), attr, name);
}

Bytes FileEntryBytes(uint32_t size, const Bytes& attr, const std::string& name) {
    Bytes b(kFileEntrySize);
    st32(b.data(), size);
    return WithAttrAndName(std::move(b), attr, name);
}

FullModel RandomFull(std::mt19937& rng, int dirs, int bigFiles, uint32_t maxFile) {
    FullModel m;
    bool fat = rng() % 2;
    std::memcpy(m.header.fsId, fat ? "FATx" : "EXT2", 4);
    m.header.summaryAttr = fat ? 0 : 86;
    m.header.dirAttr = fat ? 15 : 0;
    uint32_t sa = m.header.summaryAttr, da = m.header.dirAttr;
    m.boot = RandomContent(rng, 512 * (rng() % 3 == 0 ? 0 : 1 + rng() % 80));

    std::vector<int> depth = RandomDepths(rng, dirs);
    std::vector<int> parent = Parents(depth);
    m.dirs.resize(size_t(dirs));
    for (int i = 1; i < dirs; ++i) {
        uint32_t descendants = 1;
        for (int j = i + 1; j < dirs && depth[size_t(j)] > depth[size_t(i)]; ++j)
            ++descendants;
        m.dirs[size_t(parent[size_t(i)])].subdirs.push_back(
            SubdirEntryBytes(descendants, uint16_t(i), RandomBytes(rng, da), RandomName(rng)));
    }
    for (int i = 0; i < dirs; ++i) {
        DirModel& d = m.dirs[size_t(i)];
        int files = int(rng() % 5);
        for (int f = 0; f < files; ++f) {
            Bytes content = RandomContent(rng, RandomSize(rng));
            d.files.push_back(
                FileEntryBytes(uint32_t(content.size()), RandomBytes(rng, da), RandomName(rng)));
            m.contents.push_back(std::move(content));
        }
        for (int k = 0; k < kBlockSizes; ++k)
            d.record.blocks[k] = uint16_t(rng());
        d.record.subdirs = uint32_t(d.subdirs.size());
        d.record.files = uint32_t(d.files.size());
        d.record.pops = Pops(depth, size_t(i));
    }
    // A few large files at random places in file order.
    for (int b = 0; b < bigFiles && !m.contents.empty(); ++b) {
        size_t which = rng() % m.contents.size();
        m.contents[which] = RandomContent(rng, 1 + rng() % maxFile);
    }
    // Entries carry the final sizes.
    size_t fileIndex = 0;
    for (auto& d : m.dirs)
        for (auto& e : d.files)
            st32(e.data(), uint32_t(m.contents[fileIndex++].size()));
    for (auto& d : m.dirs) {
        Bytes e(DirSummary::kSize);
        DirSummary s;
        std::memcpy(s.blocks, d.record.blocks, sizeof s.blocks);
        s.subdirs = d.record.subdirs;
        s.files = d.record.files;
        s.Store(e.data());
        Bytes attr = RandomBytes(rng, sa);
        e.insert(e.end(), attr.begin(), attr.end());
        m.dirSummaries.push_back(e);
    }
    uint32_t sum = 0;
    for (auto& c : m.contents) {
        Bytes e(kFileSummarySize);
        st32(e.data(), uint32_t(c.size()));
        Bytes attr = RandomBytes(rng, sa);
        e.insert(e.end(), attr.begin(), attr.end());
        m.fileSummaries.push_back(e);
        sum += uint32_t(c.size());
    }
    m.header.dirCount = uint32_t(dirs);
    m.header.fileCount = uint32_t(m.contents.size());
    m.header.sumOfSizes = sum;
    return m;
}

IncrModel RandomIncr(std::mt19937& rng, int dirs, int bigFiles, uint32_t maxFile) {
    IncrModel m;
    std::memcpy(m.header.fsId, "EXT2", 4);
    m.header.dirAttr = 86;
    std::vector<int> depth = RandomDepths(rng, dirs);
    std::vector<int> parent = Parents(depth);
    m.dirs.resize(size_t(dirs));
    std::vector<std::string> names(static_cast<size_t>(dirs));
    for (int i = 1; i < dirs; ++i) {
        names[size_t(i)] = RandomName(rng);
        m.dirs[size_t(parent[size_t(i)])].subdirs.push_back(
            SubdirEntryBytes(1, uint16_t(i), RandomBytes(rng, 86), names[size_t(i)]));
    }
    uint32_t files = 0, sum = 0;
    for (int i = 0; i < dirs; ++i) {
        IDirModel& d = m.dirs[size_t(i)];
        d.name = names[size_t(i)];
        int count = int(rng() % 4);
        for (int f = 0; f < count; ++f) {
            IFileModel file;
            file.content = RandomContent(rng, RandomSize(rng));
            d.files.push_back(file);
        }
        d.record.pops = Pops(depth, size_t(i));
        d.record.subdirs = uint32_t(d.subdirs.size());
        d.record.files = uint32_t(d.files.size());
    }
    std::vector<IFileModel*> all;
    for (auto& d : m.dirs)
        for (auto& f : d.files)
            all.push_back(&f);
    for (int b = 0; b < bigFiles && !all.empty(); ++b)
        all[rng() % all.size()]->content = RandomContent(rng, 1 + rng() % maxFile);
    for (auto* f : all) {
        f->entry =
            FileEntryBytes(uint32_t(f->content.size()), RandomBytes(rng, 86), RandomName(rng));
        ++files;
        sum += uint32_t(f->content.size());
    }
    m.header.dirCount = uint32_t(dirs);
    m.header.fileCount = files;
    m.header.sumOfSizes = sum;
    return m;
}

Status WriteFull(const FullModel& m, const std::string& name, uint32_t limit, Piece piece) {
    ArchiveWriter w;
    if (RewriteArchive(name.c_str(), limit, &w)) return 1;
    bool ok = !WriteArchiveHeader(&w, m.header) &&
              !RewriteBootSectors(&w, uint32_t(m.boot.size())) &&
              !Feed(WriteBootSectorsChunk, &w, m.boot, piece) && !DoneBootSectors(&w) &&
              !RewriteDirSummary(&w);
    for (size_t i = 0; ok && i < m.dirSummaries.size(); ++i)
        ok = !WriteDirSummaryEntry(&w, m.dirSummaries[i].data());
    ok = ok && !DoneDirSummary(&w) && !RewriteFileSummary(&w);
    for (size_t i = 0; ok && i < m.fileSummaries.size(); ++i)
        ok = !WriteFileSummaryEntry(&w, m.fileSummaries[i].data());
    ok = ok && !DoneFileSummary(&w) && !RewriteDirectories(&w);
    for (size_t i = 0; ok && i < m.dirs.size(); ++i) {
        ok = !WriteDirectory(&w, m.dirs[i].record);
        for (size_t k = 0; ok && k < m.dirs[i].subdirs.size(); ++k)
            ok = !WriteDirEntryDir(&w, m.dirs[i].subdirs[k].data());
        for (size_t k = 0; ok && k < m.dirs[i].files.size(); ++k)
            ok = !WriteDirEntryFile(&w, m.dirs[i].files[k].data());
    }
    ok = ok && !DoneDirectories(&w) && !RewriteFiles(&w);
    for (size_t i = 0; ok && i < m.contents.size(); ++i)
        ok = !WriteFileHeader(&w, uint32_t(m.contents[i].size())) &&
             !Feed(WriteFileContent, &w, m.contents[i], piece);
    ok = ok && !DoneFiles(&w);
    if (!ok) {
        AbortArchive(&w);
        return 1;
    }
    return DoneArchive(&w);
}

Status WriteIncr(const IncrModel& m, const std::string& name, uint32_t limit, Piece piece) {
    ArchiveWriter w;
    if (RewriteIArchive(name.c_str(), limit, &w)) return 1;
    bool ok = !WriteIArchiveHeader(&w, m.header) && !RewriteIFiles(&w);
    for (size_t i = 0; ok && i < m.dirs.size(); ++i) {
        const IDirModel& d = m.dirs[i];
        ok = !WriteIDirectory(&w, d.record, d.name.c_str());
        for (size_t k = 0; ok && k < d.subdirs.size(); ++k)
            ok = !WriteIDirEntryDir(&w, d.subdirs[k].data());
        for (size_t k = 0; ok && k < d.files.size(); ++k)
            ok = !WriteIDirEntryFile(&w, d.files[k].entry.data()) &&
                 !Feed(WriteIFileContent, &w, d.files[k].content, piece);
    }
    ok = ok && !DoneIFiles(&w);
    if (!ok) {
        AbortArchive(&w);
        return 1;
    }
    return DoneIArchive(&w);
}

Status ReadFull(const std::string& name, FullModel* m, int skipEvery) {
    *m = FullModel{};
    IArchive r;
    if (OpenArchive(name.c_str(), &r)) return 1;
    auto fail = [&] {
        AbandonArchive(&r);
        return Status(1);
    };
    const ArchiveHeader* h;
    if (ReadArchiveHeader(&r, &h)) return fail();
    m->header = *h;
    uint32_t size;
    if (OpenBootSectors(&r, &size) || ReadPieces(ReadBootSectorsChunk, &r, size, &m->boot) ||
        CloseBootSectors(&r) || OpenDirSummary(&r))
        return fail();
    uint32_t sa = h->summaryAttr, da = h->dirAttr;
    for (uint32_t i = 0; i < h->dirCount; ++i) {
        const uint8_t* p;
        if (ReadDirSummaryEntry(&r, &p)) return fail();
        m->dirSummaries.emplace_back(p, p + DirSummary::kSize + sa);
    }
    if (CloseDirSummary(&r) || OpenFileSummary(&r)) return fail();
    for (uint32_t i = 0; i < h->fileCount; ++i) {
        const uint8_t* p;
        if (ReadFileSummaryEntry(&r, &p)) return fail();
        m->fileSummaries.emplace_back(p, p + kFileSummarySize + sa);
    }
    if (CloseFileSummary(&r) || OpenDirectories(&r)) return fail();
    for (uint32_t i = 0; i < h->dirCount; ++i) {
        DirModel d;
        if (ReadDirectory(&r, &d.record)) return fail();
        for (uint32_t k = 0; k < d.record.subdirs; ++k) {
            const uint8_t* p;
            if (ReadDirEntryDir(&r, &p)) return fail();
            d.subdirs.push_back(EntryAt(p, SubdirEntry::kSize + da));
        }
        for (uint32_t k = 0; k < d.record.files; ++k) {
            const uint8_t* p;
            if (ReadDirEntryFile(&r, &p)) return fail();
            d.files.push_back(EntryAt(p, kFileEntrySize + da));
        }
        m->dirs.push_back(std::move(d));
    }
    if (CloseDirectories(&r) || OpenFiles(&r)) return fail();
    for (uint32_t i = 0; i < h->fileCount; ++i) {
        Bytes content;
        if (skipEvery > 0 && i % uint32_t(skipEvery) == 0) {
            uint64_t fileSize = 0;
            if (ReadSkipFile(&r, &fileSize)) return fail();
        } else if (uint64_t fileSize = 0;
                   ReadFileHeader(&r, &fileSize) ||
                   ReadPieces(ReadFileContent, &r, uint32_t(fileSize), &content)) {
            return fail();
        }
        m->contents.push_back(std::move(content));
    }
    if (CloseFiles(&r)) return fail();
    return CloseArchive(&r);
}

Status ReadIncr(const std::string& name, IncrModel* m, int skipEvery) {
    *m = IncrModel{};
    IArchive r;
    if (OpenIArchive(name.c_str(), &r)) return 1;
    auto fail = [&] {
        AbandonArchive(&r);
        return Status(1);
    };
    const ArchiveHeader* h;
    if (ReadIArchiveHeader(&r, &h)) return fail();
    m->header = *h;
    uint32_t da = h->dirAttr;
    if (OpenIFiles(&r)) return fail();
    uint32_t fileIndex = 0;
    for (uint32_t i = 0; i < h->dirCount; ++i) {
        IDirModel d;
        const char* name;
        if (ReadIDirectory(&r, &d.record, &name)) return fail();
        d.name = name;
        for (uint32_t k = 0; k < d.record.subdirs; ++k) {
            const uint8_t* p;
            if (ReadIDirEntryDir(&r, &p)) return fail();
            d.subdirs.push_back(EntryAt(p, SubdirEntry::kSize + da));
        }
        for (uint32_t k = 0; k < d.record.files; ++k, ++fileIndex) {
            IFileModel f;
            const uint8_t* p;
            if (skipEvery > 0 && fileIndex % uint32_t(skipEvery) == 0) {
                if (ReadISkipFile(&r, &p)) return fail();
                f.entry = EntryAt(p, kFileEntrySize + da);
            } else {
                if (ReadIDirEntryFile(&r, &p)) return fail();
                f.entry = EntryAt(p, kFileEntrySize + da);
                if (ReadPieces(ReadIFileContent, &r, ld32(f.entry.data()), &f.content))
                    return fail();
            }
            d.files.push_back(std::move(f));
        }
        m->dirs.push_back(std::move(d));
    }
    if (CloseIFiles(&r)) return fail();
    return CloseIArchive(&r);
}

void ArchiveTest::SetUp() {
    char pattern[] = "/tmp/vk-arc-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    Settings().clear();
    SetSettingReader(ReadTestSetting);
    SetHostRoute(HostRoute::HostDirectory, nullptr, &DosFsState);
    capture_.assign(kCaptureSize, 0);
    LogFileBuff = capture_.data();
    LogFileAvail = 0;
}

void ArchiveTest::TearDown() {
    LogFileBuff = nullptr;
    LogFileAvail = 0;
    SetSettingReader(nullptr);
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

std::string ArchiveTest::TakeLog() {
    std::string s(reinterpret_cast<char*>(capture_.data()), LogFileAvail);
    LogFileAvail = 0;
    return s;
}

Bytes ArchiveTest::ReadHost(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void ArchiveTest::WriteHost(const std::string& path, const Bytes& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
}

bool ArchiveTest::Exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

} // namespace vk::test
