// The fixed DES key under which Tobrend encodes passwords for the security
// server and the server decodes them. It hides a password from a casual
// look at the traffic, nothing more: the key is in every client.
#pragma once

namespace vk {

inline constexpr char kSecurityKey[8] = {'K', 'o', 'D', 'r', 'A', 'f', 'E', '!'};

} // namespace vk
