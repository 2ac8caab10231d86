// Raw sector access to the hard disks (devices or image files), addressed in
// 512-byte sectors relative to the currently selected partition.
#pragma once

#include <cstdint>

#include "platform/types.h"

namespace vk {

constexpr uint32_t kSectorSize = 512;
constexpr int kMaxDisks = 8;

extern uint8_t AllowDiskWrite;  // option -w
extern uint8_t LBAMode;         // script variable LBA
extern uint8_t FDAMode;         // script variable FDA

// Names a raw disk image file or block device as the next hard disk (option
// -d<path>). When any path is given, no /dev device is probed.
void AddDiskPath(const char* path);
int DiskPathCount();

int HDCount();
int GetGeometry(int disk, uint16_t* lastCylinder, uint8_t* lastHead, uint8_t* sectors);
Status Seek(uint32_t sector);
Status RewindPart();
Status SkipSects(uint32_t count);
Status ReadSects(uint16_t count, uint8_t* buffer);
Status WriteSects(uint16_t count, const uint8_t* data);
Status BlankSects(uint32_t count);
void FlushPartTable();
void CloseDisks();

} // namespace vk
