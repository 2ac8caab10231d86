// Inside the TFTP client, for its fuzz harness only; the program never
// changes these. Every wait is divided by tftp_wait_divisor (1); the
// broadcast flavour's control stream goes to the server's port
// tftp_control_port (99) and its data arrives at tftp_data_port (10000).
#pragma once

#include <cstdint>

namespace vk {

extern int tftp_wait_divisor;
extern uint16_t tftp_control_port;
extern uint16_t tftp_data_port;

} // namespace vk
