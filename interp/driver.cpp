// The script driver: runs texts and script files line by line, dispatches
// each line through the command table, reports failures, runs the key
// handlers between lines, and owns start-up and the orderly end.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <unistd.h>

#include "disk/disk.h"
#include "disk/files.h"
#include "disk/partitions.h"
#include "interp/edition.h"
#include "interp/script.h"
#include "interp/tokenizer.h"
#include "interp/variables.h"
#include "platform/checksum.h"
#include "platform/console.h"
#include "platform/memory.h"
#include "platform/util.h"

namespace vk {

char line[kLineSize];
char currfile[kNameSize] = "Bootstrap loader";
uint16_t lineno = 0;
const char* filestart = nullptr;
const char* currpos = nullptr;
const char* errormsg = "";
char* token = line;
uint8_t ExitOnError = 1;
uint8_t lastkey = 0;
char keyvalue[2] = "X";
char keyhandler[8] = "ONKEY-X";

namespace {

const Command* commandTable = nullptr;
const Edition* edition = nullptr;

void SetSource(const char* name) {
    std::snprintf(currfile, sizeof currfile, "%s", name);
}

// Prints "\r\n<source>, line <n>: " with output forced to the log.
void PrintSourcePosition(const char* lead) {
    char number[12];
    ultoa(lineno, number);
    PrintString(lead);
    PrintString(currfile);
    PrintString(", line ");
    PrintString(number);
    PrintString(": ");
}

void PrintHeapLine(const char* lead, const char* tail) {
    char number[12];
    ultoa(HeapSize() >> 6, number);
    PrintString(lead);
    PrintString(number);
    PrintString(tail);
}

// Runs the key handler of a key that arrived after a line.
Status CheckKeys(Status status) {
    uint8_t key = Keypressed();
    if (status != 0 || key == lastkey) return status;
    lastkey = key;
    keyvalue[0] = char(key);
    keyvalue[1] = 0;
    SetVar("Keypressed", keyvalue);
    if (key == 0) return status;
    keyhandler[6] = char(key);
    keyhandler[7] = 0;
    char handler[kLineSize];
    std::snprintf(handler, sizeof handler, "%s", GetVar(keyhandler));
    if (handler[0]) {
        GetChar();
        return EvalNoSubst(keyhandler, handler);
    }
    std::snprintf(handler, sizeof handler, "%s", GetVar("ONKEY-default"));
    if (handler[0]) return EvalNoSubst("ONKEY-default", handler);
    return status;
}

} // namespace

void SetCommandTable(const Command* table) {
    commandTable = table;
}

const Command* FindCommand(const char* word) {
    for (const Command* c = commandTable; c && c->keyword; ++c)
        if (strcasecmp(c->keyword, word) == 0) return c;
    return nullptr;
}

void SetEdition(const Edition* e) {
    edition = e;
    SetCommandTable(e->commands);
}

const Edition& CurrentEdition() {
    static const Edition kNone{};
    return edition ? *edition : kNone;
}

namespace {

// Scripts run inside the lines of other scripts (include, eval, key and exit
// handlers), and the most that the stack surely holds: each level keeps a
// few line buffers. Without a bound a script that includes itself recurses
// until the stack overflows.
int nesting = 0;
constexpr int kMaxNesting = 64;

// Counts one level for the lifetime of the object; `entered` is false when
// the bound is reached and nothing may be run.
struct NestingLevel {
    bool entered = nesting < kMaxNesting;
    NestingLevel() { nesting += entered; }
    ~NestingLevel() { nesting -= entered; }
};

// The depth bound alone does not bound the work: in interactive mode, where
// a failing line does not end the program, a file that includes itself twice
// fails at the bound on every branch of a tree that doubles at each level.
// After this many such failures within one top-level line the line is
// abandoned: every script line still pending in it fails at once, silently,
// and the prompt comes back.
constexpr int kMaxNestingFailures = 256;
int nestingFailures = 0;
bool abandoned = false;

Status NestingFailed(const char* message) {
    if (++nestingFailures < kMaxNestingFailures) return Fail(message);
    abandoned = true;
    return Fail("Nested too deeply too often, line abandoned");
}

} // namespace

void BeginTopLevelLine() {
    nestingFailures = 0;
    abandoned = false;
}

Status ParseLine(char* text) {
    if (abandoned) return 1;
    if (!text[0]) return 0;
    Status status = 0;
    char* end = NextToken(text);
    char first = *token;
    if (first != 0 && first != '#' && first != ':') {
        if (VarIsOn("trace")) {
            // Quote markers are shown as the quotes they stand for.
            char shown[kLineSize];
            std::snprintf(shown, sizeof shown, "%s", text);
            for (char* c = shown; *c; ++c)
                if (static_cast<uint8_t>(*c) == kQuote) *c = '"';
            LogScope log;
            PrintString("TRACE: ");
            PrintString(shown);
            PrintHeapLine(" (", "K)\r\n");
        }
        char* args = end;
        if (*end) {
            *end = 0;
            args = end + 1;
        }
        const Command* command = token == end ? nullptr : FindCommand(token);
        if (!command) {
            status = Fail("Unknown command");
        } else {
            int mark = MarkMemory();
            status = command->handler(args);
            if (MarkMemory() != mark) RestoreMemory(mark);
        }
        if (status != 0) {
            LogScope log;
            PrintSourcePosition("\r\nError in ");
            if (ExitOnError) FatalError(errormsg);
            PrintString(errormsg);
            PrintString("\r\n");
        }
    }
    return CheckKeys(status);
}

Status EvalSubst(const char* source, const char* text) {
    NestingLevel level;
    if (!level.entered) return NestingFailed("Eval nested too deeply");
    char savedFile[kNameSize];
    std::memcpy(savedFile, currfile, sizeof savedFile);
    uint16_t savedLine = lineno;
    SetSource(source);
    lineno = 0;
    // NextLine writes into `line`; the text may lie there, so copy it first.
    char copy[kLineSize];
    std::snprintf(copy, sizeof copy, "%s", text);
    const char* savedPos = currpos;
    NextLine(copy);
    Status status = ParseLine(line);
    std::memcpy(currfile, savedFile, sizeof currfile);
    // A goto in the evaluated line moved the script: keep the line number it
    // set, so that later reports name the true line.
    if (currpos == savedPos) lineno = savedLine;
    return status;
}

Status EvalNoSubst(const char* source, char* text) {
    NestingLevel level;
    if (!level.entered) return NestingFailed("Eval nested too deeply");
    char savedFile[kNameSize];
    std::memcpy(savedFile, currfile, sizeof savedFile);
    uint16_t savedLine = lineno;
    SetSource(source);
    lineno = 0;
    if (text < line || text >= line + kLineSize) {
        std::snprintf(line, sizeof line, "%s", text);
        text = line;
    }
    const char* savedPos = currpos;
    Status status = ParseLine(text);
    std::memcpy(currfile, savedFile, sizeof currfile);
    if (currpos == savedPos) lineno = savedLine;
    return status;
}

// include "file": runs a script file line by line.
Status ParseInclude(char* args) {
    char* name = NextString(&args);
    if (!name) return 1;
    NestingLevel level;
    if (!level.entered) return NestingFailed("Include nested too deeply");

    char* text = nullptr;
    BackupVariables();
    Status loaded = LoadFile(name, nullptr, &text, false);
    RestoreVariables();
    if (loaded != 0) return Fail("Cannot load file");
    RunScriptText(name, text);
    return 0;
}

void RunScriptText(const char* name, char* text) {
    char savedFile[kNameSize];
    std::memcpy(savedFile, currfile, sizeof savedFile);
    const char* savedStart = filestart;
    const char* savedPos = currpos;
    uint16_t savedLine = lineno;

    SetSource(name);
    lineno = 0;
    filestart = currpos = text;

    Status status = 0;
    while (status == 0 && *currpos) {
        currpos = NextLine(currpos);
        if (line[0]) status = ParseLine(line);
    }
    if (status == 0) {
        char onExit[kLineSize];
        std::snprintf(onExit, sizeof onExit, "%s", GetVar("OnExit"));
        // Cleared before it runs: a handler that includes a script would
        // otherwise run again at that script's end, and again, to the
        // nesting bound.
        if (onExit[0]) {
            SetVar("OnExit", "");
            EvalNoSubst("OnExit", onExit);
        }
    }

    BackupVariables();
    Free(text);
    RestoreVariables();
    std::memcpy(currfile, savedFile, sizeof currfile);
    filestart = savedStart;
    currpos = savedPos;
    lineno = savedLine;
}

void CleanUp() {
    FlushParts();
    CloseDisks();
    RestoreKeys();
}

void Exit() {
    static bool exiting = false;
    if (!exiting) {
        exiting = true;
        CleanUp();
    }
    std::fflush(stdout);
    std::_Exit(255);
}

void Batch(const Edition& e) {
    SetEdition(&e);
    SetExitHandler(Exit);
    InstallNewHandler();
    InitIO();
    {
        LogScope log;
        PrintString(e.bannerLine);
        PrintString(" (" __DATE__ ")\r\n");
        PrintString("Scripted disk partitioning, formatting and restoration\r\n");
        if (e.startServices) e.startServices();
        PrintHeapLine("- Using up to ", "K of conventional memory for the heap\r\n");
        if (!GetOpt('x') && e.supplementaryMemory) {
            unsigned pages = e.supplementaryMemory();
            if (pages) {
                char number[12];
                ultoa(pages * 32, number);
                PrintString("- Using up to ");
                PrintString(number);
                PrintString("K of extended memory\r\n");
            }
        }
        if (e.startStorage) e.startStorage();
        if (GetOpt('l')) IsoLatinMode = false;
        if (GetOpt('w')) AllowDiskWrite = 1;
        if (AllowDiskWrite) PrintString("- Direct disk write access enabled\r\n");
    }
    std::strcpy(keyvalue, "X");
    std::strcpy(keyhandler, "ONKEY-X");
    InitCRC(0x04C11DB7);
    InitFsHandlers();
    InitVars();
    if (e.archiver) {
        SetVar("FragmentSize", "87 MB");
        SetVar("DumpFormat", "hbD");
    }
    SetCatchESC(true);
    GoOffScreen();

    bool interactive = GetOpt('i') || (std::strcmp(GetVar("Program"), e.program) == 0 &&
                                       std::strcmp(GetVar("Basename"), e.interactiveBase) == 0);
    if (interactive) {
        char command[] = "Interact";
        EvalNoSubst("Bootstrap loader", command);
        Exit();
    }
    char include[kLineSize];
    std::snprintf(include, sizeof include, "Include \"${Basename}%s\"", e.scriptSuffix);
    EvalSubst("Bootstrap loader", include);
    if (!e.waitsAfterScript) Exit();

    FlushParts();
    FlushWrittenData();
    Log("End of batch file reached, now waiting...\r\n");
    for (;;) {
        char command[] = "Delay 0.1";
        EvalNoSubst("Tight loop", command);
    }
}

} // namespace vk
