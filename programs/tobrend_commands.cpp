// The batch program's command table: the common rows and the TFTP test.
#include "commandtable.h"
#include "tobrend_net.h"

namespace vk {

namespace {

constexpr std::array kTobrendRows = {
    Command{"testtftp", ParseTestTFTP},
};

constexpr auto kTobrend = JoinRows(kCommonRows, kTobrendRows);

} // namespace

const Command* TobrendCommandTable() {
    return kTobrend.data();
}

} // namespace vk
