// Inside the TFTP client, for its fuzz harness only: every wait is divided
// by this (1 in the program, which never changes it).
#pragma once

namespace vk {

extern int tftp_wait_divisor;

} // namespace vk
