// Exceptions of the archive component with their fixed texts.
#include "archive/reader/arc_exceptions.h"

#include "archive/reader/arc_messages.h"

namespace zem {

#define ZEM_ARC_EXCEPTION_IMPL(Name, Base, DefaultId)     \
  Name::Name() : Base(LoadZipStr(DefaultId)) {}           \
  Name::Name(std::string Msg) : Base(std::move(Msg)) {}

ZEM_ARC_EXCEPTION_IMPL(ENotAZipFile, EArcZipException, zsNotAZipFile)
ZEM_ARC_EXCEPTION_IMPL(EIncompleteZip, EArcZipException, zsIncompleteZip)
ZEM_ARC_EXCEPTION_IMPL(EBadZipFile, EArcZipException, zsNotAZipFile)
ZEM_ARC_EXCEPTION_IMPL(EUserCanceled, EArcZipException, zsUserCanceledZip)
ZEM_ARC_EXCEPTION_IMPL(EFatalUnzipError, EArcZipException, zsPrematureEnd)
ZEM_ARC_EXCEPTION_IMPL(EBiggerThanUncompressed, EArcZipException, zsBiggerThanUncompressed)
ZEM_ARC_EXCEPTION_IMPL(ECantWriteUCF, EArcZipException, zsCantWriteUCF)
ZEM_ARC_EXCEPTION_IMPL(ENotEnoughRoom, EArcZipException, zsNotEnoughRoom)
ZEM_ARC_EXCEPTION_IMPL(EConfigFileSaveError, EArcZipException, zsConfigFileSaveError)
ZEM_ARC_EXCEPTION_IMPL(EZLibError, EArcZipException, zsZLibError)
ZEM_ARC_EXCEPTION_IMPL(EZCompressionError, EZLibError, zsZLibError)

#undef ZEM_ARC_EXCEPTION_IMPL

std::string ErrorDetail(const std::exception& Error) {
  const auto* Arc = dynamic_cast<const EArcZipException*>(&Error);
  return Arc ? Arc->Detail() : std::string();
}

}  // namespace zem
