// zemzip add: files and folders into a new or existing archive.
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "archive/reader/arc_types.h"

namespace zem {

// Options of "add".
struct TAddOptions {
  int Level = 6;              // -0 stores, -1 to -9 deflate
  std::string Password;       // -P: every file entry encrypted
  bool Recurse = false;       // -r: folders with everything below them
  bool JunkPaths = false;     // -j: file names only, no directory entries
  TZipAction Action = zaUpdate;  // --update, --replace, --freshen
  std::vector<std::string> Exclude;     // -x patterns ('/' or '\')
  std::optional<std::string> Comment;   // -z: the archive comment
  bool Progress = false;      // percentages on Err
};

// "add [-0..-9] [-P PASSWORD] [-r] [-j] [--update|--replace|--freshen]
//  [-x PATTERN]... [-z COMMENT] ARCHIVE NAME..." (Args[0] is "add").
// Progress goes to Err when Err is standard error and that is a console.
int AddCommand(const std::vector<std::string>& Args, std::ostream& Out, std::ostream& Err);

// Adds the native names (files, folders, wildcard names) to the archive.
// Relative names are stored as given, absolute ones without their leading
// '/'; wildcard names without a folder are walked in the current folder and
// stored relative to it (so is every name below it in such a call); hidden
// and system files are included; files left out by -x are not reported. Every file left out is named
// on Err with the reason. Returns 0 only when every named file was zipped
// (or kept as up to date), 1 when some were left out or the operation
// failed (its message on Err).
int AddFiles(const std::string& NativeArchive, const std::vector<std::string>& Names,
             const TAddOptions& Options, std::ostream& Out, std::ostream& Err);

}  // namespace zem
