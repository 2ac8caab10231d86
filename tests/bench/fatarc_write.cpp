// Writes a full archive from a description (the item lines of
// tests/archive/arctool.py: full, header, boot, dirsum, filesum, dir,
// subdir, file, data, end) through the archive writer, at C++ speed. A
// "datafile <hex of a host path>" line may stand for a "data" line: the
// file's content is read from that path in 32 KiB pieces.
//
//   fatarc_write DESCRIPTION FIRST-FRAGMENT [LIMIT]
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "archive/writer.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes FromHex(const std::string& hex) {
    Bytes out(hex.size() / 2);
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = uint8_t(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
    return out;
}

int Fail(const std::string& what) {
    std::cerr << "fatarc_write: " << what << "\n";
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    using namespace vk;
    if (argc < 3) return Fail("usage: fatarc_write DESCRIPTION FIRST-FRAGMENT [LIMIT]");
    std::ifstream in(argv[1]);
    uint32_t limit = argc > 3 ? uint32_t(std::strtoul(argv[3], nullptr, 10)) : kFragmentSizeDefault;
    std::vector<std::pair<std::string, std::string>> items;
    for (std::string line; std::getline(in, line);) {
        size_t blank = line.find(' ');
        items.emplace_back(line.substr(0, blank),
                           blank == std::string::npos ? "" : line.substr(blank + 1));
    }
    if (items.size() < 3 || items[0].first != "full") return Fail("not a full description");
    ArchiveWriter w;
    if (RewriteArchive(argv[2], limit, &w)) return Fail("cannot create the archive");
    size_t i = 1;
    Bytes header = FromHex(items[i++].second);
    bool ok = header.size() == ArchiveHeader::kSize &&
              !WriteArchiveHeader(&w, ArchiveHeader::Load(header.data()));
    Bytes boot = FromHex(items[i++].second);
    ok = ok && !RewriteBootSectors(&w, uint32_t(boot.size()));
    for (size_t at = 0; ok && at < boot.size(); at += kChunkData)
        ok = !WriteBootSectorsChunk(&w, boot.data() + at,
                                    uint32_t(std::min<size_t>(kChunkData, boot.size() - at)));
    ok = ok && !DoneBootSectors(&w) && !RewriteDirSummary(&w);
    for (; ok && items[i].first == "dirsum"; ++i)
        ok = !WriteDirSummaryEntry(&w, FromHex(items[i].second).data());
    ok = ok && !DoneDirSummary(&w) && !RewriteFileSummary(&w);
    for (; ok && items[i].first == "filesum"; ++i)
        ok = !WriteFileSummaryEntry(&w, FromHex(items[i].second).data());
    ok = ok && !DoneFileSummary(&w) && !RewriteDirectories(&w);
    while (ok && items[i].first == "dir") {
        ok = !WriteDirectory(&w, DirectoryRecord::Load(FromHex(items[i++].second).data()));
        for (; ok && items[i].first == "subdir"; ++i)
            ok = !WriteDirEntryDir(&w, FromHex(items[i].second).data());
        for (; ok && items[i].first == "file"; ++i)
            ok = !WriteDirEntryFile(&w, FromHex(items[i].second).data());
    }
    ok = ok && !DoneDirectories(&w) && !RewriteFiles(&w);
    std::vector<uint8_t> piece(kChunkData);
    for (; ok && (items[i].first == "data" || items[i].first == "datafile"); ++i) {
        if (items[i].first == "data") {
            Bytes data = FromHex(items[i].second);
            ok = !WriteFileHeader(&w, uint32_t(data.size()));
            for (size_t at = 0; ok && at < data.size(); at += kChunkData)
                ok = !WriteFileContent(&w, data.data() + at,
                                       uint32_t(std::min<size_t>(kChunkData, data.size() - at)));
            continue;
        }
        Bytes path = FromHex(items[i].second);
        std::ifstream file(std::string(path.begin(), path.end()), std::ios::binary);
        file.seekg(0, std::ios::end);
        uint64_t size = uint64_t(file.tellg());
        file.seekg(0);
        ok = file.good() && !WriteFileHeader(&w, uint32_t(size));
        for (uint64_t at = 0; ok && at < size; at += kChunkData) {
            uint32_t n = uint32_t(std::min<uint64_t>(kChunkData, size - at));
            ok = bool(file.read(reinterpret_cast<char*>(piece.data()), n)) &&
                 !WriteFileContent(&w, piece.data(), n);
        }
    }
    ok = ok && items[i].first == "end" && !DoneFiles(&w);
    if (!ok) {
        AbortArchive(&w);
        return Fail("writing failed at item " + std::to_string(i));
    }
    return DoneArchive(&w) ? Fail("cannot finish the archive") : 0;
}
