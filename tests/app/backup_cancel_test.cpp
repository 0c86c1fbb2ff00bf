// Cancel pressed while a backup tests the image it wrote: the window says
// no image was written, and there must be none at the name chosen.
#include <QProgressBar>
#include <QPushButton>

#include "form_fixture.h"

namespace zem::test {
namespace {

TEST_F(FormTest, BackupCancelledDuringTheImagesTestLeavesNoImage) {
  FillCard(Cards.AddCard('F', "CAMERA"), 2, 31);
  MakeForm();
  // The test of the image is the last fifth of a backup's bar.
  bool Armed = true;
  QObject::connect(Form->ProgressBar1, &QProgressBar::valueChanged, [&](int V) {
    if (!Armed || V <= 80) return;
    Armed = false;
    QTest::mouseClick(Form->CancelButton, Qt::LeftButton);
  });
  Select('F');
  Services->SaveNames.push_back(OutsideName("t.IMG"));
  QTest::mouseClick(Form->Button2, Qt::LeftButton);
  EXPECT_FALSE(Armed);
  EXPECT_EQ(Services->Texts(), std::vector<std::string>{kMsgBackupCancelled});
  EXPECT_FALSE(std::filesystem::exists(Cards.Outside() / "t.IMG"));
  EXPECT_TRUE(Form->isEnabled());
}

}  // namespace
}  // namespace zem::test
