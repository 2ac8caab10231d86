// The security commands: getpasswd, crypt, descrypt, desdecrypt, md5 and
// checkuser.
#include <cstdio>
#include <cstring>
#include <strings.h>

#include "interp/expr.h"
#include "interp/script.h"
#include "interp/security.h"
#include "interp/tokenizer.h"
#include "interp/variables.h"
#include "platform/util.h"

namespace vk {

namespace {

// Copies a string read from `line` into a buffer of its own, since the
// request below overwrites the line.
void CopyArgument(char (&to)[kLineSize], const char* from) {
    std::snprintf(to, sizeof to, "%s", from);
}

// Runs a finished command line under the source name "CheckUser" as line 1,
// as a substituted one-line source would run, but without passing the text
// through substitution again: its quote markers are already in place and
// nothing in it is read as a variable reference or an escape.
Status RunRequest(const char* text) {
    char savedFile[kNameSize];
    std::memcpy(savedFile, currfile, sizeof savedFile);
    const uint16_t savedLine = lineno;
    std::snprintf(currfile, sizeof currfile, "%s", "CheckUser");
    lineno = 1;
    std::snprintf(line, sizeof line, "%s", text);
    const Status status = ParseLine(line);
    std::memcpy(currfile, savedFile, sizeof currfile);
    lineno = savedLine;
    return status;
}

// Builds and runs the request for the answer named by parts under the
// security gateway. A request that cannot be named safely is not sent.
void SendRequest(const char* const* parts, int count) {
    char gateway[kLineSize];
    CopyArgument(gateway, GetVar("Security-Gateway"));
    char request[kLineSize];
    if (BuildRequestLine(gateway, parts, count, request, sizeof request) != 0) {
        Log("WARNING: checkuser: user name or method cannot be sent to the security server\r\n");
        return;
    }
    // The include reports its own failures; checkuser goes on regardless.
    (void)RunRequest(request);
    explicit_bzero(request, sizeof request);
}

} // namespace

// getpasswd [name [length]]
Status ParseGetPasswd(char* args) {
    char* p = args;
    char* name = NextWord(&p);
    int size = kLineSize;
    if (name[0] != '\0' && *SkipBlanks(p) != '\0') {
        int32_t length = NextExpr(&p);
        if (length == kExprFail) return 1;
        // The buffer holds 255 characters whatever length is asked.
        if (length < 0) length = 0;
        if (length > kLineSize - 1) length = kLineSize - 1;
        size = int(length) + 1;
    }
    if (NextNothing(p)) return 1;
    char password[kLineSize];
    InputPasswd(password, size);
    if (name[0] != '\0') SetVar(name, password);
    explicit_bzero(password, sizeof password);
    return 0;
}

// crypt key salt name
Status ParseCrypt(char* args) {
    char* p = args;
    const char* key = NextString(&p);
    if (key == nullptr) return 1;
    const char* salt = NextString(&p);
    if (salt == nullptr) return 1;
    char* name = NextVariableName(&p);
    if (name == nullptr || NextNothing(p)) return 1;
    const char* hash = crypt(key, salt);
    if (hash == nullptr) return Fail("Invalid salt");
    SetVar(name, hash);
    return 0;
}

// descrypt text key name
Status ParseDESCrypt(char* args) {
    char* p = args;
    const char* text = NextString(&p);
    if (text == nullptr) return 1;
    if (std::strlen(text) > size_t(kDesMaxText)) return Fail("String too long to be DES-encoded");
    const char* key = NextString(&p);
    if (key == nullptr) return 1;
    char* name = NextVariableName(&p);
    if (name == nullptr || NextNothing(p)) return 1;
    char hex[kDesMaxHex + 1];
    DesEncodeText(text, key, hex);
    SetVar(name, hex);
    return 0;
}

// desdecrypt hex key name
Status ParseDESDecrypt(char* args) {
    char* p = args;
    const char* hex = NextString(&p);
    if (hex == nullptr) return 1;
    const char* key = NextString(&p);
    if (key == nullptr) return 1;
    char* name = NextVariableName(&p);
    if (name == nullptr || NextNothing(p)) return 1;
    char text[kLineSize];
    if (DesDecodeHex(hex, key, text, sizeof text) != 0) return Fail("Invalid DES code");
    SetVar(name, text);
    explicit_bzero(text, sizeof text);
    return 0;
}

// md5 text name
Status ParseMD5(char* args) {
    char* p = args;
    const char* text = NextString(&p);
    if (text == nullptr) return 1;
    char* name = NextVariableName(&p);
    if (name == nullptr || NextNothing(p)) return 1;
    MD5Context context;
    MD5Init(&context);
    MD5Update(&context, text, std::strlen(text));
    uint8_t digest[kMd5Digest];
    MD5Final(digest, &context);
    char hex[2 * kMd5Digest + 1];
    BinToHex(digest, hex, kMd5Digest);
    SetVar(name, hex);
    return 0;
}

// checkuser user password method
Status ParseCheckUser(char* args) {
    char* p = args;
    const char* userArg = NextString(&p);
    if (userArg == nullptr) return 1;
    char* passwordArg = NextString(&p);
    if (passwordArg == nullptr) return 1;
    const char* methodArg = NextString(&p);
    if (methodArg == nullptr || NextNothing(p)) return 1;

    char user[kLineSize];
    char password[kLineSize];
    char method[kLineSize];
    CopyArgument(user, userArg);
    CopyArgument(password, passwordArg);
    CopyArgument(method, methodArg);
    // The clear password need not stay in the line buffer.
    explicit_bzero(passwordArg, std::strlen(passwordArg));

    if (strcasecmp(method, "unix") == 0) {
        // The server's answer sets Security-Passwd to the user's crypt
        // string. An answer left from an earlier request (another user, or
        // a server that did not answer now) must not be compared.
        SetVar("Security-Passwd", "");
        const char* parts[] = {"getpasswd", user};
        SendRequest(parts, 2);
        char stored[kLineSize];
        CopyArgument(stored, GetVar("Security-Passwd"));
        SetVar("Security-Check", CheckPasswd(password, stored, 0) ? "PASSED" : "FAILED");
    } else {
        // The server's answer sets Security-Check itself; without an answer
        // the check has failed, whatever an earlier check gave.
        SetVar("Security-Check", "FAILED");
        char encoded[33];
        EncodeServerPassword(password, encoded);
        const char* parts[] = {"checkuser", method, user, encoded};
        SendRequest(parts, 4);
        explicit_bzero(encoded, sizeof encoded);
    }
    explicit_bzero(password, sizeof password);
    return 0;
}

} // namespace vk
