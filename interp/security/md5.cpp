// MD5 (RFC 1321) in the classic Init/Update/Final shape, over nettle.
#include "interp/security.h"

namespace vk {

void MD5Init(MD5Context* context) {
    nettle_md5_init(&context->state);
}

void MD5Update(MD5Context* context, const void* bytes, size_t length) {
    nettle_md5_update(&context->state, length, static_cast<const uint8_t*>(bytes));
}

void MD5Final(uint8_t digest[kMd5Digest], MD5Context* context) {
    // nettle also resets the context, ready for the next message.
    nettle_md5_digest(&context->state, kMd5Digest, digest);
}

} // namespace vk
