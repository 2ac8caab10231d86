// The reader through which lower layers see script variables.
#include "platform/settings.h"

namespace vk {

namespace {
SettingReader settingReader = nullptr;
}

void SetSettingReader(SettingReader reader) {
    settingReader = reader;
}

const char* ReadSetting(const char* name) {
    const char* value = settingReader ? settingReader(name) : nullptr;
    return value ? value : "";
}

bool SettingIsOn(const char* name) {
    const char* v = ReadSetting(name);
    return (v[0] == 'O' || v[0] == 'o') && (v[1] == 'N' || v[1] == 'n') && v[2] == 0;
}

} // namespace vk
