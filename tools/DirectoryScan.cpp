#include "tools/DirectoryScan.h"

#include <new>
#include <utility>

bool WildcardMatch(std::string_view pattern, std::string_view name) {
  auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  // Greedy match with one backtrack point at the last "*": linear in
  // practice, never exponential.
  std::size_t p = 0, n = 0;
  std::size_t starP = std::string_view::npos, starN = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      starP = p++;
      starN = n;
    } else if (p < pattern.size() && (pattern[p] == '?' || fold(pattern[p]) == fold(name[n]))) {
      ++p;
      ++n;
    } else if (starP != std::string_view::npos) {
      p = starP + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

namespace {

// The next matching entry of the folder as it is read, in `current`.
bool ReadOnward(DirectoryScan* scan) {
  if (!scan->hasSearch) return false;
  for (;;) {
    if (scan->hasPending) {
      scan->hasPending = false;
      scan->current = std::move(scan->pending);
    } else if (!platform::ContinueFolderSearch(&scan->search, &scan->current, &scan->error)) {
      return false;
    }
    // The platform may offer more than the pattern matches (short names,
    // or no matching of its own): only whole long names count.
    if (WildcardMatch(scan->pattern, scan->current.name)) return true;
  }
}

// Reads the rest of the listing into `listed`. Where the list cannot grow,
// the entry just read waits as the pending one, and the rest is read as it
// is asked for.
void ReadListing(DirectoryScan* scan) {
  while (ReadOnward(scan)) {
    try {
      scan->listed.push_back(std::move(scan->current));
    } catch (const std::bad_alloc&) {
      // (Nothing was moved: a vector that cannot grow is left as it was.)
      scan->pending = std::move(scan->current);
      scan->hasPending = true;
      return;
    }
  }
  platform::FinishFolderSearch(&scan->search);
  scan->hasSearch = false;
}

}  // namespace

bool BeginScan(DirectoryScan* scan, std::string_view folder, std::string_view pattern, platform::ErrorCode* error,
               platform::FolderHandle within) {
  scan->pattern = pattern.empty() ? std::string("*.*") : std::string(pattern);
  std::string searchText(folder);
  if (!searchText.empty() && searchText.back() != platform::kPathSeparator) {
    searchText += platform::kPathSeparator;
  }
  searchText += scan->pattern;
  platform::ErrorCode ignored = 0;
  switch (platform::StartFolderSearch(searchText.c_str(), &scan->search, &scan->pending, error ? error : &ignored,
                                      within)) {
    case platform::SearchStart::Found:
      scan->hasSearch = true;
      scan->hasPending = true;
      ReadListing(scan);
      return true;
    case platform::SearchStart::NothingMatched:
      scan->hasSearch = false;
      scan->hasPending = false;
      return true;
    case platform::SearchStart::Failed:
      break;
  }
  return false;
}

bool NextEntry(DirectoryScan* scan) {
  if (scan->handed < scan->listed.size()) {
    scan->current = std::move(scan->listed[scan->handed++]);
    return true;
  }
  return ReadOnward(scan);
}

bool EntryIsDirectory(const DirectoryScan& scan) { return scan.current.isDirectory; }

bool EntryIsSpecial(const DirectoryScan& scan) { return scan.current.isSpecial; }

const std::string& EntryName(const DirectoryScan& scan) { return scan.current.name; }

void FinishScan(DirectoryScan* scan) {
  if (scan->hasSearch) platform::FinishFolderSearch(&scan->search);
  scan->hasSearch = false;
  scan->listed = std::vector<platform::FolderEntry>();
  scan->handed = 0;
}
