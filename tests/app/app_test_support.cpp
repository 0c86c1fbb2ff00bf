// Helpers of the window tests.
#include "app_test_support.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QAbstractButton>
#include <QDateTime>
#include <QDialog>
#include <QMessageBox>
#include <QTimer>
#include <QtTest/QTest>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

namespace zem::test {

namespace fs = std::filesystem;

namespace {

// One QApplication for the test process, on the X server of DISPLAY.
class TQtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    const char* Display = std::getenv("DISPLAY");
    ASSERT_TRUE(Display != nullptr && *Display != '\0')
        << "the window tests need an X server: run them through scripts/test.sh, which "
           "starts Xvfb, or set DISPLAY";
    static int Argc = 1;
    static char Name[] = "app_tests";
    static char* Argv[] = {Name, nullptr};
    FApp = std::make_unique<QApplication>(Argc, Argv);
  }
  void TearDown() override { FApp.reset(); }

 private:
  std::unique_ptr<QApplication> FApp;
};

[[maybe_unused]] ::testing::Environment* const QtEnvironment =
    ::testing::AddGlobalTestEnvironment(new TQtEnvironment);

}  // namespace

// ---- TRecordingServices -------------------------------------------------------

int TRecordingServices::MessageBox(platform::HWND Owner, const std::string& Text,
                                   const std::string& Caption, uint32_t Flags) {
  QWidget* W = WidgetOf(Owner);
  Boxes.push_back({Owner, Text, Caption, Flags, W == nullptr || W->isEnabled()});
  if (OnBox) OnBox(Boxes.back());
  if (Answers.empty()) return platform::IDOK;
  const int Answer = Answers.front();
  Answers.pop_front();
  return Answer;
}

bool TRecordingServices::GetOpenFileName(const platform::TFileDialogOptions& Options,
                                         std::string& FileName) {
  OpenOptions.push_back(Options);
  if (OpenNames.empty()) return false;
  FileName = OpenNames.front();
  OpenNames.pop_front();
  return true;
}

bool TRecordingServices::GetSaveFileName(const platform::TFileDialogOptions& Options,
                                         std::string& FileName) {
  SaveOptions.push_back(Options);
  if (SaveNames.empty()) return false;
  FileName = SaveNames.front();
  SaveNames.pop_front();
  return true;
}

uint32_t TRecordingServices::WinExec(const std::string& CmdLine, uint32_t CmdShow) {
  Execs.push_back({CmdLine, CmdShow});
  return 33;
}

std::vector<std::string> TRecordingServices::Texts() const {
  std::vector<std::string> Out;
  for (const auto& B : Boxes) Out.push_back(B.Text);
  return Out;
}

std::vector<std::string> TRecordingServices::Heads() const {
  std::vector<std::string> Out;
  for (const auto& B : Boxes) Out.push_back(B.Text.substr(0, B.Text.find('\n')));
  return Out;
}

// ---- Scopes -------------------------------------------------------------------

TServicesScope::TServicesScope(std::unique_ptr<platform::TWindowServices> Services)
    : FPrevious(platform::InstallWindowServices(std::move(Services))) {}

TServicesScope::~TServicesScope() { platform::InstallWindowServices(std::move(FPrevious)); }

TFakeCards::TFakeCards() {
  auto Table = std::make_unique<platform::TFakeDriveTable>();
  FTable = Table.get();
  FScope = std::make_unique<platform::TDriveTableScope>(std::move(Table));
  fs::create_directories(Outside());
}

TFakeCards::~TFakeCards() { FScope.reset(); }

fs::path TFakeCards::AddCard(char Letter, const std::string& Label, uint64_t Capacity,
                             bool HasMedia) {
  const fs::path Folder = FRoot.Path() / std::string(1, Letter);
  fs::create_directories(Folder);
  FTable->AddDrive(Letter, Folder.string(), Label, Capacity, platform::DRIVE_REMOVABLE, HasMedia);
  return Folder;
}

void TFakeCards::RemoveCard(char Letter) { FTable->RemoveDrive(Letter); }

// ---- Waiting ------------------------------------------------------------------

bool WaitFor(const std::function<bool()>& Done, std::chrono::milliseconds Limit) {
  QElapsedTimer Clock;
  Clock.start();
  while (!Done()) {
    if (Clock.elapsed() > Limit.count()) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

TModalScript::TModalScript() : FPoll(std::make_unique<QTimer>()) {
  QObject::connect(FPoll.get(), &QTimer::timeout, FPoll.get(), [this] { Tick(); });
  FPoll->start(20);
}

TModalScript::~TModalScript() { FPoll->stop(); }

TModalScript& TModalScript::Then(TAction Action, TMatch Match) {
  if (FSteps.empty()) FSince = QDateTime::currentMSecsSinceEpoch();
  FSteps.push_back({std::move(Match), std::move(Action)});
  return *this;
}

void TModalScript::Tick() {
  if (FSteps.empty()) return;
  QWidget* Modal = QApplication::activeModalWidget();
  const bool Fresh = Modal != nullptr && Modal->isVisible() &&
                     !Modal->property("zemHandled").toBool();
  if (Fresh && (!FSteps.front().Match || FSteps.front().Match(Modal))) {
    TStep Step = std::move(FSteps.front());
    FSteps.pop_front();
    FSince = QDateTime::currentMSecsSinceEpoch();
    Modal->setProperty("zemHandled", true);
    Step.Action(Modal);
    return;
  }
  if (QDateTime::currentMSecsSinceEpoch() - FSince > 20000) {
    ADD_FAILURE() << "an expected modal window did not come up (" << FSteps.size()
                  << " steps left)";
    FSteps.clear();
    if (auto* Dialog = qobject_cast<QDialog*>(Modal)) Dialog->reject();
  }
}

bool IsMessageBox(QWidget* W) { return qobject_cast<QMessageBox*>(W) != nullptr; }

void ClickButton(QWidget* Window, const QString& Text) {
  for (QAbstractButton* B : Window->findChildren<QAbstractButton*>()) {
    if (B->text().remove('&') == Text && B->isVisible()) {
      QTest::mouseClick(B, Qt::LeftButton);
      return;
    }
  }
  ADD_FAILURE() << "no button " << Text.toStdString() << " in "
                << Window->windowTitle().toStdString();
}

std::map<std::string, std::string> TreeOf(const fs::path& Folder) {
  std::map<std::string, std::string> Tree;
  for (const auto& E : fs::recursive_directory_iterator(Folder)) {
    if (E.is_regular_file()) Tree[fs::relative(E.path(), Folder).string()] = ReadFile(E.path());
  }
  return Tree;
}

}  // namespace zem::test
