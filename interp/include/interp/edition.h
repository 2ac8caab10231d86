// What distinguishes the two programs, described once. Each program fills
// an Edition and hands it to Batch; the interpreter consults it wherever the
// archiver and the batch program behave differently.
#pragma once

#include <cstddef>

#include "interp/script.h"

namespace vk {

struct Edition {
    const char* program;         // value of the Program variable
    const char* bannerLine;      // first banner line
    const char* scriptSuffix;    // ".pto" or ".tbr"
    const char* interactiveBase; // Basename that starts interactive mode
    const Command* commands;     // the command table
    bool archiver;               // archive defaults, virtual file store
    bool waitsAfterScript;       // keeps running key handlers after the script
    // Fills the default base name (without suffix).
    void (*defaultBasename)(char* out, size_t size);
    // Start-up work after the banner (boot-PROM probe); may be null.
    void (*startServices)();
    // Asks for the supplementary memory; returns the number of 32 KB pages.
    unsigned (*supplementaryMemory)();
    // Publishes the network variables (BOOTP reply, APM); may be null.
    void (*setNetworkVariables)();
    // Called on every SetVar for variables the edition links to its own
    // state (server and gateway addresses); may be null.
    void (*onVariableSet)(const char* name, const char* value);
    // Start-up work after the memory lines (virtual file store); may be null.
    void (*startStorage)();
};

void SetEdition(const Edition* edition);
const Edition& CurrentEdition();

// Start-up and top-level run of the program; never returns.
[[noreturn]] void Batch(const Edition& edition);

} // namespace vk
