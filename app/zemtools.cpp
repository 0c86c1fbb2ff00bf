// The program entry of the window program: the application, the Qt window
// services, the main window and the message loop.
#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>

#include "app/main.h"
#include "app/qt_window_services.h"
#include "platform/signal_cleanup.h"
#include "platform/window_services.h"

namespace {

// Qt aborts with a long report when no display can be opened; say it in
// one line instead.
bool HasDisplay() {
  for (const char* Name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* Value = std::getenv(Name);
    if (Value != nullptr && *Value != '\0') return true;
  }
  const char* Platform = std::getenv("QT_QPA_PLATFORM");
  return Platform != nullptr && *Platform != '\0';
}

}  // namespace

int main(int argc, char** argv) {
  if (!HasDisplay()) {
    std::fprintf(stderr, "zemtools: no display to show the window on (DISPLAY is not set)\n");
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
