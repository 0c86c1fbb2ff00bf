// The window's operations on fake cards: Backup, Restore and DiskCopy, with
// their messages, progress and the window's enabled state.
#include <QProgressBar>
#include <QPushButton>

#include "app/format_dialog.h"
#include "form_fixture.h"

namespace zem::test {
namespace {

namespace fs = std::filesystem;

class CardFlowTest : public FormTest {
 protected:
  // The work files (ZEM0-..., ZEM1-...) left in the private temporary folder.
  static std::vector<std::string> WorkFiles() {
    std::vector<std::string> Names;
    for (auto& E : fs::directory_iterator(platform::ToNativePath(platform::GetTempPathA())))
      if (E.path().filename().string().rfind("ZEM", 0) == 0) Names.push_back(E.path().string());
    return Names;
  }
  // Backs card F up into Image through the window with the default choice.
  void BackUp(const std::string& Image) {
    Select('F');
    Services->SaveNames.push_back(Image);
    QTest::mouseClick(Form->Button2, Qt::LeftButton);
    ASSERT_EQ(Services->Texts(), (std::vector<std::string>{"Job complete!", "Job complete!"}));
    Services->Boxes.clear();
  }
};

TEST_F(CardFlowTest, BackupReportsTwiceWithProgressAndTheWindowDisabled) {
  const fs::path Card = Cards.AddCard('F', "CAMERA");
  FillCard(Card, 6, 1);
  MakeForm();
  Select('F');
  std::vector<int> Values;
  bool EnabledDuringProgress = false;
  bool ClosedDuringProgress = false;
  QObject::connect(Form->ProgressBar1, &QProgressBar::valueChanged, [&](int V) {
    Values.push_back(V);
    if (Form->isEnabled()) EnabledDuringProgress = true;
    // The frame's close button does nothing while the card is being read.
    if (V > 0 && V < 100 && !ClosedDuringProgress) ClosedDuringProgress = Form->close();
  });
  std::vector<int> BarAtBox;
  Services->OnBox = [&](const TRecordingServices::TBox&) {
    BarAtBox.push_back(Form->ProgressBar1->value());
  };
  const std::string Image = OutsideName("card.IMG");
  Services->SaveNames.push_back(Image);
  QTest::mouseClick(Form->Button2, Qt::LeftButton);

  ASSERT_EQ(Services->SaveOptions.size(), 1u);
  EXPECT_EQ(Services->SaveOptions[0].Filter, "ZEM Tool Backup File (*.IMG)|*.IMG");
  EXPECT_EQ(Services->SaveOptions[0].DefaultExt, "*.IMG");
  ASSERT_EQ(Services->Boxes.size(), 2u);
  for (const auto& Box : Services->Boxes) {
    EXPECT_EQ(Box.Text, "Job complete!");
    EXPECT_EQ(Box.Caption, "Message");
    EXPECT_EQ(Box.Flags, platform::MB_OK);
    EXPECT_EQ(Box.Owner, Form->Handle());
    EXPECT_FALSE(Box.OwnerEnabled);  // both come while the window is disabled
  }
  // The first comes at the end of zipping (the bar still full), the second
  // after the bar went back to 0.
  ASSERT_EQ(BarAtBox.size(), 2u);
  EXPECT_EQ(BarAtBox[1], 0);
  EXPECT_TRUE(Form->isEnabled());
  EXPECT_FALSE(EnabledDuringProgress);
  EXPECT_FALSE(ClosedDuringProgress);
  EXPECT_TRUE(Form->isVisible());
  // Several values on the way up, ending at 100 and then back to 0.
  ASSERT_GE(Values.size(), 4u);
  EXPECT_TRUE(std::any_of(Values.begin(), Values.end(), [](int V) { return V > 0 && V < 100; }));
  EXPECT_EQ(std::count(Values.begin(), Values.end(), 100), 1);
  EXPECT_EQ(Values.back(), 0);
  EXPECT_TRUE(std::is_sorted(Values.begin(), Values.end() - 1));
  // The image: the magic and the label at its head.
  const std::string Bytes = ReadFile(Cards.Outside() / "card.IMG");
  ASSERT_GT(Bytes.size(), 6u << 20);
  EXPECT_EQ(Bytes.substr(0, 10), std::string("ZEM0CAMERA"));
}

TEST_F(CardFlowTest, BackupOfAnEmptyCardCompletesAndACancelledDialogDoesNothing) {
  Cards.AddCard('F', "EMPTY");  // no files: the archive is padded to an image's size
  MakeForm();
  Select('F');
  Services->SaveNames.push_back(OutsideName("empty.IMG"));
  QTest::mouseClick(Form->Button2, Qt::LeftButton);
  EXPECT_EQ(Services->Texts(), (std::vector<std::string>{"Job complete!", "Job complete!"}));
  EXPECT_EQ(ReadFile(Cards.Outside() / "empty.IMG").size(), 2048u);
  EXPECT_TRUE(Form->isEnabled());
  // A cancelled dialog does nothing.
  Services->Boxes.clear();
  QTest::mouseClick(Form->Button2, Qt::LeftButton);
  EXPECT_TRUE(Services->Boxes.empty());
  EXPECT_EQ(Services->SaveOptions.size(), 2u);
}

TEST_F(CardFlowTest, RestoreOfAGoodImageSaysJobCompleteAndRestoresTheCard) {
  const fs::path Card = Cards.AddCard('F', "CAMERA");
  const fs::path Other = Cards.AddCard('G', "OTHER");
  FillCard(Card, 2, 3);
  WriteFile(Other / "stale" / "old.bin", "stale bytes");
  MakeForm();
  const std::string Image = OutsideName("good.IMG");
  BackUp(Image);

  Select('G');
  bool DisabledWhileRestoring = false;
  QObject::connect(Form->ProgressBar1, &QProgressBar::valueChanged,
                   [&](int) { DisabledWhileRestoring |= !Form->isEnabled(); });
  // A name that does not exist does nothing, without a message.
  Services->OpenNames.push_back(OutsideName("missing.IMG"));
  QTest::mouseClick(Form->Button3, Qt::LeftButton);
  EXPECT_TRUE(Services->Boxes.empty());
  EXPECT_EQ(TreeOf(Other).size(), 1u);

  Services->OpenNames.push_back(Image);
  QTest::mouseClick(Form->Button3, Qt::LeftButton);
  ASSERT_EQ(Services->OpenOptions.size(), 2u);
  EXPECT_EQ(Services->OpenOptions[1].Filter, "ZEM Tool Backup File (*.IMG)|*.IMG");
  // The format dialog's question and report, then the restore's own word.
  EXPECT_EQ(Services->Texts(),
            (std::vector<std::string>{kFormatQuestion, kFormatComplete, "Job complete!"}));
  EXPECT_EQ(Form->ProgressBar1->value(), 0);
  EXPECT_EQ(TreeOf(Other), TreeOf(Card));
  EXPECT_TRUE(DisabledWhileRestoring);
  EXPECT_TRUE(Form->isEnabled());
  EXPECT_FALSE(Form->Timer1->Enabled());
  EXPECT_TRUE(WorkFiles().empty());
}

TEST_F(CardFlowTest, RestoreOfAnImageWithoutItsEndRecordFails) {
  const fs::path Card = Cards.AddCard('F', "CAMERA");
  const fs::path Other = Cards.AddCard('G', "OTHER");
  FillCard(Card, 1, 5);
  WriteFile(Other / "keep.txt", "keep");
  MakeForm();
  const std::string Image = OutsideName("broken.IMG");
  BackUp(Image);
  // Cut the archive's end record out of the image: it lies just before the
  // image's last 1024 bytes, where the archive's own head is kept.
  const fs::path Native = Cards.Outside() / "broken.IMG";
  std::string Bytes = ReadFile(Native);
  const size_t End = Bytes.rfind(std::string("PK\x05\x06", 4));
  ASSERT_NE(End, std::string::npos);
  ASSERT_GT(End, 1024u);
  Bytes.erase(End, Bytes.size() - 1024 - End);
  WriteFile(Native, Bytes);

  Select('G');
  Services->OpenNames.push_back(Image);
  QTest::mouseClick(Form->Button3, Qt::LeftButton);
  // One message with its cause; the card is never formatted.
  ASSERT_EQ(Services->Boxes.size(), 1u);
  EXPECT_EQ(Services->Boxes[0].Text,
            "The backup file is damaged: the card was not touched.\n"
            "the archive has no valid end record");
  EXPECT_EQ(Services->Boxes[0].Caption, "Error!");
  EXPECT_TRUE(Form->isEnabled());
  EXPECT_EQ(Form->ProgressBar1->value(), 0);
  EXPECT_EQ(TreeOf(Other).size(), 1u);  // never formatted
}

TEST_F(CardFlowTest, DiskCopyShowsItsMessagesInOrder) {
  const fs::path Card = Cards.AddCard('F', "CAMERA");
  FillCard(Card, 1, 9);
  const auto Original = TreeOf(Card);
  const fs::path Second = Cards.Outside() / "second";
  WriteFile(Second / "stale.txt", "stale");
  MakeForm();
  Select('F');
  Services->OnBox = [&](const TRecordingServices::TBox& Box) {
    // The user changes the card: drive F now shows the second card.
    if (Box.Text == "Read complete, please change a card and press OK") {
      Cards.RemoveCard('F');
      const fs::path Slot = Cards.AddCard('F', "SECOND");
      fs::remove_all(Slot);
      fs::rename(Second, Slot);
    }
  };
  QTest::mouseClick(Form->Button7, Qt::LeftButton);
  const std::vector<std::string> Expected = {
      "Job complete!", "Read complete, please change a card and press OK", kFormatQuestion,
      kFormatComplete, "DiskCopy Complete!"};
  EXPECT_EQ(Services->Texts(), Expected);
  ASSERT_EQ(Services->Boxes.size(), Expected.size());
  EXPECT_EQ(Services->Boxes[1].Caption, "Message!");
  EXPECT_EQ(Services->Boxes[4].Caption, "Message!");
  EXPECT_EQ(Services->Boxes[4].Owner, Form->Handle());
  EXPECT_EQ(TreeOf(Card), Original);  // the folder of drive F is the second card now
  EXPECT_EQ(Form->ProgressBar1->value(), 0);
  EXPECT_TRUE(Form->isEnabled());
  EXPECT_TRUE(WorkFiles().empty());
}

TEST_F(CardFlowTest, DiskCopyOntoACardTooSmallSaysWhyAndNotComplete) {
  const fs::path Card = Cards.AddCard('F', "CAMERA");
  FillCard(Card, 1, 9);
  MakeForm();
  Select('F');
  Services->OnBox = [&](const TRecordingServices::TBox& Box) {
    if (Box.Text == "Read complete, please change a card and press OK") {
      Cards.RemoveCard('F');
      Cards.AddCard('F', "TINY", 4096);
    }
  };
  QTest::mouseClick(Form->Button7, Qt::LeftButton);
  const std::vector<std::string> Texts = Services->Texts();
  ASSERT_EQ(Texts.size(), 3u);
  EXPECT_EQ(Texts[2].rfind("Destination media size is too small for the backup file!\n", 0), 0u)
      << Texts[2];
  EXPECT_EQ(std::count(Texts.begin(), Texts.end(), "DiskCopy Complete!"), 0);
  EXPECT_EQ(Form->ProgressBar1->value(), 0);
  EXPECT_TRUE(Form->isEnabled());
  EXPECT_TRUE(WorkFiles().empty());
}

}  // namespace
}  // namespace zem::test
