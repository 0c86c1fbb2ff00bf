// Tests for the object lists and their streaming.
#include "archive/support/object_list.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

namespace zem {
namespace {

// Counts live instances, so tests can tell freed items from kept ones.
class TCounted : public TObject {
 public:
  static inline int Alive = 0;
  explicit TCounted(int AKey = 0, int ATag = 0) : Key(AKey), Tag(ATag) { ++Alive; }
  ~TCounted() override { --Alive; }
  int Key;
  int Tag;  // tells apart items with equal keys
};

class TOther : public TObject {};

class TKeyList : public TSortedObjectList {
 public:
  explicit TKeyList(TDuplicatePolicy Policy) : TSortedObjectList(Policy) {}
  int Compare(const void* Key1, const void* Key2) const override {
    int A = Of(Key1)->Key;
    int B = Of(Key2)->Key;
    return A < B ? -1 : A > B ? 1 : 0;
  }
  TCounted* At(int Index) const { return ItemAs<TCounted>(Index); }

 private:
  static const TCounted* Of(const void* Key) {
    return static_cast<const TCounted*>(static_cast<const TObject*>(Key));
  }
};

template <class E, class F>
std::string MessageOf(F&& Action) {
  try {
    Action();
  } catch (const E& Error) {
    return Error.Message();
  }
  return "<no exception>";
}

class ObjectListTest : public ::testing::Test {
 protected:
  void SetUp() override { TCounted::Alive = 0; }
  void TearDown() override { EXPECT_EQ(TCounted::Alive, 0) << "items leaked or freed twice"; }
};

TEST_F(ObjectListTest, GrowsByFourThenEightThenSixteen) {
  TObjectList List;
  std::vector<int> Capacities;
  for (int I = 0; I < 64; ++I) {
    EXPECT_EQ(List.Add(new TCounted(I)), I);
    if (Capacities.empty() || Capacities.back() != List.Capacity())
      Capacities.push_back(List.Capacity());
  }
  EXPECT_EQ(Capacities, (std::vector<int>{4, 8, 16, 32, 48, 64}));
  for (int I = 0; I < 64; ++I) EXPECT_EQ(List.ItemAs<TCounted>(I)->Key, I);
}

TEST_F(ObjectListTest, IndexErrorsCarryTheOffendingValue) {
  TObjectList List;
  EXPECT_EQ(MessageOf<EListError>([&] { List.First(); }), "List index out of bounds (0)");
  EXPECT_EQ(MessageOf<EListError>([&] { List.Last(); }), "List index out of bounds (-1)");
  TCounted* A = new TCounted(1);
  TCounted* B = new TCounted(2);
  TCounted* C = new TCounted(3);
  List.Insert(0, A);
  List.Insert(1, C);  // at Count: appends
  List.Insert(1, B);  // in the middle: moves C up
  EXPECT_EQ(List.Get(0), A);
  EXPECT_EQ(List.Get(1), B);
  EXPECT_EQ(List.Get(2), C);
  auto* D = new TCounted(4);
  EXPECT_EQ(MessageOf<EListError>([&] { List.Insert(4, D); }), "List index out of bounds (4)");
  EXPECT_EQ(MessageOf<EListError>([&] { List.Insert(-1, D); }), "List index out of bounds (-1)");
  EXPECT_EQ(MessageOf<EListError>([&] { List.Get(3); }), "List index out of bounds (3)");
  EXPECT_EQ(MessageOf<EListError>([&] { List.Put(3, D); }), "List index out of bounds (3)");
  EXPECT_EQ(List.Count(), 3);
  EXPECT_EQ(List.IndexOf(C), 2);
  EXPECT_EQ(List.IndexOf(D), -1);
  EXPECT_EQ(List.First(), A);
  EXPECT_EQ(List.Last(), C);
  delete D;
}

TEST_F(ObjectListTest, CapacityAndCountLimits) {
  TObjectList List;
  for (int I = 0; I < 5; ++I) List.Add(new TCounted(I));
  EXPECT_EQ(MessageOf<EListError>([&] { List.SetCapacity(4); }), "List index out of bounds (4)");
  EXPECT_EQ(MessageOf<EListError>([&] { List.SetCapacity(MaxListSize); }),
            "List index out of bounds (536870911)");
  EXPECT_EQ(MessageOf<EListError>([&] { List.SetCount(-1); }), "List index out of bounds (-1)");
  EXPECT_EQ(MessageOf<EListError>([&] { List.SetCount(MaxListSize); }),
            "List index out of bounds (536870911)");
  EXPECT_EQ(List.Count(), 5);
  List.SetCapacity(5);
  EXPECT_EQ(List.Capacity(), 5);
  EXPECT_EQ(List.ItemAs<TCounted>(4)->Key, 4);

  // Shrinking drops references without freeing; growing again gives nulls.
  TCounted* Dropped = List.ItemAs<TCounted>(4);
  List.SetCount(4);
  EXPECT_EQ(TCounted::Alive, 5);
  List.SetCount(7);
  EXPECT_EQ(List.Capacity(), 7);
  EXPECT_EQ(List.Get(4), nullptr);
  EXPECT_EQ(List.Get(6), nullptr);
  delete Dropped;
  List.FreeAll();  // null slots are fine to free
  EXPECT_EQ(List.Count(), 0);
  EXPECT_EQ(List.Capacity(), 0);
}

TEST_F(ObjectListTest, OwnershipDecidesWhoFrees) {
  std::vector<TCounted*> Kept;
  {
    TObjectList List;
    for (int I = 0; I < 3; ++I) {
      Kept.push_back(new TCounted(I));
      List.Add(Kept.back());
    }
    List.Clear();  // Clear never frees
    EXPECT_EQ(TCounted::Alive, 3);
    EXPECT_EQ(List.Count(), 0);
    EXPECT_EQ(List.Capacity(), 0);

    TCounted* Old = new TCounted(9);
    List.Add(Old);
    List.Put(0, Kept[0]);  // Put never frees the old item
    EXPECT_EQ(TCounted::Alive, 4);
    delete Old;
    List.Add(Kept[1]);
    List.FreeAll();
    EXPECT_EQ(TCounted::Alive, 1);
    List.Add(Kept[2]);
  }
  EXPECT_EQ(TCounted::Alive, 0) << "an owning list frees on destruction";

  auto* Shared = new TCounted(1);
  {
    TObjectList View;
    View.SetOwnsItems(false);
    View.Add(Shared);
    View.FreeAll();
    View.Add(Shared);
  }
  EXPECT_EQ(TCounted::Alive, 1) << "a non-owning list never frees";
  delete Shared;
}

TEST_F(ObjectListTest, NeighbourWalksBothWays) {
  TObjectList List;
  EXPECT_THROW(List.Neighbour(nullptr, true), EListError);
  auto* A = new TCounted(1);
  auto* B = new TCounted(2);
  auto* C = new TCounted(3);
  List.Add(A);
  List.Add(B);
  List.Add(C);
  EXPECT_EQ(List.Neighbour(nullptr, true), A);
  EXPECT_EQ(List.Neighbour(nullptr, false), C);
  EXPECT_EQ(List.Neighbour(A, true), B);
  EXPECT_EQ(List.Neighbour(B, false), A);
  EXPECT_EQ(List.Neighbour(C, true), nullptr);
  EXPECT_EQ(List.Neighbour(A, false), nullptr);
  TCounted Stranger(1);
  EXPECT_EQ(MessageOf<EListError>([&] { List.Neighbour(&Stranger, true); }),
            "tObject TCounted not in item list");
}

TEST_F(ObjectListTest, DuplicatePolicies) {
  {
    TKeyList List(AllowDuplicate);
    for (int Tag : {1, 2, 3}) EXPECT_EQ(List.Add(new TCounted(5, Tag)), 0);
    List.Add(new TCounted(9));
    List.Add(new TCounted(1));
    ASSERT_EQ(List.Count(), 5);
    EXPECT_EQ(List.At(0)->Key, 1);
    EXPECT_EQ(List.At(1)->Tag, 3) << "a new equal item goes before the equal ones";
    EXPECT_EQ(List.At(2)->Tag, 2);
    EXPECT_EQ(List.At(3)->Tag, 1);
    EXPECT_EQ(List.At(4)->Key, 9);
  }
  {
    TKeyList List(SkipDuplicate);
    auto* A = new TCounted(5, 1);
    auto* B = new TCounted(5, 2);
    EXPECT_EQ(List.Add(A), 0);
    EXPECT_EQ(List.Add(B), 0);
    EXPECT_EQ(List.Count(), 1);
    EXPECT_EQ(List.First(), A);
    EXPECT_EQ(List.IndexOf(B), 0) << "IndexOf finds an equal key";
    delete B;  // not taken: still the caller's
  }
  {
    TKeyList List(RefuseDuplicate);
    List.Add(new TCounted(5, 1));
    List.Add(new TCounted(7, 1));
    auto* B = new TCounted(5, 2);
    EXPECT_EQ(MessageOf<EListError>([&] { List.Add(B); }), "Duplicate Object index");
    EXPECT_EQ(List.Count(), 2);
    delete B;
    auto* C = new TCounted(6);
    EXPECT_EQ(MessageOf<EListError>([&] { List.Put(0, C); }),
              "Cannot <Put> an Object in a sorted list!");
    EXPECT_EQ(List.At(0)->Key, 5);
    delete C;
  }
}

TEST_F(ObjectListTest, SortedListStaysOrderedAndFindsPositions) {
  std::mt19937 Gen(7);
  for (TDuplicatePolicy Policy : {SkipDuplicate, AllowDuplicate, RefuseDuplicate}) {
    TKeyList List(Policy);
    std::vector<int> Expected;
    for (int I = 0; I < 400; ++I) {
      int Key = static_cast<int>(Gen() % 150);
      bool Held = std::count(Expected.begin(), Expected.end(), Key) > 0;
      auto* Item = new TCounted(Key);
      if (Held && Policy == RefuseDuplicate) {
        EXPECT_THROW(List.Add(Item), EListError);
        delete Item;
      } else if (Held && Policy == SkipDuplicate) {
        List.Add(Item);
        delete Item;
      } else {
        List.Add(Item);
        Expected.push_back(Key);
      }
    }
    std::sort(Expected.begin(), Expected.end());
    ASSERT_EQ(List.Count(), static_cast<int>(Expected.size()));
    for (int I = 0; I < List.Count(); ++I) ASSERT_EQ(List.At(I)->Key, Expected[I]);

    for (int Key = -1; Key <= 151; ++Key) {
      TCounted Probe(Key);
      int Index = -1;
      bool Found = List.Find(&static_cast<TObject&>(Probe), Index);
      auto Lower = std::lower_bound(Expected.begin(), Expected.end(), Key);
      bool Has = Lower != Expected.end() && *Lower == Key;
      EXPECT_EQ(Found, Has) << Key;
      if (!Has || Policy == AllowDuplicate)
        EXPECT_EQ(Index, Lower - Expected.begin()) << Key;
      else
        EXPECT_EQ(List.At(Index)->Key, Key);
      EXPECT_EQ(List.IndexOf(&Probe) >= 0, Has);
    }
  }
}

// ---- Streaming ------------------------------------------------------------

class ObjectListStreamTest : public ObjectListTest {
 protected:
  void SetUp() override {
    ObjectListTest::SetUp();
    ASSERT_TRUE(RegisterStreamClass(
        "tcounted", [] { return std::make_unique<TCounted>(); },
        [](TObject* Object, TStream& Stream) {
          auto* Item = static_cast<TCounted*>(Object);
          Stream.ReadBuffer(&Item->Key, 4);
          Stream.ReadBuffer(&Item->Tag, 4);
        },
        [](TObject* Object, TStream& Stream) {
          auto* Item = static_cast<TCounted*>(Object);
          Stream.WriteBuffer(&Item->Key, 4);
          Stream.WriteBuffer(&Item->Tag, 4);
        }));
  }
  void TearDown() override {
    UnRegisterStreamClass("TCounted");
    ObjectListTest::TearDown();
  }
};

TEST_F(ObjectListStreamTest, RegistryLookups) {
  EXPECT_FALSE(RegisterStreamClass("TCOUNTED", nullptr, nullptr, nullptr)) << "duplicates ignored";
  ASSERT_NE(FindStreamClass("TCounted"), nullptr);
  EXPECT_TRUE(FindStreamClass("TCounted")->Create != nullptr) << "the first registration stays";
  EXPECT_EQ(FindStreamClass("TCountedX"), nullptr);

  std::string Long(63, 'L');
  ASSERT_TRUE(RegisterStreamClass(Long + "first", nullptr, nullptr, nullptr));
  EXPECT_NE(FindStreamClass(Long + "whatever"), nullptr) << "only 63 characters count";
  EXPECT_EQ(FindStreamClass(Long.substr(1)), nullptr);
  EXPECT_TRUE(UnRegisterStreamClass(Long));
  EXPECT_FALSE(UnRegisterStreamClass(Long));
}

TEST_F(ObjectListStreamTest, RoundTripKeepsItemsOwnershipAndPolicy) {
  TMemoryStream Stream;
  {
    TKeyList List(AllowDuplicate);
    List.Add(new TCounted(3, 1));
    List.Add(new TCounted(1, 2));
    List.Add(new TCounted(3, 3));
    List.WriteData(Stream);
  }
  const std::string& Bytes = Stream.Data();
  ASSERT_EQ(Bytes.size(), 1u + 1 + 4 + 3 * (1 + 8 + 8));
  EXPECT_EQ(Bytes[0], AllowDuplicate);
  EXPECT_EQ(Bytes[1], 1) << "OwnsItems";
  EXPECT_EQ(Bytes.substr(2, 4), std::string("\x03\x00\x00\x00", 4));
  EXPECT_EQ(Bytes.substr(6, 9), "\x08TCounted") << "the class name, length first";

  Stream.SetPosition(0);
  TKeyList Copy(SkipDuplicate);
  Copy.ReadData(Stream);
  EXPECT_EQ(Copy.DuplicatePolicy(), AllowDuplicate);
  EXPECT_TRUE(Copy.OwnsItems());
  ASSERT_EQ(Copy.Count(), 3);
  EXPECT_EQ(Copy.At(0)->Key, 1);
  // Each equal item read goes before the ones already read.
  EXPECT_EQ(Copy.At(1)->Tag, 1);
  EXPECT_EQ(Copy.At(2)->Tag, 3);

  // A plain list keeps the stored order; a non-owning flag is restored too.
  TMemoryStream Plain;
  {
    TObjectList List;
    List.Add(new TCounted(2));
    List.Add(new TCounted(1));
    List.SetOwnsItems(false);
    List.WriteData(Plain);
    List.SetOwnsItems(true);
  }
  Plain.SetPosition(0);
  TObjectList Back;
  Back.ReadData(Plain);
  EXPECT_FALSE(Back.OwnsItems());
  ASSERT_EQ(Back.Count(), 2);
  EXPECT_EQ(Back.ItemAs<TCounted>(0)->Key, 2);
  Back.SetOwnsItems(true);
}

TEST_F(ObjectListStreamTest, ReadingIntoSkipListFreesTheSkippedCopies) {
  TMemoryStream Stream;
  {
    TObjectList List;
    for (int Tag = 0; Tag < 4; ++Tag) List.Add(new TCounted(8, Tag));
    List.WriteData(Stream);
  }
  std::string Bytes = std::string(1, SkipDuplicate) + Stream.Data();  // policy byte first
  TMemoryStream In(Bytes);
  TKeyList List(AllowDuplicate);
  List.ReadData(In);
  EXPECT_EQ(List.Count(), 1);
  EXPECT_EQ(TCounted::Alive, 1) << "skipped duplicates must not leak";
}

TEST_F(ObjectListStreamTest, StreamingErrors) {
  TMemoryStream Out;
  {
    TObjectList List;
    List.SetCount(1);
    EXPECT_EQ(MessageOf<EClassNotFound>([&] { List.WriteData(Out); }), "Nil Source Class!");
    List.Put(0, new TOther);
    EXPECT_EQ(MessageOf<EClassNotFound>([&] { List.WriteData(Out); }),
              "Source Class <TOther> not registered");
  }

  // Two good items, then an unknown class: the good ones stay.
  TMemoryStream Good;
  {
    TObjectList List;
    List.Add(new TCounted(1));
    List.Add(new TCounted(2));
    List.WriteData(Good);
  }
  std::string Bytes = Good.Data();
  Bytes[1] = 3;  // claim three items
  Bytes += "\x05" "Bogus";
  TMemoryStream In(Bytes);
  TObjectList List;
  EXPECT_EQ(MessageOf<EClassNotFound>([&] { List.ReadData(In); }), "Class <Bogus> not registered");
  EXPECT_EQ(List.Count(), 2);

  // A damaged count neither allocates for it nor gets past the data.
  std::string Huge("\x01\xF0\xFF\xFF\x0F", 5);
  TMemoryStream Short(Huge);
  TObjectList Damaged;
  EXPECT_THROW(Damaged.ReadData(Short), EReadError);
  EXPECT_LT(Damaged.Capacity(), 16);
  std::string TooMany("\x01\xFF\xFF\xFF\x7F", 5);
  TMemoryStream Over(TooMany);
  EXPECT_EQ(MessageOf<EListError>([&] { Damaged.ReadData(Over); }),
            "List index out of bounds (2147483647)");
}

}  // namespace
}  // namespace zem
