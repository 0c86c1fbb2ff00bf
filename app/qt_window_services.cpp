// The window services on Qt widgets.
#include "app/qt_window_services.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QStringList>
#include <QTimer>

#include "app/format_dialog.h"
#include "platform/drives.h"
#include "platform/winapi.h"

namespace zem {

using namespace platform;

namespace {

constexpr uint32_t kExecStarted = 33;
constexpr uint32_t kExecFileNotFound = 2;
constexpr uint32_t kExecFailed = 31;

QWidget* OwnerOr(HWND Owner) {
  if (Owner != nullptr) return WidgetOf(Owner);
  if (QWidget* Modal = QApplication::activeModalWidget()) return Modal;
  return QApplication::activeWindow();
}

// "*.IMG", ".IMG" and "IMG" all mean the extension IMG.
QString ExtensionOf(const std::string& DefaultExt) {
  QString Ext = QString::fromStdString(DefaultExt);
  while (Ext.startsWith('*') || Ext.startsWith('.')) Ext.remove(0, 1);
  return Ext;
}

// Runs a QFileDialog set up from the options; the chosen native path comes
// back Windows-style.
bool RunFileDialog(const TFileDialogOptions& Options, bool Save, std::string& FileName) {
  QFileDialog Dialog(OwnerOr(nullptr), QString::fromStdString(Options.Title));
  Dialog.setOption(QFileDialog::DontUseNativeDialog, true);
  Dialog.setAcceptMode(Save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
  Dialog.setFileMode(QFileDialog::AnyFile);
  if (Save) Dialog.setOption(QFileDialog::DontConfirmOverwrite, true);
  if (!Options.Filter.empty()) Dialog.setNameFilter(QtFilterOf(Options.Filter));
  const QString Ext = ExtensionOf(Options.DefaultExt);
  if (!Ext.isEmpty()) Dialog.setDefaultSuffix(Ext);
  if (!Options.InitialDir.empty()) {
    const std::string Native = ToNativePath(Options.InitialDir);
    if (!Native.empty()) Dialog.setDirectory(QString::fromStdString(Native));
  }
  if (!Options.FileName.empty()) {
    const std::string Native = ToNativePath(Options.FileName);
    if (!Native.empty()) Dialog.selectFile(QString::fromStdString(Native));
  }
  if (Dialog.exec() != QDialog::Accepted) return false;
  const QStringList Files = Dialog.selectedFiles();
  if (Files.isEmpty()) return false;
  FileName = FromNativePath(QDir::cleanPath(Files.first()).toStdString());
  return true;
}

int IdOf(QMessageBox::StandardButton B) {
  switch (B) {
    case QMessageBox::Ok: return IDOK;
    case QMessageBox::Cancel: return IDCANCEL;
    case QMessageBox::Abort: return IDABORT;
    case QMessageBox::Retry: return IDRETRY;
    case QMessageBox::Ignore: return IDIGNORE;
    case QMessageBox::Yes: return IDYES;
    case QMessageBox::No: return IDNO;
    default: return IDCANCEL;
  }
}

}  // namespace

QString QtFilterOf(const std::string& WinFilter) {
  const QStringList Parts = QString::fromStdString(WinFilter).split('|');
  QStringList Entries;
  for (qsizetype I = 0; I + 1 < Parts.size(); I += 2) {
    const QString Text = Parts[I];
    QString Patterns = Parts[I + 1];
    Patterns.replace(';', ' ');
    // Qt reads the patterns from the parentheses at the end of an entry.
    Entries << (Text.endsWith("(" + Patterns + ")") ? Text : Text + " (" + Patterns + ")");
  }
  return Entries.join(";;");
}

TQtWindowServices::TQtWindowServices()
    : Opener([](const QUrl& Url) { return QDesktopServices::openUrl(Url); }) {}

TQtWindowServices::~TQtWindowServices() {
  for (auto& [Id, Timer] : FTimers) Timer->stop();
}

int TQtWindowServices::MessageBox(HWND Owner, const std::string& Text, const std::string& Caption,
                                  uint32_t Flags) {
  QMessageBox Box(OwnerOr(Owner));
  Box.setWindowTitle(QString::fromStdString(Caption));
  Box.setText(QString::fromStdString(Text));
  Box.setTextFormat(Qt::PlainText);
  switch (Flags & 0xF0) {
    case MB_ICONHAND: Box.setIcon(QMessageBox::Critical); break;
    case MB_ICONQUESTION: Box.setIcon(QMessageBox::Question); break;
    case MB_ICONEXCLAMATION: Box.setIcon(QMessageBox::Warning); break;
    case MB_ICONASTERISK: Box.setIcon(QMessageBox::Information); break;
    default: Box.setIcon(QMessageBox::NoIcon); break;
  }
  std::vector<QMessageBox::StandardButton> Buttons;
  switch (Flags & 0x0F) {
    case MB_OKCANCEL: Buttons = {QMessageBox::Ok, QMessageBox::Cancel}; break;
    case MB_ABORTRETRYIGNORE:
      Buttons = {QMessageBox::Abort, QMessageBox::Retry, QMessageBox::Ignore};
      break;
    case MB_YESNOCANCEL: Buttons = {QMessageBox::Yes, QMessageBox::No, QMessageBox::Cancel}; break;
    case MB_YESNO: Buttons = {QMessageBox::Yes, QMessageBox::No}; break;
    case MB_RETRYCANCEL: Buttons = {QMessageBox::Retry, QMessageBox::Cancel}; break;
    default: Buttons = {QMessageBox::Ok}; break;
  }
  for (auto B : Buttons) Box.addButton(B);
  const size_t Default = (Flags & MB_DEFBUTTON2) && Buttons.size() > 1 ? 1 : 0;
  Box.setDefaultButton(Buttons[Default]);
  // Escape and the frame's close button answer Cancel, No, or the only OK.
  QMessageBox::StandardButton Escape = Buttons.size() == 1 ? Buttons[0] : QMessageBox::NoButton;
  for (auto B : Buttons)
    if (B == QMessageBox::Cancel) Escape = B;
  if (Escape == QMessageBox::NoButton && (Flags & 0x0F) == MB_YESNO) Escape = QMessageBox::No;
  if (Escape == QMessageBox::NoButton) Escape = QMessageBox::Abort;
  Box.setEscapeButton(Escape);
  Box.exec();
  auto* Clicked = Box.clickedButton();
  if (Clicked == nullptr) return IdOf(Escape);
  return IdOf(Box.standardButton(Clicked));
}

void TQtWindowServices::ProcessMessages() { QCoreApplication::processEvents(); }

void TQtWindowServices::SetTimer(uintptr_t Id, uint32_t Interval, std::function<void()> OnTimer) {
  auto& Slot = FTimers[Id];
  if (!Slot) {
    Slot = std::make_unique<QTimer>();
  } else {
    Slot->stop();
    QObject::disconnect(Slot.get(), &QTimer::timeout, nullptr, nullptr);
  }
  QObject::connect(Slot.get(), &QTimer::timeout, Slot.get(), std::move(OnTimer));
  Slot->start(static_cast<int>(Interval));
}

void TQtWindowServices::KillTimer(uintptr_t Id) {
  auto It = FTimers.find(Id);
  if (It == FTimers.end()) return;
  // The timer may be the one whose tick is running now: stop it and let Qt
  // free it once that tick has returned.
  QTimer* Timer = It->second.release();
  FTimers.erase(It);
  Timer->stop();
  QObject::disconnect(Timer, &QTimer::timeout, nullptr, nullptr);
  Timer->deleteLater();
}

bool TQtWindowServices::GetOpenFileName(const TFileDialogOptions& Options, std::string& FileName) {
  return RunFileDialog(Options, false, FileName);
}

bool TQtWindowServices::GetSaveFileName(const TFileDialogOptions& Options, std::string& FileName) {
  return RunFileDialog(Options, true, FileName);
}

bool TQtWindowServices::SelectFolder(const std::string& Title, std::string& Folder) {
  std::string Start = Folder.empty() ? std::string() : ToNativePath(Folder);
  const QString Chosen = QFileDialog::getExistingDirectory(
      OwnerOr(nullptr), QString::fromStdString(Title), QString::fromStdString(Start),
      QFileDialog::ShowDirsOnly | QFileDialog::DontUseNativeDialog);
  if (Chosen.isEmpty()) return false;
  Folder = FromNativePath(QDir::cleanPath(Chosen).toStdString());
  return true;
}

uint32_t TQtWindowServices::WinExec(const std::string& CmdLine, uint32_t) {
  const QString Line = QString::fromStdString(CmdLine).trimmed();
  const qsizetype Space = Line.indexOf(' ');
  if (Space < 0) return kExecFileNotFound;
  const QString Program = Line.left(Space).toLower();
  QString Argument = Line.mid(Space + 1).trimmed();
  if (Argument.size() >= 2 && Argument.startsWith('"') && Argument.endsWith('"'))
    Argument = Argument.mid(1, Argument.size() - 2);
  if (Argument.isEmpty()) return kExecFileNotFound;

  QString Native;
  if (Program == "start") {
    // A Windows-style path: a drive's root is its mount folder.
    Native = QString::fromStdString(ToNativePath(Argument.toStdString()));
  } else if (Program == "notepad") {
    const QFileInfo Here(QDir::current(), Argument);
    const QFileInfo Beside(QDir(QCoreApplication::applicationDirPath()), Argument);
    // Installed, the program sits in bin/ and its files in share/zemtools/.
    const QFileInfo Shared(QDir(QCoreApplication::applicationDirPath() + "/../share/zemtools"), Argument);
    if (QFileInfo(Argument).isAbsolute()) {
      Native = QString::fromStdString(ToNativePath(Argument.toStdString()));
    } else {
      // The program's own files first: a file of that name in the current
      // folder is only the last resort.
      Native = Beside.exists()   ? Beside.absoluteFilePath()
               : Shared.exists() ? Shared.absoluteFilePath()
                                 : Here.absoluteFilePath();
    }
  } else {
    return kExecFileNotFound;
  }
  if (Native.isEmpty() || !QFileInfo::exists(Native)) return kExecFileNotFound;
  return Opener(QUrl::fromLocalFile(Native)) ? kExecStarted : kExecFailed;
}

uint32_t TQtWindowServices::SHFormatDrive(HWND Owner, uint32_t Drive, uint32_t, uint32_t) {
  if (Drive >= 26) return SHFMT_ERROR;
  return RunFormatDialog(static_cast<char>('A' + Drive), OwnerOr(Owner));
}

HWND TQtWindowServices::GetActiveWindow() {
  if (QWidget* Modal = QApplication::activeModalWidget()) return HandleOf(Modal);
  return HandleOf(QApplication::activeWindow());
}

bool TQtWindowServices::EnableWindow(HWND Window, bool Enable) {
  QWidget* W = WidgetOf(Window);
  if (W == nullptr) return false;
  const bool WasDisabled = !W->isEnabled();
  W->setEnabled(Enable);
  return WasDisabled;
}

HWND TQtWindowServices::FindWindowExA(HWND Parent, HWND ChildAfter, const std::string& ClassName,
                                      const std::string&) {
  QWidget* W = WidgetOf(Parent);
  if (W == nullptr || ClassName != "Button" || !W->isWindow() || !W->isModal()) return nullptr;
  const QList<QPushButton*> Buttons = W->findChildren<QPushButton*>();
  bool Seen = ChildAfter == nullptr;
  for (QPushButton* B : Buttons) {
    if (Seen) return HandleOf(B);
    if (HandleOf(B) == ChildAfter) Seen = true;
  }
  return nullptr;
}

bool TQtWindowServices::PostMessageA(HWND Window, uint32_t Msg, uintptr_t, intptr_t) {
  auto* Button = qobject_cast<QAbstractButton*>(WidgetOf(Window));
  if (Msg != BM_CLICK || Button == nullptr) return false;
  QPointer<QAbstractButton> Target(Button);
  QTimer::singleShot(0, Button, [Target] {
    if (Target) Target->click();
  });
  return true;
}

}  // namespace zem
