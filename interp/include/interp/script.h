// The script driver: interpreter state, the command table, line execution
// and the orderly end of the program.
#pragma once

#include <cstdint>

#include "platform/types.h"

namespace vk {

constexpr int kLineSize = 256;   // 255 characters and a NUL
constexpr int kNameSize = 128;   // source names, variable names
constexpr uint8_t kQuote = 0xF9; // quote marker written by NextLine

// A command handler gets the argument text behind its keyword (inside
// `line`) and returns 0, or non-zero with `errormsg` set.
using CommandHandler = Status (*)(char* args);
struct Command {
    const char* keyword; // null ends the table
    CommandHandler handler;
};

extern char line[kLineSize];
extern char currfile[kNameSize];
extern uint16_t lineno;
extern const char* filestart;
extern const char* currpos;
extern const char* errormsg;
extern char* token;
extern uint8_t ExitOnError;
extern uint8_t lastkey;
extern char keyvalue[2];
extern char keyhandler[8];

// The command table in use (set by the program at start-up).
void SetCommandTable(const Command* table);
const Command* FindCommand(const char* word);

Status ParseLine(char* text);
// A new line typed at the prompt: the budget of failed nestings starts anew
// and a line abandoned for exhausting it is over.
void BeginTopLevelLine();
Status EvalSubst(const char* source, const char* text);
Status EvalNoSubst(const char* source, char* text);
Status ParseInclude(char* args);
// Runs a script text loaded by the caller (with LoadFile, or from a host
// file) under the given source name, as include does, and frees the text.
// A failing line ends the text; OnExit runs only when none failed.
void RunScriptText(const char* name, char* text);

void CleanUp();
[[noreturn]] void Exit();

// Sets errormsg and returns 1: `return Fail("Bad operator");`
inline Status Fail(const char* message) {
    errormsg = message;
    return 1;
}

} // namespace vk
