// Exceptions of the archive component: failures of a whole operation.
// Each class has its fixed text (from the numbered string table) as the
// default message; the classes raised with more than one text take it.
#pragma once

#include <exception>
#include <string>
#include <utility>

#include "platform/base.h"

namespace zem {

// The message is the headline from the string table, the text callers
// and users compare; Detail says what exactly was wrong (which record at
// which offset, zlib's own text) and is empty when nothing more is known.
class EArcZipException : public Exception {
 public:
  using Exception::Exception;
  const std::string& Detail() const { return FDetail; }
  void SetDetail(std::string Text) { FDetail = std::move(Text); }

 private:
  std::string FDetail;
};

// Error with its detail set, keeping its class: throw WithDetail(EBadZipFile(), "...").
template <class E>
E WithDetail(E Error, std::string Detail) {
  Error.SetDetail(std::move(Detail));
  return Error;
}

// The detail of an archive exception; empty for any other exception.
std::string ErrorDetail(const std::exception& Error);

#define ZEM_ARC_EXCEPTION(Name, Base, DefaultId) \
  class Name : public Base {                     \
   public:                                       \
    Name();                                      \
    explicit Name(std::string Msg);              \
  }

// "Not a valid zip file!"
ZEM_ARC_EXCEPTION(ENotAZipFile, EArcZipException, 176);
// "Incomplete Zip File"
ZEM_ARC_EXCEPTION(EIncompleteZip, EArcZipException, 177);
// "Not a valid zip file!" (a directory that could not be read or rebuilt)
ZEM_ARC_EXCEPTION(EBadZipFile, EArcZipException, 176);
// "User canceled Zip operation", or the text of the cancelled request
// ("User canceled setting zip file name.", "User canceled loading new disk.",
// "User canceled Set Destination Directory").
ZEM_ARC_EXCEPTION(EUserCanceled, EArcZipException, 178);
// "Premature end of file reached"
ZEM_ARC_EXCEPTION(EFatalUnzipError, EArcZipException, 182);
// "File is larger than uncompressed size!"
ZEM_ARC_EXCEPTION(EBiggerThanUncompressed, EArcZipException, 185);
// "Can't write uncompressed file"
ZEM_ARC_EXCEPTION(ECantWriteUCF, EArcZipException, 183);
// "Not enough room to write archive"
ZEM_ARC_EXCEPTION(ENotEnoughRoom, EArcZipException, 186);
// "Unable to save Zip Configuration File to disk"
ZEM_ARC_EXCEPTION(EConfigFileSaveError, EArcZipException, 187);
// zlib failures: "error"
ZEM_ARC_EXCEPTION(EZLibError, EArcZipException, 188);
ZEM_ARC_EXCEPTION(EZCompressionError, EZLibError, 188);

#undef ZEM_ARC_EXCEPTION

}  // namespace zem
