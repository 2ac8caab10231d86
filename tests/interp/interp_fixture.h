// A minimal interpreter set-up for unit tests: an edition without services,
// a fresh variable store, and helpers that run lines and capture the log.
#pragma once

#include <string>

#include "interp/edition.h"

namespace vk::test {

// Installs the test edition and creates the variable store with defaults.
void SetUpInterpreter();
// Starts a log capture; TakeCapture ends it and returns what was logged.
void StartCapture();
std::string TakeCapture();
// Copies `text` into the line buffer as NextLine would and returns `line`.
char* LoadLine(const char* text);

} // namespace vk::test
