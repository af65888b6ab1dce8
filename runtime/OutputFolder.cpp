#include "runtime/OutputFolder.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <utility>

namespace {

const char kTemporaryPrefix[] = ".BrushPreset_Convertion-";
const char kTemporarySuffix[] = ".unfinished";
// More staged files would not make the batch's one sync much cheaper per
// file, and each holds a descriptor.
constexpr std::size_t kMostStaged = 128;

bool gSlotTaken[platform::kPendingSlots];

int TakeSlot() {
  for (int slot = 0; slot < platform::kPendingSlots; ++slot) {
    if (!gSlotTaken[slot]) {
      gSlotTaken[slot] = true;
      return slot;
    }
  }
  return -1;
}

void GiveBackSlot(PendingOutput* output) {
  if (output->slot < 0) return;
  platform::ForgetPendingFile(output->slot);
  gSlotTaken[output->slot] = false;
  output->slot = -1;
}

// A name this tool gives its temporary files, <prefix><pid>-<n><suffix>,
// and nothing else: a user's file that merely begins and ends alike is not
// a leftover.
bool IsTemporaryName(const std::string& name) {
  const std::size_t prefix = sizeof kTemporaryPrefix - 1;
  const std::size_t suffix = sizeof kTemporarySuffix - 1;
  if (name.size() <= prefix + suffix || name.compare(0, prefix, kTemporaryPrefix) != 0 ||
      name.compare(name.size() - suffix, suffix, kTemporarySuffix) != 0) {
    return false;
  }
  const std::string numbers = name.substr(prefix, name.size() - prefix - suffix);
  const std::size_t dash = numbers.find('-');
  return dash != 0 && dash != std::string::npos && dash + 1 < numbers.size() &&
         numbers.find_first_not_of("0123456789", 0) == dash &&
         numbers.find_first_not_of("0123456789", dash + 1) == std::string::npos;
}

// Whether `name` names the output's file, and not a file, link or folder
// that has taken its place.
bool NamesOwnFile(OutputFolder* outputs, const std::string& name, const platform::FileIdentity& identity) {
  platform::EntryStatus status;
  platform::ErrorCode ignored = 0;
  return platform::StatusInFolder(outputs->folder, name.c_str(), false, &status, &ignored) &&
         status.kind == platform::EntryKind::File && platform::SameIdentity(status.identity, identity);
}

// Why an output may not take the place of what stands at `name`,
// `existing`, 0 where it may: a folder or another non-regular file, which
// is no older conversion; the input itself, `input` (nullptr: none),
// reached through a link or a hard link, which would change an input; a
// read-only file, which is how a user keeps one. Where a link cannot be
// followed, why.
platform::ErrorCode RefusalAt(OutputFolder* outputs, const char* name, const platform::EntryStatus& existing,
                              const platform::FileIdentity* input) {
  if (existing.kind == platform::EntryKind::Folder) return platform::kIsAFolder;
  if (existing.kind == platform::EntryKind::Other) return platform::kNotARegularFile;
  if (input != nullptr && existing.kind != platform::EntryKind::None) {
    platform::EntryStatus target = existing;
    platform::ErrorCode error = 0;
    if (existing.kind == platform::EntryKind::Link &&
        !platform::StatusInFolder(outputs->folder, name, true, &target, &error)) {
      return error;
    }
    if (target.kind != platform::EntryKind::None && platform::SameIdentity(target.identity, *input)) {
      return platform::kSameFile;
    }
  }
  return existing.kind == platform::EntryKind::File && !existing.writable ? platform::kReadOnly : 0;
}

// Removes `name` while it names the output's file; never a file that has
// taken its place.
void RemoveOwnFile(OutputFolder* outputs, const std::string& name, const platform::FileIdentity& identity) {
  platform::ErrorCode ignored = 0;
  if (NamesOwnFile(outputs, name, identity)) platform::RemoveFromFolder(outputs->folder, name.c_str(), &ignored);
}

// Whether the complete output waits for its batch's sync where another
// program could write into it: an older output's replacement, on POSIX.
// Only those are looked at again before their rename.
bool WaitsExposed(const PendingOutput& output) {
  return platform::kOthersWriteOpenFiles && output.replacesFile && !output.keepsOlder;
}

void RemoveTemporary(OutputFolder* outputs, PendingOutput* output) {
  RemoveOwnFile(outputs, output->temporaryName, output->temporary);
  GiveBackSlot(output);
}

// Closes the complete temporary file and renames it over its name. The
// file is closed before anything that may need memory (on Windows, the
// paths made for the system). A second handle holds its lock (on Windows,
// keeps it open) up to the rename: another run's sweep would take the
// closed file for a leftover. That handle goes before the file is removed
// on failure, which on Windows it would keep from this process too.
bool PutInPlace(OutputFolder* outputs, PendingOutput* output, platform::FileHandle file, platform::ErrorCode* error,
                bool* renaming) {
  const platform::FileHandle lock = platform::KeepLockAfterClose(file);
  const auto release = [lock] {
    if (lock != platform::kNoFile) platform::CloseFile(lock);
  };
  // The lock binds only the programs that ask for it: another one that
  // may write the file could have written into it since it was complete
  // (as it waited for its batch's sync), and those bytes would be renamed
  // into place. Its size and change time tell.
  bool done = true;
  if (WaitsExposed(*output)) {
    platform::FileStatus now;
    done = platform::StatusOfFile(file, &now, error);
    if (done && (now.size != output->written.size || now.changeTime != output->written.changeTime)) {
      done = false;
      *error = platform::kReplaced;
    }
  }
  *renaming = !done;
  if (!platform::CloseFile(file) && done) {
    done = false;
    *error = platform::LastError();
  }
  if (done) {
    *renaming = true;
    try {
      // Another program that can write to the folder may have moved the
      // file, or put a link or another file at its name (on Linux, where
      // the rename goes by name): only the output's own file is renamed.
      // Should one be put there in the instant between the look and the
      // rename, the output's name does not hold the output's file once
      // renamed: that is told too, never counted converted, and the older
      // conversion is gone.
      done = NamesOwnFile(outputs, output->temporaryName, output->temporary);
      if (!done) *error = platform::kReplaced;
      done = done && platform::RenameInFolder(outputs->folder, output->temporaryName.c_str(), output->name.c_str(),
                                              lock, error);
      if (done && !NamesOwnFile(outputs, output->name, output->temporary)) {
        done = false;
        *error = platform::kReplaced;
        output->replacesFile = false;
      }
    } catch (const std::bad_alloc&) {
      release();
      throw;
    }
  }
  release();
  if (done) {
    GiveBackSlot(output);
  } else {
    RemoveTemporary(outputs, output);
  }
  return done;
}

// Gives the output a temporary name, noted for the signal handler before
// any signal can end the process: a file created there, or the `unnamed`
// one named there. kNoFile, with the reason, on failure (`unnamed` then
// still open and unnamed).
platform::FileHandle CreateTemporary(OutputFolder* outputs, std::uint32_t bits, PendingOutput* output,
                                     platform::FileHandle unnamed, platform::ErrorCode* error) {
  static unsigned counter = 0;
  // Asked once: the process stays the one it was.
  static const std::string process = std::to_string(platform::ProcessNumber());
  platform::FileHandle file = platform::kNoFile;
  for (int attempt = 0; attempt < 100 && file == platform::kNoFile; ++attempt) {
    output->temporaryName = kTemporaryPrefix + process + "-" + std::to_string(++counter) + kTemporarySuffix;
    platform::HoldInterruptions(true);
    if (unnamed != platform::kNoFile) {
      if (platform::NameFile(outputs->folder, unnamed, output->temporaryName.c_str(), error)) file = unnamed;
    } else {
      file = platform::CreateExclusive(outputs->folder, output->temporaryName.c_str(), bits, error);
      platform::FileStatus status;
      if (file != platform::kNoFile && !platform::StatusOfFile(file, &status, error)) {
        platform::CloseFile(file);
        platform::ErrorCode ignored = 0;
        platform::RemoveFromFolder(outputs->folder, output->temporaryName.c_str(), &ignored);
        file = platform::kNoFile;
      } else if (file != platform::kNoFile) {
        output->temporary = status.identity;
      }
    }
    if (file != platform::kNoFile) {
      output->slot = TakeSlot();
      if (output->slot >= 0) {
        platform::NotePendingFile(output->slot, outputs->folder, output->temporaryName.c_str(), output->temporary);
      }
    }
    platform::HoldInterruptions(false);
    if (file == platform::kNoFile && *error != platform::kExists) break;
  }
  return file;
}

// Creates the output's file under a temporary name, locked. Another run's
// sweep takes an unlocked temporary file for a leftover: where it took this
// one before its lock (holding it, or having removed its name), another
// name is tried.
platform::FileHandle CreateLockedTemporary(OutputFolder* outputs, PendingOutput* output, platform::ErrorCode* error) {
  for (int attempt = 0;; ++attempt) {
    platform::FileHandle file = CreateTemporary(outputs, output->bits, output, platform::kNoFile, error);
    if (file == platform::kNoFile) return platform::kNoFile;
    platform::EntryStatus named;
    const bool locked = platform::LockFile(file, error);
    if (locked && !platform::kSweepsHonourLocks) return file;
    const bool looked =
        locked && platform::StatusInFolder(outputs->folder, output->temporaryName.c_str(), false, &named, error);
    const bool stillNamed =
        looked && named.kind == platform::EntryKind::File && platform::SameIdentity(named.identity, output->temporary);
    if (stillNamed) return file;
    // A sweep holds its lock, or has removed its name.
    const bool lost = locked ? looked : *error == platform::kHeld;
    platform::CloseFile(file);
    RemoveTemporary(outputs, output);
    if (!lost) return platform::kNoFile;
    if (attempt == 7) {
      *error = platform::kHeld;
      return platform::kNoFile;
    }
  }
}

// Creates an output's file of no name. Its identity is kept to remove its
// name again, should closing it fail once it has one.
platform::FileHandle CreateUnnamedOutput(OutputFolder* outputs, std::uint32_t bits, PendingOutput* output,
                                         platform::ErrorCode* error) {
  platform::FileHandle file = platform::CreateUnnamed(outputs->folder, bits, error);
  platform::FileStatus status;
  if (file != platform::kNoFile && !platform::StatusOfFile(file, &status, error)) {
    platform::CloseFile(file);
    return platform::kNoFile;
  }
  if (file != platform::kNoFile) {
    output->unnamed = true;
    output->temporary = status.identity;
  }
  return file;
}

// Names a complete output written unnamed. True when that is settled: it
// is in place, or it failed and is told (its file closed: gone while
// unnamed, its name removed if closing failed once named). False when a
// file has taken the name since the output began: the output then has a
// locked temporary name instead, and replaces that file as an older output.
// Where naming fails otherwise, the folder's later outputs take temporary
// names from the start.
bool NameNewOutput(OutputFolder* outputs, PendingOutput* output, platform::FileHandle file) {
  platform::ErrorCode error = 0;
  bool renaming = true;
  bool refused = false;
  try {
    if (platform::NameFile(outputs->folder, file, output->name.c_str(), &error)) {
      output->unnamed = false;
      const bool closed = platform::CloseFile(file);
      file = platform::kNoFile;
      if (closed) return true;
      error = platform::LastError();
      renaming = false;
      RemoveOwnFile(outputs, output->name, output->temporary);
    } else if (error == platform::kExists) {
      // What took the name is replaced as an older output would be, once
      // this one is durable, and told kept should this one fail; a link is
      // no older conversion. What BeginOutput refuses is refused here too,
      // and stays. (Its bits stay the new output's own.)
      platform::EntryStatus taken;  // kind None where it cannot be looked at
      platform::ErrorCode ignored = 0;
      platform::StatusInFolder(outputs->folder, output->name.c_str(), false, &taken, &ignored);
      output->replacesFile = taken.kind == platform::EntryKind::File || taken.kind == platform::EntryKind::None;
      error = RefusalAt(outputs, output->name.c_str(), taken, output->input ? &*output->input : nullptr);
      refused = error != 0;
      // Locked before it has a name: no other run's sweep can take it.
      if (!refused && platform::LockFile(file, &error) &&
          CreateTemporary(outputs, 0, output, file, &error) != platform::kNoFile) {
        output->unnamed = false;
        return false;
      }
    } else {
      outputs->unnamedFiles = false;
    }
  } catch (const std::bad_alloc&) {
    if (error == 0) error = ENOMEM;
  }
  if (file != platform::kNoFile) platform::CloseFile(file);
  outputs->failures.push_back(
      OutputFailure{std::move(output->name), error, renaming && !refused, output->replacesFile, refused});
  return true;
}

}  // namespace

