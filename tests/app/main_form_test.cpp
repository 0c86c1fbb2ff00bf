// The main window without the archive operations: start-up, layout, the
// drive list, the command lines and the format with its auto-confirm timer.
#include <QApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QRadioButton>
#include <QWindow>

#include <thread>

#include "app/format_dialog.h"
#include "form_fixture.h"

namespace zem::test {
namespace {

namespace fs = std::filesystem;

TEST_F(FormTest, StartsWithCaptionFilledListAndFast) {
  Cards.AddCard('F', "CAMERA");
  Cards.AddCard('H', "", 0, /*HasMedia=*/false);
  MakeForm();
  EXPECT_EQ(Form->windowTitle().toStdString(), "ZEM Tools Ver 1.00by Vardel");
  ASSERT_EQ(Form->ListView1->count(), 2);
  EXPECT_EQ(Form->ListView1->item(0)->text().toStdString(), "CAMERA (F:)");
  EXPECT_EQ(Form->ListView1->item(1)->text().toStdString(), " (H:)");
  EXPECT_FALSE(Form->ListView1->item(0)->icon().isNull());
  EXPECT_TRUE(Form->ListView1->isEnabled());
  EXPECT_EQ(Form->RadioGroup1->ItemIndex(), 1);
  EXPECT_EQ(Form->RadioGroup1->Item(1)->text().toStdString(), "Fast");
  EXPECT_FALSE(Form->Timer1->Enabled());
  EXPECT_EQ(Form->Timer1->Interval(), 50u);
  EXPECT_EQ(Form->ProgressBar1->value(), 0);
  EXPECT_TRUE(Services->Boxes.empty());
}

TEST_F(FormTest, ControlsSitAtTheirPlacesInTabOrder) {
  Cards.AddCard('F', "CAMERA");  // an empty list would be disabled, out of the tab order
  MakeForm();
  EXPECT_EQ(Form->size(), QSize(738, 223));
  EXPECT_EQ(Form->minimumSize(), Form->maximumSize());
  EXPECT_FALSE(Form->windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_TRUE(Form->windowFlags() & Qt::WindowMinimizeButtonHint);
  EXPECT_EQ(Form->font().pointSize(), 8);
  struct TPlace {
    QWidget* Control;
    QRect Rect;
    const char* Caption;
  } Places[] = {
      {Form->ListView1, {8, 9, 721, 96}, nullptr},
      {Form->RadioGroup1, {8, 112, 97, 81}, nullptr},
      {Form->Button2, {120, 120, 75, 25}, "Backup"},
      {Form->Button3, {120, 160, 75, 25}, "Restore"},
      {Form->Button5, {216, 120, 75, 25}, "Format"},
      {Form->Button7, {216, 160, 75, 25}, "DiskCopy"},
      {Form->Button1, {656, 120, 75, 25}, "Refresh"},
      {Form->Button8, {568, 120, 75, 25}, "Eject"},
      {Form->Button6, {568, 160, 75, 25}, "Best Perform"},
      {Form->Button4, {656, 160, 75, 25}, "Help"},
      {Form->ProgressBar1, {8, 200, 721, 16}, nullptr},
  };
  for (const auto& P : Places) {
    EXPECT_EQ(P.Control->geometry(), P.Rect) << P.Control->objectName().toStdString();
    if (P.Caption != nullptr) {
      EXPECT_EQ(static_cast<QPushButton*>(P.Control)->text().toStdString(), P.Caption);
    }
  }
  EXPECT_FALSE(Form->Button6->isEnabled());
  EXPECT_EQ(Form->RadioGroup1->title().toStdString(), "Compress Ratio");
  // Every radio item shows its whole text inside the group.
  for (int I = 0; I < Form->RadioGroup1->Count(); ++I) {
    QRadioButton* Item = Form->RadioGroup1->Item(I);
    EXPECT_TRUE(Form->RadioGroup1->rect().contains(Item->geometry())) << I;
    EXPECT_GE(Item->width(), Item->sizeHint().width()) << I;
  }
  // Tab order: the list, the group, Backup, Restore, Format, DiskCopy,
  // Eject, Refresh, Help (Best Perform is disabled).
  std::vector<QWidget*> Expected = {Form->ListView1, Form->RadioGroup1->Item(1), Form->Button2,
                                    Form->Button3,   Form->Button5,           Form->Button7,
                                    Form->Button8,   Form->Button1,           Form->Button4};
  // Without a window manager the window is made active by hand.
  Form->windowHandle()->requestActivate();
  ASSERT_TRUE(QTest::qWaitForWindowActive(Form.get()));
  Form->ListView1->setFocus();
  ASSERT_TRUE(WaitFor([&] { return Form->ListView1->hasFocus(); }));
  for (size_t I = 1; I < Expected.size(); ++I) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), Expected[I])
        << "after tab " << I << ": "
        << (QApplication::focusWidget() ? QApplication::focusWidget()->objectName().toStdString()
                                        : "nothing");
  }
  // The arrow keys move the choice inside the group.
  Form->RadioGroup1->Item(1)->setFocus();
  QTest::keyClick(Form->RadioGroup1->Item(1), Qt::Key_Down);
  EXPECT_EQ(Form->RadioGroup1->ItemIndex(), 2);
  EXPECT_TRUE(Form->RadioGroup1->Item(2)->hasFocus());
}

