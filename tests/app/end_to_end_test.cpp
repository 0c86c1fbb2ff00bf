// The window driven through its real widgets and the real Qt services:
// message boxes, the file dialog and the format dialog are answered with
// mouse clicks and key presses as a user would.
#include <QFileDialog>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>

#include "app/format_dialog.h"
#include "app/main.h"
#include "app_test_support.h"

#include <QtTest/QTest>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>

namespace zem::test {
namespace {

namespace fs = std::filesystem;

TEST(EndToEndTest, BackupAndFormatThroughTheRealDialogs) {
  TFakeCards Cards;
  const fs::path Card = Cards.AddCard('F', "CAMERA");
  const fs::path Other = Cards.AddCard('G', "SPARE");
  Cards.AddCard('H', "", 0, /*HasMedia=*/false);
  WriteFile(Card / "DCIM" / "a.jpg", RandomBytes(300000, 11));
  WriteFile(Card / "b.txt", std::string(4000, 'b'));
  WriteFile(Other / "old.txt", "old");
  TServicesScope Scope(std::make_unique<TQtWindowServices>());
  auto Form = std::make_unique<TZEMToolsForm>();
  Form->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(Form.get()));
  ASSERT_EQ(Form->ListView1->count(), 3);
  auto ClickItem = [&](int Row) {
    const QRect R = Form->ListView1->visualItemRect(Form->ListView1->item(Row));
    QTest::mouseClick(Form->ListView1->viewport(), Qt::LeftButton, {}, R.center());
  };
  std::vector<QString> Seen;
  auto Note = [&](QWidget* W) {
    auto* Box = qobject_cast<QMessageBox*>(W);
    if (Box == nullptr) return;
    Seen.push_back(Box->windowTitle() + ": " + Box->text());
    EXPECT_EQ(Box->icon(), QMessageBox::NoIcon);
  };

  // A reader without a card.
  ClickItem(2);
  {
    TModalScript Script;
    Script.Then([&](QWidget* W) {
      Note(W);
      EXPECT_EQ(static_cast<QMessageBox*>(W)->buttons().size(), 1);
      QTest::keyClick(W, Qt::Key_Return);
    }, IsMessageBox);
    QTest::mouseClick(Form->Button2, Qt::LeftButton);
    EXPECT_TRUE(Script.Done());
  }
  ASSERT_EQ(Seen.size(), 1u);
  EXPECT_EQ(Seen[0].toStdString(), "Error!: No disk in the drive!");

  // Backup of F: a name typed without its extension gets ".IMG".
  Seen.clear();
  ClickItem(0);
  const fs::path Typed = Cards.Outside() / "typed";
  {
    TModalScript Script;
    Script
        .Then([&](QWidget* W) {
          auto* Edit = W->findChild<QLineEdit*>("fileNameEdit");
          ASSERT_NE(Edit, nullptr);
          EXPECT_TRUE(static_cast<QFileDialog*>(W)->nameFilters().contains(
              "ZEM Tool Backup File (*.IMG)"));
          Edit->setText(QString::fromStdString(Typed.string()));
          QTest::keyClick(Edit, Qt::Key_Return);
        }, [](QWidget* W) { return qobject_cast<QFileDialog*>(W) != nullptr; })
        .Then([&](QWidget* W) {
          Note(W);
          EXPECT_FALSE(Form->isEnabled());
          ClickButton(W, "OK");
        }, IsMessageBox)
        .Then([&](QWidget* W) {
          Note(W);
          QTest::keyClick(W, Qt::Key_Return);
        }, IsMessageBox);
    QTest::mouseClick(Form->Button2, Qt::LeftButton);
    EXPECT_TRUE(Script.Done());
  }
  ASSERT_EQ(Seen.size(), 2u);
  EXPECT_EQ(Seen[0], "Message: Job complete!");
  EXPECT_TRUE(Seen[1].startsWith("Message: Job complete!\n")) << Seen[1].toStdString();
  EXPECT_TRUE(fs::exists(Cards.Outside() / "typed.IMG"));
  EXPECT_TRUE(Form->isEnabled());

