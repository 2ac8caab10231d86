// The batch program's command table: the common rows.
#include "commandtable.h"

namespace vk {

namespace {

constexpr std::array<Command, 0> kTobrendRows = {};

constexpr auto kTobrend = JoinRows(kCommonRows, kTobrendRows);

} // namespace

const Command* TobrendCommandTable() {
    return kTobrend.data();
}

} // namespace vk
