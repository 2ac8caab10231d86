// Expressions and typed arguments: numbers, comparisons, durations, colours,
// ranges, disk numbers and archive designators.
#pragma once

#include <cstdint>

namespace vk {

constexpr int32_t kExprFail = -2147483647; // failure value of NextExpr

enum CompareOp : int16_t {
    kOpFail = 0,
    kOpLess = 1,
    kOpLessEq = 2,
    kOpEqual = 3,
    kOpGreaterEq = 4,
    kOpGreater = 5,
    kOpNotEqual = 6,
};

int32_t NextExpr(char** cursor);
int16_t NextOp(char** cursor);
int32_t NextDuration(char** cursor);
int16_t NextColor(char** cursor);
int NextInterval(char** cursor, int16_t* first, int16_t* last);
int16_t NextHDNum(char** cursor);
constexpr int kDesignatorSize = 2 + 256;
int NextArchive(char** cursor, char* designator);

} // namespace vk
