#include "interp_fixture.h"

#include <cstdio>
#include <cstring>

#include "commandtable.h"
#include "interp/script.h"
#include "interp/tokenizer.h"
#include "interp/variables.h"
#include "platform/checksum.h"
#include "platform/console.h"
#include "platform/memory.h"

namespace vk::test {

namespace {

void DefaultBasename(char* out, size_t size) {
    std::snprintf(out, size, "pelto");
}

const Edition kTestEdition = {
    .program = "Pelto",
    .bannerLine = "test",
    .scriptSuffix = ".pto",
    .interactiveBase = "pelto",
    .commands = PeltoCommandTable(),
    .archiver = true,
    .waitsAfterScript = false,
    .defaultBasename = DefaultBasename,
    .startServices = nullptr,
    .supplementaryMemory = nullptr,
    .setNetworkVariables = nullptr,
    .onVariableSet = nullptr,
    .startStorage = nullptr,
};

// Unit tests never set this machine's clock.
int IgnoreClock(long long) {
    return 0;
}

} // namespace

void SetUpInterpreter() {
    SetClockSetter(IgnoreClock);
    SetEdition(&kTestEdition);
    InitCRC(0x04C11DB7);
    InitVars();
    ExitOnError = 0;
    lineno = 0;
    filestart = currpos = nullptr;
}

void StartCapture() {
    if (LogFileBuff) Free(LogFileBuff);
    LogFileBuff = static_cast<uint8_t*>(Malloc(uint16_t(kCaptureSize / kParagraph)));
    LogFileAvail = 0;
}

std::string TakeCapture() {
    std::string text(reinterpret_cast<const char*>(LogFileBuff), LogFileAvail);
    Free(LogFileBuff);
    LogFileBuff = nullptr;
    LogFileAvail = 0;
    return text;
}

char* LoadLine(const char* text) {
    NextLine(text);
    return line;
}

} // namespace vk::test
