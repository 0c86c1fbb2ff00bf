// Path and name helpers shared by the archive reader and writer.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/winapi.h"

namespace zem {

// A date and time as a count of days since 30 December 1899, 00:00 (local
// time); the fraction is the time of day (0.5 is noon). Values of this type
// compare in time order.
using TDateTime = double;

// ---- Separators and texts ------------------------------------------------

// Replace every '\' by '/' (ToSlashes) or every '/' by '\' (ToBackslashes)
// in the NUL-terminated Buffer, in place; return Buffer (nullptr passes
// through unchanged).
char* ToSlashes(char* Buffer);
char* ToBackslashes(char* Buffer);
// The same for a text, returning the converted copy.
std::string ToSlashes(std::string Text);
std::string ToBackslashes(std::string Text);

// The last (RightText) or first (LeftText) Count bytes of Text; the whole
// text when it is shorter, the empty text when Count <= 0.
std::string RightText(const std::string& Text, int Count);
std::string LeftText(const std::string& Text, int Count);

// True when Text holds one of the wildcard characters * ? < > |.
bool IsWildcardName(const std::string& Text);

int64_t Min64(int64_t A, int64_t B);
int64_t Max64(int64_t A, int64_t B);

// The found file's size from the high and low size words of the find data.
int64_t FoundSize64(const platform::TSearchRec& Found);

// Progress percentage of Done against Total: 0 when Total <= 0, else
// Done * 100 / Total rounded to the nearest integer (halves to even),
// at most 100.
int PercentDone(int64_t Done, int64_t Total);

// ---- Windows-style names ---------------------------------------------------
// A colon separates only a drive letter: it counts as a separator when it is
// the second character after a letter at the start of the name. Elsewhere it
// is an ordinary character, as in the Linux name "12:30:05.jpg".

// True when Name starts with a drive part ("X:").
bool HasDrivePart(const std::string& Name);
// "X:" for a name with a drive part, else the empty text.
std::string ExtractFileDrive(const std::string& Name);
// Everything up to and including the last '\' (or the drive part's colon
// when there is no '\').
std::string ExtractFilePath(const std::string& Name);
// Everything after that point.
std::string ExtractFileName(const std::string& Name);
// The extension of the name part, from its last '.' on ("" when none).
std::string ExtractFileExt(const std::string& Name);
// Name with its extension replaced by Ext (Ext carries its own dot).
std::string ChangeFileExt(const std::string& Name, const std::string& Ext);
// Name ending with '\' (the empty name stays empty).
std::string IncludeTrailingBackslash(const std::string& Name);
// Name without a trailing '\'.
std::string ExcludeTrailingBackslash(const std::string& Name);

// ---- Dates and times -------------------------------------------------------

// Forces each field of a DOS date and time (date in the high 16 bits) into
// range: seconds/2 at most 29, minutes at most 59, hours at most 23, day at
// least 1, month 1 to 12, years since 1980 at most 119. A valid value comes
// back bit for bit.
int32_t NormalizeDosDateTime(int32_t DosDateTime);

// The last-write time, local, as DOS date and time of the file or directory
// found at Path; -1 when nothing is found or the time cannot be converted.
int32_t FileDosDateTime(const std::string& Path);

// Converts a DOS date and time to TDateTime. False (Value untouched) when a
// field is out of range or the day does not exist in its month (31 April).
bool DosDateTimeToDateTime(int32_t DosDateTime, TDateTime& Value);
// Builds a TDateTime from calendar fields (no range checks beyond the day
// count arithmetic).
TDateTime EncodeDateTime(int Year, int Month, int Day, int Hour, int Minute, int Second,
                         int Millisecond = 0);
// The current local date and time.
TDateTime NowDateTime();

// The last-write date and time of Path (a trailing '\' is ignored). A path
// that is not found gives 31 December 2099 23:59:58 (the normalised -1); a
// stored time that names a day its month does not have gives the current
// local date and time. Never raises.
TDateTime PathDateTime(const std::string& Path);

// ---- Files and folders ----------------------------------------------------

// Creates the directory Path and every missing parent. A trailing '\' is
// ignored; paths of two characters or fewer are left alone. Failures are
// ignored.
void ForceDirs(const std::string& Path);
// True when a file (not a directory) named Path exists.
bool FileExistsAt(const std::string& Path);
// True when Path names an existing directory (false for the empty text).
// Does not change the current directory.
bool DirExists(const std::string& Path);
// The current directory of Drive (0 the current drive, 1 A:, 3 C: ...).
// Linux keeps one current directory: for another drive than the current
// one the answer is that drive's root "X:\".
std::string CurrentDirOf(int Drive);

// Renames Source to Dest on the same drive, replacing a file named Dest by
// one rename (ReplaceFileA: Source takes Dest's mode, and its owner where
// the user may set it), so that Dest is never missing. Returns false
// without touching Dest when the drive parts differ (compared without
// regard to case) or the rename fails (another volume behind the same
// drive, a missing Source). Never raises.
bool RenameOver(const std::string& Source, const std::string& Dest);

// Moves Source to Dest: a rename when RenameOver succeeds, else Dest is
// created (replacing a file of that name) and Source copied into it through
// a bounded buffer (Source is left in place). Raises EInOutError
// "Error: Could not copy from <Source> -> <Dest>" when no byte was copied
// (also for an empty Source) or a read of Source failed, EFOpenError / EFCreateError when a file cannot
// be opened or created, and EWriteError when Dest cannot take every byte. A
// Dest this call created is deleted when the copy fails.
void MoveOrCopyFile(const std::string& Source, const std::string& Dest);

// ---- Character buffers -----------------------------------------------------

// The text up to the NUL; the empty text for nullptr.
std::string PCharToText(const char* Buffer);
// A newly allocated NUL-terminated copy owned by the caller; nullptr for the
// empty text.
std::unique_ptr<char[]> TextToPChar(const std::string& Text);

// ---- Volumes ---------------------------------------------------------------

// Clears the label of the volume at RootPath, then sets Label; the result
// of setting Label.
bool SetVolumeLabelOf(const std::string& RootPath, const std::string& Label);
// True when the drive type is removable or CD-ROM.
bool IsRemovableDrive(const std::string& RootPath);
// The volume's label (at most 13 characters); empty when it cannot be read.
std::string VolumeLabelOf(const std::string& RootPath);
// Creates a new empty file with a unique name and the prefix "DOV" in
// Directory and returns its name; the empty text when none could be
// created. The caller deletes or replaces the file.
std::string UniqueTempFile(const std::string& Directory);
// Bytes per cluster of the volume at RootPath. Raises EOSError with the
// last error when the volume cannot be asked.
uint32_t ClusterSize(const std::string& RootPath);

// ---- Symbolic links -----------------------------------------------------------

// Whether a symbolic link at LinkPath holding Target leads to a place
// inside the folder Root (both native paths, LinkPath below Root), judged
// on the text alone. The link's own folders are taken as real folders; in
// the target, ".." may only open it (climbing from the link's folder) and
// must not leave Root, and an absolute target must lie below Root. A ".."
// after a named component is refused: the component may be a link itself,
// and ".." from there goes wherever that link leads. An empty target
// leads nowhere and is refused.
bool LinkTargetInside(const std::string& Root, const std::string& LinkPath, const std::string& Target);

// ---- Name forms ------------------------------------------------------------

// Converts Text in place to the OEM code page and back, so that it takes the
// form it would have on disk. A text with a character that has no OEM form
// is left unchanged: substituting it would make two different names equal.
// Returns Text.
std::string& OemRoundTrip(std::string& Text);

// Path with every existing component replaced by its short (8.3) name; a
// component that does not exist or has no short form stays as it is. A
// trailing '\' is kept; "X:name" is read as "X:\name".
std::string ShortPathOf(const std::string& Path);

}  // namespace zem
