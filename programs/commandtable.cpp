// The rows of the command tables, in table order. Keywords compare
// case-insensitively and the first match wins.

#include "commandtable.h"

#include <array>

#include "interp/commands.h"
#include "interp/commands_archive.h"
#include "interp/commands_disk.h"
#include "interp/security.h"

namespace vk {

namespace {

// Rows shared by both programs.
constexpr std::array kCommonRows = {
    Command{"interact", ParseInteract},
    Command{"help", ParseHelp},
    Command{"log", ParseLog},
    Command{"logvars", ParseLogVars},
    Command{"logdir", ParseLogDir},
    Command{"logtree", ParseLogTree},
    Command{"logfile", ParseLogFile},
    Command{"showlog", ParseShowLog},
    Command{"hidelog", ParseHideLog},
    Command{"echo", ParseEcho},
    Command{"capturelog", ParseCaptureLog},
    Command{"endcapture", ParseEndCapture},
    Command{"include", ParseInclude},
    Command{"onexit", ParseOnExit},
    Command{"goto", ParseGoto},
    Command{"if", ParseIf},
    Command{"set", ParseSet},
    Command{"eval", ParseEval},
    Command{"gettime", ParseGetTime},
    Command{"getdate", ParseGetDate},
    Command{"settime", ParseSetTime},
    Command{"setdate", ParseSetDate},
    Command{"delay", ParseDelay},
    Command{"remapkeys", ParseRemapKeys},
    Command{"remapaltkeys", ParseRemapAltKeys},
    Command{"waitforkey", ParseWaitForKey},
    Command{"getkey", ParseGetKey},
    Command{"onkey", ParseOnKey},
    Command{"input", ParseInput},
    Command{"getpasswd", ParseGetPasswd},
    Command{"crypt", ParseCrypt},
    Command{"descrypt", ParseDESCrypt},
    Command{"desdecrypt", ParseDESDecrypt},
    Command{"md5", ParseMD5},
    Command{"checkuser", ParseCheckUser},
    Command{"print", ParsePrint},
    Command{"textattr", ParseTextAttr},
    Command{"at", ParseAt},
    Command{"clear", ParseClear},
    Command{"drawbar", ParseDrawBar},
    Command{"drawwindow", ParseDrawWindow},
    Command{"drawtext", ParseDrawText},
    Command{"drawgif", ParseDrawGif},
    Command{"drawpcx", ParseDrawPcx},
    Command{"initgraph", ParseInitGraph},
    Command{"closegraph", ParseCloseGraph},
    Command{"loadfont", ParseLoadFont},
    Command{"loadcodepage", ParseLoadCodePage},
    Command{".att", ParseATT},
    Command{".cls", ParseCLS},
    Command{".def", ParseDEF},
    Command{".key", ParseKEY},
    Command{".pos", ParsePOS},
    Command{".pwd", ParsePWD},
    Command{".wln", ParseWLN},
    Command{".wrt", ParseWRT},
    Command{"getbootpart", ParseGetBootPart},
    Command{"setbootpart", ParseSetBootPart},
    Command{"getpartitions", ParseGetPartitions},
    Command{"setpartitions", ParseSetPartitions},
    Command{"blank", ParseBlank},
    Command{"clean", ParseClean},
    Command{"fileunzip", ParseFileUnzip},
    Command{"append", ParseAppend},
    Command{"copy", ParseCopy},
    Command{"patch", ParsePatch},
    Command{"delete", ParseDelete},
    Command{"del", ParseDelete},
    Command{"mkdir", ParseMkDir},
    Command{"deltree", ParseDelTree},
    Command{"beep", ParseBeep},
};

// Rows of the archiver only.
constexpr std::array kPeltoRows = {
    Command{"filezip", ParseFileZip},
};

// Rows of the batch program only.
constexpr std::array<Command, 0> kTobrendRows = {};

template <size_t A, size_t B>
constexpr std::array<Command, A + B + 1> Join(const std::array<Command, A>& a,
                                              const std::array<Command, B>& b) {
    std::array<Command, A + B + 1> table{};
    for (size_t i = 0; i < A; ++i) table[i] = a[i];
    for (size_t i = 0; i < B; ++i) table[A + i] = b[i];
    table[A + B] = Command{nullptr, nullptr};
    return table;
}

constexpr auto kPelto = Join(kCommonRows, kPeltoRows);
constexpr auto kTobrend = Join(kCommonRows, kTobrendRows);

} // namespace

const Command* PeltoCommandTable() { return kPelto.data(); }
const Command* TobrendCommandTable() { return kTobrend.data(); }

} // namespace vk
