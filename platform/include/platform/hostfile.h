// Host files and directories, the program's argument line, and this
// edition's answers to boot and power requests.
#pragma once

#include <cstdint>
#include <cstdio>

#include "platform/fsentry.h"

namespace vk {

void SetArguments(int argc, char** argv);
const char* GetArguments();  // null when there are none

using DosFile = FILE*;
void NormalizeName(char* path);
DosFile CreateDosFile(const char* path);
DosFile OpenDosFile(const char* path, bool write);
uint32_t TellDosFile(DosFile f);
int SeekDosFile(DosFile f, uint32_t offset);
uint32_t SizeofDosFile(DosFile f);
uint16_t ReadDosFile(DosFile f, void* buffer, uint16_t length);
uint16_t WriteDosFile(DosFile f, const void* data, uint16_t length);
int CloseDosFile(DosFile f);
int DeleteDosFile(const char* path);
int CreateDosDir(const char* path);
int RemoveDosDir(const char* path);

struct DosDir;
DosDir* OpenDosDir(const char* path);
int ReadDosDir(DosDir* handle, FsEntry* entry);  // 1 at the end
void CloseDosDir(DosDir* handle);

constexpr int kPackedAttrSize = 86;
struct stat;
void LXDOSPackAttr(uint8_t* attributes, const struct stat* status, const char* path);

[[noreturn]] void TFtpReboot();
[[noreturn]] void RebootFromSect();
inline void HideBootPROM() {}
void SetupRamDisk();
[[noreturn]] void Shutdown();

} // namespace vk