bool OpenOutputFolder(OutputFolder* outputs, const char* path, platform::FileIdentity* identity,
                      platform::ErrorCode* error) {
  outputs->folder = platform::OpenFolder(path, true, identity, error);
  if (outputs->folder == platform::kNoFolder) return false;
  // Each staged file holds a descriptor: at most half of what is left.
  std::size_t allowance = platform::OpenFilesAllowance();
  std::size_t room = allowance > 32 ? allowance / 2 - 8 : 1;
  outputs->batchLimit = std::min(room, kMostStaged);
  outputs->olderMayBeKept = platform::NewFilesArePlain(outputs->folder);
  return true;
}

void SweepLeftovers(OutputFolder* outputs, const char* path) {
  const std::string searchText = std::string(path) + platform::kPathSeparator + "*" + kTemporarySuffix;
  platform::FolderSearch search;
  platform::FolderEntry entry;
  platform::ErrorCode listError = 0;
  platform::ErrorCode ignored = 0;
  const platform::SearchStart start =
      platform::StartFolderSearch(searchText.c_str(), &search, &entry, &listError, outputs->folder);
  if (start != platform::SearchStart::Found) {
    outputs->heldNothing = platform::kSearchesHandOutEveryEntry && start == platform::SearchStart::NothingMatched;
    return;
  }
  bool heldSomething = false;
  do {
    heldSomething = heldSomething || (entry.name != "." && entry.name != "..");
    // The folder held open is listed, and each name looked at, opened and
    // removed in it, whatever the path names by now.
    platform::EntryStatus found;
    if (entry.isDirectory || !IsTemporaryName(entry.name) ||
        !platform::StatusInFolder(outputs->folder, entry.name.c_str(), false, &found, &ignored) ||
        found.kind != platform::EntryKind::File) {
      continue;
    }
    // A live writer holds its file's lock (and, on Windows, keeps it from
    // being opened for reading): such a file is left alone.
    platform::FileStatus status;
    platform::FileHandle file = platform::OpenFileForReading(outputs->folder, entry.name.c_str(), &status, &ignored);
    if (file == platform::kNoFile) continue;
    bool leftover = platform::LockFile(file, &ignored) && platform::SameIdentity(status.identity, found.identity);
    // Removed while locked where the platform allows it: a run that created
    // the file and locks it only now finds its name gone, and takes another.
    const bool removed = leftover && platform::RemoveFromFolder(outputs->folder, entry.name.c_str(), &ignored);
    platform::CloseFile(file);
    if (leftover && !removed) platform::RemoveFromFolder(outputs->folder, entry.name.c_str(), &ignored);
  } while (platform::ContinueFolderSearch(&search, &entry, &listError));
  platform::FinishFolderSearch(&search);
  outputs->heldNothing = platform::kSearchesHandOutEveryEntry && !heldSomething && listError == 0;
}

