// The traditional DES-based Unix crypt (through libxcrypt) and the password
// check that scripts use against stored crypt strings.
#include <crypt.h>

#include <cstring>

#include "interp/security.h"

namespace vk {

namespace {

constexpr char kCryptAlphabet[] =
    "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

bool InAlphabet(char c) {
    return c != '\0' && std::strchr(kCryptAlphabet, c) != nullptr;
}

// libxcrypt's work area; large, so kept static rather than on the stack.
crypt_data work;
char result[kCryptSize + 1];

// A traditional crypt string: two salt characters and eleven hash
// characters, all from the crypt alphabet.
bool IsTraditionalHash(const char* stored) {
    for (int i = 0; i < kCryptSize; ++i)
        if (!InAlphabet(stored[i])) return false;
    return stored[kCryptSize] == '\0';
}

// Compares without an early exit, so the time taken says nothing about how
// many characters matched.
bool SameHash(const char* a, const char* b) {
    unsigned diff = 0;
    for (int i = 0; i < kCryptSize; ++i)
        diff |= unsigned(uint8_t(a[i]) ^ uint8_t(b[i]));
    return diff == 0;
}

bool Fits(const char* password, const char* stored) {
    const char* hash = crypt(password, stored);
    return hash != nullptr && SameHash(hash, stored);
}

char UpperAscii(char c) {
    return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c;
}
char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

} // namespace

const char* crypt(const char* key, const char* salt) {
    // Only the two-character traditional setting reaches the library, so a
    // salt such as "$1" can never select another hashing method.
    char setting[3];
    setting[0] = salt[0] != '\0' ? salt[0] : '.';
    setting[1] = (salt[0] != '\0' && salt[1] != '\0') ? salt[1] : '.';
    setting[2] = '\0';
    if (!InAlphabet(setting[0]) || !InAlphabet(setting[1])) return nullptr;
    const char* hash = crypt_rn(key, setting, &work, sizeof work);
    if (hash == nullptr || std::strlen(hash) != size_t(kCryptSize)) return nullptr;
    std::memcpy(result, hash, kCryptSize + 1);
    explicit_bzero(&work, sizeof work);
    return result;
}

int CheckPasswd(const char* password, const char* stored, int ignoreCase) {
    if (!IsTraditionalHash(stored)) return 0;
    if (ignoreCase == 0) return Fits(password, stored) ? 1 : 0;

    // Only the first 8 characters count in a traditional crypt; try every
    // combination of upper and lower case over them.
    char trial[kDesBlock + 1] = {};
    int n = 0;
    while (n < kDesBlock && password[n] != '\0') {
        trial[n] = UpperAscii(password[n]);
        ++n;
    }
    int match = 0;
    for (int mask = (1 << n) - 1; mask >= 0 && match == 0; --mask) {
        // A bit over a character without case gives the attempt of the mask
        // without it, which is tried anyway.
        bool repeat = false;
        for (int i = 0; i < n; ++i)
            if ((mask >> i) & 1 && LowerAscii(trial[i]) == trial[i]) repeat = true;
        if (repeat) continue;
        char attempt[kDesBlock + 1] = {};
        for (int i = 0; i < n; ++i)
            attempt[i] = (mask >> i) & 1 ? LowerAscii(trial[i]) : trial[i];
        if (Fits(attempt, stored)) match = 1;
        explicit_bzero(attempt, sizeof attempt);
    }
    explicit_bzero(trial, sizeof trial);
    return match;
}

} // namespace vk
