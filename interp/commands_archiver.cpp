// Archive-creation commands of the archiver: filezip.
#include "archive/zipfile.h"
#include "interp/commands_archive.h"
#include "interp/script.h"

namespace vk {

// filezip source destination
Status ParseFileZip(char* args) {
    char *source, *destination;
    if (ReadTwoNames(args, &source, &destination)) return 1;
    if (ZipFile(source, destination) != 0)
        return Fail("Could not compress the file (invalid filename ?)");
    return 0;
}

} // namespace vk
