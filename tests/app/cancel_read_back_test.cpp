// Cancel pressed while a restore reads the written files back from the
// card: the card holds them by then, and the window must say so, for a
// Restore and for a DiskCopy alike.
#include <QProgressBar>
#include <QPushButton>

#include "form_fixture.h"

namespace zem::test {
namespace {

namespace fs = std::filesystem;

TEST_F(FormTest, CancelDuringTheReadBackSaysTheFilesAreOnTheCard) {
  const fs::path Card = Cards.AddCard('F', "CAMERA");
  const fs::path Other = Cards.AddCard('G', "OTHER");
  FillCard(Card, 2, 21);
  MakeForm();
  const std::string Image = OutsideName("r.IMG");
  Select('F');
  Services->SaveNames.push_back(Image);
  QTest::mouseClick(Form->Button2, Qt::LeftButton);
  ASSERT_EQ(Services->Heads(), (std::vector<std::string>{"Job complete!", "Job complete!"}));

  // The read-back is the last fifth of a restore's bar.
  bool Armed = false;
  QObject::connect(Form->ProgressBar1, &QProgressBar::valueChanged, [&](int V) {
    if (!Armed || V <= 80) return;
    Armed = false;
    QTest::mouseClick(Form->CancelButton, Qt::LeftButton);
  });
  Services->Boxes.clear();
  Armed = true;
  Select('G');
  Services->OpenNames.push_back(Image);
  QTest::mouseClick(Form->Button3, Qt::LeftButton);
  EXPECT_FALSE(Armed);
  ASSERT_FALSE(Services->Boxes.empty());
  const std::string Said = Services->Texts().back();
  EXPECT_EQ(Said.rfind("Restore cancelled: ", 0), 0u) << Said;
  EXPECT_NE(Said.find(" files are on the card."), std::string::npos) << Said;
  EXPECT_EQ(TreeOf(Other), TreeOf(Card));
  EXPECT_TRUE(Form->isEnabled());

  // DiskCopy: the second card takes the first one's place in drive F.
  const fs::path Second = Cards.Outside() / "second";
  WriteFile(Second / "stale.txt", "stale");
  const fs::path Original = Cards.Outside() / "original";
  fs::copy(Card, Original, fs::copy_options::recursive);
  Services->Boxes.clear();
  Services->OnBox = [&](const TRecordingServices::TBox& Box) {
    if (Box.Text != kMsgChangeCard) return;
    Cards.RemoveCard('F');
    const fs::path Slot = Cards.AddCard('F', "SECOND");
    fs::remove_all(Slot);
    fs::rename(Second, Slot);
    Armed = true;
  };
  Select('F');
  QTest::mouseClick(Form->Button7, Qt::LeftButton);
  EXPECT_FALSE(Armed);
  EXPECT_EQ(TreeOf(Card), TreeOf(Original));
  const std::vector<std::string> Texts = Services->Texts();
  ASSERT_FALSE(Texts.empty());
  EXPECT_EQ(Texts.back().rfind("Restore cancelled: ", 0), 0u) << Texts.back();
  for (const std::string& T : Texts) EXPECT_EQ(T.find("no card was written"), std::string::npos);
}

}  // namespace
}  // namespace zem::test
