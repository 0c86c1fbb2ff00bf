// The archive component's numbered string table.
#include "archive/reader/arc_messages.h"

#include <array>

namespace zem {

namespace {

struct TZipString {
  int Id;
  const char* Text;
};

constexpr std::array<TZipString, 20> ZipStrings = {{
    {zsNotAZipFile, "Not a valid zip file!"},
    {zsIncompleteZip, "Incomplete Zip File"},
    {zsUserCanceledZip, "User canceled Zip operation"},
    {zsUserCanceledZipName, "User canceled setting zip file name."},
    {zsUserCanceledDisk, "User canceled loading new disk."},
    {zsUserCanceledDestDir, "User canceled Set Destination Directory"},
    {zsPrematureEnd, "Premature end of file reached"},
    {zsCantWriteUCF, "Can't write uncompressed file"},
    {zsInsertDisk, "Please insert disk %d of the multi-disk set."},
    {zsBiggerThanUncompressed, "File is larger than uncompressed size!"},
    {zsNotEnoughRoom, "Not enough room to write archive"},
    {zsConfigFileSaveError, "Unable to save Zip Configuration File to disk"},
    {zsZLibError, "error"},
    {zsIndexOutOfRange, "Index %d is out of range"},
    {zsOpenZipTitle, "Open a Zip File"},
    {zsOpenZipFilter,
     "Zip Files (*.ZIP)|*.zip|SFX Files (*.EXE)|*.exe|Jar Files (*.JAR)|*.jar|All Files (*.*)|*.*"},
    {zsFileExistsCaption, "File Exists Alert"},
    {zsReplaceExisting, "Replace existing file %s?"},
    {zsUnknownMethod, "Unknown Compression Method"},
    {zsZipErrorCaption, "Zip Error"},
}};

}  // namespace

std::string LoadZipStr(int Id) {
  for (const TZipString& S : ZipStrings)
    if (S.Id == Id) return S.Text;
  return std::string();
}

}  // namespace zem
