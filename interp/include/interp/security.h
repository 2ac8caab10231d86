// Password hashing and the security commands: a thin layer over nettle (DES
// with a raw 8-byte key, MD5) and libxcrypt (the traditional DES-based Unix
// crypt), the text encodings the commands use, and the command handlers.
#pragma once

#include <cstddef>
#include <cstdint>

#include <nettle/md5.h>

#include "platform/types.h"

namespace vk {

// ---- DES (FIPS 46), classic key-schedule / cipher interface ----

constexpr int kDesBlock = 8;

// Prepares the key schedule from 8 raw key bytes (the lowest bit of each
// byte is the ignored parity bit; weak keys are accepted).
void des_setkey(const char key[8]);
// Runs the block through DES with the key of the last des_setkey: count > 0
// encrypts count times, count < 0 decrypts -count times. Only salt 0 (plain
// DES) is offered; the salted crypt iteration lives in crypt(). Returns 0,
// or 1 for a non-zero salt (out is then left untouched).
int des_cipher(const char in[8], char out[8], long salt, int count);

// ---- MD5 (RFC 1321) ----

constexpr int kMd5Digest = 16;
struct MD5Context {
    md5_ctx state;
};
void MD5Init(MD5Context* context);
void MD5Update(MD5Context* context, const void* bytes, size_t length);
void MD5Final(uint8_t digest[kMd5Digest], MD5Context* context);

// ---- Traditional Unix crypt ----

constexpr int kCryptSize = 13; // result length without the NUL
// The traditional DES-based crypt(3): the first two salt characters, a
// missing one counting as ".", must come from "./0-9A-Za-z". Returns a static
// 13-character result (valid until the next call), or null when a salt
// character lies outside that alphabet.
const char* crypt(const char* key, const char* salt);
// 1 when the password fits the stored 13-character crypt string. With
// ignoreCase non-zero, every case combination of the first 8 characters is
// tried. A stored text that is not a traditional crypt string never matches.
int CheckPasswd(const char* password, const char* stored, int ignoreCase);

// ---- Text encodings of the commands ----

constexpr int kDesMaxText = 127;                             // longest text descrypt takes
constexpr int kDesMaxBlocks = (kDesMaxText + 1) / kDesBlock; // 16
constexpr int kDesMaxHex = kDesMaxBlocks * 2 * kDesBlock;    // 256 digits

// The 8 key bytes for a key string: its first 8 bytes, a shorter string
// extended with zero bytes.
void DesKeyFromString(const char* text, uint8_t key[kDesBlock]);
// Encrypts the text (ECB, zero filler, the NUL inside the last block when it
// fits) and writes 16 upper-case hex digits per block into hex, which must
// hold kDesMaxHex + 1 bytes. Returns 0, or 1 (hex left empty) for a text over
// kDesMaxText characters.
int DesEncodeText(const char* text, const char* key, char* hex);
// Decrypts groups of 16 hex digits (either case) and writes the bytes up to
// the first NUL into text, ended by a NUL; a byte 0xFF also ends the result,
// since a variable value cannot hold it. Output stops at size - 1 bytes.
// Returns 0, or 1 (text left empty) when a group is not 16 valid digits.
int DesDecodeHex(const char* hex, const char* key, char* text, size_t size);
// The 32 hex digits of a password as sent to the security server: its first
// 16 bytes (characters, NUL, zero filler) encrypted as two blocks with the
// program's fixed security key. hex must hold 33 bytes.
void EncodeServerPassword(const char* password, char hex[33]);

// ---- Security server requests ----

// True when the text can stand as one component of a request name: not
// empty, not "." or "..", and free of "/", "\", control characters and the
// quote marker, so it can neither leave its directory nor end its string.
bool IsSafeRequestPart(const char* text);
// Builds the command line that includes the answer of the security server:
// include, the quote marker, the gateway, ":", then the parts joined by "/",
// and the closing marker. Every part must pass IsSafeRequestPart, and the
// gateway must hold no quote marker or control character. Returns 0, or 1 when a part is refused or
// the line would not fit into size bytes (out is then left empty).
int BuildRequestLine(const char* gateway, const char* const* parts, int count, char* out,
                     size_t size);

// ---- Command handlers ----

Status ParseGetPasswd(char* args);
Status ParseCrypt(char* args);
Status ParseDESCrypt(char* args);
Status ParseDESDecrypt(char* args);
Status ParseMD5(char* args);
Status ParseCheckUser(char* args);

} // namespace vk
