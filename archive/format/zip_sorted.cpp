// The entry list orders.
#include "archive/format/zip_sorted.h"

#include <algorithm>

#include "archive/support/path_helpers.h"

namespace zem {

int CompareZipText(const std::string& A, const std::string& B) {
  const size_t N = std::min(A.size(), B.size());
  for (size_t I = 0; I < N; ++I) {
    int X = static_cast<uint8_t>(A[I]);
    int Y = static_cast<uint8_t>(B[I]);
    if (X >= 'a' && X <= 'z') X -= 32;
    if (Y >= 'a' && Y <= 'z') Y -= 32;
    if (X != Y) return X - Y;
  }
  if (A.size() == B.size()) return 0;
  return A.size() < B.size() ? -1 : 1;
}

// 128-bit arithmetic, a GCC and Clang extension on 64-bit targets.
__extension__ typedef unsigned __int128 TUInt128;

int CompressionRate(const TZipHeaderInfo& Entry) {
  const uint64_t U = Entry.UncompressedSize();
  if (U == 0) return 0;
  const TUInt128 Num = static_cast<TUInt128>(Entry.CompressedSize()) * 100u;
  TUInt128 Q = Num / U;
  const TUInt128 R = Num % U;
  // Round to nearest, halves to even.
  const TUInt128 Twice = R * 2;
  if (Twice > U || (Twice == U && (Q & 1) != 0)) ++Q;
  return Q > 100 ? 100 : static_cast<int>(Q);
}

namespace {

// A DOS date/time as a value that orders like the date-time it names; one
// that names no date-time counts as 0, before every real one.
double DateKey(uint32_t DosDateTime) {
  TDateTime Value = 0;
  if (!DosDateTimeToDateTime(static_cast<int32_t>(DosDateTime), Value)) return 0;
  return Value;
}

}  // namespace

TSortedZip::TSortedZip(TDuplicatePolicy Policy) : TSortedObjectList(Policy) {}

int TSortedZip::Compare(const void* Key1, const void* Key2) const {
  const auto& Item = *static_cast<const TZipHeaderInfo*>(static_cast<const TObject*>(Key1));
  const auto& Key = *static_cast<const TZipHeaderInfo*>(static_cast<const TObject*>(Key2));
  switch (FSortMode) {
    case ByName:
      return CompareZipText(Item.FullName(), Key.FullName());
    case ByFileName:
      return CompareZipText(Item.FileName(), Key.FileName());
    case ByDirectoryName:
      return CompareZipText(Item.Directory(), Key.Directory());
    case ByDate:
      return DateKey(Key.FileDateTime()) > DateKey(Item.FileDateTime()) ? 1 : -1;
    case ByCompressedSize: {
      const auto D = static_cast<int32_t>(static_cast<uint32_t>(Key.CompressedSize()) -
                                          static_cast<uint32_t>(Item.CompressedSize()));
      return D > 0 ? 1 : -1;
    }
    case ByUnCompressedSize: {
      const auto D = static_cast<int32_t>(static_cast<uint32_t>(Key.UncompressedSize()) -
                                          static_cast<uint32_t>(Item.UncompressedSize()));
      return D > 0 ? 1 : -1;
    }
    case ByRate:
      return CompressionRate(Key) - CompressionRate(Item);
    case ByNone:
    default: {
      const uint32_t DI = Item.DiskNumberStart(), DK = Key.DiskNumberStart();
      if (DI != DK) return DI > DK ? 1 : -1;
      const uint64_t OI = Item.RelativeOffset(), OK = Key.RelativeOffset();
      if (OI == OK) return 0;
      return OI > OK ? 1 : -1;
    }
  }
}

// Past 64 slots the array grows by half its size instead of by 16, so that
// a directory of any size is built with a logarithmic number of moves.
void TSortedZip::Grow() {
  if (Capacity() < 64) {
    TSortedObjectList::Grow();
    return;
  }
  const int Wanted = Capacity() + Capacity() / 2;
  SetCapacity(Wanted < MaxListSize ? Wanted : MaxListSize - 1);
}

int TSortedZip::Add(TObject* Item) {
  auto* Entry = static_cast<TZipHeaderInfo*>(Item);
  // Physical order is a total order, so an entry that comes after the last
  // one comes after all of them: append it without searching or shifting.
  // This keeps reading a directory in archive order linear.
  if (FSortMode == ByNone && Count() > 0 &&
      Compare(KeyOf(RawItem(Count() - 1)), KeyOf(Item)) < 0) {
    InsertAt(Count(), Item);
  } else {
    TSortedObjectList::Add(Item);
  }
  if (Entry->Zip64Info() != nullptr) FIsZip64 = true;
  return 0;
}

}  // namespace zem
