// The archiver's command table: the common rows and the archive commands.
#include "commandtable.h"

namespace vk {

namespace {

constexpr std::array kPeltoRows = {
    Command{"filezip", ParseFileZip},
};

constexpr auto kPelto = JoinRows(kCommonRows, kPeltoRows);

} // namespace

const Command* PeltoCommandTable() {
    return kPelto.data();
}

} // namespace vk
