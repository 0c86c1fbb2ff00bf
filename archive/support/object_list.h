// Object lists: a growable array of object references with optional
// ownership, a sorted variant with a duplicates policy, and their streaming
// through a registry of item classes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/base.h"
#include "platform/stream.h"

namespace zem {

// Count and Capacity stay below this (at most 536870910 items).
constexpr int MaxListSize = 0x1FFFFFFF;

// What a sorted list does with an item whose key equals one it holds.
enum TDuplicatePolicy : uint8_t {
  SkipDuplicate = 0,    // keep the held item; the new one is not inserted
  AllowDuplicate = 1,   // insert the new one before the equal ones
  RefuseDuplicate = 2,  // raise EListError "Duplicate Object index"
};

// A growable array of TObject references.
//
// Ownership: when OwnsItems is true (the default) the list deletes its items
// in FreeAll and on destruction, and nowhere else: Clear, SetCount and Put
// only drop references. A non-owning list shares items owned elsewhere and
// must go before them.
//
// Errors: every index or size out of range goes to Error, which raises
// EListError "List index out of bounds (%d)" with the offending value; the
// list is unchanged then. Error must raise; an override that returns is
// followed by the same EListError.
//
// Destruction runs FreeAll with this class's FreeItem (C++ calls no
// override from a base destructor): a subclass with its own FreeItem calls
// FreeAll in its own destructor.
class TObjectList : public TPersistent {
 public:
  TObjectList();
  ~TObjectList() override;
  TObjectList(const TObjectList&) = delete;
  TObjectList& operator=(const TObjectList&) = delete;

  int Count() const { return FCount; }
  // n outside 0..MaxListSize-1 -> Error(n). Grows the capacity to exactly n
  // when needed; new slots are null; shrinking drops references only.
  void SetCount(int NewCount);
  int Capacity() const { return FCapacity; }
  // No change when n = Capacity; n below Count or not below MaxListSize ->
  // Error(n); else exactly n slots, items kept (0 releases the array).
  void SetCapacity(int NewCapacity);
  bool OwnsItems() const { return FOwnsItems; }
  void SetOwnsItems(bool Value) { FOwnsItems = Value; }

  // Item at Index (0..Count-1, else Error(Index)).
  TObject* Get(int Index) const;
  TObject* operator[](int Index) const { return Get(Index); }
  // Typed access for lists that hold one class of item; the caller vouches
  // for the class (no run-time check).
  template <class T>
  T* ItemAs(int Index) const {
    return static_cast<T*>(Get(Index));
  }

  // FreeItem on every item in index order, then Clear.
  void FreeAll();

  // Raises EListError "List index out of bounds (%d)" with Index.
  virtual void Error(int Index) const;
  // Enlarges the capacity: by 16 above 8, by 8 from 5 to 8, by 4 up to 4.
  virtual void Grow();
  // Replaces the item at Index (range checked) without freeing the old one.
  virtual void Put(int Index, TObject* Item);
  // Deletes Item when the list owns its items.
  virtual void FreeItem(TObject* Item);
  // Appends; returns the new item's index.
  virtual int Add(TObject* Item);
  // Count 0 and Capacity 0; items are not freed.
  virtual void Clear();
  // First index holding that very object, or -1.
  virtual int IndexOf(TObject* Item) const;
  // Inserts at Index (0..Count, else Error(Index)), moving later items up.
  virtual void Insert(int Index, TObject* Item);
  // Streaming of the items through the class registry; see the design note
  // in object_list.cpp for the layout. Both raise EClassNotFound for an
  // item class that is not registered; items read before an error stay in
  // the list. Errors of the stream pass through.
  virtual void ReadData(TStream& Stream);
  virtual void WriteData(TStream& Stream) const;
  // Get(0) and Get(Count-1): both raise on an empty list.
  virtual TObject* First() const;
  virtual TObject* Last() const;
  // Without Item: First when Forward, else Last. With Item: the item after
  // (Forward) or before it, or nullptr past either end; an Item that
  // IndexOf cannot find raises EListError "tObject %s not in item list"
  // with its class name.
  virtual TObject* Neighbour(TObject* Item, bool Forward) const;

