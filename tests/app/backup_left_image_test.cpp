// A backup that fails once its archive is written (while it is turned into
// an image) leaves a file at the name chosen: the window's error must say
// that this file is no backup.
#include <QPushButton>

#include <climits>

#include "form_fixture.h"
#include "platform/fault_file_system.h"

namespace zem::test {
namespace {

TEST_F(FormTest, BackupFailingWhileTheImageIsMadeSaysTheFileLeftIsNoBackup) {
  FillCard(Cards.AddCard('F', "CAMERA"), 1, 51);
  MakeForm();
  Select('F');
  const std::string Image = OutsideName("w.IMG");
  // A first backup counts the writes to the image: the last one writes
  // the image's header.
  platform::TFaultFileSystem Count;
  const int Writes = Count.Add({.Op = platform::TFsOp::Write, .Path = "*/w.IMG", .Call = INT_MAX});
  {
    platform::TFileSystemOverride Guard(Count);
    Services->SaveNames.push_back(Image);
    QTest::mouseClick(Form->Button2, Qt::LeftButton);
  }
  ASSERT_EQ(Services->Heads(), (std::vector<std::string>{"Job complete!", "Job complete!"}));
  ASSERT_GT(Count.Seen(Writes), 1);

  platform::TFaultFileSystem Fault;
  const int Full = Fault.Add({.Op = platform::TFsOp::Write, .Path = "*/w.IMG", .Error = ENOSPC,
                              .Call = Count.Seen(Writes)});
  Services->Boxes.clear();
  Services->Answers = {platform::IDYES};
  {
    platform::TFileSystemOverride Guard(Fault);
    Services->SaveNames.push_back(Image);
    QTest::mouseClick(Form->Button2, Qt::LeftButton);
  }
  ASSERT_EQ(Fault.Fired(Full), 1);
  ASSERT_TRUE(std::filesystem::exists(Cards.Outside() / "w.IMG"));
  ASSERT_EQ(Services->Boxes.size(), 2u);  // the replace question, then the error
  const std::string Said = Services->Boxes[1].Text;
  EXPECT_EQ(Services->Boxes[1].Caption, kApplicationTitle);
  EXPECT_NE(Said.find((Cards.Outside() / "w.IMG").string()), std::string::npos) << Said;
  EXPECT_NE(Said.find("not a backup"), std::string::npos) << Said;
  EXPECT_TRUE(Form->isEnabled());
}

}  // namespace
}  // namespace zem::test
