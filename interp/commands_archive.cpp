// The single-file compression commands.
#include "interp/commands_archive.h"

// The interpreter library does not link the archive library's include
// directory yet; its one header needed here has no dependencies.
#include "../archive/include/archive/zipfile.h"
#include "interp/script.h"
#include "interp/tokenizer.h"

namespace vk {

namespace {

Status TwoNames(char* args, char** first, char** second) {
    *first = NextString(&args);
    if (!*first) return 1;
    *second = NextString(&args);
    if (!*second) return 1;
    return NextNothing(args) ? 1 : 0;
}

} // namespace

// filezip source destination
Status ParseFileZip(char* args) {
    char *source, *destination;
    if (TwoNames(args, &source, &destination)) return 1;
    if (ZipFile(source, destination) != 0)
        return Fail("Could not compress the file (invalid filename ?)");
    return 0;
}

// fileunzip source target
Status ParseFileUnzip(char* args) {
    char *source, *target;
    if (TwoNames(args, &source, &target)) return 1;
    if (UnzipFile(source, target) != 0) return Fail("FileUnzip failed (bad compressed file ?)");
    return 0;
}

} // namespace vk
