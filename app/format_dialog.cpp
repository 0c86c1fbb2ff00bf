// The format dialog of the window program.
#include "app/format_dialog.h"

#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "core/drives.h"
#include "platform/drives.h"
#include "app/qt_window_services.h"
#include "platform/format.h"
#include "platform/window_services.h"
#include "platform/winapi.h"

namespace zem {

using namespace platform;

namespace {

std::string FileSystemOf(char Letter) {
  const std::string Root = std::string(1, Letter) + ":\\";
  char Name[261] = {};
  char FsName[64] = {};
  if (!GetVolumeInformationA(Root.c_str(), Name, sizeof Name, nullptr, nullptr, nullptr, FsName,
                             sizeof FsName))
    return {};
  return FsName;
}

QString FailureText(uint32_t Result) {
  if (Result == SHFMT_NOFORMAT) return QStringLiteral("This drive cannot be formatted.");
  const std::string Why = DriveTable().LastFailure();
  if (Why.empty()) return QStringLiteral("The card could not be formatted.");
  return QString::fromStdString("The card could not be formatted: " + Why);
}

}  // namespace

TFormatDialog::TFormatDialog(char Letter, QWidget* Owner)
    : QDialog(Owner), FLetter(Letter), FResult(SHFMT_CANCEL) {
  setObjectName("FormatDialog");
  const std::string Label = DriveLabel(Letter);
  setWindowTitle(QString::fromStdString("Format " + Label + " (" + std::string(1, Letter) + ":)"));
  setModal(true);

  // Start is created before any other push button: it is the first one,
  // the one the auto-confirm timer presses.
  FStart = new QPushButton(QStringLiteral("Start"), this);
  FStart->setObjectName("StartButton");
  FClose = new QPushButton(QStringLiteral("Close"), this);
  FClose->setObjectName("CloseButton");
  FStart->setAutoDefault(false);
  FClose->setAutoDefault(false);

  const uint64_t Capacity = DriveCapacity(std::string(1, Letter));
  const std::string FileSystem = FileSystemOf(Letter);
  FCapacity = new QLabel(Capacity == 0 ? QStringLiteral("no card")
                                       : QString::fromStdString(HumanSize(Capacity)),
                         this);
  FFileSystem = new QLabel(FileSystem.empty() ? QStringLiteral("unknown")
                                              : QString::fromStdString(FileSystem),
                           this);
  const uint32_t Index = static_cast<uint32_t>(Letter - 'A');
  const bool NewFileSystem = FormatMakesFileSystem(Index);
  if (NewFileSystem) {
    FFileSystemBox = new QComboBox(this);
    FFileSystemBox->setObjectName("FileSystemBox");
    FFileSystemBox->addItems({QStringLiteral("FAT32"), QStringLiteral("exFAT")});
    FFileSystemBox->setCurrentText(QString::fromStdString(DefaultNewFileSystem(Index)));
    FFileSystem->hide();
  }
  FMethod = new QLabel(NewFileSystem ? QStringLiteral("Makes a new empty file system with the "
                                                      "card's label.")
                                     : QStringLiteral("Erases every file; the file system and "
                                                      "label stay (UDisks2 is not available)."),
                       this);
  FMethod->setWordWrap(true);

  auto* Grid = new QGridLayout;
  Grid->addWidget(new QLabel(QStringLiteral("Capacity:"), this), 0, 0);
  Grid->addWidget(FCapacity, 0, 1);
  Grid->addWidget(new QLabel(QStringLiteral("File system:"), this), 1, 0);
  Grid->addWidget(FFileSystemBox != nullptr ? static_cast<QWidget*>(FFileSystemBox) : FFileSystem, 1, 1);
  Grid->addWidget(FMethod, 2, 0, 1, 2);
  Grid->setColumnStretch(1, 1);

  auto* Buttons = new QHBoxLayout;
  Buttons->addStretch(1);
  Buttons->addWidget(FStart);
  Buttons->addWidget(FClose);

  auto* Main = new QVBoxLayout(this);
  Main->addLayout(Grid);
  Main->addSpacing(12);
  Main->addLayout(Buttons);
  setMinimumWidth(300);

  QObject::connect(FStart, &QPushButton::clicked, this, [this] { StartClick(); });
  QObject::connect(FClose, &QPushButton::clicked, this, [this] { reject(); });
}

QString TFormatDialog::CapacityText() const { return FCapacity->text(); }
QString TFormatDialog::FileSystemText() const {
  return FFileSystemBox != nullptr ? FFileSystemBox->currentText() : FFileSystem->text();
}
QString TFormatDialog::MethodText() const { return FMethod->text(); }

void TFormatDialog::reject() {
  // Close keeps the result of a failed format; otherwise it is a cancel.
  done(QDialog::Rejected);
}

void TFormatDialog::StartClick() {
  auto& Services = WindowServices();
  const std::string Title = windowTitle().toStdString();
  // The platform asks the question once it knows the drive can be
  // formatted; Cancel leaves everything as it was.
  const std::string Chosen =
      FFileSystemBox != nullptr ? FFileSystemBox->currentText().toStdString() : std::string();
  const uint32_t Result = FormatDrive(
      static_cast<uint32_t>(FLetter - 'A'),
      [&] { return Services.MessageBox(HandleOf(this), kFormatQuestion, Title, MB_OKCANCEL) == IDOK; },
      Chosen);
  if (Result == SHFMT_CANCEL) return;
  FResult = Result;
  if (Result == 0) {
    Services.MessageBox(HandleOf(this), kFormatComplete, Title, MB_OK);
    done(QDialog::Accepted);
    return;
  }
  Services.MessageBox(HandleOf(this), FailureText(Result).toStdString(), Title, MB_OK);
}

uint32_t RunFormatDialog(char Letter, QWidget* Owner) {
  if (!DriveTable().Find(Letter)) return SHFMT_NOFORMAT;
  TFormatDialog Dialog(Letter, Owner);
  Dialog.exec();
  return Dialog.FormatResult();
}

}  // namespace zem
