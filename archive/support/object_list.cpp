// Object lists, sorted object lists and the registry of streamable classes.
#include "archive/support/object_list.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>

namespace zem {

namespace {

// Stored class names and registry lookups use at most this many bytes.
constexpr size_t kMaxClassName = 63;

void WriteByte(TStream& Stream, uint8_t Value) { Stream.WriteBuffer(&Value, 1); }

uint8_t ReadByte(TStream& Stream) {
  uint8_t Value = 0;
  Stream.ReadBuffer(&Value, 1);
  return Value;
}

void WriteInt32(TStream& Stream, int32_t Value) {
  uint32_t U = static_cast<uint32_t>(Value);
  uint8_t Bytes[4] = {static_cast<uint8_t>(U), static_cast<uint8_t>(U >> 8),
                      static_cast<uint8_t>(U >> 16), static_cast<uint8_t>(U >> 24)};
  Stream.WriteBuffer(Bytes, 4);
}

int32_t ReadInt32(TStream& Stream) {
  uint8_t B[4];
  Stream.ReadBuffer(B, 4);
  return static_cast<int32_t>(static_cast<uint32_t>(B[0]) | (static_cast<uint32_t>(B[1]) << 8) |
                              (static_cast<uint32_t>(B[2]) << 16) |
                              (static_cast<uint32_t>(B[3]) << 24));
}

// Registry key: the first 63 characters, ASCII lower case.
std::string RegistryKey(const std::string& Name) {
  std::string Key = Name.substr(0, kMaxClassName);
  for (char& C : Key) C = static_cast<char>(std::tolower(static_cast<unsigned char>(C)));
  return Key;
}

using TRegistry = std::map<std::string, std::unique_ptr<tRegisterRec>>;

TRegistry& Registry() {
  static TRegistry Instance;
  return Instance;
}

}  // namespace

// ---- Registry ----------------------------------------------------------------

bool RegisterStreamClass(const std::string& Name, TStreamClassFactory Create,
                         TStreamClassProc Read, TStreamClassProc Write) {
  auto Rec = std::make_unique<tRegisterRec>();
  Rec->Name = Name.substr(0, kMaxClassName);
  Rec->Create = std::move(Create);
  Rec->Read = std::move(Read);
  Rec->Write = std::move(Write);
  return Registry().emplace(RegistryKey(Name), std::move(Rec)).second;
}

bool UnRegisterStreamClass(const std::string& Name) {
  return Registry().erase(RegistryKey(Name)) > 0;
}

const tRegisterRec* FindStreamClass(const std::string& Name) {
  auto It = Registry().find(RegistryKey(Name));
  return It == Registry().end() ? nullptr : It->second.get();
}

// ---- TObjectList ---------------------------------------------------------------

TObjectList::TObjectList() = default;

TObjectList::~TObjectList() {
  FreeAll();
  Clear();
}

void TObjectList::Error(int Index) const {
  throw EListError(Format("List index out of bounds (%d)", Index));
}

void TObjectList::RangeError(int Index) const {
  Error(Index);
  // An override of Error that came back: the operation still must not go on.
  throw EListError(Format("List index out of bounds (%d)", Index));
}

void TObjectList::SetCapacity(int NewCapacity) {
  if (NewCapacity == FCapacity) return;
  if (NewCapacity < FCount || NewCapacity >= MaxListSize) RangeError(NewCapacity);
  if (NewCapacity == 0) {
    FItems.reset();
  } else {
    auto Items = std::make_unique<TObject*[]>(static_cast<size_t>(NewCapacity));
    if (FCount > 0) std::memcpy(Items.get(), FItems.get(), sizeof(TObject*) * FCount);
    FItems = std::move(Items);
  }
  FCapacity = NewCapacity;
}

void TObjectList::SetCount(int NewCount) {
  if (NewCount < 0 || NewCount >= MaxListSize) RangeError(NewCount);
  if (NewCount > FCapacity) SetCapacity(NewCount);
  if (NewCount > FCount) std::fill(FItems.get() + FCount, FItems.get() + NewCount, nullptr);
  FCount = NewCount;
}

TObject* TObjectList::Get(int Index) const {
  if (Index < 0 || Index >= FCount) RangeError(Index);
  return FItems[Index];
}

void TObjectList::FreeAll() {
  for (int I = 0; I < FCount; ++I) FreeItem(FItems[I]);
  Clear();
}

void TObjectList::Grow() {
  int Delta = FCapacity > 8 ? 16 : FCapacity > 4 ? 8 : 4;
  SetCapacity(FCapacity + Delta);
}

void TObjectList::Put(int Index, TObject* Item) {
  if (Index < 0 || Index >= FCount) RangeError(Index);
  FItems[Index] = Item;
}

void TObjectList::FreeItem(TObject* Item) {
  if (FOwnsItems) delete Item;
}

void TObjectList::InsertAt(int Index, TObject* Item) {
  if (FCount == FCapacity) Grow();
  if (FCount == FCapacity) SetCapacity(FCount + 1);  // a Grow override that did not grow
  if (Index < FCount)
    std::memmove(FItems.get() + Index + 1, FItems.get() + Index,
                 sizeof(TObject*) * static_cast<size_t>(FCount - Index));
  FItems[Index] = Item;
  ++FCount;
}

int TObjectList::Add(TObject* Item) {
  InsertAt(FCount, Item);
  return FCount - 1;
}

void TObjectList::Clear() {
  SetCount(0);
  SetCapacity(0);
}

int TObjectList::IndexOf(TObject* Item) const {
  for (int I = 0; I < FCount; ++I)
    if (FItems[I] == Item) return I;
  return -1;
}

void TObjectList::Insert(int Index, TObject* Item) {
  if (Index < 0 || Index > FCount) RangeError(Index);
  InsertAt(Index, Item);
}

TObject* TObjectList::First() const { return Get(0); }

TObject* TObjectList::Last() const { return Get(FCount - 1); }

TObject* TObjectList::Neighbour(TObject* Item, bool Forward) const {
  if (Item == nullptr) return Forward ? First() : Last();
  int Index = IndexOf(Item);
  if (Index < 0) throw EListError(Format("tObject %s not in item list", Item->ClassName().c_str()));
  Index += Forward ? 1 : -1;
  return (Index < 0 || Index >= FCount) ? nullptr : FItems[Index];
}

// Stream layout of a list, little-endian:
//   [policy: 1 byte, sorted lists only]
//   ownership: 1 byte (OwnsItems)
//   count: i32 N
//   N items: class name as a length byte and at most 63 bytes, then what the
//            class's registered write procedure writes.
// Reading replaces OwnsItems (and the policy), makes room for the items at
// once and passes each new item to Add, so a sorted list orders them.
void TObjectList::WriteData(TStream& Stream) const {
  WriteByte(Stream, FOwnsItems ? 1 : 0);
  WriteInt32(Stream, FCount);
  for (int I = 0; I < FCount; ++I) {
    TObject* Item = FItems[I];
    if (Item == nullptr) throw EClassNotFound("Nil Source Class!");
    std::string Name = Item->ClassName();
    const tRegisterRec* Rec = FindStreamClass(Name);
    if (Rec == nullptr)
      throw EClassNotFound(Format("Source Class <%s> not registered", Name.c_str()));
    Name.resize(std::min(Name.size(), kMaxClassName));
    WriteByte(Stream, static_cast<uint8_t>(Name.size()));
    Stream.WriteBuffer(Name.data(), static_cast<int64_t>(Name.size()));
    if (Rec->Write) Rec->Write(Item, Stream);
  }
}

void TObjectList::ReadData(TStream& Stream) {
  FOwnsItems = ReadByte(Stream) != 0;
  int32_t N = ReadInt32(Stream);
  if (N > 0 && FCapacity - FCount < N) {
    int64_t Wanted = static_cast<int64_t>(FCount) + N;
    if (Wanted >= MaxListSize) RangeError(static_cast<int>(std::min<int64_t>(Wanted, INT32_MAX)));
    // Every stored item takes at least its name's length byte, so a count
    // larger than the bytes left is damage: reserve no more than could be
    // read, keeping memory bounded for a corrupt count.
    int64_t Left = std::max<int64_t>(Stream.Size() - Stream.Position(), 0);
    int64_t Room = FCount + std::min<int64_t>(N, Left);
    if (Room > FCapacity) SetCapacity(static_cast<int>(Room));
  }
  for (int32_t I = 0; I < N; ++I) {
    std::string Name(ReadByte(Stream), '\0');
    if (!Name.empty()) Stream.ReadBuffer(Name.data(), static_cast<int64_t>(Name.size()));
    const tRegisterRec* Rec = FindStreamClass(Name);
    std::unique_ptr<TObject> Object = (Rec != nullptr && Rec->Create) ? Rec->Create() : nullptr;
    if (Object == nullptr) throw EClassNotFound(Format("Class <%s> not registered", Name.c_str()));
    if (Rec->Read) Rec->Read(Object.get(), Stream);
    int Before = FCount;
    Add(Object.get());
    TObject* Raw = Object.release();
    // A sorted list that skipped it as a duplicate holds no reference: the
    // object was made here and nobody else knows it.
    if (FCount == Before) delete Raw;
  }
}

// ---- TSortedObjectList -----------------------------------------------------------

TSortedObjectList::TSortedObjectList(TDuplicatePolicy Policy) : FDuplicatePolicy(Policy) {}

void TSortedObjectList::Put(int, TObject*) {
  throw EListError("Cannot <Put> an Object in a sorted list!");
}

int TSortedObjectList::Add(TObject* Item) {
  Insert(0, Item);
  return 0;
}

int TSortedObjectList::IndexOf(TObject* Item) const {
  int Index = 0;
  return Find(KeyOf(Item), Index) ? Index : -1;
}

void TSortedObjectList::Insert(int, TObject* Item) {
  int Index = 0;
  if (Find(KeyOf(Item), Index)) {
    switch (FDuplicatePolicy) {
      case AllowDuplicate: break;
      case RefuseDuplicate: throw EListError("Duplicate Object index");
      default: return;  // SkipDuplicate: the caller keeps the item
    }
  }
  InsertAt(Index, Item);
}

void TSortedObjectList::WriteData(TStream& Stream) const {
  WriteByte(Stream, FDuplicatePolicy);
  TObjectList::WriteData(Stream);
}

void TSortedObjectList::ReadData(TStream& Stream) {
  FDuplicatePolicy = static_cast<TDuplicatePolicy>(ReadByte(Stream));
  TObjectList::ReadData(Stream);
}

const void* TSortedObjectList::KeyOf(TObject* Item) const {
  return static_cast<const TObject*>(Item);
}

bool TSortedObjectList::Find(const void* Key, int& Index) const {
  int Lo = 0;
  int Hi = Count() - 1;
  bool Found = false;
  while (Lo <= Hi) {
    int Mid = (Lo + Hi) / 2;
    int C = Compare(KeyOf(RawItem(Mid)), Key);
    if (C < 0) {
      Lo = Mid + 1;
    } else {
      Hi = Mid - 1;
      if (C == 0) {
        Found = true;
        if (FDuplicatePolicy != AllowDuplicate) Lo = Mid;
      }
    }
  }
  Index = Lo;
  return Found;
}

}  // namespace zem
