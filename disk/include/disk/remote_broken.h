// How the file layer learns that a remote transfer was broken off: the
// transport's read ends with 0 both at the end of the file and after the
// server's error packet, and only the transport can tell the two apart.
#pragma once

namespace vk {

// `query` (null: none) is asked when a remote read returns 0: true when the
// server broke that transfer off after it had sent data. Such a read then
// counts as failed (RemoteFileOpen 2), so that loading or copying the file
// never takes its first part for the whole.
void SetRemoteBrokenOff(bool (*query)());

} // namespace vk
