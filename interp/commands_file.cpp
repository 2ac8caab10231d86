// File commands: append, copy, patch, delete, mkdir, deltree and beep. They
// parse their arguments and leave the work to the file access layer.

#include <cstdio>

#include "disk/files.h"
#include "interp/commands.h"
#include "interp/script.h"
#include "interp/tokenizer.h"
#include "interp/variables.h"
#include "platform/console.h"
#include "platform/util.h"

namespace vk {

namespace {

// Open flags of the copying commands: read-ahead allowed, and the cache
// first when CacheAlways is on.
uint16_t CopyFlags() {
    return uint16_t(kOpenReadAhead | (VarIsOn("CacheAlways") ? kOpenCacheAlways : 0));
}

// Reads `count` file names into `names`; the strings stay in `line`.
Status ReadNames(char** cursor, char** names, int count) {
    for (int i = 0; i < count; ++i) {
        names[i] = NextString(cursor);
        if (!names[i]) return 1;
    }
    return 0;
}

Status OneName(char* args, char** name) {
    if (ReadNames(&args, name, 1)) return 1;
    return NextNothing(args) ? 1 : 0;
}

} // namespace

void StartFileWrite() {
    TakeDiskFull();
    TakeTargetFate();
}

Status FileWriteFailed(const char* target, const char* plain) {
    TargetFate fate = TakeTargetFate();
    if (!TakeDiskFull()) return Fail(plain);
    const char* after = "";
    switch (fate) {
    case TargetFate::OldKept: after = " (the existing file keeps its old content)"; break;
    case TargetFate::OldRemoved: after = " (the existing file it overwrote was removed)"; break;
    case TargetFate::Left: after = " (a partial file stays)"; break;
    case TargetFate::None:
    case TargetFate::Removed: break;
    }
    static char message[640];
    std::snprintf(message, sizeof message, "Could not write to file %s: disk full%s", target,
                  after);
    return Fail(message);
}

Status ParseAppend(char* args) {
    char* names[3];
    if (ReadNames(&args, names, 3) || NextNothing(args)) return 1;
    StartFileWrite();
    if (AppendFILE(names[0], names[1], names[2], CopyFlags()))
        return FileWriteFailed(names[2], "Could not append the files (invalid filename ?)");
    return 0;
}

Status ParseCopy(char* args) {
    char* names[2];
    if (ReadNames(&args, names, 2) || NextNothing(args)) return 1;
    StartFileWrite();
    if (CopyFILE(names[0], names[1], CopyFlags()))
        return FileWriteFailed(names[1], "Could not copy the file (invalid filename ?)");
    return 0;
}

// patch source target [open [close]]
Status ParsePatch(char* args) {
    char* names[2];
    if (ReadNames(&args, names, 2)) return 1;
    const char* open = "${";
    const char* close = "}";
    if (*SkipBlanks(args)) {
        open = NextString(&args);
        if (!open) return 1;
        if (*SkipBlanks(args)) {
            close = NextString(&args);
            if (!close) return 1;
        }
    }
    if (NextNothing(args)) return 1;
    StartFileWrite();
    if (PatchFILE(names[0], names[1], open, close, CopyFlags()))
        return FileWriteFailed(names[1], "Could not patch the file (invalid filename ?)");
    return 0;
}

Status ParseDelete(char* args) {
    char* name;
    if (OneName(args, &name)) return 1;
    return DeleteFILE(name) ? Fail("Could not delete the file") : 0;
}

Status ParseMkDir(char* args) {
    char* name;
    if (OneName(args, &name)) return 1;
    return CreateDIR(name) ? Fail("Could not create the directory") : 0;
}

Status ParseDelTree(char* args) {
    char* name;
    if (OneName(args, &name)) return 1;
    return DelTREE(name) ? Fail("Could not recursively delete the directory") : 0;
}

Status ParseBeep(char* args) {
    if (NextNothing(args)) return 1;
    PrintChar(7);
    return 0;
}

} // namespace vk