  // The name under which a form stream would keep the list's items; the
  // property is stored only when HasStreamData().
  static constexpr const char* StreamPropertyName = "ObjectContainer";
  bool HasStreamData() const { return FCount > 0; }

 protected:
  // Range-checked by the callers.
  TObject* RawItem(int Index) const { return FItems[Index]; }
  void InsertAt(int Index, TObject* Item);
  // Raises through Error; never returns.
  [[noreturn]] void RangeError(int Index) const;

 private:
  bool FOwnsItems = true;
  std::unique_ptr<TObject*[]> FItems;
  int FCount = 0;
  int FCapacity = 0;
};

// A list kept in the order of Compare over the items' keys, searched by
// binary search, with a duplicates policy.
//
// Keys: KeyOf returns an opaque `const void*`; by default the item itself
// (a `const TObject*` converted to `const void*`: cast it back with
// static_cast<const TObject*> before any downcast). Compare(Key1, Key2) is
// always asked as (held item's key, searched key) and returns <0, 0 or >0.
// A subclass may return a pointer to a field as the key, as long as KeyOf
// and the keys its callers pass to Find agree.
class TSortedObjectList : public TObjectList {
 public:
  explicit TSortedObjectList(TDuplicatePolicy Policy);

  TDuplicatePolicy DuplicatePolicy() const { return FDuplicatePolicy; }
  void SetDuplicatePolicy(TDuplicatePolicy Value) { FDuplicatePolicy = Value; }

  // Raises EListError "Cannot <Put> an Object in a sorted list!".
  void Put(int Index, TObject* Item) override;
  // Sorted insert; returns 0 whatever the position taken.
  int Add(TObject* Item) override;
  // Index of an item with an equal key (not necessarily Item), or -1.
  int IndexOf(TObject* Item) const override;
  // Index is ignored: the item goes where Find puts it. An equal key under
  // SkipDuplicate: nothing happens and the caller keeps ownership of Item;
  // under RefuseDuplicate: EListError "Duplicate Object index", list
  // unchanged; under AllowDuplicate: inserted before the equal items.
  void Insert(int Index, TObject* Item) override;
  // The policy byte, then the items as TObjectList streams them.
  void ReadData(TStream& Stream) override;
  void WriteData(TStream& Stream) const override;

  virtual const void* KeyOf(TObject* Item) const;
  virtual int Compare(const void* Key1, const void* Key2) const = 0;
  // Binary search. Returns whether an equal key is held; Index is where the
  // key is or would go. Under AllowDuplicate, Index is the first position
  // whose item does not compare below Key; otherwise an equal item's index.
  virtual bool Find(const void* Key, int& Index) const;

 private:
  TDuplicatePolicy FDuplicatePolicy;
};

// ---- Class registry for streaming --------------------------------------------

// Makes a fresh instance with the class's plain constructor.
using TStreamClassFactory = std::function<std::unique_ptr<TObject>()>;
// Fills the object from the stream, or writes it to the stream.
using TStreamClassProc = std::function<void(TObject* Object, TStream& Stream)>;

struct tRegisterRec {
  std::string Name;  // as registered, at most 63 characters
  TStreamClassFactory Create;
  TStreamClassProc Read;
  TStreamClassProc Write;
};

// Names are compared case-insensitively (ASCII) on at most their first 63
// characters. Registering a name that is already known is ignored and
// answers false. The registry lives for the whole process.
bool RegisterStreamClass(const std::string& Name, TStreamClassFactory Create,
                         TStreamClassProc Read, TStreamClassProc Write);
// Answers false when the name was not registered.
bool UnRegisterStreamClass(const std::string& Name);
// The record for Name, or nullptr. The pointer stays valid until that name
// is unregistered.
const tRegisterRec* FindStreamClass(const std::string& Name);

}  // namespace zem
