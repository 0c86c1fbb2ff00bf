// Backup over a read-only image the user agreed to replace: the old file
// cannot be removed, and the new image must not be built on top of it
// (it kept files the card no longer has, and was called complete).
#include <QPushButton>

#include "form_fixture.h"

namespace zem::test {
namespace {

namespace fs = std::filesystem;

TEST_F(FormTest, BackupOverAReadOnlyImageSaysItCannotReplaceIt) {
  const fs::path Card = Cards.AddCard('F', "CAMERA");
  FillCard(Card, 1, 61);
  MakeForm();
  Select('F');
  const std::string Image = OutsideName("ro.IMG");
  Services->SaveNames.push_back(Image);
  QTest::mouseClick(Form->Button2, Qt::LeftButton);
  ASSERT_EQ(Services->Heads(), (std::vector<std::string>{"Job complete!", "Job complete!"}));
  const fs::path Native = Cards.Outside() / "ro.IMG";
  fs::permissions(Native, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  const std::string Old = ReadFile(Native);
  fs::remove(Card / "MISC" / "notes.txt");

  Services->Boxes.clear();
  Services->Answers = {platform::IDYES};
  Services->SaveNames.push_back(Image);
  QTest::mouseClick(Form->Button2, Qt::LeftButton);
  const std::vector<std::string> Texts = Services->Texts();
  ASSERT_EQ(Texts.size(), 2u);  // the replace question, then why not
  EXPECT_EQ(Texts[1].rfind(Native.string() + " cannot be replaced: ", 0), 0u) << Texts[1];
  EXPECT_NE(Texts[1].find(kMsgNoImageWritten), std::string::npos) << Texts[1];
  EXPECT_EQ(ReadFile(Native), Old);
  EXPECT_TRUE(Form->isEnabled());
}

}  // namespace
}  // namespace zem::test
