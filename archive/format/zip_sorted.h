// The entry list: TSortedZip keeps entries in one of the TZipSortMode
// orders.
#pragma once

#include <cstdint>
#include <string>

#include "archive/format/zip_entry.h"
#include "archive/support/object_list.h"

namespace zem {

enum TZipSortMode : uint8_t {
  ByName = 0,
  ByFileName,
  ByDirectoryName,
  ByDate,
  ByCompressedSize,
  ByUnCompressedSize,
  ByRate,
  ByNone,
};

// Entries in SortMode order; the key of an item is the item itself.
// Ownership follows OwnsItems (true by default); the reader's sorted views
// share entries without owning them.
class TSortedZip : public TSortedObjectList {
 public:
  explicit TSortedZip(TDuplicatePolicy Policy);
  ~TSortedZip() override = default;

  TZipSortMode SortMode() const { return FSortMode; }
  void SetSortMode(TZipSortMode V) { FSortMode = V; }
  // Set once an entry with Zip64Info is added; never cleared.
  bool IsZip64() const { return FIsZip64; }

  TZipHeaderInfo* Items(int Index) const { return ItemAs<TZipHeaderInfo>(Index); }

  // Sorted insert (returns 0), then IsZip64 when the entry has Zip64Info.
  // In ByNone order an entry that goes after the last one is appended
  // without a search, so adding in archive order is linear.
  int Add(TObject* Item) override;
  int Compare(const void* Key1, const void* Key2) const override;
  // The list rule up to 64 slots, then half the size again each time.
  void Grow() override;

 private:
  TZipSortMode FSortMode = ByNone;
  bool FIsZip64 = false;
};

// Compressed size as a whole percentage of the uncompressed size, halves
// to even, at most 100; 0 for an empty entry.
int CompressionRate(const TZipHeaderInfo& Entry);
// Byte-wise comparison folding only a-z to A-Z; <0, 0 or >0.
int CompareZipText(const std::string& A, const std::string& B);

}  // namespace zem
