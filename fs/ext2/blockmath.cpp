// Pure arithmetic of the block map: where a block index lives in the
// direct, single, double and triple indirect tree, and how many blocks a
// file of a given size occupies with its indirect blocks.
#include <algorithm>

#include "ext2_internal.h"

namespace vk {

void BlockAddress(uint32_t index, uint32_t P, BlockPath* path) {
    const uint64_t p2 = uint64_t(P) * P;
    *path = BlockPath{};
    if (index < ext2ino::kDirect) {
        path->index[0] = index;
        return;
    }
    uint64_t i = uint64_t(index) - ext2ino::kDirect;
    if (i < P) {
        path->level = 1;
        path->index[0] = uint32_t(i);
        return;
    }
    i -= P;
    if (i < p2) {
        path->level = 2;
        path->index[0] = uint32_t(i / P);
        path->index[1] = uint32_t(i % P);
        return;
    }
    i -= p2;
    path->level = 3;
    path->index[0] = uint32_t(i / p2);
    path->index[1] = uint32_t((i % p2) / P);
    path->index[2] = uint32_t(i % P);
}

uint32_t SizeInBlocks(uint32_t size, uint32_t B) {
    if (size == 0 || B < 4) return 0;
    const uint64_t P = B / 4;
    const uint64_t data = (uint64_t(size) + B - 1) / B;
    uint64_t total = data;
    if (data > ext2ino::kDirect) total += 1;
    if (data > ext2ino::kDirect + P) {
        uint64_t rest = std::min(data - ext2ino::kDirect - P, P * P);
        total += 1 + (rest + P - 1) / P;
    }
    if (data > ext2ino::kDirect + P + P * P) {
        uint64_t rest = data - ext2ino::kDirect - P - P * P;
        total += 1 + (rest + P * P - 1) / (P * P) + (rest + P - 1) / P;
    }
    return uint32_t(total);
}

} // namespace vk