platform::FileHandle BeginOutput(OutputFolder* outputs, const char* name, const platform::FileStatus* source,
                                 PendingOutput* output, platform::ErrorCode* error, bool mayKeepOlder) {
  // In a folder that held nothing as the run began, nothing stands at a
  // new output's name but what another program puts there meanwhile: the
  // unnamed file is then refused that name, and what took it is refused
  // or replaced as it would have been here, though never kept as an older
  // output the new one repeats (NameNewOutput). Without unnamed files, the
  // name is looked at first.
  const bool looks = !outputs->heldNothing || !outputs->unnamedFiles;
  platform::EntryStatus existing;
  if (looks && !platform::StatusInFolder(outputs->folder, name, false, &existing, error)) return platform::kNoFile;
  platform::FileStatus input;
  input.bits = 0666;
  if (source != nullptr) input = *source;
  const platform::ErrorCode refusal = RefusalAt(outputs, name, existing, source != nullptr ? &input.identity : nullptr);
  if (refusal != 0) {
    *error = refusal;
    return platform::kNoFile;
  }
  const bool replacesFile = existing.kind == platform::EntryKind::File;
  // Never readable by anyone the input is not readable by, never wider than
  // the umask allows (a planted world-writable older output gives nothing
  // away), and never made read-only by the converter: the next run must be
  // able to replace it.
  std::uint32_t bits = ((replacesFile ? existing.bits : input.bits) & ~(0444u & ~input.bits)) | 0600u;
  output->name = name;
  output->input = source != nullptr ? std::optional(input.identity) : std::nullopt;
  output->replacesFile = replacesFile;
  output->bits = bits;
  if (!replacesFile && outputs->unnamedFiles) {
    platform::FileHandle file = CreateUnnamedOutput(outputs, bits, output, error);
    if (file != platform::kNoFile || *error != platform::kNotSupported) return file;
    outputs->unnamedFiles = false;
    if (!looks) return BeginOutput(outputs, name, source, output, error, mayKeepOlder);
  }
  // An older output that a new one could only repeat, owner, group and
  // bits alike, may be kept: nothing need be written for it.
  if (mayKeepOlder && outputs->olderMayBeKept && replacesFile && existing.bits == (bits & ~platform::NewFileMask())) {
    platform::FileStatus older;
    platform::ErrorCode ignored = 0;
    platform::FileHandle file = platform::OpenRegularFile(outputs->folder, name, &older, &ignored);
    // Whatever it is by the time it is opened: KeepOlderOutput looks at
    // the name, the owner and the bits again once the bytes are compared.
    if (file != platform::kNoFile) {
      output->comparing = true;
      output->olderSize = older.size;
      output->older = older.identity;
      return file;
    }
  }
  return CreateLockedTemporary(outputs, output, error);
}

