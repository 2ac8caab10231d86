// Feeds random bytes to the load option reader, as a Boot#### variable of
// the firmware could hold them: an option that reads must write back to the
// same bytes, and its device path must lie inside the input.
#include <cstddef>
#include <cstdint>

#include "disk/efiboot.h"

using namespace vk::efi;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto option = ParseLoadOption({data, size});
    if (!option) return 0;
    if (option->devicePath.size() > size) __builtin_trap();
    auto again = WriteLoadOption(*option);
    if (again.size() != size) __builtin_trap();
    for (size_t i = 0; i < size; ++i)
        if (again[i] != data[i]) __builtin_trap();
    return 0;
}
