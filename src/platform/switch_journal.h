// The switch that puts a job's staged files in place, and its journal.
//
// A job writes the new content of every file it changes beside the file (see staging.h). The
// switch then renames them in. Before the first rename it writes a journal that lists every
// step, with a checksum, and flushes it: a complete journal on disk is the moment the job
// commits. Small pointer files in the other folders the switch touches name the journal, so that
// a job that starts in any of those folders finds it. The journal is removed after the last
// step. A run cut off in between is completed by the next job that starts on those folders
// (RecoverFolders); every step is written so that doing it again is harmless.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/env.h"

namespace zkq::platform {

struct SwitchStep {
  enum class Kind {
    kMkdir,    // create the folder `target`
    kReplace,  // keep `target` as `backup`, then rename `staged` to `target`
    kCreate,   // rename `staged` to `target`, where nothing stood
    kDelete,   // rename `target` to `backup`
    kRmdir,    // remove the (empty) folder `target`
  };
  Kind kind = Kind::kCreate;
  std::filesystem::path target;
  std::filesystem::path staged;
  std::filesystem::path backup;
  // The backup stays when the switch is complete (part of a restore point); otherwise it is
  // removed once every step is done.
  bool keepBackup = true;
};

struct Journal {
  std::string id;                 // tells this switch's journal and pointers apart from others
  std::filesystem::path path;     // the journal itself
  std::vector<SwitchStep> steps;  // in the order they are made
  std::vector<std::filesystem::path> pointers;
};

// The file names of the journal and of its pointers in a folder.
inline constexpr const char* kJournalName = "zkqmerge.journal";
inline constexpr const char* kPointerName = "zkqmerge.pointer";

// A path as one word of a journal or restore point line (bytes below 0x21, "%" and 0x7F as
// %XX), and back.
std::string EscapePath(const std::filesystem::path& path);
std::optional<std::filesystem::path> UnescapePath(std::string_view word);

// Text with a checksum line at its end, and back (nullopt when the checksum does not match,
// as for a journal that was cut off while it was written).
std::string Sealed(std::string text);
std::optional<std::string> Unsealed(std::string_view bytes);

std::string EncodeJournal(const Journal& journal);
std::optional<Journal> DecodeJournal(std::string_view bytes);

// Writes the journal and its pointers (flushed), makes the steps, flushes the folders and
// removes the journal. When a step fails, the steps made so far are undone, so that every file
// is again as it was, and a FileError naming the file and the reason is thrown. `warnings`
// receives problems met once the switch was complete (a journal that could not be removed is
// removed by the next start).
void RunSwitch(Env* env, const Journal& journal, std::vector<std::string>& warnings);

struct RecoveryReport {
  std::vector<std::filesystem::path> completed;  // journals of switches completed now
  std::vector<std::filesystem::path> removed;    // leftovers of runs cut off before a switch
};

// Completes every switch whose journal or pointer lies in one of `dirs`, then removes the
// temporary and staged files that runs cut off before their switch left there. Throws
// FileError when a switch cannot be completed (its journal then stays for the next start).
RecoveryReport RecoverFolders(Env* env, const std::vector<std::filesystem::path>& dirs);

}  // namespace zkq::platform