bool KeepOlderOutput(OutputFolder* outputs, PendingOutput* output, platform::FileHandle file, const char* bytes,
                     std::size_t size) {
  if (size != output->olderSize) return false;
  // The last read asks for a byte more: bytes added since the file was
  // opened make it differ too. (A short read of a regular file is its end.)
  char chunk[16384];
  for (std::size_t at = 0;;) {
    const std::size_t asked = std::min(sizeof chunk, size - at + 1);
    const std::int64_t got = platform::ReadFromFile(file, chunk, asked);
    if (got < 0 || static_cast<std::size_t>(got) > size - at ||
        (got > 0 && std::memcmp(chunk, bytes + at, static_cast<std::size_t>(got)) != 0)) {
      return false;
    }
    at += static_cast<std::size_t>(got);
    if (static_cast<std::size_t>(got) < asked) {
      if (at < size) return false;  // cut short meanwhile
      break;
    }
  }
  // Kept only where the name still holds it, and it is still what a new
  // one would be: a file removed, put in its place, or given another owner
  // or bits since it was opened gets the new output after all.
  platform::EntryStatus now;
  platform::FileStatus status;
  platform::ErrorCode ignored = 0;
  if (!platform::StatusInFolder(outputs->folder, output->name.c_str(), false, &now, &ignored) ||
      now.kind != platform::EntryKind::File || !platform::SameIdentity(now.identity, output->older) ||
      !platform::IsPlainOwnFile(file, &status) || status.bits != (output->bits & ~platform::NewFileMask())) {
    return false;
  }
  output->comparing = false;
  output->keepsOlder = true;
  return true;
}

