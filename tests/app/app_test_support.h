// Helpers of the window tests: the application under a real X server, a
// recording window-services double, fake cards and waiting for modal
// windows.
#pragma once

#include <QTimer>
#include <QWidget>

#include <chrono>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/qt_window_services.h"
#include "common/test_support.h"
#include "platform/drives.h"

namespace zem::test {

// The Qt services with the blocking parts replaced: message boxes are
// recorded and answered from a queue (OK when it is empty), file dialogs
// answer the name queued for them (cancel when none), command lines are
// recorded and not started. Timers, the pump, the format dialog, the active
// window, enabling and the button search are the real ones.
class TRecordingServices : public TQtWindowServices {
 public:
  struct TBox {
    platform::HWND Owner;
    std::string Text, Caption;
    uint32_t Flags;
    bool OwnerEnabled;  // was the owner enabled when the box came up?
  };
  struct TExec {
    std::string CmdLine;
    uint32_t CmdShow;
  };

  std::vector<TBox> Boxes;
  std::deque<int> Answers;
  std::deque<std::string> OpenNames, SaveNames;
  std::vector<platform::TFileDialogOptions> OpenOptions, SaveOptions;
  std::vector<TExec> Execs;
  // Called when a box comes up, before it is answered (a test can look at
  // the window then).
  std::function<void(const TBox&)> OnBox;

  int MessageBox(platform::HWND Owner, const std::string& Text, const std::string& Caption,
                 uint32_t Flags) override;
  bool GetOpenFileName(const platform::TFileDialogOptions& Options, std::string& FileName) override;
  bool GetSaveFileName(const platform::TFileDialogOptions& Options, std::string& FileName) override;
  uint32_t WinExec(const std::string& CmdLine, uint32_t CmdShow) override;

  // The texts of the boxes, in order.
  std::vector<std::string> Texts() const;
  // Their first lines (an end message's first line is its verdict, the
  // rest counts and sizes).
  std::vector<std::string> Heads() const;
};

// Installs services for the life of the scope and restores the previous
// ones afterwards.
class TServicesScope {
 public:
  explicit TServicesScope(std::unique_ptr<platform::TWindowServices> Services);
  ~TServicesScope();

 private:
  std::unique_ptr<platform::TWindowServices> FPrevious;
};

// A fake drive table whose removable drives are folders of one temporary
// folder, installed for the life of the object.
class TFakeCards {
 public:
  TFakeCards();
  ~TFakeCards();
  // Adds a card (a folder "<letter>") with a label and capacity; HasMedia
  // false makes a reader without a card. Returns its folder.
  std::filesystem::path AddCard(char Letter, const std::string& Label,
                                uint64_t Capacity = 64ull << 20, bool HasMedia = true);
  void RemoveCard(char Letter);
  // The table's change report, as a watching table sends it.
  void ReportChange() { FTable->ReportChange(); }
  // A folder outside the cards, for images.
  std::filesystem::path Outside() const { return FRoot.Path() / "outside"; }

 private:
  TTempDir FRoot;
  platform::TFakeDriveTable* FTable;
  std::unique_ptr<platform::TDriveTableScope> FScope;
};

// Processes events until Done() holds or the time runs out; true when Done
// held.
bool WaitFor(const std::function<bool()>& Done,
             std::chrono::milliseconds Limit = std::chrono::seconds(20));
// Answers the modal windows that come up while the code under test runs
// its own modal loops: each step waits for an active modal window that no
// earlier step handled and that its Match accepts (any, when Match is
// empty), then runs its action on it. Polls every 20 ms from the event loop.
// A step that finds no window within 20 s fails the test and closes the
// modal window in the way, so that nothing hangs.
class TModalScript {
 public:
  using TMatch = std::function<bool(QWidget*)>;
  using TAction = std::function<void(QWidget*)>;
  TModalScript();
  ~TModalScript();
  TModalScript& Then(TAction Action, TMatch Match = {});
  bool Done() const { return FSteps.empty(); }

 private:
  void Tick();
  struct TStep {
    TMatch Match;
    TAction Action;
  };
  std::deque<TStep> FSteps;
  std::unique_ptr<QTimer> FPoll;
  qint64 FSince = 0;
};

// Matches message boxes only (not the format or file dialogs).
bool IsMessageBox(QWidget* W);
// Presses the button of a message box or dialog whose text is Text.
void ClickButton(QWidget* Window, const QString& Text);

// The tree below a folder: relative path -> bytes, files only.
std::map<std::string, std::string> TreeOf(const std::filesystem::path& Folder);

}  // namespace zem::test
