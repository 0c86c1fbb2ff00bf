// The writer component itself: defaults, the attribute mask, the setters'
// consistency rules, the mirrored multi-volume accessors, ZipName, copying.
#include <gtest/gtest.h>

#include "writer_fixture.h"

namespace zem::test {
namespace {

// Shows the reader's own copies of the two mirrored settings.
class TProbeZip : public TArcZip {
 public:
  TMultiMode ReaderMultiMode() const { return FMultiMode; }
  bool ReaderCheckDiskLabels() const { return FCheckDiskLabels; }
};

TEST(ArcZip, DefaultsAndEnumerationValues) {
  TArcZip Zip;
  EXPECT_EQ(Zip.PackLevel(), 6);
  EXPECT_FALSE(Zip.Recurse());
  EXPECT_FALSE(Zip.Dispose());
  EXPECT_FALSE(Zip.StorePaths());
  EXPECT_FALSE(Zip.RelativePaths());
  EXPECT_FALSE(Zip.StoreVolumes());
  EXPECT_EQ(Zip.ZipAction(), zaUpdate);
  EXPECT_FALSE(Zip.Store83Names());
  EXPECT_EQ(Zip.TempPath(), "");
  EXPECT_FALSE(Zip.SkipIfArchiveBitNotSet());
  EXPECT_FALSE(Zip.ResetArchiveBitOnZip());
  EXPECT_TRUE(Zip.ExcludeList().empty());
  EXPECT_TRUE(Zip.NoCompressList().empty());
  EXPECT_FALSE(Zip.AddDirEntriesOnRecurse());
  EXPECT_FALSE(Zip.IncludeHiddenFiles());
  EXPECT_FALSE(Zip.IncludeSysFiles());
  EXPECT_TRUE(Zip.IncludeReadOnlyFiles());
  EXPECT_TRUE(Zip.IncludeArchiveFiles());
  EXPECT_EQ(Zip.MultiMode(), mmNone);
  EXPECT_TRUE(Zip.CheckDiskLabels());

  const TMultiZipInfo& M = Zip.MultiZipInfo();
  EXPECT_EQ(M.MultiMode(), mmNone);
  EXPECT_EQ(M.BlockSize(), 1457600);
  EXPECT_EQ(M.FirstBlockSize(), 0);
  EXPECT_EQ(M.SaveOnFirstDisk(), 0);
  EXPECT_FALSE(M.SaveZipInfoOnFirstDisk());
  EXPECT_TRUE(M.CheckDiskLabels());
  EXPECT_TRUE(M.WriteDiskLabels());

  EXPECT_EQ(static_cast<int>(zaUpdate), 0);
  EXPECT_EQ(static_cast<int>(zaReplace), 1);
  EXPECT_EQ(static_cast<int>(zaFreshen), 2);
  EXPECT_EQ(static_cast<int>(uaReplacing), 0);
  EXPECT_EQ(static_cast<int>(uaKeeping), 1);
  EXPECT_EQ(static_cast<int>(srNoOverwrite), 1);
  EXPECT_EQ(static_cast<int>(srExcludeList), 4);
  EXPECT_EQ(static_cast<int>(srSkippedInStartZip), 7);
}

TEST(ArcZip, AttributeMaskFollowsTheIncludeSettings) {
  TArcZip Zip;
  EXPECT_EQ(Zip.AttributeMask(), 0x39);
  Zip.SetIncludeHiddenFiles(true);
  Zip.SetIncludeSysFiles(true);
  EXPECT_EQ(Zip.AttributeMask(), 0x3F);
  Zip.SetIncludeReadOnlyFiles(false);
  Zip.SetIncludeArchiveFiles(false);
  // Volume-label and directory bits stay whatever the settings say.
  EXPECT_EQ(Zip.AttributeMask(), 0x1E);
  Zip.SetIncludeHiddenFiles(false);
  EXPECT_EQ(Zip.AttributeMask(), 0x1C);
  EXPECT_FALSE(Zip.IncludeHiddenFiles());
  EXPECT_TRUE(Zip.IncludeSysFiles());
}

TEST(ArcZip, PathSettersKeepEachOtherConsistent) {
  TArcZip Zip;
  Zip.SetStoreVolumes(true);
  EXPECT_TRUE(Zip.StorePaths());
  Zip.SetRelativePaths(true);
  EXPECT_TRUE(Zip.Recurse());
  Zip.SetStorePaths(false);
  EXPECT_FALSE(Zip.StorePaths());
  EXPECT_FALSE(Zip.StoreVolumes());
  EXPECT_FALSE(Zip.RelativePaths());
  EXPECT_TRUE(Zip.Recurse());  // Recurse is not a path setting

  TArcZip Other;
  Other.SetRelativePaths(true);
  EXPECT_TRUE(Other.StorePaths());
  EXPECT_TRUE(Other.Recurse());
  EXPECT_FALSE(Other.StoreVolumes());
  // Turning things off only cascades from StorePaths.
  Other.SetRelativePaths(false);
  EXPECT_TRUE(Other.StorePaths());
  EXPECT_TRUE(Other.Recurse());
  Other.SetStoreVolumes(true);
  Other.SetStoreVolumes(false);
  EXPECT_TRUE(Other.StorePaths());

  // A setter given the current value does nothing: RelativePaths set to
  // True again does not turn Recurse back on.
  TArcZip Third;
  Third.SetRelativePaths(true);
  Third.SetRecurse(false);
  Third.SetRelativePaths(true);
  EXPECT_FALSE(Third.Recurse());
}

TEST(ArcZip, MultiVolumeAccessorsMirrorIntoTheReader) {
  TProbeZip Zip;
  Zip.SetMultiMode(mmSpan);
  EXPECT_EQ(Zip.MultiZipInfo().MultiMode(), mmSpan);
  EXPECT_EQ(Zip.ReaderMultiMode(), mmSpan);
  Zip.SetCheckDiskLabels(false);
  EXPECT_FALSE(Zip.MultiZipInfo().CheckDiskLabels());
  EXPECT_FALSE(Zip.ReaderCheckDiskLabels());

  // Values set on MultiZipInfo are what the getters answer; Loaded passes
  // them on to the reader's copies.
  Zip.MultiZipInfo().SetMultiMode(mmBlocks);
  Zip.MultiZipInfo().SetCheckDiskLabels(true);
  EXPECT_EQ(Zip.MultiMode(), mmBlocks);
  EXPECT_TRUE(Zip.CheckDiskLabels());
  EXPECT_EQ(Zip.ReaderMultiMode(), mmSpan);
  Zip.BeginLoading();
  Zip.Loaded();
  EXPECT_EQ(Zip.ReaderMultiMode(), mmBlocks);
  EXPECT_TRUE(Zip.ReaderCheckDiskLabels());
  EXPECT_FALSE(Zip.IsLoading());
  EXPECT_EQ(Zip.ThisVersion(), 304);

  // Through the reader's interface the writer's values are seen.
  TArcUnZip& AsReader = Zip;
  EXPECT_EQ(AsReader.MultiMode(), mmBlocks);
  AsReader.SetMultiMode(mmNone);
  EXPECT_EQ(Zip.MultiZipInfo().MultiMode(), mmNone);
}

TEST(MultiZipInfo, AssignCopiesAllSevenValuesOrRefuses) {
  TMultiZipInfo A;
  A.SetMultiMode(mmBlocks);
  A.SetBlockSize(1000);
  A.SetFirstBlockSize(500);
  A.SetSaveOnFirstDisk(7);
  A.SetSaveZipInfoOnFirstDisk(true);
  A.SetCheckDiskLabels(false);
  A.SetWriteDiskLabels(false);
  TMultiZipInfo B;
  B.Assign(&A);
  EXPECT_EQ(B.MultiMode(), mmBlocks);
  EXPECT_EQ(B.BlockSize(), 1000);
  EXPECT_EQ(B.FirstBlockSize(), 500);
  EXPECT_EQ(B.SaveOnFirstDisk(), 7);
  EXPECT_TRUE(B.SaveZipInfoOnFirstDisk());
  EXPECT_FALSE(B.CheckDiskLabels());
  EXPECT_FALSE(B.WriteDiskLabels());

  TEndCentral Unrelated;
  EXPECT_THROW(B.Assign(&Unrelated), EConvertError);
  EXPECT_EQ(B.BlockSize(), 1000);

  // The component's setter copies contents; the object stays its own.
  TArcZip Zip;
  TMultiZipInfo* Own = &Zip.MultiZipInfo();
  Zip.SetMultiZipInfo(A);
  EXPECT_EQ(&Zip.MultiZipInfo(), Own);
  EXPECT_EQ(Zip.MultiZipInfo().FirstBlockSize(), 500);
  A.SetFirstBlockSize(1);
  EXPECT_EQ(Zip.MultiZipInfo().FirstBlockSize(), 500);
}

TEST(ArcZip, AssignCopiesSettingsAndOnlyTheListedHandlers) {
  TArcZip Src;
  Src.SetPackLevel(9);
  Src.SetDispose(true);
  Src.SetRelativePaths(true);
  Src.SetStoreVolumes(true);
  Src.SetZipAction(zaFreshen);
  Src.MultiZipInfo().SetBlockSize(4096);
  Src.MultiZipInfo().SetMultiMode(mmBlocks);
  Src.SetStore83Names(true);
  Src.SetTempPath("C:\\tmp");
  Src.SetSkipIfArchiveBitNotSet(true);
  Src.SetResetArchiveBitOnZip(true);
  Src.SetExcludeList({"*.tmp"});
  Src.SetNoCompressList({"*.jpg", "*.zip"});
  Src.SetAddDirEntriesOnRecurse(true);
  Src.SetRootDir("F:\\DCIM");
  Src.SetIncludeHiddenFiles(true);

  int Calls = 0;
  Src.OnStartZip = [&Calls](TObject*, const std::string&, TZipHeaderInfo&, bool&) { ++Calls; };
  Src.OnStartZipInfo = [&Calls](TObject*, int32_t, int64_t, TEndCentral&, bool&) { ++Calls; };
  Src.OnEndZip = [&Calls](TObject*, const std::string&, int32_t, int32_t, int32_t) { ++Calls; };
  Src.OnDisposeFile = [&Calls](TObject*, const std::string&, bool&) { ++Calls; };
  Src.OnDeleteEntry = [&Calls](TObject*, const std::string&, bool&) { ++Calls; };
  Src.OnNoSuchFile = [&Calls](TObject*, const std::string&) { ++Calls; };
  Src.OnZipComplete = [&Calls](TObject*, int32_t) { ++Calls; };
  Src.OnUpdate = [&Calls](TObject*, TUpdateAction, int32_t) { ++Calls; };
  Src.OnRecursingFile = [&Calls](TObject*, const std::string&) { ++Calls; };
  Src.OnEncrypt = [&Calls](TObject*, uint8_t*, int32_t, const std::string&) { ++Calls; };
  Src.OnPrepareNextDisk = [&Calls](TObject*, int32_t) { ++Calls; };
  Src.OnStartSpanCopy = [&Calls](TObject*, const std::string&, int64_t) { ++Calls; };
  Src.OnGetNextStream = [&Calls](TObject*, TStream*&, std::string&) { ++Calls; };

  TProbeZip Dst;
  Dst.Assign(&Src);
  EXPECT_EQ(Dst.PackLevel(), 9);
  EXPECT_TRUE(Dst.Dispose());
  EXPECT_TRUE(Dst.StorePaths());
  EXPECT_TRUE(Dst.RelativePaths());
  EXPECT_TRUE(Dst.StoreVolumes());
  EXPECT_TRUE(Dst.Recurse());
  EXPECT_EQ(Dst.ZipAction(), zaFreshen);
  EXPECT_EQ(Dst.MultiZipInfo().BlockSize(), 4096);
  EXPECT_EQ(Dst.MultiMode(), mmBlocks);
  EXPECT_EQ(Dst.ReaderMultiMode(), mmBlocks);
  EXPECT_TRUE(Dst.Store83Names());
  EXPECT_EQ(Dst.TempPath(), "C:\\tmp");
  EXPECT_TRUE(Dst.SkipIfArchiveBitNotSet());
  EXPECT_TRUE(Dst.ResetArchiveBitOnZip());
  EXPECT_EQ(Dst.ExcludeList(), std::vector<std::string>{"*.tmp"});
  EXPECT_EQ(Dst.NoCompressList(), (std::vector<std::string>{"*.jpg", "*.zip"}));
  EXPECT_TRUE(Dst.AddDirEntriesOnRecurse());
  EXPECT_EQ(Dst.RootDir(), "F:\\DCIM\\");  // copied by the reader's part
  // The mask is not among the copied settings.
  EXPECT_FALSE(Dst.IncludeHiddenFiles());
  // Copies, not shared objects.
  Src.ExcludeList().push_back("*.bak");
  EXPECT_EQ(Dst.ExcludeList().size(), 1u);

  // Copied handlers.
  TZipHeaderInfo H;
  TEndCentral E;
  bool B = false;
  Dst.OnStartZip(&Dst, "f", H, B);
  Dst.OnStartZipInfo(&Dst, 1, 2, E, B);
  Dst.OnEndZip(&Dst, "f", 1, 2, 3);
  Dst.OnDisposeFile(&Dst, "f", B);
  Dst.OnDeleteEntry(&Dst, "f", B);
  Dst.OnNoSuchFile(&Dst, "f");
  Dst.OnZipComplete(&Dst, 1);
  Dst.OnUpdate(&Dst, uaKeeping, 0);
  EXPECT_EQ(Calls, 8);
  // Not copied.
  EXPECT_FALSE(Dst.OnRecursingFile);
  EXPECT_FALSE(Dst.OnEncrypt);
  EXPECT_FALSE(Dst.OnPrepareNextDisk);
  EXPECT_FALSE(Dst.OnStartSpanCopy);
  EXPECT_FALSE(Dst.OnGetNextStream);

  // From a plain reader only the reader's part is copied; from an
  // unrelated class the copy is refused.
  TArcUnZip Reader;
  Reader.SetRootDir("F:\\X");
  TArcZip Zip;
  Zip.SetPackLevel(1);
  Zip.Assign(&Reader);
  EXPECT_EQ(Zip.RootDir(), "F:\\X\\");
  EXPECT_EQ(Zip.PackLevel(), 1);
  TMultiZipInfo Unrelated;
  EXPECT_THROW(Zip.Assign(&Unrelated), EConvertError);
}

class ArcZipName : public WriterTest {};

// Names are compared exactly: the same name keeps what was loaded, a name
// that differs only in case is another archive, for the writer and the
// reader alike.
TEST_F(ArcZipName, SameNameKeepsTheDirectoryOtherCaseIsAnotherArchive) {
  WriteArchive("F:\\Card.zip", {"a.txt", "b.txt"});
  WriteArchive("F:\\card.zip", {"c.txt"});
  TArcZip Zip;
  Zip.SetZipName("F:\\Card.zip");
  Zip.ReadDirectory();
  ASSERT_EQ(Zip.Count(), 2);
  const int64_t Loads = Zip.LoadCount();

  Zip.SetZipName("F:\\Card.zip");
  EXPECT_EQ(Zip.Count(), 2);
  Zip.ReadDirectory();
  EXPECT_EQ(Zip.LoadCount(), Loads);  // the directory was kept

  Zip.SetZipName("F:\\card.zip");
  EXPECT_EQ(Zip.ZipName(), "F:\\card.zip");
  Zip.ReadDirectory();
  EXPECT_EQ(Zip.Count(), 1);
  TArcUnZip Reader;
  Reader.SetZipName("F:\\card.zip");
  Reader.SetZipName("F:\\Card.zip");
  Reader.ReadDirectory();
  EXPECT_EQ(Reader.Count(), 2);

  // Another name drops what was loaded.
  Zip.SetZipName("F:\\Other.zip");
  EXPECT_EQ(Zip.ZipName(), "F:\\Other.zip");
  EXPECT_EQ(Zip.Count(), 0);

  // At design time the value is always passed on and only stored.
  TArcZip Designed;
  Designed.SetDesigning(true);
  Designed.SetZipName("F:\\a.zip");
  Designed.SetZipName("F:\\A.ZIP");
  EXPECT_EQ(Designed.ZipName(), "F:\\A.ZIP");
}

}  // namespace
}  // namespace zem::test