TEST_F(FormTest, RefreshDisablesAnEmptyListAndEnablesAFilledOne) {
  MakeForm();
  EXPECT_EQ(Form->ListView1->count(), 0);
  EXPECT_FALSE(Form->ListView1->isEnabled());
  Cards.AddCard('G', "SD");
  QTest::mouseClick(Form->Button1, Qt::LeftButton);
  ASSERT_EQ(Form->ListView1->count(), 1);
  EXPECT_EQ(Form->ListView1->item(0)->text().toStdString(), "SD (G:)");
  EXPECT_TRUE(Form->ListView1->isEnabled());
  Cards.RemoveCard('G');
  QTest::mouseClick(Form->Button1, Qt::LeftButton);
  EXPECT_EQ(Form->ListView1->count(), 0);
  EXPECT_FALSE(Form->ListView1->isEnabled());
}

// A card inserted or removed is reported by the drive table on a thread of
// its own; the list follows without Refresh and keeps the selection.
TEST_F(FormTest, TheListFollowsTheTablesChangeReports) {
  Cards.AddCard('E', "CAMERA");
  MakeForm();
  Select('E');
  Cards.AddCard('G', "SD");
  std::thread([this] { Cards.ReportChange(); }).join();
  ASSERT_TRUE(WaitFor([&] { return Form->ListView1->count() == 2; }));
  ASSERT_EQ(Form->ListView1->selectedItems().size(), 1);
  EXPECT_EQ(Form->ListView1->selectedItems().first()->text().toStdString(), "CAMERA (E:)");
  Cards.RemoveCard('E');
  std::thread([this] { Cards.ReportChange(); }).join();
  ASSERT_TRUE(WaitFor([&] { return Form->ListView1->count() == 1; }));
  EXPECT_EQ(Form->ListView1->item(0)->text().toStdString(), "SD (G:)");
}