  // Format of F given up: Escape at the question, then Close.
  Seen.clear();
  ClickItem(0);
  {
    TModalScript Script;
    Script
        .Then([&](QWidget* W) {
          Note(W);
          QTest::keyClick(W, Qt::Key_Escape);
        }, IsMessageBox)
        .Then([&](QWidget* W) { ClickButton(W, "Close"); },
              [](QWidget* W) { return dynamic_cast<TFormatDialog*>(W) != nullptr; })
        .Then([&](QWidget* W) {
          Note(W);
          ClickButton(W, "OK");
        }, IsMessageBox);
    QTest::mouseClick(Form->Button5, Qt::LeftButton);
    EXPECT_TRUE(Script.Done());
  }
  ASSERT_EQ(Seen.size(), 2u);
  EXPECT_EQ(Seen[0].toStdString(), std::string("Format CAMERA (F:): ") + kFormatQuestion);
  EXPECT_EQ(Seen[1].toStdString(), "Message: Format cancelled: the card was not touched.");
  EXPECT_EQ(TreeOf(Card).size(), 2u);
  EXPECT_FALSE(Form->Timer1->Enabled());

  // Format of G: the timer presses Start, the user confirms with Return.
  Seen.clear();
  ClickItem(1);
  {
    TModalScript Script;
    Script
        .Then([&](QWidget* W) {
          Note(W);
          EXPECT_EQ(static_cast<QMessageBox*>(W)->buttons().size(), 2);
          EXPECT_TRUE(dynamic_cast<TFormatDialog*>(W->parentWidget()));
          QTest::keyClick(W, Qt::Key_Return);
        }, IsMessageBox)
        .Then([&](QWidget* W) {
          Note(W);
          ClickButton(W, "OK");
        }, IsMessageBox);
    QTest::mouseClick(Form->Button5, Qt::LeftButton);
    EXPECT_TRUE(Script.Done());
  }
  ASSERT_EQ(Seen.size(), 2u);
  EXPECT_EQ(Seen[0].toStdString(), std::string("Format SPARE (G:): ") + kFormatQuestion);
  EXPECT_EQ(Seen[1].toStdString(), std::string("Format SPARE (G:): ") + kFormatComplete);
  EXPECT_TRUE(fs::is_empty(Other));
  EXPECT_FALSE(Form->Timer1->Enabled());
  EXPECT_EQ(TreeOf(Card).size(), 2u);  // the other card untouched
  Form.reset();
}

// Without a display to show the window on, the program says so in one
// line and exits with status 1: DISPLAY unset, or naming a server that is
// not there.
TEST(ZemtoolsProgram, NoDisplayIsOneLineAndStatus1) {
  const std::string Program = std::string(ZEM_BINARY_DIR) + "/app/zemtools";
  ASSERT_TRUE(fs::exists(Program)) << "build the zemtools target first";
  TTempDir Dir;
  const std::string Err = (Dir / "err.txt").string();
  for (const std::string& Env : {std::string("env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM"),
                                 std::string("env -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM DISPLAY=:4093")}) {
    SCOPED_TRACE(Env);
    const int Rc = std::system((Env + " " + Program + " 2>" + Err + " </dev/null >/dev/null").c_str());
    ASSERT_TRUE(WIFEXITED(Rc));
    EXPECT_EQ(WEXITSTATUS(Rc), 1);
    const std::string Text = ReadFile(Err);
    EXPECT_EQ(Text.rfind("zemtools: no display to show the window on (", 0), 0u) << Text;
    EXPECT_EQ(std::count(Text.begin(), Text.end(), '\n'), 1) << Text;
  }
}

}  // namespace
}  // namespace zem::test
