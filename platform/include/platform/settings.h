// Lower layers read script variables (settings such as TempPath or
// CacheAlways) through this reader, which the interpreter registers at
// start-up. Without a reader every setting reads as the empty string.
#pragma once

namespace vk {

using SettingReader = const char* (*)(const char* name);
void SetSettingReader(SettingReader reader);
// The value of the named variable (never null); valid until the next read.
const char* ReadSetting(const char* name);
// True when the setting equals "ON" without regard to case.
bool SettingIsOn(const char* name);

} // namespace vk
