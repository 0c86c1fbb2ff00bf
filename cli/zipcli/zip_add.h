// zemzip add: files and folders into a new or existing archive.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "archive/reader/arc_types.h"
#include "archive/writer/arc_zip.h"
#include "cli/zipcli/zip_console.h"

namespace zem {

// Options of "add".
struct TAddOptions {
  int Level = 6;              // -0 stores, -1 to -9 deflate
  std::string Password;       // -P, --password-file, -e: every file entry encrypted
  bool Recurse = false;       // -r: folders with everything below them
  bool JunkPaths = false;     // -j: file names only, no directory entries
  TZipAction Action = zaUpdate;  // --update, --replace, --freshen
  std::vector<std::string> Exclude;     // -x patterns ('/' or '\')
  std::optional<std::string> Comment;   // -z: the archive comment
  TVerbosity Verbosity = TVerbosity::Normal;  // -q, -v
  int64_t SplitSize = 0;      // --split: block files of this size (0: one file)
  bool Classic = false;       // --classic: parts named NAME.001, NAME.002, ...
  TLinkMode Links = TLinkMode::Store;  // --follow-links: Follow
  TNameConvention Names = TNameConvention::Utf8;  // --names utf8|cp437
  uint8_t Host = kHostUnix;   // --host unix|dos
  int Threads = 0;            // --threads: entries made at once (0: the component's default)
};

// The size of a --split argument: a positive number of bytes, optionally
// followed by k, m or g (binary multiples); 0 when the text is no such size.
int64_t ParseSplitSize(const std::string& Text);

// "add [OPTIONS] ARCHIVE NAME..." (Args[0] is "add"; the options in
// HelpText("add"), anywhere among the names). The progress line and the
// summary go to Err when Term says it is a terminal.
int AddCommand(const std::vector<std::string>& Args, const TZipTerminal& Term, std::ostream& Out,
               std::ostream& Err);

// Adds the native names (files, folders, wildcard names) to the archive.
// Relative names are stored as given, absolute ones without their leading
// '/'; wildcard names without a folder are walked in the current folder and
// stored relative to it (so is every name below it in such a call); hidden
// and system files are included; files left out by -x are not reported. Every file left out is named
// on Err with the reason. With a split size the archive is written as a new
// set of block files (ARCHIVE.z01, ARCHIVE.z02, ... and ARCHIVE last, or
// BASE.001, BASE.002, ... when classic); an existing archive is refused
// rather than replaced by a set without its entries. Returns 0 only when every named file was zipped
// (or kept as up to date), 1 when some were left out or the operation
// failed (its message on Err). With -v each file added is named on Out.
int AddFiles(const std::string& NativeArchive, const std::vector<std::string>& Names,
             const TAddOptions& Options, const TZipTerminal& Term, std::ostream& Out,
             std::ostream& Err);

}  // namespace zem
