// The folder outputs are written into, held open for the whole run, and the
// one way an output takes the place of what stood at its name there.
//
// A new output, with no older one at its name, is written to a file of no
// name where the system has them, and named when complete: no other
// process sees it before, and a run that is killed leaves nothing behind.
// An output over an older one that may turn out the same (the older one
// is just what a new one would be, owner, group, bits and all) is held by
// its channel, short of a size, and compared with it: the same, the older
// output stays as it is, and nothing is written.
// Any other output is written to a temporary file beside its name, locked
// by its writer and known to the signal handler while it exists, and
// renamed over the name only when complete. An output that replaces an
// older one is renamed only once its bytes are on the disk; those are
// gathered into a batch, made durable together, then renamed one by one,
// and the folder's names made durable after them. A new output is put in
// place at once: there is nothing to lose. (Should a file take its name
// meanwhile, it is replaced as an older output would be; should a folder,
// another non-regular file or a read-only file take it, the output is
// refused as it would have been at its beginning.)
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "platform/Platform.h"

// One output being written.
struct PendingOutput {
  std::string name;           // its name in the folder
  std::string temporaryName;  // the temporary file beside it
  platform::FileIdentity temporary;  // the identity of the file written, named or not
  bool replacesFile = false;  // an older output stood at the name
  bool unnamed = false;       // no name yet (no temporary name either)
  // Its file is not made yet: the handle given out is the older output's,
  // open for reading, to compare the output with it.
  bool comparing = false;
  bool keepsOlder = false;  // compared the same: the older output's file is this output's
  bool noFile = false;      // its file could not be made: nothing to close or remove
  platform::FileIdentity older;
  std::uint64_t olderSize = 0;
  platform::FileStatus written;  // its file once complete: size and change time
  std::uint32_t bits = 0;  // of the file to make
  std::optional<platform::FileIdentity> input;  // of the input file it is made from, if any
  int slot = -1;              // its place among the files a signal removes
};

// An output that could not be put in place once complete: what stood at
// its name is kept.
struct OutputFailure {
  std::string name;
  platform::ErrorCode error = 0;
  bool renaming = false;      // the rename failed; otherwise closing or making it durable did
  bool replacesFile = false;  // an older output stood there, and stays
  bool refused = false;       // what took a new output's name meanwhile is not one to replace (BeginOutput's refusals)
};

struct OutputFolder {
  platform::FolderHandle folder = platform::kNoFolder;
  // Complete, waiting for the batch's sync: each output and its file, side
  // by side.
  std::vector<PendingOutput> staged;
  std::vector<platform::FileHandle> stagedFiles;
  std::size_t batchLimit = 1;
  bool unnamedFiles = true;  // false once the folder turned out to have none
  // The folder held nothing when the run began (SweepLeftovers): a new
  // output's name is not looked at before its unnamed file is made.
  bool heldNothing = false;
  bool olderMayBeKept = false;  // new files here are plain ones (platform::NewFilesArePlain)
  std::vector<OutputFailure> failures;  // since the caller last took them
};

// Opens the folder at `path` for writing outputs. False, with the reason,
// when it is missing or files cannot be created in it.
bool OpenOutputFolder(OutputFolder* outputs, const char* path, platform::FileIdentity* identity,
                      platform::ErrorCode* error);

// Removes the temporary files of earlier runs that no live writer holds
// (a run that was killed, or crashed), never one still being written, and
// notes whether the folder held nothing at all. `path` is the folder's own
// path, to list it.
void SweepLeftovers(OutputFolder* outputs, const char* path);

// Begins an output for `name`: a new, empty file, open for writing,
// unnamed or locked under its temporary name. (In a folder that held
// nothing when the run began, where new files are unnamed, the name is
// not looked at first: what another program puts there meanwhile is
// refused as below when the output is finished.) Refused (kNoFile, the reason in `*error`) when a folder or
// any other non-regular file stands at the name (kNotARegularFile), when a
// read-only older output does (kReadOnly), and when the name is the file
// `source` tells of, the input (kSameFile); nullptr when there is none. The
// output's permission bits are the older output's, or else the input's,
// less every read bit the input lacks, within the umask;
// its owner may always read and write it. It belongs to whoever runs the
// process. With `mayKeepOlder`, an older output that a new one could
// repeat (a regular file with the bits a new one would get, in a folder
// whose new files are plain) is opened for reading instead, and the output
// begins `comparing` (KeepOlderOutput, StopComparing).
platform::FileHandle BeginOutput(OutputFolder* outputs, const char* name, const platform::FileStatus* source,
                                 PendingOutput* output, platform::ErrorCode* error, bool mayKeepOlder = false);

// An output that is `comparing`, with every byte it holds: true when the
// older output, `file`, holds exactly them and nothing more, still stands
// at the output's name, and is still just what a new one would be; the
// output then `keepsOlder`, and is finished (FinishOutput) with `file` as
// its own: it is made durable with the batch, and never renamed. False
// otherwise.
bool KeepOlderOutput(OutputFolder* outputs, PendingOutput* output, platform::FileHandle file, const char* bytes,
                     std::size_t size);

// An output that is `comparing` gets its file, as BeginOutput would have
// made it, once `older` is closed. kNoFile, with the reason, when the file
// cannot be made: the output then has `noFile`.
platform::FileHandle StopComparing(OutputFolder* outputs, PendingOutput* output, platform::FileHandle older,
                                   platform::ErrorCode* error);

// Ends an output whose every byte was written to `file`, which it takes
// over. A new output is put in place at once; one that replaces an older
// output is staged for the batch, which is settled when full. What fails
// goes to `failures`: the file written is then removed (or, unnamed, simply
// closed) and the name keeps what it held. Where memory to stage it cannot
// be had (bad_alloc), neither `output` nor `file` has been taken:
// AbandonOutput still applies. Once taken, memory that runs out on the way
// (a system call's own, or a temporary name for a new output whose name a
// file took meanwhile) fails that output alone, told like any other
// failure, its file closed once and any temporary file left to the next
// run's sweep.
void FinishOutput(OutputFolder* outputs, PendingOutput* output, platform::FileHandle file);

// Closes `file` and removes the temporary file, if it has one; the name is
// untouched (an output still comparing has made no file).
void AbandonOutput(OutputFolder* outputs, PendingOutput* output, platform::FileHandle file);

// Makes the staged outputs durable and puts each in place; the ones that
// fail go to `failures`, their older outputs kept.
void SettleOutputs(OutputFolder* outputs);

// Settles, then lets the folder go.
void CloseOutputFolder(OutputFolder* outputs);
