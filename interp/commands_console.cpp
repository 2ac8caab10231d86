// Console, time and log commands: output to screen and log, log capture,
// listings, key and line input, waits, key remapping, colours and cursor,
// the clock, the commands of the older menu language and the graphics
// commands, which this edition parses and answers with a warning.

#include <cstdio>
#include <cstring>
#include <strings.h>

#include "disk/files.h"
#include "interp/commands.h"
#include "interp/expr.h"
#include "interp/script.h"
#include "interp/tokenizer.h"
#include "interp/variables.h"
#include "platform/console.h"
#include "platform/memory.h"
#include "platform/util.h"

namespace vk {

namespace {

uint8_t rememberedAttr = 7; // attribute remembered by .att

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}
bool IsQuote(char c) {
    return static_cast<uint8_t>(c) == kQuote;
}

Status NoArguments(char* args) {
    return NextNothing(args) ? 1 : 0;
}

Status GraphicsUnavailable() {
    Log("WARNING: Unable to initialize VESA graphics\r\n");
    return 0;
}

// Reads "h:m:s" or "y/m/d": three fields of one or two digits separated by
// `separator`, nothing after the third. Writes them as two digits each.
bool ReadClockFields(const char* text, char separator, char* out) {
    const char* p = text;
    char* o = out;
    for (int field = 0; field < 3; ++field) {
        if (!IsDigit(*p)) return false;
        char d1 = *p++;
        char d2 = 0;
        if (IsDigit(*p)) d2 = *p++;
        *o++ = d2 ? d1 : '0';
        *o++ = d2 ? d2 : d1;
        if (field < 2) {
            if (*p++ != separator) return false;
            *o++ = separator;
        }
    }
    *o = 0;
    return *p == 0;
}

Status ReadRemap(char* args, uint8_t* map) {
    char* from = NextString(&args);
    if (!from) return 1;
    char* to = NextString(&args);
    if (!to) return 1;
    if (std::strlen(from) != std::strlen(to)) return Fail("arguments must have the same length");
    for (size_t i = 0; from[i]; ++i)
        map[static_cast<uint8_t>(from[i])] = static_cast<uint8_t>(to[i]);
    return 0;
}

// [expression expression [strategy]] of drawgif and drawpcx.
Status ParseImageCommand(char* args) {
    char* name = NextString(&args);
    if (!name) return 1;
    char* p = SkipBlanks(args);
    if (*p) {
        if (NextExpr(&p) == kExprFail) return 1;
        if (NextExpr(&p) == kExprFail) return 1;
        p = SkipBlanks(p);
        if (*p) {
            char* word = p;
            while (*p && !IsBlank(*p))
                ++p;
            if (*p) *p++ = 0;
            static const char* const kStrategies[] = {"spare-colors", "best-colors", "share-colors",
                                                      "reuse-colors"};
            bool known = false;
            for (const char* s : kStrategies)
                known = known || strcasecmp(word, s) == 0;
            if (!known) return Fail("Unknown color allocation strategy");
        }
    }
    if (NextNothing(p)) return 1;
    return GraphicsUnavailable();
}

Status ReadFixedFile(char* args, uint32_t expected, const char* message, uint8_t* out) {
    char* name = NextString(&args);
    if (!name) return 1;
    char* data = nullptr;
    uint32_t size = 0;
    if (LoadFile(name, &size, &data, true) != 0) return Fail(message);
    bool ok = size == expected;
    if (ok && out) std::memcpy(out, data, expected);
    Free(data);
    return ok ? 0 : Fail(message);
}

} // namespace

Status ParseLog(char* args) {
    char* text = NextString(&args);
    if (!text) return 1;
    if (NextNothing(args)) return 1;
    Log(text);
    return 0;
}

Status ParseEcho(char* args) {
    char* text = NextString(&args);
    if (!text) return 1;
    if (NextNothing(args)) return 1;
    Log(text);
    Log("\r\n");
    return 0;
}

Status ParseLogVars(char* args) {
    const char* pattern = "*";
    if (*SkipBlanks(args)) {
        pattern = NextString(&args);
        if (!pattern) return 1;
        if (NextNothing(args)) return 1;
    }
    DumpVars(pattern);
    return 0;
}

Status ParseLogDir(char* args) {
    char* path = NextString(&args);
    if (!path) return 1;
    if (NextNothing(args)) return 1;
    return LogDIR(path) ? Fail("Cannot open directory") : 0;
}

Status ParseLogTree(char* args) {
    char* path = NextString(&args);
    if (!path) return 1;
    if (NextNothing(args)) return 1;
    return LogTREE(path) ? Fail("Cannot open directory") : 0;
}

