// The variable store. Every variable lives in one heap block of entries
// "name=value\xFF" followed by a closing NUL; the block is resized to its
// contents on every set and entries keep the order in which they were last
// set, which is the order of a listing.

#include "interp/variables.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "disk/disk.h"
#include "disk/partitions.h"
#include "interp/edition.h"
#include "interp/script.h"
#include "platform/console.h"
#include "platform/efivars.h"
#include "platform/hostfile.h"
#include "platform/memory.h"
#include "platform/settings.h"
#include "platform/util.h"

namespace vk {

namespace {

constexpr uint8_t kEntryEnd = 0xFF;

char* vars = nullptr;   // the store, or null while moved aside
uint16_t savedSize = 0; // store length in 16-bit words while moved aside
char getVarValue[kValueSize];

char Fold(char c) {
    return char(std::tolower(static_cast<unsigned char>(c)));
}

bool IsOn(const char* value) {
    return Fold(value[0]) == 'o' && Fold(value[1]) == 'n' && value[2] == 0;
}

// Length of the store's entries, without the closing NUL.
size_t StoreLength() {
    return vars ? std::strlen(vars) : 0;
}

// Start of the entry whose value begins at `value`.
char* EntryStart(char* value) {
    char* p = value - 1; // the '='
    while (p > vars && static_cast<uint8_t>(p[-1]) != kEntryEnd)
        --p;
    return p;
}

// Flags of the platform and disk layers that follow a variable at once.
void ApplyLinkedFlags(const char* name, const char* value) {
    auto is = [name](const char* n) { return strcasecmp(name, n) == 0; };
    if (is("AutoShowLog")) {
        SetCatchESC(IsOn(value));
    } else if (is("PauseLog")) {
        pauselog = IsOn(value);
    } else if (is("LBA")) {
        LBAMode = IsOn(value);
    } else if (is("FDA")) {
        FDAMode = IsOn(value);
    } else if (is("IsoLatin")) {
        IsoLatinMode = IsOn(value);
    } else if (is("ExtMemory")) {
        if (!IsOn(value)) DropExtMem();
    } else if (is("WatchdogPort")) {
        // Decimal reading stops at the first non-digit: "0x80" gives 0.
        WatchdogPort = uint16_t(std::strtoul(value, nullptr, 10));
    }
    if (CurrentEdition().onVariableSet) CurrentEdition().onVariableSet(name, value);
}

} // namespace

uint16_t WatchdogPort = 0;

const char* FindVar(const char* name) {
    if (!vars) return nullptr;
    const char* p = vars;
    while (*p) {
        const char* n = name;
        while (*p != '=' && *n && Fold(*p) == Fold(*n)) {
            ++p;
            ++n;
        }
        if (*p == '=' && *n == 0) return p + 1;
        while (*p && static_cast<uint8_t>(*p) != kEntryEnd)
            ++p;
        if (*p) ++p;
    }
    return nullptr;
}

void SetVar(const char* name, const char* value) {
    // A name may not contain '=' or the entry end; such a name cannot be
    // stored without corrupting the store, so it is ignored.
    if (!name[0] || std::strchr(name, '=') || std::strchr(name, char(kEntryEnd))) return;
    if (!vars) return; // moved aside: no variable may be set now

    ApplyLinkedFlags(name, value);

    if (const char* found = FindVar(name)) {
        char* entry = EntryStart(const_cast<char*>(found));
        char* next = const_cast<char*>(found);
        while (*next && static_cast<uint8_t>(*next) != kEntryEnd)
            ++next;
        if (*next) ++next;
        std::memmove(entry, next, std::strlen(next) + 1);
    }

    // The value loses any entry-end bytes: they would split the entry.
    size_t valueLength = 0;
    for (const char* v = value; *v; ++v)
        if (static_cast<uint8_t>(*v) != kEntryEnd) ++valueLength;

    size_t used = StoreLength();
    size_t nameLength = std::strlen(name);
    size_t needed = (used + nameLength + valueLength + 3) / kParagraph + 1;
    if (needed > 0xFFFF) FatalError("Realloc failed, not enough memory");
    vars = static_cast<char*>(Realloc(vars, uint16_t(needed)));

    char* p = vars + used;
    if (valueLength) {
        std::memcpy(p, name, nameLength);
        p += nameLength;
        *p++ = '=';
        for (const char* v = value; *v; ++v)
            if (static_cast<uint8_t>(*v) != kEntryEnd) *p++ = *v;
        *p++ = char(kEntryEnd);
    }
    *p = 0;
}

const char* GetVar(const char* name) {
    const char* value = FindVar(name);
    size_t n = 0;
    if (value) {
        // Values longer than the result buffer are cut to 255 characters.
        while (n < kValueSize - 1 && value[n] && static_cast<uint8_t>(value[n]) != kEntryEnd) {
            getVarValue[n] = value[n];
            ++n;
        }
    }
    getVarValue[n] = 0;
    return getVarValue;
}

bool VarIsOn(const char* name) {
    return IsOn(GetVar(name));
}

void SetVarPrefix(const char* prefix, const char* suffix, const char* value) {
    char name[kNameSize];
    std::snprintf(name, sizeof name, "%s%s", prefix, suffix);
    SetVar(name, value);
}

void DestroyVars() {
    if (vars) Free(vars);
    vars = nullptr;
}

void BackupVariables() {
    if (!vars) return;
    savedSize = uint16_t((StoreLength() + 1 + 1) / 2);
    PushAboveMemory(vars, savedSize);
    Free(vars);
    vars = nullptr;
}

void RestoreVariables() {
    if (vars) return;
    vars = static_cast<char*>(Malloc(uint16_t((savedSize + 7) / 8)));
    PopAboveMemory(vars, savedSize);
}

void ApplyVars(const char* pattern, VarFunction fn) {
    if (!vars) return;
    char patternCopy[kValueSize];
    char* p = vars;
    while (*p) {
        char* equals = std::strchr(p, '=');
        char* end = equals;
        while (*end && static_cast<uint8_t>(*end) != kEntryEnd)
            ++end;
        std::snprintf(patternCopy, sizeof patternCopy, "%s", pattern);
        if (MatchExpr(p, patternCopy, '=' | kMatchIgnoreCase)) {
            *equals = 0;
            *end = 0;
            fn(p, equals + 1);
            *equals = '=';
            *end = char(kEntryEnd);
        }
        p = end + 1;
    }
}

void DumpVar(const char* name, const char* value) {
    char n[kNameSize];
    char v[kValueSize];
    std::snprintf(n, sizeof n, "%s", name);
    std::snprintf(v, sizeof v, "%s", value);
    PrintString("set ");
    PrintString(n);
    PrintString("=\"");
    PrintString(v);
    PrintString("\"\r\n");
}

void DumpVars(const char* pattern) {
    LogScope log;
    ApplyVars(pattern, DumpVar);
}

namespace {

// The Basename from the argument line: option words (a dash and what follows
// up to the next blank) are skipped; the rest without trailing blanks.
void BasenameFromArguments(char* out, size_t size, const char* fallback) {
    const char* args = GetArguments();
    const char* p = args ? args : "";
    while (*p == ' ' || *p == '\t')
        ++p;
    while (*p == '-') {
        while (*p && *p != ' ' && *p != '\t')
            ++p;
        while (*p == ' ' || *p == '\t')
            ++p;
    }
    size_t n = std::strlen(p);
    while (n && (p[n - 1] == ' ' || p[n - 1] == '\t'))
        --n;
    if (n == 0) {
        std::snprintf(out, size, "%s", fallback);
        return;
    }
    if (n >= size) n = size - 1;
    std::memcpy(out, p, n);
    out[n] = 0;
}

} // namespace

void InitVars() {
    const Edition& edition = CurrentEdition();
    if (HDCount() > 0) SelectPart(0x80, 0);

    DestroyVars();
    vars = static_cast<char*>(Malloc(1));
    vars[0] = 0;
    SetSettingReader(GetVar);

    char defaultBase[kNameSize];
    edition.defaultBasename(defaultBase, sizeof defaultBase);
    char basename[kValueSize];
    BasenameFromArguments(basename, sizeof basename, defaultBase);
    char helpFile[kNameSize + 8];
    std::snprintf(helpFile, sizeof helpFile, "%s.hlp", defaultBase);

    auto onOff = [](bool on) { return on ? "ON" : "OFF"; };
    SetVar("Program", edition.program);
    SetVar("Basename", basename);
    SetVar("HelpFile", helpFile);
    SetVar("LBA", onOff(LBAMode));
    SetVar("FDA", onOff(FDAMode));
    SetVar("VESA", onOff(!GetOpt('v') && CheckGraph() == 0));
    SetVar("ExtMemory", onOff(nb_ext_pages != 0));
    SetVar("Trace", "OFF");
    SetVar("PauseLog", onOff(pauselog));
    SetVar("AutoShowLog", onOff(GetCatchESC()));
    SetVar("CacheAlways", "OFF");
    SetVar("CacheNever", "OFF");
    SetVar("CacheReserve", "ON");
    SetVar("IsoLatin", onOff(!GetOpt('l')));
    SetVar("ProgressX", "200");
    SetVar("ProgressY", "200");
    SetVar("EXT2-Backup", "OFF");
    SetVar("WatchdogPort", "0");
    if (edition.setNetworkVariables) edition.setNetworkVariables();
    // The security server listens on port 89 of the boot server. A server
    // text too long to take the port suffix is no address: the gateway is
    // then left empty rather than cut into a wrong one.
    const char* server = GetVar("BOOTP-Server-IP");
    char gateway[kValueSize] = "";
    if (std::strlen(server) + 3 < sizeof gateway) {
        std::strcpy(gateway, server);
        std::strcat(gateway, "@89");
    }
    SetVar("Security-Gateway", gateway);
    SetVar("Security-Check", "FAILED");

    // Disks: the size of each hard disk in MB, separated by single blanks.
    char disks[kValueSize] = "";
    size_t used = 0;
    for (int d = 0; d < HDCount(); ++d) {
        uint16_t lastCylinder = 0;
        uint8_t lastHead = 0, sectors = 0;
        if (SelectPart(0x80 + d, 0) == nullptr ||
            GetGeometry(0x80 + d, &lastCylinder, &lastHead, &sectors) != 0)
            continue;
        uint64_t total = uint64_t(lastHead + 1) * sectors * (uint64_t(lastCylinder) + 1);
        int n = std::snprintf(disks + used, sizeof disks - used, "%s%llu", used ? " " : "",
                              static_cast<unsigned long long>((total + 1024) / 2048));
        if (n < 0 || used + size_t(n) >= sizeof disks) break;
        used += size_t(n);
    }
    SetVar("Disks", disks);
    // The firmware of a PC that booted the network boot image ("BIOS",
    // "UEFI", "UEFI Secure Boot"); empty elsewhere.
    SetVar("Firmware", FirmwareKind().c_str());
    if (HDCount() > 0) SelectPart(0x80, 0);
}

} // namespace vk