TEST_F(FormTest, DoubleClickAndHelpStartTheirCommandLines) {
  Cards.AddCard('E', "OTHER");
  Cards.AddCard('F', "CAMERA");
  MakeForm();
  // Nothing selected (the first card is selected at start; the selection
  // taken away): the buttons are off and the double click does nothing.
  Form->ListView1->clearSelection();
  for (QPushButton* B : {Form->Button2, Form->Button3, Form->Button5, Form->Button7}) {
    EXPECT_FALSE(B->isEnabled());
    QTest::mouseClick(B, Qt::LeftButton);
  }
  Form->ListView1DblClick(Form->ListView1);
  EXPECT_TRUE(Services->Execs.empty());
  EXPECT_TRUE(Services->Boxes.empty());
  EXPECT_TRUE(Services->SaveOptions.empty());
  EXPECT_TRUE(Services->OpenOptions.empty());

  QListWidgetItem* Item = Form->ListView1->item(1);
  const QPoint Center = Form->ListView1->visualItemRect(Item).center();
  QTest::mouseClick(Form->ListView1->viewport(), Qt::LeftButton, {}, Center);
  QTest::mouseDClick(Form->ListView1->viewport(), Qt::LeftButton, {}, Center);
  ASSERT_EQ(Services->Execs.size(), 1u);
  EXPECT_EQ(Services->Execs[0].CmdLine, "start F:\\");
  EXPECT_EQ(Services->Execs[0].CmdShow, 0u);  // hidden

  // Help shows the program's own readme in a window of its own (no text
  // viewer needed), with an About box naming the version.
  QString HelpShown;
  TModalScript Script;
  Script.Then([&](QWidget* W) {
    if (auto* Text = W->findChild<QPlainTextEdit*>("HelpText")) HelpShown = Text->toPlainText();
    ClickButton(W, "About");
  }, [](QWidget* W) { return W->objectName() == "HelpDialog"; });
  Services->OnBox = [](const TRecordingServices::TBox&) {
    QTimer::singleShot(0, [] {
      if (QWidget* W = QApplication::activeModalWidget()) ClickButton(W, "Close");
    });
  };
  QTest::mouseClick(Form->Button4, Qt::LeftButton);
  EXPECT_TRUE(Script.Done());
  EXPECT_EQ(Services->Execs.size(), 1u);
  EXPECT_NE(HelpShown.indexOf("ZEM Tools"), -1) << HelpShown.left(200).toStdString();
  ASSERT_EQ(Services->Boxes.size(), 1u);
  EXPECT_EQ(Services->Boxes[0].Caption, "About ZEM Tools");
  EXPECT_EQ(Services->Boxes[0].Text.rfind("ZEM Tools 1.", 0), 0u) << Services->Boxes[0].Text;
}

// The window at start: the first card selected and the card buttons
// enabled; with no card a hint over the empty list and the buttons off.
TEST_F(FormTest, FirstCardSelectedAtStartOrAHintWithoutOne) {
  MakeForm();
  EXPECT_TRUE(Form->EmptyHint->isVisible());
  EXPECT_NE(Form->EmptyHint->text().indexOf("No memory card found"), -1);
  for (QPushButton* B : {Form->Button2, Form->Button3, Form->Button5, Form->Button7, Form->Button8})
    EXPECT_FALSE(B->isEnabled()) << B->text().toStdString();
  EXPECT_TRUE(Form->Button1->isEnabled());
  EXPECT_TRUE(Form->Button4->isEnabled());
  Cards.AddCard('G', "SD");
  Cards.AddCard('F', "CAMERA");
  QTest::mouseClick(Form->Button1, Qt::LeftButton);
  EXPECT_FALSE(Form->EmptyHint->isVisible());
  ASSERT_EQ(Form->ListView1->selectedItems().size(), 1);
  EXPECT_EQ(Form->ListView1->selectedItems()[0]->text().toStdString(), "CAMERA (F:)");
  for (QPushButton* B : {Form->Button2, Form->Button3, Form->Button5, Form->Button7, Form->Button8})
    EXPECT_TRUE(B->isEnabled()) << B->text().toStdString();
}

TEST_F(FormTest, FormatWithoutACardSaysSoAndShowsNoDialog) {
  Cards.AddCard('F', "", 0, /*HasMedia=*/false);
  MakeForm();
  Select('F');
  int Dialogs = 0;
  Services->OnBox = [&](const TRecordingServices::TBox&) {
    if (dynamic_cast<TFormatDialog*>(QApplication::activeModalWidget())) ++Dialogs;
  };
  QTest::mouseClick(Form->Button5, Qt::LeftButton);
  ASSERT_EQ(Services->Boxes.size(), 1u);
  EXPECT_EQ(Services->Boxes[0].Text, "No disk in the drive!");
  EXPECT_EQ(Services->Boxes[0].Caption, "Error!");
  EXPECT_EQ(Services->Boxes[0].Flags, platform::MB_OK);
  EXPECT_EQ(Services->Boxes[0].Owner, Form->Handle());
  EXPECT_EQ(Dialogs, 0);
  EXPECT_FALSE(Form->Timer1->Enabled());
  // The same answer for the other operations, before any dialog.
  for (QPushButton* B : {Form->Button2, Form->Button3, Form->Button7})
    QTest::mouseClick(B, Qt::LeftButton);
  EXPECT_EQ(Services->Texts(), std::vector<std::string>(4, "No disk in the drive!"));
  EXPECT_TRUE(Services->SaveOptions.empty());
  EXPECT_TRUE(Services->OpenOptions.empty());
}

