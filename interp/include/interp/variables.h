// The variable store: every script variable in one compact block of
// "name=value\xFF" entries ended by a NUL; names compare case-insensitively.
#pragma once

#include <cstdint>

namespace vk {

constexpr int kValueSize = 256; // getVarValue: 255 characters and a NUL

void InitVars();
void SetVar(const char* name, const char* value);
const char* GetVar(const char* name);  // valid until the next read
const char* FindVar(const char* name); // pointer into the store, or null
void SetVarPrefix(const char* prefix, const char* suffix, const char* value);
void DestroyVars();
void BackupVariables();
void RestoreVariables();
using VarFunction = void (*)(const char* name, const char* value);
void ApplyVars(const char* pattern, VarFunction fn);
void DumpVar(const char* name, const char* value);
void DumpVars(const char* pattern);
// True when the variable equals "ON" without regard to case.
bool VarIsOn(const char* name);

// The watchdog port, linked to the variable WatchdogPort.
extern uint16_t WatchdogPort;

} // namespace vk