// logfile "name": shows a text file in the log, completing bare line ends.
Status ParseLogFile(char* args) {
    char* name = NextString(&args);
    if (!name) return 1;
    if (NextNothing(args)) return 1;
    char* text = nullptr;
    uint32_t size = 0;
    if (LoadFile(name, &size, &text, false) != 0) return Fail("Cannot open file");
    {
        LogScope log;
        bool sawCR = false, sawLF = false;
        auto completeRun = [&]() {
            if (sawLF && !sawCR) PrintChar('\r');
            if (sawCR && !sawLF) PrintChar('\n');
            sawCR = sawLF = false;
        };
        for (uint32_t i = 0; i < size; ++i) {
            if (Keypressed()) {
                GetChar();
                sawCR = sawLF = false;
                break;
            }
            char c = text[i];
            if (c == '\r' || c == '\n') {
                (c == '\r' ? sawCR : sawLF) = true;
            } else {
                completeRun();
            }
            PrintChar(static_cast<uint8_t>(c));
        }
        completeRun();
    }
    BackupVariables();
    Free(text);
    RestoreVariables();
    return 0;
}

Status ParseShowLog(char* args) {
    if (NoArguments(args)) return 1;
    LogScroll = 0;
    GoOnScreen();
    return 0;
}

Status ParseHideLog(char* args) {
    if (NoArguments(args)) return 1;
    GoOffScreen();
    return 0;
}

Status ParseCaptureLog(char* args) {
    if (NoArguments(args)) return 1;
    if (LogFileBuff) return Fail("Log capture already active");
    BackupVariables();
    LogFileBuff = static_cast<uint8_t*>(Malloc(uint16_t(kCaptureSize / kParagraph)));
    RestoreVariables();
    LogFileAvail = 0;
    return 0;
}

Status ParseEndCapture(char* args) {
    if (!LogFileBuff) return Fail("No log capture currently active");
    char* p = SkipBlanks(args);
    char* name = nullptr;
    if (*p) {
        name = NextString(&p);
        if (!name) return 1;
        if (NextNothing(p)) return 1;
    }
    // The capture ends in every case, so that a failed save does not leave
    // the log swallowed by a capture nobody can end.
    uint8_t* buffer = LogFileBuff;
    uint32_t count = LogFileAvail;
    LogFileBuff = nullptr;
    LogFileAvail = 0;
    Status status = 0;
    if (name) {
        FileRecord file;
        if (CreateFILE(name, &file, count) != 0) {
            status = Fail("Could not create log file");
        } else {
            uint32_t done = 0;
            while (done < count) {
                uint16_t piece = uint16_t(count - done > kChunkMax ? kChunkMax : count - done);
                uint16_t written = WriteFILE(&file, buffer + done, piece);
                if (written == 0) break;
                done += written;
            }
            if (CloseFILE(&file) != 0 || done < count)
                status = Fail("Error while writing log file (disk full ?)");
        }
    }
    BackupVariables();
    Free(buffer);
    RestoreVariables();
    return status;
}

Status ParsePrint(char* args) {
    char* p = SkipBlanks(args);
    if (IsQuote(*p)) {
        char* text = NextString(&p);
        if (!text) return 1;
        if (NextNothing(p)) return 1;
        PrintString(text);
        return 0;
    }
    int32_t value = NextExpr(&p);
    if (value == kExprFail) return 1;
    if (NextNothing(p)) return 1;
    char number[12];
    ltoa(value, number);
    PrintString(number);
    return 0;
}

Status ParseTextAttr(char* args) {
    int16_t foreground = NextColor(&args);
    if (foreground < 0) return 1;
    int16_t background = 0;
    if (*SkipBlanks(args)) {
        background = NextColor(&args);
        if (background < 0) return 1;
    }
    if (NextNothing(args)) return 1;
    TextAttr = uint8_t(foreground + 16 * background);
    return 0;
}

Status ParseAt(char* args) {
    char* p = args;
    int32_t row = NextExpr(&p);
    if (row == kExprFail) return 1;
    p = SkipBlanks(p);
    if (*p != ',') return Fail(", expected");
    ++p;
    int32_t column = NextExpr(&p);
    if (column == kExprFail) return 1;
    SetTextXY(column, row);
    p = SkipBlanks(p);
    return *p ? ParseLine(p) : 0;
}

