// incrunzip: applies an incremental archive to an existing directory tree,
// driving the archive reader and the incremental restore step by step.
#include "interp/commands_irestore.h"

#include <cinttypes>
#include <cstdio>
#include <memory>
#include <string>

#include "archive/check.h"
#include "archive/irestore.h"
#include "archive/reader.h"
#include "disk/partitions.h"
#include "interp/commands_archive.h"
#include "interp/script.h"
#include "interp/tokenizer.h"
#include "platform/checksum.h"
#include "platform/console.h"
#include "platform/memory.h"
#include "platform/util.h"

namespace vk {

namespace {

// A failed write's message: the file and "disk full" when the target ran out
// of space, else the plain message.
const char* DiskFull(const char* verb, const IRestoreState* st, const char* plain) {
    if (!TakeDiskFull()) return plain;
    static char message[sizeof st->name + 48];
    std::snprintf(message, sizeof message, "Could not %s file %s: disk full", verb, st->name);
    return message;
}

// Runs every step after the archive was opened; returns the message of the
// step that failed, or null.
const char* ApplyIArchive(const char* target, IArchive* r, IRestoreState* st) {
    const char* failure = "Could not read archive";
    TakeDiskFull(); // a note left by an earlier command is not this restore's
    const ArchiveHeader* header = nullptr;
    if (ProcessIArchive(target, st) != 0 || ReadIArchiveHeader(r, &header) != 0 ||
        RealizeIArchiveHeader(st, header) != 0)
        return failure;
    MonitorESC();
    if (OpenIFiles(r) != 0 || ProcessIFiles(st) != 0) return failure;
    uint32_t dirCount = header->dirCount;
    uint32_t total = header->fileCount, done = 0;
    ProgressScope progress(header->sumOfSizes, "Restoring files");
    for (uint32_t d = 0; d < dirCount; ++d) {
        IDirectoryRecord record;
        const char* name = nullptr;
        if (ReadIDirectory(r, &record, &name) != 0) return "Could not read directory entry";
        if (RealizeIDirectory(st, &record, name) != 0) return "Could not enter directory";
        for (uint32_t s = 0; s < record.subdirs; ++s) {
            MonitorESC();
            const uint8_t* entry = nullptr;
            if (ReadIDirEntryDir(r, &entry) != 0) return "Could not read subdir entry";
            if (RealizeIDirEntryDir(st, entry) != 0) return "Could not create subdir entry";
        }
        for (uint32_t f = 0; f < record.files; ++f) {
            MonitorESC();
            const uint8_t* entry = nullptr;
            if (ReadIDirEntryFile(r, &entry) != 0) return "Could not read file header";
            uint64_t size = IncrFileSize(st, entry);
            if (size > UINT32_MAX) {
                RealizeIDirEntryFile(st, entry); // says which file
                return "Could not restore a file of 4 GB or more";
            }
            if (RealizeIDirEntryFile(st, entry) != 0)
                return DiskFull("create", st, "Could not create file");
            while (size > 0) {
                MonitorESC();
                const uint8_t* data = nullptr;
                uint32_t length = 0;
                if (ReadIFileContent(r, &data, &length) != 0 || length == 0 || length > size)
                    return "Could not read from file";
                if (RealizeIFileContent(st, data, length) != 0)
                    return DiskFull("write to", st, "Could not write to file");
                progress.Advance(length);
                size -= length;
            }
            ++done;
            CountDownChanged(total > done ? total - done : 0, total);
        }
    }
    failure = "Error closing archive";
    if (CloseIFiles(r) != 0 || EndOfIFiles(st) != 0) return failure;
    if (EndOfIArchive(st) != 0) return failure;
    if (CloseIArchive(r) != 0) return failure;
    return nullptr;
}

} // namespace

// incrunzip archive path
Status ParseIncrUnzip(char* args) {
    char *archiveArg, *pathArg;
    if (ReadTwoNames(args, &archiveArg, &pathArg)) return 1;
    std::string name = archiveArg, target = pathArg; // kept apart from the line buffer
    {
        LogScope scope;
        PrintString("Restoring incr archive ");
        PrintString(name.c_str());
        PrintString(" to path ");
        PrintString(target.c_str());
        PrintString("\r\n");
    }
    FsDirRef probe;
    if (MakeIOGetDir(target.c_str(), &probe) != 0) return Fail("Destination path does not exist");
    int mark = MarkMemory();
    auto archive = std::make_unique<IArchive>();
    if (CheckBeforeRestore(name.c_str()) != 0 || OpenIArchive(name.c_str(), archive.get()) != 0) {
        AbandonArchive(archive.get());
        RestoreMemory(mark);
        return Fail("Cannot open archive");
    }
    auto state = std::make_unique<IRestoreState>();
    const char* failure = ApplyIArchive(target.c_str(), archive.get(), state.get());
    // Whatever failed, the open output file is closed and every buffer freed.
    EndOfIArchive(state.get());
    AbandonArchive(archive.get());
    RestoreMemory(mark);
    FlushParts();
    return failure ? Fail(failure) : 0;
}

// checkarchive archive: reads the whole archive without writing anything and
// says whether it is sound; a damaged one fails with its first problem.
Status ParseCheckArchive(char* args) {
    static char message[kCheckProblemMax + kReaderNameMax + 32];
    char* nameArg = NextString(&args);
    if (!nameArg || NextNothing(args)) return 1;
    std::string name = nameArg;
    int mark = MarkMemory();
    auto check = std::make_unique<ArchiveCheck>();
    Status s = CheckArchive(name.c_str(), check.get());
    RestoreMemory(mark);
    if (s) {
        std::snprintf(message, sizeof message, "Archive %s is damaged: %s", name.c_str(),
                      check->problem);
        return Fail(message);
    }
    char text[kReaderNameMax + 160];
    std::snprintf(text, sizeof text,
                  "Archive %s is sound: %u directories, %u files, %" PRIu64
                  " bytes in %u fragments\r\n",
                  name.c_str(), unsigned(check->dirs), unsigned(check->files), check->bytes,
                  unsigned(check->fragments));
    LogScope scope;
    PrintString(text);
    return 0;
}

} // namespace vk
