// Program entry shared by both programs.
#pragma once

namespace vk {

struct Edition;

// Keeps the arguments, hands -d<path> option words to the disk layer,
// switches disk writes off, installs the break handler and runs the batch.
[[noreturn]] void RunProgram(int argc, char** argv, const Edition& edition);

} // namespace vk
