// Control-flow and script commands: goto, if, set, eval, onexit, onkey,
// interact and help. The include runner lives with the driver.

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <strings.h>

#include "disk/files.h"
#include "disk/partitions.h"
#include "interp/commands.h"
#include "interp/expr.h"
#include "interp/script.h"
#include "interp/security.h"
#include "interp/tokenizer.h"
#include "interp/variables.h"
#include "platform/console.h"
#include "platform/hostfile.h"
#include "platform/memory.h"
#include "platform/util.h"

namespace vk {

namespace {

constexpr char kCtrlZ = 26;

char Fold(char c) {
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

// Steps over one line end as the line reader does: CR, LF, CR, ^Z.
const char* SkipLineEnd(const char* p) {
    if (*p == '\r') ++p;
    if (*p == '\n') ++p;
    if (*p == '\r') ++p;
    if (*p == kCtrlZ) ++p;
    return p;
}

const char* EndOfLine(const char* p) {
    while (*p && *p != '\r' && *p != '\n' && *p != kCtrlZ)
        ++p;
    return p;
}

// Reads the word that must follow a leading letter and compares it with
// `expected` (any case). Returns false when the word is something else.
bool TakeKeyword(char** cursor, const char* expected) {
    char* end = NextToken(*cursor);
    size_t n = size_t(end - token);
    if (n != std::strlen(expected) || strncasecmp(token, expected, n) != 0) return false;
    *cursor = end;
    return true;
}

bool StartsWith(const char* p, char lower) {
    return Fold(*p) == lower;
}

} // namespace

// goto label
Status ParseGoto(char* args) {
    char* label = NextWord(&args);
    if (!label[0]) return Fail("label expected");
    size_t length = std::strlen(label);

    const char* p = filestart;
    uint16_t number = 1;
    while (p && *p) {
        const char* q = p;
        while (*q == ' ' || *q == '\t')
            ++q;
        if (*q == ':' && strncasecmp(q + 1, label, length) == 0) {
            char after = q[1 + length];
            if (after == ' ' || after == '\t' || after == '\r' || after == '\n') {
                // Continue at the next non-empty line; count the skipped
                // empty lines so that reports name the true line.
                const char* next = SkipLineEnd(EndOfLine(q));
                uint16_t nextNumber = uint16_t(number + 1);
                while (*next == '\r' || *next == '\n') {
                    const char* after_end = SkipLineEnd(next);
                    if (after_end == next) break;
                    next = after_end;
                    ++nextNumber;
                }
                currpos = next;
                lineno = uint16_t(nextNumber - 1);
                return 0;
            }
        }
        const char* end = EndOfLine(p);
        const char* next = SkipLineEnd(end);
        if (next == end) break; // a NUL ends the text
        p = next;
        ++number;
    }
    return Fail("Target label not found");
}

// if [not] [ci] condition [command]
Status ParseIf(char* args) {
    char* p = SkipBlanks(args);
    bool invert = false, ignoreCase = false;
    if (StartsWith(p, 'n')) {
        if (!TakeKeyword(&p, "not")) return Fail("Syntax error");
        invert = true;
        p = SkipBlanks(p);
    }
    if (StartsWith(p, 'c')) {
        if (!TakeKeyword(&p, "ci")) return Fail("Syntax error");
        ignoreCase = true;
        p = SkipBlanks(p);
    }

    bool result = false;
    if (StartsWith(p, 'e')) {
        if (!TakeKeyword(&p, "exist")) return Fail("Syntax error");
        char* name = NextString(&p);
        if (!name) return 1;
        result = FILEExists(name) != 0;
    } else if (StartsWith(p, 'v')) {
        if (!TakeKeyword(&p, "valid")) return Fail("Syntax error");
        int32_t disk = NextExpr(&p);
        if (disk == kExprFail) return 1;
        if (*p != ':') return Fail("disk:partition expected");
        ++p;
        int32_t partition = NextExpr(&p);
        if (partition == kExprFail) return 1;
        const FsState* part = nullptr;
        result = disk >= 0 && disk < 0x80 && partition >= -128 && partition < 128 &&
                 (part = SelectPart(disk + 0x80, partition)) != nullptr && part->valid;
    } else if (static_cast<uint8_t>(*p) == kQuote) {
        char* a = NextString(&p);
        if (!a) return 1;
        p = SkipBlanks(p);
        enum class Relation { Compare, In, InFile, MatchExpr, MatchPasswd } relation;
        int16_t op = 0;
        if (StartsWith(p, 'i') || StartsWith(p, 'm')) {
            char* end = p;
            while (*end && !IsBlank(*end) && static_cast<uint8_t>(*end) != kQuote)
                ++end;
            size_t n = size_t(end - p);
            auto is = [&](const char* w) { return n == std::strlen(w) && !strncasecmp(p, w, n); };
            if (is("in"))
                relation = Relation::In;
            else if (is("in-file"))
                relation = Relation::InFile;
            else if (is("match-expr"))
                relation = Relation::MatchExpr;
            else if (is("match-passwd"))
                relation = Relation::MatchPasswd;
            else
                return Fail("Syntax error");
            p = end;
        } else {
            relation = Relation::Compare;
            op = NextOp(&p);
            if (op == kOpFail) return 1;
        }
        // The first string lives in `line` too; the second reader may not
        // touch it, since it only writes behind the cursor.
        char* b = NextString(&p);
        if (!b) return 1;
        int found = 0;
        switch (relation) {
        case Relation::Compare: {
            int c = ignoreCase ? strcasecmp(a, b) : std::strcmp(a, b);
            switch (op) {
            case kOpLess: result = c < 0; break;
            case kOpLessEq: result = c <= 0; break;
            case kOpEqual: result = c == 0; break;
            case kOpGreaterEq: result = c >= 0; break;
            case kOpGreater: result = c > 0; break;
            default: result = c != 0; break;
            }
            break;
        }
        case Relation::In:
            FindWord(a, b, ignoreCase, &found);
            result = found != 0;
            break;
        case Relation::InFile:
            if (FindWordInFile(a, b, ignoreCase, &found) != 0) return Fail("Word file not found");
            result = found != 0;
            break;
        case Relation::MatchExpr: {
            char pattern[kLineSize];
            std::snprintf(pattern, sizeof pattern, "%s", b);
            result = MatchExpr(a, pattern, ignoreCase ? kMatchIgnoreCase : 0) != 0;
            break;
        }
        case Relation::MatchPasswd: result = CheckPasswd(a, b, ignoreCase) != 0; break;
        }
    } else {
        int32_t a = NextExpr(&p);
        if (a == kExprFail) return 1;
        int16_t op = NextOp(&p);
        if (op == kOpFail) return 1;
        int32_t b = NextExpr(&p);
        if (b == kExprFail) return 1;
        switch (op) {
        case kOpLess: result = a < b; break;
        case kOpLessEq: result = a <= b; break;
        case kOpEqual: result = a == b; break;
        case kOpGreaterEq: result = a >= b; break;
        case kOpGreater: result = a > b; break;
        default: result = a != b; break;
        }
        // Numbers compare by value: a wrapping a - b would call 2147483647
        // smaller than -1.
    }
    if (invert) result = !result;
    if (!result) return 0;
    p = SkipBlanks(p);
    if (!*p) return 0;
    return ParseLine(p);
}

// set name = string | expression
Status ParseSet(char* args) {
    char* end = NextToken(args);
    char* name = token;
    if (end == name) return Fail("variable name expected");
    char* p = SkipBlanks(end);
    if (*p != '=') return Fail("Syntax error, = expected");
    *end = 0;
    ++p;
    p = SkipBlanks(p);
    char number[12];
    const char* value;
    if (static_cast<uint8_t>(*p) == kQuote) {
        value = NextString(&p);
        if (!value) return 1;
    } else {
        int32_t v = NextExpr(&p);
        if (v == kExprFail) return -1;
        ltoa(v, number);
        value = number;
    }
    SetVar(name, value);
    return NextNothing(p);
}

// eval string
Status ParseEval(char* args) {
    char* text = NextString(&args);
    if (!text) return 1;
    if (NextNothing(args)) return 1;
    char copy[kLineSize];
    std::snprintf(copy, sizeof copy, "%s", text);
    return EvalSubst("Eval", copy);
}

// onexit [command text]
Status ParseOnExit(char* args) {
    SetVar("OnExit", SkipBlanks(args));
    return 0;
}

// onkey string [command text]
Status ParseOnKey(char* args) {
    char* key = NextString(&args);
    if (!key) return 1;
    char* rest = SkipBlanks(args);
    // "=" cannot stand in a variable name, so it cannot have a handler.
    if (key[0] && !key[1] && key[0] != '=' && static_cast<uint8_t>(key[0]) != 0xFF) {
        char name[8] = "ONKEY-";
        name[6] = key[0];
        name[7] = 0;
        SetVar(name, rest);
        return 0;
    }
    if (strcasecmp(key, "default") == 0) {
        SetVar("ONKEY-default", rest);
        return 0;
    }
    return Fail("character or \"default\" expected");
}

// interact
Status ParseInteract(char* args) {
    if (NextNothing(args)) return 1;
    ExitOnError = 0;
    GoOnScreen();
    Log("Entering interactive mode (type EXIT or QUIT to resume)\r\n");
    for (;;) {
        LogScroll = 0;
        char input[kLineSize];
        {
            LogScope log;
            PrintString("> ");
            InputString(input, sizeof input);
        }
        if (strcasecmp(input, "exit") == 0 || strcasecmp(input, "quit") == 0) break;
        BeginTopLevelLine();
        EvalSubst("Interactive eval", input);
    }
    ExitOnError = 1;
    return 0;
}

// The help scripts that come with the programs: beside the program
// (<bin>/../share/vesklor, which also serves the build tree and unpacked
// copies), then where the installation put them. Each program has its own,
// named after it in lower case.
#ifndef VK_HELP_DIR
#define VK_HELP_DIR "/usr/local/share/vesklor"
#endif

namespace {

// Loads a host file as a script text (at most 64 KB, converted as text)
// directly from the host, whatever route the program gives other names.
char* LoadHostScript(const char* path) {
    DosFile f = OpenDosFile(path, false);
    if (!f) return nullptr;
    uint32_t size = SizeofDosFile(f);
    char* text = nullptr;
    if (size < kLoadBlock) {
        BackupVariables();
        text = static_cast<char*>(Malloc(ParagraphsFor(size + 1)));
        RestoreVariables();
        uint32_t got = 0;
        while (got < size) {
            uint16_t n =
                ReadDosFile(f, text + got, uint16_t(std::min<uint32_t>(size - got, 32768)));
            if (n == 0) break;
            got += n;
        }
        text[got] = 0;
        ImportText(text, got);
    }
    CloseDosFile(f);
    return text;
}

// Whether the help file is there. The probe of a missing remote name logs
// its failure; the loader decides itself what then, so the probe's log
// output goes into a scratch capture and is dropped.
bool HelpFileExists(const char* name) {
    static uint8_t scratch[kCaptureSize];
    uint8_t* savedBuff = LogFileBuff;
    uint32_t savedAvail = LogFileAvail;
    if (!LogFileBuff) {
        LogFileBuff = scratch;
        LogFileAvail = 0;
    }
    bool found = FILEExists(name) != 0;
    LogFileBuff = savedBuff;
    LogFileAvail = savedAvail;
    return found;
}

// Runs the installed help script of this program; false when none is found.
bool RunInstalledHelp() {
    char program[32];
    std::snprintf(program, sizeof program, "%s", GetVar("Program"));
    for (char* c = program; *c; ++c)
        *c = Fold(*c);
    // Room for a whole program path, the data directory and the file name.
    constexpr size_t kPlace = 2 * kPathMax;
    char places[2][kPlace] = {};
    char exe[kPathMax];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n > 0) {
        exe[n] = 0;
        char* slash = std::strrchr(exe, '/');
        if (slash) *slash = 0;
        std::snprintf(places[0], kPlace, "%s/../share/vesklor/%s.hlp", exe, program);
    }
    std::snprintf(places[1], kPlace, "%s/%s.hlp", VK_HELP_DIR, program);
    for (const char* place : places) {
        if (!place[0]) continue;
        char* text = LoadHostScript(place);
        if (!text) continue;
        RunScriptText("Help loader", text);
        return true;
    }
    return false;
}

} // namespace

// help [topic]: runs the script named by HelpFile, which reads HelpTopic;
// when that file is not there, the help script installed with the program.
Status ParseHelp(char* args) {
    char* p = SkipBlanks(args);
    const char* topic;
    if (!*p) {
        topic = "?";
    } else if (static_cast<uint8_t>(*p) == kQuote) {
        topic = NextString(&p);
        if (!topic) return 1;
    } else {
        topic = NextWord(&p);
    }
    SetVar("HelpTopic", topic);
    char helpFile[kLineSize];
    std::snprintf(helpFile, sizeof helpFile, "%s", GetVar("HelpFile"));
    if (helpFile[0] && HelpFileExists(helpFile)) {
        EvalSubst("Help loader", "Include \"$HelpFile\"");
        return 0;
    }
    // A help script that asks for help again finds no second fallback.
    static bool running = false;
    if (!running) {
        running = true;
        bool found = RunInstalledHelp();
        running = false;
        if (found) return 0;
    }
    EvalSubst("Help loader", "Include \"$HelpFile\"");
    return 0;
}

} // namespace vk
