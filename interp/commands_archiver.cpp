// Archive-creation commands of the archiver: filezip, the archive ends, the
// filters, copyarchive and its shorthands.
#include "interp/commands_archiver.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "archive/copy.h"
#include "archive/dump.h"
#include "archive/format.h"
#include "archive/zipfile.h"
#include "interp/commands_archive.h"
#include "interp/expr.h"
#include "interp/script.h"
#include "interp/tokenizer.h"
#include "interp/variables.h"
#include "platform/memory.h"

namespace vk {

// filezip source destination
Status ParseFileZip(char* args) {
    char *source, *destination;
    if (ReadTwoNames(args, &source, &destination)) return 1;
    if (ZipFile(source, destination) != 0)
        return Fail("Could not compress the file (invalid filename ?)");
    return 0;
}

// Filters ----------------------------------------------------------------------

namespace {

uint16_t lastfilter = 0;

// Keeps the largest number written just before the name's last character.
void ReadFilterVar(const char* name, const char*) {
    size_t length = std::strlen(name);
    if (length <= 7) return;
    size_t end = length - 1, start = end;
    while (start > 6 && std::isdigit(static_cast<unsigned char>(name[start - 1])))
        --start;
    uint32_t value = 0;
    for (size_t i = start; i < end; ++i) {
        value = value * 10 + uint32_t(name[i] - '0');
        if (value > 0xFFFF) value = 0xFFFF;
    }
    if (value > lastfilter) lastfilter = uint16_t(value);
}

} // namespace

uint16_t LastFilterLike(const char* pattern) {
    lastfilter = 0;
    ApplyVars(pattern, ReadFilterVar);
    return lastfilter;
}

uint16_t NumFilters() {
    return LastFilterLike("Filter*-");
}

FilterSet ReadFilters() {
    FilterSet filters;
    uint16_t n = NumFilters();
    for (uint16_t i = 1; i <= n; ++i) {
        char name[32];
        FilterRule rule;
        std::snprintf(name, sizeof name, "Filter%u-", unsigned(i));
        rule.exclusion = GetVar(name);
        std::snprintf(name, sizeof name, "Filter%u-*+", unsigned(i));
        uint16_t m = LastFilterLike(name);
        for (uint16_t j = 1; j <= m; ++j) {
            std::snprintf(name, sizeof name, "Filter%u-%u+", unsigned(i), unsigned(j));
            rule.exceptions.emplace_back(GetVar(name));
        }
        filters.push_back(std::move(rule));
    }
    return filters;
}

// filter + pattern | filter - pattern
Status ParseFilter(char* args) {
    while (*args == ' ' || *args == '\t')
        ++args;
    char sign = *args;
    if (sign != '+' && sign != '-') return Fail("+ or - expected");
    ++args;
    // The pattern may stand bare (up to the next blank) or in quotes.
    while (*args == ' ' || *args == '\t')
        ++args;
    char* pattern;
    if (*args != '\0' && static_cast<uint8_t>(*args) != kQuote) {
        pattern = args;
        while (*args != '\0' && *args != ' ' && *args != '\t')
            ++args;
        *args = '\0';
    } else {
        pattern = NextString(&args);
        if (!pattern) return 1;
    }
    if (*pattern == '/') ++pattern;
    uint16_t n = NumFilters();
    char name[32];
    if (sign == '-') {
        std::snprintf(name, sizeof name, "Filter%u-", unsigned(n) + 1);
    } else {
        char like[32];
        std::snprintf(like, sizeof like, "Filter%u-*+", unsigned(n));
        uint16_t m = LastFilterLike(like);
        std::snprintf(name, sizeof name, "Filter%u-%u+", unsigned(n), unsigned(m) + 1);
    }
    SetVar(name, pattern);
    return 0;
}

// Archive ends and the copy ----------------------------------------------------

// source <archive end>
Status ParseSource(char* args) {
    char designator[kDesignatorSize];
    if (NextArchive(&args, designator)) return 1;
    if (designator[0] == 'p') designator[0] = 'P';
    SetVar("SourceArchive", designator);
    return 0;
}

// destination <archive end>
Status ParseDestination(char* args) {
    char designator[kDesignatorSize];
    if (NextArchive(&args, designator)) return 1;
    SetVar("DestArchive", designator);
    return 0;
}

namespace {

Status RunCopy() {
    char source[kValueSize], destination[kValueSize];
    std::snprintf(source, sizeof source, "%s", GetVar("SourceArchive"));
    std::snprintf(destination, sizeof destination, "%s", GetVar("DestArchive"));
    FilterSet filters = ReadFilters();
    CopyRequest request;
    request.source = source;
    request.destination = destination;
    request.filters = &filters;
    request.fragmentSize = FragmentSize();
    request.dumpFlags = DumpWhat();
    const char* message = nullptr;
    int mark = MarkMemory();
    Status s = CopyAnyArchive(request, &message);
    RestoreMemory(mark);
    if (s) return Fail(message ? message : "Cannot open source\r\n");
    return 0;
}

// Runs one archive end through a parser with a keyword in front of it.
Status ParseEnd(Status (*parser)(char*), const char* keyword, const char* rest) {
    char text[kLineSize + 16];
    std::snprintf(text, sizeof text, "%s%s", keyword, rest);
    return parser(text);
}

// The two-argument shorthands: the first argument is the source path, the
// second the named destination of the given kind.
Status TwoEnds(char* args, const char* destinationKeyword) {
    if (ParseEnd(ParseSource, "path ", args)) return 1;
    if (!NextString(&args)) return 1;
    if (ParseEnd(ParseDestination, destinationKeyword, args)) return 1;
    return RunCopy();
}

Status DumpEnds(char* args, const char* sourceKeyword, const char* destination) {
    if (ParseEnd(ParseSource, sourceKeyword, args)) return 1;
    if (!NextString(&args)) return 1;
    if (NextNothing(args)) return 1;
    char text[16];
    std::snprintf(text, sizeof text, "%s", destination);
    if (ParseDestination(text)) return 1;
    return RunCopy();
}

} // namespace

// copyarchive
Status ParseCopyArchive(char* args) {
    if (NextNothing(args)) return 1;
    return RunCopy();
}

// fullzip path archive
Status ParseFullZip(char* args) {
    return TwoEnds(args, "archive ");
}

// incrzip path iarchive
Status ParseIncrZip(char* args) {
    return TwoEnds(args, "iarchive ");
}

// xcopy path path
Status ParseXCopy(char* args) {
    return TwoEnds(args, "path ");
}

// fulldump archive
Status ParseFullDump(char* args) {
    return DumpEnds(args, "archive ", "dump");
}

// incrdump iarchive
Status ParseIncrDump(char* args) {
    return DumpEnds(args, "iarchive ", "idump");
}

} // namespace vk
