// DES block operations over nettle, and the hexadecimal text encodings of
// the descrypt and desdecrypt commands and of the security server password.
#include <cstring>

#include <nettle/des.h>

#include "interp/security.h"
#include "platform/security_key.h"
#include "platform/util.h"

namespace vk {

namespace {

// The key schedule of the last des_setkey; all-zero until then.
des_ctx schedule;

void EncryptBlock(const uint8_t in[kDesBlock], uint8_t out[kDesBlock]) {
    nettle_des_encrypt(&schedule, kDesBlock, out, in);
}

void DecryptBlock(const uint8_t in[kDesBlock], uint8_t out[kDesBlock]) {
    nettle_des_decrypt(&schedule, kDesBlock, out, in);
}

void SetKeyFromString(const char* text) {
    uint8_t key[kDesBlock];
    DesKeyFromString(text, key);
    des_setkey(reinterpret_cast<const char*>(key));
}

} // namespace

void des_setkey(const char key[8]) {
    // nettle reports weak keys by its result but still builds the schedule;
    // the commands accept any key, as the classic interface did.
    (void)nettle_des_set_key(&schedule, reinterpret_cast<const uint8_t*>(key));
}

int des_cipher(const char in[8], char out[8], long salt, int count) {
    if (salt != 0) return 1;
    uint8_t block[kDesBlock];
    std::memcpy(block, in, kDesBlock);
    for (int i = 0; i < count; ++i)
        EncryptBlock(block, block);
    for (int i = 0; i > count; --i)
        DecryptBlock(block, block);
    std::memcpy(out, block, kDesBlock);
    return 0;
}

void DesKeyFromString(const char* text, uint8_t key[kDesBlock]) {
    std::memset(key, 0, kDesBlock);
    for (int i = 0; i < kDesBlock && text[i] != '\0'; ++i)
        key[i] = uint8_t(text[i]);
}

int DesEncodeText(const char* text, const char* key, char* hex) {
    hex[0] = '\0';
    const size_t length = std::strlen(text);
    if (length > size_t(kDesMaxText)) return 1;
    // Enough blocks to cover the characters; the NUL and the zero filler
    // complete the last one.
    const size_t blocks = (length + kDesBlock - 1) / kDesBlock;
    uint8_t buffer[kDesMaxBlocks * kDesBlock] = {};
    std::memcpy(buffer, text, length);
    SetKeyFromString(key);
    for (size_t b = 0; b < blocks; ++b) {
        uint8_t* block = buffer + b * kDesBlock;
        EncryptBlock(block, block);
        BinToHex(block, hex + b * 2 * kDesBlock, kDesBlock);
    }
    hex[blocks * 2 * kDesBlock] = '\0';
    return 0;
}

int DesDecodeHex(const char* hex, const char* key, char* text, size_t size) {
    if (size > 0) text[0] = '\0';
    const size_t length = std::strlen(hex);
    // Every group must be complete and valid before anything is produced.
    for (size_t i = 0; i < length; ++i) {
        const char c = hex[i];
        const bool digit =
            (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
        if (!digit) return 1;
    }
    if (length % (2 * kDesBlock) != 0) return 1;
    SetKeyFromString(key);
    size_t out = 0;
    bool ended = false;
    for (size_t g = 0; g < length && !ended; g += 2 * kDesBlock) {
        char digits[2 * kDesBlock + 1];
        std::memcpy(digits, hex + g, 2 * kDesBlock);
        digits[2 * kDesBlock] = '\0';
        uint8_t block[kDesBlock];
        if (HexToBin(digits, block, kDesBlock) != 0) return 1;
        DecryptBlock(block, block);
        for (int i = 0; i < kDesBlock; ++i) {
            if (block[i] == 0 || block[i] == 0xFF || out + 1 >= size) {
                ended = true;
                break;
            }
            text[out++] = char(block[i]);
        }
        std::memset(block, 0, sizeof block);
    }
    if (size > 0) text[out] = '\0';
    return 0;
}

void EncodeServerPassword(const char* password, char hex[33]) {
    uint8_t buffer[2 * kDesBlock] = {};
    // Characters, the NUL and zero filler; a longer password is cut to 16.
    for (size_t i = 0; i < sizeof buffer && password[i] != '\0'; ++i)
        buffer[i] = uint8_t(password[i]);
    des_setkey(kSecurityKey);
    for (int b = 0; b < 2; ++b) {
        uint8_t* block = buffer + b * kDesBlock;
        EncryptBlock(block, block);
        BinToHex(block, hex + b * 2 * kDesBlock, kDesBlock);
    }
    hex[4 * kDesBlock] = '\0';
    explicit_bzero(buffer, sizeof buffer);
}

} // namespace vk