// clear [colour [fill [row1, column1, row2, column2]]]
Status ParseClear(char* args) {
    char* p = SkipBlanks(args);
    uint8_t attr = 7, fill = ' ';
    if (*p) {
        int16_t colour = NextColor(&p);
        if (colour < 0) return 1;
        p = SkipBlanks(p);
        if (colour != 0 || *p) {
            attr = uint8_t(colour);
            fill = 219;
        }
        if (*p) {
            if (IsQuote(*p)) {
                char* s = NextString(&p);
                if (!s) return 1;
                fill = static_cast<uint8_t>(s[0]);
            } else {
                int32_t v = NextExpr(&p);
                if (v == kExprFail) return 1;
                fill = uint8_t(v);
            }
            p = SkipBlanks(p);
            if (*p) {
                int32_t c[4];
                for (int i = 0; i < 4; ++i) {
                    if (i) {
                        p = SkipBlanks(p);
                        if (*p != ',') return Fail("bad coordinates");
                        ++p;
                    }
                    c[i] = NextExpr(&p);
                    if (c[i] == kExprFail) return Fail("bad coordinates");
                }
                if (NextNothing(p)) return 1;
                FillArea(c[1], c[0], c[3] - c[1] + 1, c[2] - c[0] + 1, fill, attr);
                SetTextXY(c[1], c[0]);
                return 0;
            }
        }
    }
    LogScroll = 0;
    FillArea(0, 0, kScreenCols, kScreenRows, fill, attr);
    SetTextXY(0, 0);
    return 0;
}

// input [name [length]]
Status ParseInput(char* args) {
    char* p = args;
    char* name = NextWord(&p);
    int size = kLineSize;
    if (name[0] && *SkipBlanks(p)) {
        int32_t length = NextExpr(&p);
        if (length == kExprFail) return 1;
        // The buffer holds 255 characters whatever length is asked.
        if (length < 0) length = 0;
        if (length > kLineSize - 1) length = kLineSize - 1;
        size = length + 1;
    }
    if (NextNothing(p)) return 1;
    char buffer[kLineSize];
    InputString(buffer, size);
    if (name[0]) SetVar(name, buffer);
    return 0;
}

Status ParseGetKey(char* args) {
    char* name = NextWord(&args);
    if (NextNothing(args)) return 1;
    uint8_t key = GetChar();
    keyvalue[0] = char(key);
    keyvalue[1] = 0;
    if (name[0]) SetVar(name, keyvalue);
    return 0;
}

Status ParseWaitForKey(char* args) {
    char* p = args;
    int32_t ticks = NextDuration(&p);
    if (ticks == kExprFail) return 1;
    uint32_t left = uint32_t(ticks);
    while (left > 0) {
        if (Keypressed()) {
            GetChar();
            return 0;
        }
        if (KeysExhausted()) {
            Delay(left);
            break;
        }
        Delay(1);
        --left;
    }
    p = SkipBlanks(p);
    return *p ? ParseLine(p) : 0;
}

Status ParseDelay(char* args) {
    char* p = args;
    int32_t ticks = NextDuration(&p);
    if (ticks == kExprFail) return 1;
    if (NextNothing(p)) return 1;
    Delay(uint32_t(ticks));
    return 0;
}

Status ParseRemapKeys(char* args) {
    return ReadRemap(args, KeyMap);
}

Status ParseRemapAltKeys(char* args) {
    Status status = ReadRemap(args, AltMap);
    if (status == 0) CatchALT();
    return status;
}

Status ParseGetTime(char* args) {
    char* name = NextVariableName(&args);
    if (!name) return 1;
    char buffer[16];
    GetTime(buffer);
    SetVar(name, buffer);
    return 0;
}

Status ParseGetDate(char* args) {
    char* name = NextVariableName(&args);
    if (!name) return 1;
    char copy[kNameSize];
    std::snprintf(copy, sizeof copy, "%s", name);
    char* second = NextWord(&args);
    char buffer[16];
    int weekday = GetDate(buffer);
    SetVar(copy, buffer);
    if (second[0]) {
        char digit[2] = {char('0' + (weekday % 10)), 0};
        SetVar(second, digit);
    }
    return 0;
}

Status ParseSetTime(char* args) {
    char* text = NextString(&args);
    if (!text) return 1;
    char fields[16];
    if (!ReadClockFields(text, ':', fields)) return Fail("Bad time format");
    if (SetTime(fields)) Log("WARNING: Cannot set the system clock\r\n");
    return 0;
}

Status ParseSetDate(char* args) {
    char* text = NextString(&args);
    if (!text) return 1;
    char fields[16];
    if (!ReadClockFields(text, '/', fields)) return Fail("Bad date format");
    if (SetDate(fields)) Log("WARNING: Cannot set the system clock\r\n");
    return 0;
}

Status ParseDrawBar(char* args) {
    char* p = args;
    for (int i = 0; i < 4; ++i)
        if (NextExpr(&p) == kExprFail) return 1;
    if (NextColor(&p) < 0) return 1;
    if (NextNothing(p)) return 1;
    return GraphicsUnavailable();
}