TEST_F(FormTest, FormatPressesStartOnceAndTheConfirmationFormats) {
  const fs::path Card = Cards.AddCard('F', "CAMERA", 32u << 20);
  FillCard(Card, 1, 7);
  MakeForm();
  Select('F');
  std::vector<std::string> ActiveTitles;
  bool ButtonsEnabledDuringQuestion = true;
  Services->OnBox = [&](const TRecordingServices::TBox& Box) {
    auto* Dialog = dynamic_cast<TFormatDialog*>(QApplication::activeModalWidget());
    ActiveTitles.push_back(Dialog ? Dialog->windowTitle().toStdString() : "");
    if (Box.Text == kFormatQuestion) {
      EXPECT_EQ(Box.Flags, platform::MB_OKCANCEL);
      EXPECT_FALSE(Form->Timer1->Enabled());  // stopped by its one press
      if (Dialog) {
        EXPECT_EQ(Dialog->CapacityText().toStdString(), "33.6 MB");
        EXPECT_FALSE(Dialog->FileSystemText().isEmpty());
        // A fake card is emptied, not given a new file system.
        EXPECT_EQ(Dialog->FileSystemBox(), nullptr);
        EXPECT_TRUE(Dialog->MethodText().startsWith("Erases every file"));
      }
      ButtonsEnabledDuringQuestion = Form->Button2->isEnabled();
    }
  };
  QTest::mouseClick(Form->Button5, Qt::LeftButton);
  EXPECT_EQ(Services->Texts(), (std::vector<std::string>{kFormatQuestion, kFormatComplete}));
  EXPECT_EQ(ActiveTitles, std::vector<std::string>(2, "Format CAMERA (F:)"));
  EXPECT_TRUE(fs::is_empty(Card));
  EXPECT_FALSE(Form->Timer1->Enabled());
  EXPECT_TRUE(Form->isEnabled());
  // The format dialog was modal: the main window took no input meanwhile.
  EXPECT_TRUE(ButtonsEnabledDuringQuestion);
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);

  // Cancel at the question goes back to the dialog; Close then cancels and
  // the card stays as it is.
  WriteFile(Card / "keep.txt", "keep");
  Services->Boxes.clear();
  Services->OnBox = nullptr;
  Services->Answers = {platform::IDCANCEL};
  TModalScript Script;
  Script.Then([&](QWidget* Dialog) {
    EXPECT_EQ(Services->Texts(), std::vector<std::string>{kFormatQuestion});
    ClickButton(Dialog, "Close");
  }, [&](QWidget* W) { return dynamic_cast<TFormatDialog*>(W) && !Services->Boxes.empty(); });
  QTest::mouseClick(Form->Button5, Qt::LeftButton);
  EXPECT_TRUE(Script.Done());
  EXPECT_TRUE(fs::exists(Card / "keep.txt"));
  EXPECT_FALSE(Form->Timer1->Enabled());
}

// While the main window is the active one the timer presses nothing, and
// it goes on looking.
TEST_F(FormTest, TimerIgnoresTheMainWindowsButtons) {
  Cards.AddCard('F', "CAMERA");
  MakeForm();
  Form->activateWindow();
  int Clicks = 0;
  for (QPushButton* B : Form->findChildren<QPushButton*>())
    QObject::connect(B, &QPushButton::clicked, [&] { ++Clicks; });
  Form->Timer1->SetEnabled(true);
  QTest::qWait(300);
  EXPECT_EQ(Clicks, 0);
  EXPECT_TRUE(Form->Timer1->Enabled());
  Form->Timer1->SetEnabled(false);
  EXPECT_TRUE(Services->Boxes.empty());
}

}  // namespace
}  // namespace zem::test
