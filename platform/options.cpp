// Program options: "-" and a letter per word at the start of the argument line.
#include "platform/hostfile.h"
#include "platform/util.h"

namespace vk {

int GetOptIn(const char* arguments, char letter) {
    const char* p = arguments;
    if (!p) return 0;
    while (*p == '-') {
        if (p[1] == letter) return 1;
        while (*p && *p != ' ' && *p != '\t')
            ++p;
        while (*p == ' ' || *p == '\t')
            ++p;
    }
    return 0;
}

int GetOpt(char letter) {
    return GetOptIn(GetArguments(), letter);
}

} // namespace vk
