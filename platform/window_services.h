// Window-system services the system needs: message boxes, the message pump,
// timers, file dialogs, command lines and the format dialog. The window
// program installs its Qt implementation; the headless default answers as a
// console program would and never waits for ever.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace zem::platform {

using HWND = void*;

// Message box flags and answers.
enum : uint32_t {
  MB_OK = 0x00,
  MB_OKCANCEL = 0x01,
  MB_ABORTRETRYIGNORE = 0x02,
  MB_YESNOCANCEL = 0x03,
  MB_YESNO = 0x04,
  MB_RETRYCANCEL = 0x05,
  MB_ICONHAND = 0x10,
  MB_ICONQUESTION = 0x20,
  MB_ICONEXCLAMATION = 0x30,
  MB_ICONASTERISK = 0x40,
  MB_DEFBUTTON2 = 0x100,
  MB_TASKMODAL = 0x2000,
};
enum : int { IDOK = 1, IDCANCEL = 2, IDABORT = 3, IDRETRY = 4, IDIGNORE = 5, IDYES = 6, IDNO = 7 };

// SHFormatDrive results.
enum : uint32_t {
  SHFMT_ERROR = 0xFFFFFFFF,
  SHFMT_CANCEL = 0xFFFFFFFE,
  SHFMT_NOFORMAT = 0xFFFFFFFD,
  SHFMT_OPT_FULL = 0x0001,
};

struct TFileDialogOptions {
  std::string Title;
  std::string Filter;      // "ZEM Tool Backup File (*.IMG)|*.IMG"
  std::string DefaultExt;  // "IMG"
  std::string FileName;    // initial name, Windows-style
  std::string InitialDir;  // Windows-style
};

class TWindowServices {
 public:
  virtual ~TWindowServices() = default;

  // A modal message box; returns the button pressed (IDOK, IDYES, ...).
  virtual int MessageBox(HWND Owner, const std::string& Text, const std::string& Caption,
                         uint32_t Flags) = 0;
  // Dispatches pending window messages and returns at once.
  virtual void ProcessMessages() = 0;
  // Starts (or restarts) timer Id firing OnTimer every Interval ms while
  // messages are dispatched; KillTimer stops it.
  virtual void SetTimer(uintptr_t Id, uint32_t Interval, std::function<void()> OnTimer) = 0;
  virtual void KillTimer(uintptr_t Id) = 0;
  // File dialogs: true with the chosen Windows-style path, false on cancel.
  virtual bool GetOpenFileName(const TFileDialogOptions& Options, std::string& FileName) = 0;
  virtual bool GetSaveFileName(const TFileDialogOptions& Options, std::string& FileName) = 0;
  virtual bool SelectFolder(const std::string& Title, std::string& Folder) = 0;
  // Starts a command line ("start F:\", "notepad readme.txt"); a value above
  // 31 means it was started.
  virtual uint32_t WinExec(const std::string& CmdLine, uint32_t CmdShow) = 0;
  // The system's format dialog for Drive (0 = A:), modal; 0 when formatted,
  // else SHFMT_ERROR, SHFMT_CANCEL or SHFMT_NOFORMAT.
  virtual uint32_t SHFormatDrive(HWND Owner, uint32_t Drive, uint32_t FormatId,
                                 uint32_t Options) = 0;
  virtual HWND GetActiveWindow() = 0;
  virtual bool EnableWindow(HWND Window, bool Enable) = 0;
  // The first child of Parent with the given class ("Button"), or nullptr.
  virtual HWND FindWindowExA(HWND Parent, HWND ChildAfter, const std::string& ClassName,
                             const std::string& WindowName) = 0;
  // BM_CLICK and the like; true when posted.
  virtual bool PostMessageA(HWND Window, uint32_t Msg, uintptr_t WParam, intptr_t LParam) = 0;
};

enum : uint32_t { BM_CLICK = 0x00F5, SW_SHOWNORMAL = 1 };

// The console stand-in: message boxes go to standard error and answer the
// default (OK, or Cancel / No for questions), dialogs are cancelled, no
// command line is started, timers never fire, and the format dialog is
// cancelled. Never blocks.
class THeadlessWindowServices : public TWindowServices {
 public:
  int MessageBox(HWND Owner, const std::string& Text, const std::string& Caption,
                 uint32_t Flags) override;
  void ProcessMessages() override {}
  void SetTimer(uintptr_t, uint32_t, std::function<void()>) override {}
  void KillTimer(uintptr_t) override {}
  bool GetOpenFileName(const TFileDialogOptions&, std::string&) override { return false; }
  bool GetSaveFileName(const TFileDialogOptions&, std::string&) override { return false; }
  bool SelectFolder(const std::string&, std::string&) override { return false; }
  uint32_t WinExec(const std::string&, uint32_t) override { return 2; /* file not found */ }
  uint32_t SHFormatDrive(HWND, uint32_t, uint32_t, uint32_t) override { return SHFMT_CANCEL; }
  HWND GetActiveWindow() override { return nullptr; }
  bool EnableWindow(HWND, bool) override { return false; }
  HWND FindWindowExA(HWND, HWND, const std::string&, const std::string&) override {
    return nullptr;
  }
  bool PostMessageA(HWND, uint32_t, uintptr_t, intptr_t) override { return false; }
};

// The services in use (the headless ones unless replaced).
TWindowServices& WindowServices();
// Installs services and returns the previous ones (nullptr restores the
// headless default).
std::unique_ptr<TWindowServices> InstallWindowServices(std::unique_ptr<TWindowServices> Services);

}  // namespace zem::platform
