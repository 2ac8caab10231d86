// The registered full-archive source.
#include "archive/source.h"

namespace vk {

namespace {
const FullArchiveSource* registered = nullptr;
} // namespace

void SetFullArchiveSource(const FullArchiveSource* source) {
    registered = source;
}

const FullArchiveSource* GetFullArchiveSource() {
    return registered;
}

} // namespace vk
