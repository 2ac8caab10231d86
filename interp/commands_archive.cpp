// Archive commands that both programs have: fileunzip.
#include "interp/commands_archive.h"

#include "archive/zipfile.h"
#include "interp/commands.h"
#include "interp/script.h"
#include "interp/tokenizer.h"

namespace vk {

Status ReadTwoNames(char* args, char** first, char** second) {
    *first = NextString(&args);
    if (!*first) return 1;
    *second = NextString(&args);
    if (!*second) return 1;
    return NextNothing(args) ? 1 : 0;
}

// fileunzip source target
Status ParseFileUnzip(char* args) {
    char *source, *target;
    if (ReadTwoNames(args, &source, &target)) return 1;
    StartFileWrite();
    if (UnzipFile(source, target) != 0)
        return FileWriteFailed(target, "FileUnzip failed (bad compressed file ?)");
    return 0;
}

} // namespace vk
