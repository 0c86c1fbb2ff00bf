// Renders the main window with two fake cards, one labelled CAMERA and one
// without a label, into the PNG file named on the command line.
#include <QApplication>
#include <QListWidget>
#include <QPixmap>
#include <QTimer>

#include <cstdio>
#include <memory>

#include "app/main.h"
#include "app/qt_window_services.h"
#include "common/test_support.h"
#include "platform/drives.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: app_screenshot OUTPUT.png\n");
    return 2;
  }
  QApplication App(argc, argv);
  zem::test::TTempDir Root;
  std::filesystem::create_directories(Root / "camera");
  std::filesystem::create_directories(Root / "blank");
  auto Table = std::make_unique<zem::platform::TFakeDriveTable>();
  Table->AddDrive('D', (Root / "camera").string(), "CAMERA", 31914983424ull);
  Table->AddDrive('E', (Root / "blank").string(), "", 7948206080ull);
  zem::platform::TDriveTableScope Scope(std::move(Table));
  zem::platform::InstallWindowServices(std::make_unique<zem::TQtWindowServices>());

  int Code = 0;
  {
    zem::TZEMToolsForm Form;
    Form.show();
    if (Form.ListView1->count() > 0) Form.ListView1->item(0)->setSelected(true);
    // Give the window time to be mapped and painted before it is grabbed.
    QTimer::singleShot(500, &Form, [&] {
      if (!Form.grab().save(QString::fromLocal8Bit(argv[1]), "PNG")) Code = 1;
      QApplication::quit();
    });
    QApplication::exec();
  }
  zem::platform::InstallWindowServices(nullptr);
  if (Code != 0) std::fprintf(stderr, "app_screenshot: cannot write %s\n", argv[1]);
  return Code;
}
