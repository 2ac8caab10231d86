// Test support for the archive tests: a scratch directory reached through
// the real file layer (host directory route), captured log output, script
// settings from a map, and archive models that can be written, read back and
// described as text for comparison with the independent Python tool.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "archive/format.h"

namespace vk::test {

using Bytes = std::vector<uint8_t>;

// ---- Models of archive contents, section by section --------------------------

struct DirModel {
    DirectoryRecord record;     // subdirs/files must match the entry counts
    std::vector<Bytes> subdirs; // SubdirEntry: 16 + DA + name + NUL
    std::vector<Bytes> files;   // FileEntry: 4 + DA + name + NUL
};

struct FullModel {
    ArchiveHeader header;
    Bytes boot;
    std::vector<Bytes> dirSummaries;  // 20 + SA each
    std::vector<Bytes> fileSummaries; // 4 + SA each
    std::vector<DirModel> dirs;
    std::vector<Bytes> contents; // in file order
};

struct IFileModel {
    Bytes entry; // FileEntry; its size field equals content.size()
    Bytes content;
};

struct IDirModel {
    IDirectoryRecord record;
    std::string name;
    std::vector<Bytes> subdirs;
    std::vector<IFileModel> files;
};

struct IncrModel {
    ArchiveHeader header;
    std::vector<IDirModel> dirs;
};

// Canonical text of a model, one item per line with the bytes in hex; the
// Python tool prints the same text for an archive it reads.
std::string Describe(const FullModel& m);
std::string Describe(const IncrModel& m);

// Entry builders.
Bytes SubdirEntryBytes(uint32_t descendants, uint16_t seed, const Bytes& attr,
                       const std::string& name);
Bytes FileEntryBytes(uint32_t size, const Bytes& attr, const std::string& name);

// Random models. Sizes are drawn around the chunk boundaries (0, 1, 32767,
// 32768, 32769 ...) with `bigFiles` larger ones up to maxFile bytes.
FullModel RandomFull(std::mt19937& rng, int dirs, int bigFiles, uint32_t maxFile);
IncrModel RandomIncr(std::mt19937& rng, int dirs, int bigFiles, uint32_t maxFile);

// Writing through the archive writer: file contents are fed in pieces of
// `piece` bytes (32768 as the copy engine does). Returns the status of the
// first failing step.
enum class Piece : uint32_t { Chunk = 32768, Odd = 10007 };
Status WriteFull(const FullModel& m, const std::string& name, uint32_t limit,
                 Piece piece = Piece::Chunk);
Status WriteIncr(const IncrModel& m, const std::string& name, uint32_t limit,
                 Piece piece = Piece::Chunk);

// Reading through the archive reader; `skipEvery` > 0 skips every n-th file
// with ReadSkipFile (its content is then recorded as empty).
Status ReadFull(const std::string& name, FullModel* m, int skipEvery = 0);
Status ReadIncr(const std::string& name, IncrModel* m, int skipEvery = 0);

// ---- Fixture -------------------------------------------------------------------

class ArchiveTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    std::string Path(const std::string& name) const { return dir_ + "/" + name; }
    // Log output captured since the last call, which clears it.
    std::string TakeLog();
    static Bytes ReadHost(const std::string& path);
    static void WriteHost(const std::string& path, const Bytes& data);
    static bool Exists(const std::string& path);

    std::string dir_;
    std::vector<uint8_t> capture_;
};

std::map<std::string, std::string>& Settings();
std::string Hex(const uint8_t* p, size_t n);
inline std::string Hex(const Bytes& b) {
    return Hex(b.data(), b.size());
}

} // namespace vk::test
