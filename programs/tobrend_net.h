// The batch program's network side as the edition sees it: the boot-PROM
// probe, the BOOTP variables, the server and gateway variables, and the
// testtftp command.
#pragma once

#include <cstddef>

#include "interp/script.h"

namespace vk {

// Probes for the boot PROM (unless option b) and routes remote names.
void StartNetwork();
// The boot file without its extension, or "vesklor" without a reply.
void NetworkBasename(char* out, size_t size);
// Publishes the accepted reply as BOOTP-/DHCP- variables.
void SetBOOTPVariables();
// BOOTP-Server-IP and BOOTP-Gateway-IP write the addresses the client uses.
void OnNetworkVariable(const char* name, const char* value);

Status ParseTestTFTP(char* args);

} // namespace vk
