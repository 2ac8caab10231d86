// The command tables of the two programs. Both share the rows of the
// interpreter, console, security, disk and file commands; the archiver adds
// its archive commands, the batch program its TFTP test. Each table lives in
// its own file so that a program links only the handlers it names.
#pragma once

#include <array>
#include <cstddef>

#include "interp/commands.h"
#include "interp/commands_archive.h"
#include "interp/commands_disk.h"
#include "interp/commands_irestore.h"
#include "interp/script.h"
#include "interp/security.h"

namespace vk {

// Rows shared by both programs.
inline constexpr std::array kCommonRows = {
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
    Command{"fullunzip", ParseFullUnzip},
    Command{"fileunzip", ParseFileUnzip},
    Command{"incrunzip", ParseIncrUnzip},
    Command{"checkarchive", ParseCheckArchive},
    Command{"append", ParseAppend},
    Command{"copy", ParseCopy},
    Command{"patch", ParsePatch},
    Command{"delete", ParseDelete},
    Command{"del", ParseDelete},
    Command{"mkdir", ParseMkDir},
    Command{"deltree", ParseDelTree},
    Command{"beep", ParseBeep},
};

// The common rows followed by a program's own rows and the closing null row.
template <size_t A, size_t B>
constexpr std::array<Command, A + B + 1> JoinRows(const std::array<Command, A>& a,
                                                  const std::array<Command, B>& b) {
    std::array<Command, A + B + 1> table{};
    for (size_t i = 0; i < A; ++i)
        table[i] = a[i];
    for (size_t i = 0; i < B; ++i)
        table[A + i] = b[i];
    table[A + B] = Command{nullptr, nullptr};
    return table;
}

// Each table ends with a row whose keyword is null.
const Command* PeltoCommandTable();
const Command* TobrendCommandTable();

} // namespace vk
