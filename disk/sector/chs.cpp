// Packing of cylinder/head/sector locations into partition table entries.
#include "disk/disk.h"
#include "disk/partitions.h"

namespace vk {

// Word: sector in bits 0-5, cylinder bits 8-9 in bits 6-7, cylinder bits 0-7
// in bits 8-15. Head byte: the head with LBA on; otherwise the head in bits
// 0-5 and cylinder bits 10-11 in bits 6-7.
Status PackLoc(uint16_t cylinder, uint8_t head, uint8_t sector, uint8_t* headByte, uint16_t* word) {
    if (sector > 63) return -1;
    if (LBAMode) {
        if (cylinder > 1023) return -1;
        *headByte = head;
    } else {
        if (cylinder > 4095 || head > 63) return -1;
        *headByte = uint8_t(head | ((cylinder >> 4) & 0xC0));
    }
    *word = uint16_t(sector | ((cylinder >> 2) & 0xC0) | ((cylinder & 0xFF) << 8));
    return 0;
}

void UnPackLoc(uint8_t headByte, uint16_t word, uint16_t* cylinder, uint8_t* head,
               uint8_t* sector) {
    *sector = uint8_t(word & 0x3F);
    uint16_t c = uint16_t((word >> 8) | ((word & 0xC0) << 2));
    if (LBAMode) {
        *head = headByte;
    } else {
        *head = headByte & 0x3F;
        c = uint16_t(c | ((headByte & 0xC0) << 4));
    }
    *cylinder = c;
}

} // namespace vk
