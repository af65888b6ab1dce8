// The folder scan: the entries of a folder whose names match a wildcard
// pattern, matched by the tool itself whatever the platform offers.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Platform.h"

// True when `name` as a whole matches `pattern`: "*" any run of bytes, the
// empty run included, "?" one byte; ASCII letters match either case, and a
// leading "." is matched like any other byte.
bool WildcardMatch(std::string_view pattern, std::string_view name);

struct DirectoryScan {
  platform::FolderSearch search;
  bool hasSearch = false;  // false: the listing is read to its end (or nothing matched)
  // An entry read but not yet handed out: the first one the search found,
  // or the one read when memory for `listed` ran out.
  bool hasPending = false;
  platform::FolderEntry pending;
  platform::FolderEntry current;
  std::string pattern;
  platform::ErrorCode error = 0;  // why the folder could not be read to its end, 0 where it was
  // The matching entries read when the scan began, handed out first.
  std::vector<platform::FolderEntry> listed;
  std::size_t handed = 0;
};

// Starts enumerating the entries of `folder` whose names match `pattern`
// ("*.*" when empty): those of `within` where it is `folder` held open
// (platform::StartFolderSearch). The whole listing is read now, as far as
// memory allows (the rest as the entries are asked for): an entry that
// another program renames meanwhile is still handed out under the name it
// had, where a listing read along the way could pass it by under both. An
// empty result is a success; a folder that cannot be searched is a failure
// (the reason in `*error`), and the scan must then not be finished.
bool BeginScan(DirectoryScan* scan, std::string_view folder, std::string_view pattern,
               platform::ErrorCode* error = nullptr, platform::FolderHandle within = platform::kNoFolder);
// True while there is another entry, which becomes the current one. False
// at the end, or where the folder cannot be read on (scan->error).
bool NextEntry(DirectoryScan* scan);
bool EntryIsDirectory(const DirectoryScan& scan);
// True for a pipe, device or socket, links followed, as the listing found it.
bool EntryIsSpecial(const DirectoryScan& scan);
const std::string& EntryName(const DirectoryScan& scan);
void FinishScan(DirectoryScan* scan);
