// The Qt window services where the window does not reach them by itself:
// command lines, the button search, message box answers and timers.
#include <QDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QtTest/QTest>

#include <gtest/gtest.h>

#include "app/qt_window_services.h"
#include "core/card_ops.h"
#include "app_test_support.h"
#include "platform/winapi.h"

namespace zem::test {
namespace {

namespace fs = std::filesystem;
using namespace platform;

TEST(QtServicesTest, CommandLinesOpenTheDrivesFolderAndTheReadme) {
  TFakeCards Cards;
  const fs::path Card = Cards.AddCard('F', "CAMERA");
  WriteFile(Cards.Outside() / "readme.txt", "hello");
  TQtWindowServices Services;
  std::vector<QUrl> Opened;
  bool OpenerWorks = true;
  Services.Opener = [&](const QUrl& Url) {
    Opened.push_back(Url);
    return OpenerWorks;
  };
  const fs::path Saved = fs::current_path();
  fs::current_path(Cards.Outside());
  EXPECT_EQ(Services.WinExec("start F:\\", 0), 33u);
  EXPECT_EQ(Services.WinExec("notepad readme.txt", SW_SHOWNORMAL), 33u);
  EXPECT_EQ(Services.WinExec("start Q:\\", 0), 2u);               // no such drive
  EXPECT_EQ(Services.WinExec("notepad nothing-here.txt", 1), 2u);  // no such file
  EXPECT_EQ(Services.WinExec("format F:", 1), 2u);                 // not a command we start
  OpenerWorks = false;
  EXPECT_EQ(Services.WinExec("start F:\\", 0), 31u);
  fs::current_path(Saved);
  ASSERT_EQ(Opened.size(), 3u);
  EXPECT_TRUE(fs::equivalent(Opened[0].toLocalFile().toStdString(), Card));
  EXPECT_EQ(fs::path(Opened[1].toLocalFile().toStdString()), Cards.Outside() / "readme.txt");
  EXPECT_EQ(QtFilterOf("ZEM Tool Backup File (*.IMG)|*.IMG").toStdString(),
            "ZEM Tool Backup File (*.IMG)");
  EXPECT_EQ(QtFilterOf("Archives|*.zip;*.IMG|All|*").toStdString(),
            "Archives (*.zip *.IMG);;All (*)");
}

// The button search sees only modal windows; the posted click happens in
// the dialog's own loop; TTimer ticks until disabled.
TEST(QtServicesTest, ButtonSearchClickAndTimer) {
  auto Owned = std::make_unique<TQtWindowServices>();
  TQtWindowServices& Services = *Owned;
  TServicesScope Scope(std::move(Owned));

  QWidget Plain;
  auto* PlainButton = new QPushButton("Plain", &Plain);
  Plain.show();
  EXPECT_EQ(Services.FindWindowExA(HandleOf(&Plain), nullptr, "Button", ""), nullptr);
  EXPECT_EQ(Services.FindWindowExA(nullptr, nullptr, "Button", ""), nullptr);
  EXPECT_FALSE(Services.PostMessageA(HandleOf(&Plain), BM_CLICK, 0, 0));  // not a button
  (void)PlainButton;

  QDialog Dialog;
  auto* First = new QPushButton("First", &Dialog);
  auto* Second = new QPushButton("Second", &Dialog);
  int FirstClicks = 0, SecondClicks = 0;
  QObject::connect(First, &QPushButton::clicked, [&] { ++FirstClicks; });
  QObject::connect(Second, &QPushButton::clicked, [&] {
    ++SecondClicks;
    Dialog.done(7);
  });
  // A timer that presses the first button of the active modal window once,
  // the way the main window's auto-confirm timer does.
  TTimer Timer;
  Timer.SetEnabled(false);
  Timer.SetInterval(20);
  int Ticks = 0;
  Timer.OnTimer = [&](TObject* Sender) {
    EXPECT_EQ(Sender, &Timer);
    ++Ticks;
    HWND Button = Services.FindWindowExA(Services.GetActiveWindow(), nullptr, "Button", "");
    if (Button == nullptr) return;
    EXPECT_EQ(Button, HandleOf(First));
    EXPECT_EQ(Services.FindWindowExA(Services.GetActiveWindow(), Button, "Button", ""),
              HandleOf(Second));
    EXPECT_EQ(Services.FindWindowExA(Services.GetActiveWindow(), nullptr, "Edit", ""), nullptr);
    Timer.SetEnabled(false);
    EXPECT_TRUE(Services.PostMessageA(Button, BM_CLICK, 0, 0));
    EXPECT_EQ(FirstClicks, 0);  // posted, not sent
    // The second press ends the dialog after a while.
    QTimer::singleShot(150, Second, [Second] { Second->click(); });
  };
  Timer.SetEnabled(true);
  EXPECT_EQ(Dialog.exec(), 7);
  EXPECT_EQ(FirstClicks, 1);
  EXPECT_EQ(SecondClicks, 1);
  EXPECT_FALSE(Timer.Enabled());
  const int TicksThen = Ticks;
  QTest::qWait(100);
  EXPECT_EQ(Ticks, TicksThen);  // no tick after the timer was disabled
}

TEST(QtServicesTest, MessageBoxButtonsAndAnswers) {
  TQtWindowServices Services;
  struct TCase {
    uint32_t Flags;
    int Buttons;
    int KeyAnswer;     // answer to Return (the default button)
    int EscapeAnswer;  // answer to Escape
  } Cases[] = {
      {MB_OK, 1, IDOK, IDOK},
      {MB_OKCANCEL, 2, IDOK, IDCANCEL},
      {MB_YESNO, 2, IDYES, IDNO},
      {MB_YESNO | MB_DEFBUTTON2, 2, IDNO, IDNO},
      {MB_YESNOCANCEL, 3, IDYES, IDCANCEL},
  };
  for (const auto& C : Cases) {
    for (Qt::Key Key : {Qt::Key_Return, Qt::Key_Escape}) {
      int ButtonCount = 0;
      QString Title;
      QMessageBox::Icon Icon = QMessageBox::Warning;
      TModalScript Script;
      Script.Then([&](QWidget* W) {
        auto* Box = static_cast<QMessageBox*>(W);
        ButtonCount = static_cast<int>(Box->buttons().size());
        Title = Box->windowTitle();
        Icon = Box->icon();
        QTest::keyClick(W, Key);
      }, IsMessageBox);
      const int Answer = Services.MessageBox(nullptr, "Text", "Title", C.Flags);
      EXPECT_EQ(ButtonCount, C.Buttons) << C.Flags;
      EXPECT_EQ(Title.toStdString(), "Title");
      EXPECT_EQ(Icon, QMessageBox::NoIcon);
      EXPECT_EQ(Answer, Key == Qt::Key_Return ? C.KeyAnswer : C.EscapeAnswer) << C.Flags;
    }
  }
}

}  // namespace
}  // namespace zem::test