platform::FileHandle StopComparing(OutputFolder* outputs, PendingOutput* output, platform::FileHandle older,
                                   platform::ErrorCode* error) {
  // Closed first: the output never needs more descriptors than one
  // written at once would.
  platform::CloseFile(older);
  output->comparing = false;
  platform::FileHandle file = CreateLockedTemporary(outputs, output, error);
  output->noFile = file == platform::kNoFile;
  return file;
}

namespace {

// Puts `output` in place when `complete`, else gives it up; what fails goes
// to `failures`, whose room was made when it was finished. Memory that runs
// out on the way fails it the same way: by then its file is closed.
// True when it was renamed.
bool Conclude(OutputFolder* outputs, PendingOutput* output, platform::FileHandle file, bool complete,
              platform::ErrorCode error) {
  bool renaming = false;
  try {
    if (complete && output->keepsOlder) {
      // Durable now, and at its name already.
      platform::CloseFile(file);
      return false;
    }
    if (complete && PutInPlace(outputs, output, file, &error, &renaming)) return true;
    if (!complete) AbandonOutput(outputs, output, file);
  } catch (const std::bad_alloc&) {
    if (error == 0) error = ENOMEM;
  }
  outputs->failures.push_back(OutputFailure{std::move(output->name), error, renaming, output->replacesFile});
  return false;
}

}  // namespace

