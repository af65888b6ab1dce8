// Test knobs of the platform seam, beside and not inside Platform.h: any
// call the converter makes of the platform can be made to fail, in-process,
// with a chosen reason at its Nth use. Both backends ask PlannedFault at the
// top of each such call; with nothing planned that costs one load and one
// branch that is never taken.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/Platform.h"

namespace platform {

// The calls a fault can be planned for.
enum class Call : std::uint8_t {
  Open,             // OpenFolder, OpenFileForReading
  Read,             // ReadFromFile
  Write,            // WriteToFile
  Sync,             // SyncFiles, SyncFolder
  Close,            // CloseFile
  CreateExclusive,  // CreateExclusive, CreateUnnamed
  Rename,           // RenameInFolder, NameFile
  Remove,           // RemoveFromFolder
  Status,           // StatusOfFile, StatusInFolder
  Lock,             // LockFile
  Memory,           // GrowArena (the error is not used: it reports no reason)
  List,             // StartFolderSearch, ContinueFolderSearch: reading a folder's entries
  kCount
};

// The `nth` use of `call` from now on (1: the next one) fails with `error`;
// one plan per call, replacing any earlier one.
void PlanFault(Call call, unsigned nth, ErrorCode error);

// Forgets every plan.
void ClearFaults();

// Every read asks the system for at most `bytes` (0: no cap), as a file
// that gives short reads would; cleared by ClearFaults too.
void CapReads(std::size_t bytes);

// Called with the size of every write asked of the platform (null: none);
// cleared by ClearFaults too.
void ObserveWrites(void (*observer)(std::size_t size));

// Called at the start of every call the platform is asked to make (null:
// none), before any fault planned for it; cleared by ClearFaults too.
void ObserveCalls(void (*observer)(Call call));

// How often `call` was made since the last ClearFaults (counted only while
// a plan is set, so that the product pays nothing for it).
unsigned CallsMade(Call call);

namespace faults {
extern bool gPlanned;  // a plan, a cap or an observer is set
ErrorCode Take(Call call);
std::size_t ReadSize(std::size_t size);
void NoteWrite(std::size_t size);
}  // namespace faults

// The reason `call` must fail with now, or 0 when it goes ahead.
inline ErrorCode PlannedFault(Call call) {
  if (__builtin_expect(!faults::gPlanned, 1)) return 0;
  return faults::Take(call);
}

}  // namespace platform