Status ParseDrawWindow(char* args) {
    char* p = args;
    for (int i = 0; i < 4; ++i)
        if (NextExpr(&p) == kExprFail) return 1;
    p = SkipBlanks(p);
    while (*p && !IsQuote(*p)) {
        if (NextColor(&p) < 0) return 1;
        p = SkipBlanks(p);
    }
    if (IsQuote(*p)) {
        if (!NextString(&p)) return 1;
        p = SkipBlanks(p);
        if (*p && NextColor(&p) < 0) return 1;
    }
    if (NextNothing(p)) return 1;
    return GraphicsUnavailable();
}

Status ParseDrawText(char* args) {
    char* p = args;
    for (int i = 0; i < 2; ++i)
        if (NextExpr(&p) == kExprFail) return 1;
    if (!NextString(&p)) return 1;
    if (*SkipBlanks(p) && NextColor(&p) < 0) return 1;
    if (NextNothing(p)) return 1;
    return GraphicsUnavailable();
}

Status ParseDrawGif(char* args) {
    return ParseImageCommand(args);
}
Status ParseDrawPcx(char* args) {
    return ParseImageCommand(args);
}

// initgraph ["WIDTHxHEIGHT"]: the mode must be one of the words of VESA-modes.
Status ParseInitGraph(char* args) {
    char* p = SkipBlanks(args);
    if (*p) {
        char* mode = NextString(&p);
        if (!mode || NextNothing(p)) return Fail("Unknown mode (check VESA-modes variable)");
        int found = 0;
        if (std::strpbrk(mode, "xX")) FindWord(mode, GetVar("VESA-modes"), 1, &found);
        if (!found) return Fail("Unknown mode (check VESA-modes variable)");
    }
    return GraphicsUnavailable();
}

Status ParseCloseGraph(char* args) {
    return NoArguments(args);
}

Status ParseLoadFont(char* args) {
    uint8_t font[4096];
    Status status = ReadFixedFile(args, sizeof font, "Invalid font file", font);
    if (status == 0) LoadFont(font);
    return status;
}

Status ParseLoadCodePage(char* args) {
    uint8_t table[256];
    Status status = ReadFixedFile(args, sizeof table, "Invalid codepage file", table);
    if (status == 0)
        for (int i = 0; i < 128; ++i)
            codepage[i] = ld16(table + 2 * i);
    return status;
}

Status ParseATT(char* args) {
    uint8_t before = TextAttr;
    if (!*SkipBlanks(args)) {
        TextAttr = rememberedAttr;
    } else {
        Status status = ParseTextAttr(args);
        if (status) return status;
    }
    rememberedAttr = before;
    return 0;
}

Status ParseCLS(char* args) {
    char* p = args;
    uint8_t attr = 7;
    if (*SkipBlanks(p)) {
        int32_t v = NextExpr(&p);
        if (v == kExprFail) return 1;
        attr = uint8_t(v);
    }
    if (NextNothing(p)) return 1;
    FillArea(0, 0, kScreenCols, kScreenRows, ' ', attr);
    SetTextXY(0, 0);
    return 0;
}

Status ParsePOS(char* args) {
    char* p = args;
    int32_t column = 0, row = 0;
    if (*SkipBlanks(p)) {
        column = NextExpr(&p);
        if (column == kExprFail) return 1;
        row = GetTextY() == 0xFFFF ? 0 : GetTextY();
        if (*SkipBlanks(p)) {
            row = NextExpr(&p);
            if (row == kExprFail) return 1;
        }
    }
    if (NextNothing(p)) return 1;
    SetTextXY(column, row);
    return 0;
}

Status ParsePWD(char*) {
    Log("Warning: .PWD not implemented\r\n");
    return 0;
}

Status ParseWLN(char* args) {
    PrintString(args);
    PrintString("\r\n");
    return 0;
}

Status ParseWRT(char* args) {
    PrintString(args);
    return 0;
}

// .key K file: the key boots the file; any other key is read and dropped.
Status ParseKEY(char* args) {
    char* p = SkipBlanks(args);
    if (!*p || *p == '=') return Fail("key expected");
    char key = *p++;
    p = SkipBlanks(p);
    char command[kLineSize];
    std::snprintf(command, sizeof command, "TFtpBoot %c%s%c", char(kQuote), p, char(kQuote));
    char name[8] = "ONKEY-";
    name[6] = key;
    name[7] = 0;
    SetVar(name, command);
    SetVar("ONKEY-default", "GetKey");
    return 0;
}

// .def K [seconds]: when the script ends, wait and then act as if K was pressed.
Status ParseDEF(char* args) {
    char* p = SkipBlanks(args);
    if (!*p || *p == '=') return Fail("key expected");
    char key = *p++;
    p = SkipBlanks(p);
    const char* seconds = *p ? p : "15";
    char command[kLineSize];
    std::snprintf(command, sizeof command, "Eval %cWaitForKey %s $ONKEY-%c%c", char(kQuote),
                  seconds, key, char(kQuote));
    SetVar("OnExit", command);
    return 0;
}

} // namespace vk