void FinishOutput(OutputFolder* outputs, PendingOutput* output, platform::FileHandle file) {
  // Room for a whole batch and its failures, made before the output is
  // taken: were there no memory, it is still whole, and its caller can give
  // it up, temporary file and all. Nothing past this asks for memory of its
  // own but the temporary name of a new output whose name a file took
  // meanwhile, and that fails that output alone. (A batch is settled when
  // full; reserving what is there already asks for nothing.)
  outputs->failures.reserve(outputs->failures.size() + outputs->batchLimit);
  const std::size_t batch = std::max(outputs->batchLimit, outputs->staged.size() + 1);
  outputs->staged.reserve(batch);
  outputs->stagedFiles.reserve(batch);
  if (output->unnamed && NameNewOutput(outputs, output, file)) return;
  platform::ErrorCode error = 0;
  if (WaitsExposed(*output) && !platform::StatusOfFile(file, &output->written, &error)) {
    Conclude(outputs, output, file, false, error);
    return;
  }
  if (!output->replacesFile) {
    Conclude(outputs, output, file, true, 0);
    return;
  }
  outputs->staged.push_back(std::move(*output));
  outputs->stagedFiles.push_back(file);
  *output = PendingOutput{};
  if (outputs->staged.size() >= outputs->batchLimit) SettleOutputs(outputs);
}

void AbandonOutput(OutputFolder* outputs, PendingOutput* output, platform::FileHandle file) {
  if (output->noFile) return;
  platform::CloseFile(file);
  if (!output->unnamed && !output->comparing && !output->keepsOlder) RemoveTemporary(outputs, output);
}

void SettleOutputs(OutputFolder* outputs) {
  if (outputs->staged.empty()) return;
  platform::ErrorCode syncError = 0;
  // An older output is only given up for one whose bytes are on the disk:
  // after a power cut the folder holds the one or the other, whole.
  const bool synced =
      platform::SyncFiles(outputs->folder, outputs->stagedFiles.data(), outputs->stagedFiles.size(), &syncError);
  bool renamed = false;
  for (std::size_t i = 0; i < outputs->staged.size(); ++i) {
    renamed |= Conclude(outputs, &outputs->staged[i], outputs->stagedFiles[i], synced, syncError);
  }
  outputs->staged.clear();
  outputs->stagedFiles.clear();
  // The new names survive a power cut too. Were this to fail, every output
  // is still whole, old or new: nothing to tell of a single preset.
  platform::ErrorCode ignored = 0;
  if (renamed) platform::SyncFolder(outputs->folder, &ignored);
}

void CloseOutputFolder(OutputFolder* outputs) {
  SettleOutputs(outputs);
  platform::CloseFolder(outputs->folder);
  outputs->folder = platform::kNoFolder;
}
