// The window services on Qt: message boxes, the message pump, timers, file
// dialogs, command lines and the format dialog, for the window program.
#pragma once

#include <QPointer>
#include <QUrl>

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "platform/window_services.h"

class QTimer;
class QWidget;

namespace zem {

// A window handle is the QWidget it names; nullptr is "no window".
inline QWidget* WidgetOf(platform::HWND Window) { return static_cast<QWidget*>(Window); }
inline platform::HWND HandleOf(QWidget* Widget) { return static_cast<platform::HWND>(Widget); }

// Needs a QApplication that lives longer than the services. Everything runs
// on the thread of that application.
class TQtWindowServices : public platform::TWindowServices {
 public:
  TQtWindowServices();
  ~TQtWindowServices() override;

  // A modal QMessageBox owned by Owner (the active window when nullptr):
  // Caption as title, Text as text, the buttons of the flags' low nibble
  // (MB_OK: one OK button), an icon only when the flags ask for one, the
  // second button default with MB_DEFBUTTON2. Returns IDOK, IDCANCEL, ...;
  // closing the box by its frame answers as Escape does (Cancel, No, or OK
  // when OK is the only button).
  int MessageBox(platform::HWND Owner, const std::string& Text, const std::string& Caption,
                 uint32_t Flags) override;
  // QCoreApplication::processEvents: paints, input and timers.
  void ProcessMessages() override;
  // One single QTimer per Id; a second SetTimer with the same Id restarts it
  // with the new interval and handler. Ticks arrive while events are
  // dispatched (the main loop, a modal dialog, ProcessMessages).
  void SetTimer(uintptr_t Id, uint32_t Interval, std::function<void()> OnTimer) override;
  void KillTimer(uintptr_t Id) override;
  // Non-native QFileDialogs owned by the active window. The filter
  // "Text|Pattern[|Text|Pattern...]" becomes Qt's "Text (Pattern)" entries
  // (the text alone when it already names the pattern); DefaultExt ("IMG" or
  // "*.IMG") is appended to a name typed without an extension. The open
  // dialog accepts names of files that do not exist; the save dialog never
  // asks before replacing. Paths go in and come out Windows-style, through
  // the drive table; false when cancelled.
  bool GetOpenFileName(const platform::TFileDialogOptions& Options,
                       std::string& FileName) override;
  bool GetSaveFileName(const platform::TFileDialogOptions& Options,
                       std::string& FileName) override;
  bool SelectFolder(const std::string& Title, std::string& Folder) override;
  // "start <path>" opens the path (a drive's root opens its mount folder)
  // and "notepad <file>" opens the file, both with the desktop's standard
  // opener; a relative file name is looked up beside the program, then in
  // ../share/zemtools from it (installed), then in the current folder. 33
  // when the opener took it, 2 (file not found) when
  // the path does not exist or the command is not one of these, 31 when the
  // opener failed. CmdShow is not used: no console window is involved.
  uint32_t WinExec(const std::string& CmdLine, uint32_t CmdShow) override;
  // The format dialog (app/format_dialog.h), modal to Owner.
  uint32_t SHFormatDrive(platform::HWND Owner, uint32_t Drive, uint32_t FormatId,
                         uint32_t Options) override;
  // The active modal window if there is one, else the active window.
  platform::HWND GetActiveWindow() override;
  // Enables or disables the widget with its children; true when it was
  // disabled before (as the system call answers).
  bool EnableWindow(platform::HWND Window, bool Enable) override;
  // For ClassName "Button": the first QPushButton below Parent, in creation
  // order, when Parent is a modal window (a dialog or message box being
  // run); nullptr for any other window, so the buttons of the main window
  // never count. ChildAfter continues after that button. Other class names
  // find nothing.
  platform::HWND FindWindowExA(platform::HWND Parent, platform::HWND ChildAfter,
                               const std::string& ClassName,
                               const std::string& WindowName) override;
  // BM_CLICK queues a click of the button; it happens when events are next
  // dispatched (the dialog's own loop). False for other messages or when
  // the window is not a button.
  bool PostMessageA(platform::HWND Window, uint32_t Msg, uintptr_t WParam,
                    intptr_t LParam) override;

  // What opens paths for WinExec; tests replace it to record the calls.
  std::function<bool(const QUrl&)> Opener;

 private:
  std::map<uintptr_t, std::unique_ptr<QTimer>> FTimers;
};

// The Qt filter string for a "Text|Pattern|..." filter.
QString QtFilterOf(const std::string& WinFilter);

}  // namespace zem
