// Handlers of the archiver's archive-creation commands: the archive ends,
// the filters, the copy engine and its shorthands. Each takes the argument
// text behind its keyword and returns 0, or non-zero with errormsg set.
#pragma once

#include "archive/copy.h"
#include "platform/types.h"

namespace vk {

Status ParseSource(char* args);      // source <archive end>
Status ParseDestination(char* args); // destination <archive end> (also dest)
Status ParseFilter(char* args);      // filter + pattern | filter - pattern
Status ParseCopyArchive(char* args); // copyarchive
Status ParseFullZip(char* args);     // fullzip path archive
Status ParseIncrZip(char* args);     // incrzip path iarchive
Status ParseFullDump(char* args);    // fulldump archive
Status ParseIncrDump(char* args);    // incrdump iarchive
Status ParseXCopy(char* args);       // xcopy path path

// The highest filter number among the variables whose names match pattern:
// "Filter*-" gives the last exclusion, "Filter<i>-*+" the last exception of
// exclusion i.
uint16_t LastFilterLike(const char* pattern);
uint16_t NumFilters();
// The filters as the variables hold them now.
FilterSet ReadFilters();

} // namespace vk
