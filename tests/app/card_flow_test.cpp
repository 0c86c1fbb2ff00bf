// The window's operations on fake cards: Backup, Restore and DiskCopy, with
// their messages, progress and the window's enabled state.
#include <QApplication>
#include <QDate>
#include <QDir>
#include <QLabel>
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
    ASSERT_EQ(Services->Heads(), (std::vector<std::string>{"Job complete!", "Job complete!"}));
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
  // The last says what was backed up, and where.
  EXPECT_EQ(Services->Boxes[1].Text.rfind("Job complete!\n5 files (6.4", 0), 0u) << Services->Boxes[1].Text;
  EXPECT_NE(Services->Boxes[1].Text.find("backed up into " + (Cards.Outside() / "card.IMG").string() + " ("),
            std::string::npos);
  for (const auto& Box : Services->Boxes) {
    EXPECT_EQ(Box.Text.substr(0, Box.Text.find('\n')), "Job complete!");
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
  EXPECT_EQ(Services->Heads(), (std::vector<std::string>{"Job complete!", "Job complete!"}));
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
  EXPECT_EQ(Services->Heads(),
            (std::vector<std::string>{kFormatQuestion, kFormatComplete, "Job complete!"}));
  EXPECT_EQ(Services->Boxes.back().Text.substr(13), "\n5 files (2.2 MB) restored onto G:.");
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
      // The card read is pulled; a small one takes its place.
      Cards.RemoveCard('F');
      fs::rename(Card, Cards.Outside() / "camera");
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

// The save dialog starts in the home folder with LABEL-YYYYMMDD.IMG, the
// image always gets ".IMG", and an existing image is replaced only after
// a yes.
TEST_F(CardFlowTest, SaveDialogNameExtensionAndTheReplaceQuestion) {
  FillCard(Cards.AddCard('F', "CAMERA"), 0, 7);
  MakeForm();
  Services->SaveNames.push_back(OutsideName("typed"));
  QTest::mouseClick(Form->Button2, Qt::LeftButton);
  ASSERT_EQ(Services->SaveOptions.size(), 1u);
  const std::string Home = platform::FromNativePath(QDir::homePath().toStdString());
  EXPECT_EQ(Services->SaveOptions[0].InitialDir, Home);
  EXPECT_EQ(Services->SaveOptions[0].FileName,
            Home + "\\CAMERA-" + QDate::currentDate().toString("yyyyMMdd").toStdString() + ".IMG");
  const fs::path Image = Cards.Outside() / "typed.IMG";
  ASSERT_TRUE(fs::exists(Image));
  EXPECT_EQ(Services->Heads(), (std::vector<std::string>{"Job complete!", "Job complete!"}));

  // No: nothing written. Yes: replaced.
  WriteFile(Image, "old image");
  const std::string Question = Image.string() + " already exists. Replace it?";
  Services->Boxes.clear();
  Services->Answers = {platform::IDNO};
  Services->SaveNames.push_back(OutsideName("typed.IMG"));
  QTest::mouseClick(Form->Button2, Qt::LeftButton);
  EXPECT_EQ(Services->Texts(), std::vector<std::string>{Question});
  EXPECT_EQ(ReadFile(Image), "old image");
  Services->Boxes.clear();
  Services->Answers = {platform::IDYES};
  Services->SaveNames.push_back(OutsideName("typed.IMG"));
  QTest::mouseClick(Form->Button2, Qt::LeftButton);
  EXPECT_EQ(Services->Heads(), (std::vector<std::string>{Question, "Job complete!", "Job complete!"}));
  EXPECT_EQ(ReadFile(Image).substr(0, 10), "ZEM0CAMERA");
}

// Cancel in the progress window stops Backup (no image) and Restore (the
// files written so far are counted); a "no" to the erasure is a cancel too.
TEST_F(CardFlowTest, CancelStopsTheOperationAndSaysWhatHappened) {
  const fs::path Card = Cards.AddCard('F', "CAMERA");
  const fs::path Other = Cards.AddCard('G', "OTHER");
  FillCard(Card, 8, 9);
  WriteFile(Other / "keep.txt", "keep");
  MakeForm();
  const std::string Image = OutsideName("c.IMG");
  BackUp(Image);

  // Presses Cancel once the bar is on its way (during the pass named).
  bool Armed = true, PanelShown = false;
  QString Words;
  QObject::connect(Form->ProgressBar1, &QProgressBar::valueChanged, [&](int V) {
    if (!Armed || V <= 0 || V >= 100) return;
    Armed = false;
    PanelShown = Form->ProgressPanel->isVisible() && Form->CancelButton->isEnabled();
    Words = Form->ProgressBar1->format();
    QTest::mouseClick(Form->CancelButton, Qt::LeftButton);
  });
  Select('F');
  Services->SaveNames.push_back(OutsideName("cancelled.IMG"));
  QTest::mouseClick(Form->Button2, Qt::LeftButton);
  EXPECT_TRUE(PanelShown);
  EXPECT_NE(Words.indexOf(" of "), -1) << Words.toStdString();
  EXPECT_EQ(Services->Heads().back(), kMsgBackupCancelled);
  EXPECT_FALSE(fs::exists(Cards.Outside() / "cancelled.IMG"));
  EXPECT_FALSE(Form->ProgressPanel->isVisible());
  EXPECT_TRUE(Form->isEnabled());

  // Restore: cancelled while the files are written.
  Services->Boxes.clear();
  bool Formatted = false;
  Services->OnBox = [&](const TRecordingServices::TBox& B) {
    if (B.Text == kFormatComplete) Formatted = Armed = true;
  };
  Armed = false;
  Select('G');
  Services->OpenNames.push_back(Image);
  QTest::mouseClick(Form->Button3, Qt::LeftButton);
  EXPECT_TRUE(Formatted);
  const std::string Last = Services->Texts().back();
  EXPECT_EQ(Last.rfind("Restore cancelled: ", 0), 0u) << Last;
  EXPECT_NE(Last.find(" files are on the card."), std::string::npos) << Last;
  EXPECT_LT(TreeOf(Other).size(), TreeOf(Card).size());
  EXPECT_TRUE(WorkFiles().empty());

  // The erasure declined: said as a cancel, the card as it was.
  WriteFile(Other / "keep.txt", "keep");
  Services->Boxes.clear();
  Services->OnBox = [&](const TRecordingServices::TBox& B) {
    if (B.Text != kFormatQuestion) return;
    QTimer::singleShot(0, [] {
      if (QWidget* W = QApplication::activeModalWidget()) ClickButton(W, "Close");
    });
  };
  Services->Answers = {platform::IDCANCEL};
  Services->OpenNames.push_back(Image);
  QTest::mouseClick(Form->Button3, Qt::LeftButton);
  EXPECT_EQ(Services->Texts(), (std::vector<std::string>{kFormatQuestion, kMsgRestoreCancelled}));
  EXPECT_EQ(ReadFile(Other / "keep.txt"), "keep");
  EXPECT_TRUE(Form->isEnabled());
}

}  // namespace
}  // namespace zem::test
