// Handlers of the interpreter's own commands (control flow, console, time,
// log and file commands). Each takes the argument text behind its keyword
// and returns 0, or non-zero with errormsg set.
#pragma once

#include "platform/types.h"

namespace vk {

// Control flow and script commands.
Status ParseGoto(char* args);
Status ParseIf(char* args);
Status ParseSet(char* args);
Status ParseEval(char* args);
Status ParseOnExit(char* args);
Status ParseOnKey(char* args);
Status ParseInteract(char* args);
Status ParseHelp(char* args);

// Console, time and log commands.
Status ParseLog(char* args);
Status ParseEcho(char* args);
Status ParseLogVars(char* args);
Status ParseLogDir(char* args);
Status ParseLogTree(char* args);
Status ParseLogFile(char* args);
Status ParseShowLog(char* args);
Status ParseHideLog(char* args);
Status ParseCaptureLog(char* args);
Status ParseEndCapture(char* args);
Status ParsePrint(char* args);
Status ParseTextAttr(char* args);
Status ParseAt(char* args);
Status ParseClear(char* args);
Status ParseInput(char* args);
Status ParseGetKey(char* args);
Status ParseWaitForKey(char* args);
Status ParseDelay(char* args);
Status ParseRemapKeys(char* args);
Status ParseRemapAltKeys(char* args);
Status ParseGetTime(char* args);
Status ParseGetDate(char* args);
Status ParseSetTime(char* args);
Status ParseSetDate(char* args);
Status ParseDrawBar(char* args);
Status ParseDrawWindow(char* args);
Status ParseDrawText(char* args);
Status ParseDrawGif(char* args);
Status ParseDrawPcx(char* args);
Status ParseInitGraph(char* args);
Status ParseCloseGraph(char* args);
Status ParseLoadFont(char* args);
Status ParseLoadCodePage(char* args);
Status ParseATT(char* args);
Status ParseCLS(char* args);
Status ParseDEF(char* args);
Status ParseKEY(char* args);
Status ParsePOS(char* args);
Status ParsePWD(char* args);
Status ParseWLN(char* args);
Status ParseWRT(char* args);

// File commands.
Status ParseAppend(char* args);
Status ParseCopy(char* args);
Status ParsePatch(char* args);
Status ParseDelete(char* args);
Status ParseMkDir(char* args);
Status ParseDelTree(char* args);
Status ParseBeep(char* args);
// Around a command that writes one file: StartFileWrite forgets what earlier
// commands noted about a full disk or a failed target; FileWriteFailed fails
// with the target's name and "disk full" (and what became of an existing
// file) when the target ran out of space, else with the plain message.
void StartFileWrite();
Status FileWriteFailed(const char* target, const char* plain);

} // namespace vk
