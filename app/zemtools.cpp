// The program entry of the window program: the application, the Qt window
// services, the main window and the message loop.
#include <QApplication>

#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>

#include "app/main.h"
#include "app/qt_window_services.h"
#include "platform/signal_cleanup.h"
#include "platform/window_services.h"

namespace {

const char* EnvValue(const char* Name) {
  const char* Value = std::getenv(Name);
  return Value != nullptr && *Value != '\0' ? Value : nullptr;
}

// Whether the X server DISPLAY names answers: a connection through libxcb
// (the library Qt's X11 support uses), opened at run time so that the
// program does not need it where Qt runs without X. True when the library
// is missing: Qt then has the last word.
bool XServerAnswers(const char* Display) {
  void* Xcb = dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
  if (Xcb == nullptr) return true;
  using TConnect = void* (*)(const char*, int*);
  using THasError = int (*)(void*);
  using TDisconnect = void (*)(void*);
  auto Connect = reinterpret_cast<TConnect>(dlsym(Xcb, "xcb_connect"));
  auto HasError = reinterpret_cast<THasError>(dlsym(Xcb, "xcb_connection_has_error"));
  auto Disconnect = reinterpret_cast<TDisconnect>(dlsym(Xcb, "xcb_disconnect"));
  bool Answers = true;
  if (Connect != nullptr && HasError != nullptr && Disconnect != nullptr) {
    void* Connection = Connect(Display, nullptr);
    Answers = Connection != nullptr && HasError(Connection) == 0;
    if (Connection != nullptr) Disconnect(Connection);
  }
  dlclose(Xcb);
  return Answers;
}

// Qt aborts with a long report when no display can be opened; say it in
// one line instead. Empty when the window can be shown.
std::string NoDisplayReason() {
  const char* Platform = EnvValue("QT_QPA_PLATFORM");
  const bool X11 = Platform == nullptr ? EnvValue("WAYLAND_DISPLAY") == nullptr
                                       : std::strncmp(Platform, "xcb", 3) == 0;
  if (!X11) return {};
  const char* Display = EnvValue("DISPLAY");
  if (Display == nullptr) return "no display to show the window on (DISPLAY is not set)";
  if (!XServerAnswers(Display))
    return std::string("no display to show the window on (cannot connect to the X server \"") +
           Display + "\")";
  return {};
}

}  // namespace

int main(int argc, char** argv) {
  if (const std::string Why = NoDisplayReason(); !Why.empty()) {
    std::fprintf(stderr, "zemtools: %s\n", Why.c_str());
    return 1;
  }
  zem::platform::InstallSignalCleanup();
  QApplication App(argc, argv);
  QApplication::setApplicationName(QStringLiteral("ZEM Tools"));
  zem::platform::InstallWindowServices(std::make_unique<zem::TQtWindowServices>());
  int Code = 0;
  {
    std::unique_ptr<zem::TZEMToolsForm> Form;
    try {
      Form = std::make_unique<zem::TZEMToolsForm>();
    } catch (const std::exception& E) {
      zem::platform::WindowServices().MessageBox(nullptr, E.what(), zem::kApplicationTitle,
                                                 zem::platform::MB_OK |
                                                     zem::platform::MB_ICONHAND);
      return 1;
    }
    Form->show();
    Code = QApplication::exec();
  }
  // The services hold Qt objects: drop them while the application exists.
  zem::platform::InstallWindowServices(nullptr);
  return Code;
}
