// The main window: its controls at their design places, and the handlers
// that start the card operations.
#include "app/main.h"

#include <QButtonGroup>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDate>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFont>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QVBoxLayout>

#include <algorithm>

#include "archive/reader/arc_exceptions.h"
#include "core/card_ops.h"
#include "core/drives.h"
#include "core/image.h"
#include "platform/drives.h"
#include "platform/winapi.h"

#ifndef ZEM_VERSION
#define ZEM_VERSION "unknown"
#endif

namespace zem {

using platform::MB_ICONHAND;
using platform::MB_OK;
using platform::DriveTable;
using platform::WindowServices;

namespace {

constexpr uint32_t kSwHide = 0;

// An entry's name as the card shows it ("DCIM/100/a.jpg").
QString Slashed(const std::string& Name) {
  return QString::fromStdString(Name).replace('\\', '/');
}

// "0:42", "1:02:03"; seconds below a minute as "12 s".
QString TimeText(double Seconds) {
  const long Total = std::max(0L, static_cast<long>(Seconds + 0.5));
  if (Total < 60) return QStringLiteral("%1 s").arg(Total);
  if (Total < 3600) return QString::asprintf("%ld:%02ld", Total / 60, Total % 60);
  return QString::asprintf("%ld:%02ld:%02ld", Total / 3600, Total / 60 % 60, Total % 60);
}

QString SizeText(int64_t Bytes) {
  return QString::fromStdString(HumanSize(static_cast<uint64_t>(std::max<int64_t>(Bytes, 0))));
}

// The name Backup suggests: the card's label and today's date.
QString DefaultImageName(const std::string& Label) {
  QString Base = QString::fromStdString(Label).trimmed();
  Base.replace('/', '_');
  if (Base.isEmpty()) Base = QStringLiteral("CARD");
  return Base + "-" + QDate::currentDate().toString(QStringLiteral("yyyyMMdd")) + ".IMG";
}

// The image's name with the extension ".IMG" (in any case) it must carry.
std::string WithImageExtension(const std::string& Name) {
  const std::string Ext = ".IMG";
  if (Name.size() >= Ext.size()) {
    std::string Tail = Name.substr(Name.size() - Ext.size());
    std::transform(Tail.begin(), Tail.end(), Tail.begin(),
                   [](unsigned char C) { return static_cast<char>(std::toupper(C)); });
    if (Tail == Ext) return Name;
  }
  return Name + Ext;
}

// The program's readme: beside the program (the build tree), in
// share/zemtools when installed, else the copy built into the program.
QString ReadmeText() {
  const QString Dir = QCoreApplication::applicationDirPath();
  for (const QString& Path : {Dir + "/readme.txt", Dir + "/../share/zemtools/readme.txt",
                              QStringLiteral(":/zemtools/readme.txt")}) {
    QFile File(Path);
    if (File.open(QIODevice::ReadOnly)) return QString::fromUtf8(File.readAll());
  }
  return QStringLiteral("The readme of ZEM Tools is missing from this installation.");
}

// The drive list as the drive layer fills it: one icon item per caption.
class TListViewItems : public TDriveListControl {
 public:
  TListViewItems(QListWidget* List, const TImageList& Icons) : FList(List), FIcons(Icons) {}
  void Clear() override { FList->clear(); }
  void AddItem(const std::string& Caption) override {
    auto* Item = new QListWidgetItem(QString::fromStdString(Caption), FList);
    if (FIcons.Count() > 0) Item->setIcon(QIcon(FIcons.Image(0)));
  }

 private:
  QListWidget* FList;
  const TImageList& FIcons;
};

// Re-enables the main window on every way out of an operation.
class TEnableOnExit {
 public:
  explicit TEnableOnExit(platform::HWND Window) : FWindow(Window) {}
  ~TEnableOnExit() { WindowServices().EnableWindow(FWindow, true); }
  TEnableOnExit(const TEnableOnExit&) = delete;
  TEnableOnExit& operator=(const TEnableOnExit&) = delete;

 private:
  platform::HWND FWindow;
};

}  // namespace

// ---- TRadioGroup ------------------------------------------------------------

TRadioGroup::TRadioGroup(const QString& Caption, const std::vector<QString>& Items,
                         QWidget* Parent)
    : QGroupBox(Caption, Parent), FGroup(new QButtonGroup(this)) {
  for (const QString& Text : Items) {
    auto* Button = new QRadioButton(Text, this);
    Button->setObjectName(QStringLiteral("Item%1").arg(FItems.size()));
    FGroup->addButton(Button, static_cast<int>(FItems.size()));
    FItems.push_back(Button);
  }
  // One tab stop for the group, on the checked item; the arrow keys move
  // between the items.
  QObject::connect(FGroup, &QButtonGroup::idToggled, this, [this] { UpdateTabStop(); });
  UpdateTabStop();
  LayoutItems();
}

void TRadioGroup::UpdateTabStop() {
  const int Checked = ItemIndex();
  for (int I = 0; I < Count(); ++I) {
    const bool Stop = I == Checked || (Checked < 0 && I == 0);
    Item(I)->setFocusPolicy(Stop ? Qt::StrongFocus : Qt::ClickFocus);
  }
}

int TRadioGroup::ItemIndex() const { return FGroup->checkedId(); }

void TRadioGroup::SetItemIndex(int Index) {
  if (Index >= 0 && Index < Count()) {
    Item(Index)->setChecked(true);
  } else if (QAbstractButton* Checked = FGroup->checkedButton()) {
    // Nothing checked: the group must let go of exclusivity for a moment.
    FGroup->setExclusive(false);
    Checked->setChecked(false);
    FGroup->setExclusive(true);
  }
}

void TRadioGroup::resizeEvent(QResizeEvent* Event) {
  QGroupBox::resizeEvent(Event);
  LayoutItems();
}

// The items share the height below the caption in equal rows, as a radio
// group of the classic toolkits lays them out.
void TRadioGroup::LayoutItems() {
  if (FItems.empty()) return;
  const int Top = fontMetrics().height() + 2;
  const int Rows = Count();
  const int RowHeight = (height() - Top - 5) / Rows;
  for (int I = 0; I < Rows; ++I) {
    FItems[static_cast<size_t>(I)]->setGeometry(8, Top + I * RowHeight, width() - 16, RowHeight);
  }
}

// ---- TZEMToolsForm ------------------------------------------------------------

TZEMToolsForm::TZEMToolsForm(QWidget* Parent)
    : QWidget(Parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint) {
  setObjectName("ZEMToolsForm");
  setWindowTitle(kDesignCaption);
  QFont Font(QStringLiteral("Sans Serif"));
  Font.setStyleHint(QFont::SansSerif);
  Font.setPointSize(8);
  setFont(Font);
  setFixedSize(738, 223);
  BuildControls();

  ArcZip1 = std::make_unique<TArcZip>();
  ArcZip1->SetName("ArcZip1");
  ConfigureCardComponent(*ArcZip1);
  ArcZip1->OnTotalPercentDone = [this](TObject* S, int32_t P) { ArcZip1TotalPercentDone(S, P); };
  ArcZip1->OnZipComplete = [this](TObject* S, int32_t N) { ArcZip1ZipComplete(S, N); };
  ArcZip1->OnInCompleteZip = [this](TObject* S, TIncompleteZipMode& M) {
    ArcZip1InCompleteZip(S, M);
  };
  // The progress in words and the counts of the end messages.
  ArcZip1->OnStartZipInfo = [this](TObject*, int32_t, int64_t Total, TEndCentral&, bool&) {
    StartPass(Total);
  };
  ArcZip1->OnStartUnZipInfo = [this](TObject*, int32_t, int64_t Total, bool&) { StartPass(Total); };
  ArcZip1->OnStartZip = [this](TObject*, const std::string&, TZipHeaderInfo& E, bool&) {
    FEntry = &E;
    FCurrentFile = Slashed(E.FullName());
  };
  ArcZip1->OnEndZip = [this](TObject*, const std::string&, int32_t, int32_t, int32_t) {
    if (FEntry == nullptr || FEntry->FileName().empty()) return;
    ++FFiles;
    FBytes += static_cast<int64_t>(FEntry->UncompressedSize());
    FPacked += static_cast<int64_t>(FEntry->CompressedSize());
    FEntry = nullptr;
  };
  ArcZip1->OnStartUnZip = [this](TObject*, int32_t I, std::string&, bool&) {
    FCurrentFile = Slashed(ArcZip1->EntryHeader(I).FullName());
  };
  ArcZip1->OnEndUnZip = [this](TObject*, int32_t I, const std::string&) {
    const TZipHeaderInfo& E = ArcZip1->EntryHeader(I);
    if (E.FileName().empty()) return;
    ++FFiles;
    FBytes += static_cast<int64_t>(E.UncompressedSize());
  };

  SaveDialog1 = std::make_unique<TSaveDialog>();
  SaveDialog1->SetName("SaveDialog1");
  OpenDialog1 = std::make_unique<TOpenDialog>();
  OpenDialog1->SetName("OpenDialog1");
  for (TFileDialog* D : {static_cast<TFileDialog*>(SaveDialog1.get()),
                         static_cast<TFileDialog*>(OpenDialog1.get())}) {
    D->SetFilter(kBackupFilter);
    D->SetDefaultExt(kBackupDefaultExt);
  }

  Timer1 = std::make_unique<TTimer>();
  Timer1->SetName("Timer1");
  Timer1->SetEnabled(false);
  Timer1->SetInterval(50);
  Timer1->OnTimer = [this](TObject* S) { Timer1Timer(S); };

  if (QScreen* Screen = QGuiApplication::primaryScreen()) {
    const QRect Area = Screen->availableGeometry();
    move(Area.center() - QPoint(width() / 2, height() / 2));
  }
  FormCreate(this);
  // Cards coming and going: the table reports on a thread of its own, the
  // list is refreshed on this window's.
  DriveTable().SetOnChange([this] {
    QMetaObject::invokeMethod(this, [this] { DrivesChanged(); }, Qt::QueuedConnection);
  });
}

TZEMToolsForm::~TZEMToolsForm() {
  // Waits for a report in progress; none comes after this.
  DriveTable().SetOnChange(nullptr);
  // The timer's handler refers to this window: stop it first.
  Timer1->SetEnabled(false);
  Timer1->OnTimer = nullptr;
}

void TZEMToolsForm::BuildControls() {
  IconList = std::make_unique<TImageList>(64, 64);
  IconList->Add(DrawCardIcon(64));

  ListView1 = new QListWidget(this);
  ListView1->setObjectName("ListView1");
  ListView1->setGeometry(8, 9, 721, 96);
  ListView1->setViewMode(QListView::IconMode);
  ListView1->setIconSize(QSize(IconList->Width(), IconList->Height()));
  ListView1->setMovement(QListView::Static);
  ListView1->setResizeMode(QListView::Adjust);
  ListView1->setFlow(QListView::LeftToRight);
  ListView1->setWrapping(true);
  ListView1->setSpacing(2);
  ListView1->setEditTriggers(QAbstractItemView::NoEditTriggers);
  ListView1->setSelectionMode(QAbstractItemView::SingleSelection);
  QObject::connect(ListView1, &QListWidget::itemDoubleClicked, this,
                   [this](QListWidgetItem*) { ListView1DblClick(ListView1); });

  RadioGroup1 = new TRadioGroup(QStringLiteral("Compress Ratio"),
                                {QStringLiteral("None"), QStringLiteral("Fast"),
                                 QStringLiteral("High")},
                                this);
  RadioGroup1->setObjectName("RadioGroup1");
  RadioGroup1->setGeometry(8, 112, 97, 81);
  RadioGroup1->SetItemIndex(1);

  auto MakeButton = [this](const char* Name, const char* Caption, int Left, int Top) {
    auto* B = new QPushButton(QString::fromLatin1(Caption), this);
    B->setObjectName(QString::fromLatin1(Name));
    B->setGeometry(Left, Top, 75, 25);
    B->setAutoDefault(false);
    return B;
  };
  Button2 = MakeButton("Button2", "Backup", 120, 120);
  Button3 = MakeButton("Button3", "Restore", 120, 160);
  Button5 = MakeButton("Button5", "Format", 216, 120);
  Button7 = MakeButton("Button7", "DiskCopy", 216, 160);
  Button1 = MakeButton("Button1", "Refresh", 656, 120);
  Button8 = MakeButton("Button8", "Eject", 568, 120);
  Button6 = MakeButton("Button6", "Best Perform", 568, 160);
  Button6->setEnabled(false);
  Button4 = MakeButton("Button4", "Help", 656, 160);

  ProgressBar1 = new QProgressBar(this);
  ProgressBar1->setObjectName("ProgressBar1");
  ProgressBar1->setGeometry(8, 200, 721, 16);
  ProgressBar1->setRange(0, 100);
  ProgressBar1->setValue(0);
  ProgressBar1->setTextVisible(true);
  ProgressBar1->setFormat(QString());

  EmptyHint = new QLabel(QString::fromLatin1(kNoCardHint), this);
  EmptyHint->setObjectName("EmptyHint");
  EmptyHint->setGeometry(8, 9, 721, 96);
  EmptyHint->setAlignment(Qt::AlignCenter);
  EmptyHint->setWordWrap(true);
  EmptyHint->hide();

  // A window of its own, so that it stays usable while the main window is
  // disabled; it never takes the focus from the dialogs of the operation.
  ProgressPanel = new QWidget(this, Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
  ProgressPanel->setObjectName("ProgressPanel");
  ProgressPanel->setWindowTitle(QStringLiteral("ZEM Tools: working"));
  ProgressPanel->setAttribute(Qt::WA_ShowWithoutActivating);
  auto* PanelLayout = new QHBoxLayout(ProgressPanel);
  ProgressText = new QLabel(ProgressPanel);
  ProgressText->setObjectName("ProgressText");
  ProgressText->setMinimumWidth(520);
  CancelButton = new QPushButton(QStringLiteral("Cancel"), ProgressPanel);
  CancelButton->setObjectName("CancelButton");
  CancelButton->setFocusPolicy(Qt::NoFocus);
  PanelLayout->addWidget(ProgressText, 1);
  PanelLayout->addWidget(CancelButton);
  QObject::connect(CancelButton, &QPushButton::clicked, this, [this] {
    FCancelled = true;
    CancelButton->setEnabled(false);
    ProgressText->setText(QStringLiteral("Cancelling..."));
  });

  // Tab order: the list, the group, then the buttons column by column.
  QWidget* Order[] = {ListView1, RadioGroup1->Item(0), RadioGroup1->Item(1),
                      RadioGroup1->Item(2), Button2, Button3, Button5, Button7,
                      Button8, Button1, Button6, Button4, ProgressBar1};
  for (size_t I = 0; I + 1 < std::size(Order); ++I) setTabOrder(Order[I], Order[I + 1]);

  QObject::connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(Button1); });
  QObject::connect(Button2, &QPushButton::clicked, this, [this] { Button2Click(Button2); });
  QObject::connect(Button3, &QPushButton::clicked, this, [this] { Button3Click(Button3); });
  QObject::connect(Button4, &QPushButton::clicked, this, [this] { Button4Click(Button4); });
  QObject::connect(Button5, &QPushButton::clicked, this, [this] { Button5Click(Button5); });
  QObject::connect(Button7, &QPushButton::clicked, this, [this] { Button7Click(Button7); });
  QObject::connect(Button8, &QPushButton::clicked, this, [this] { Button8Click(Button8); });
  QObject::connect(ListView1, &QListWidget::itemSelectionChanged, this, [this] { UpdateButtons(); });
}

void TZEMToolsForm::UpdateButtons() {
  const bool Selected = !ListView1->selectedItems().isEmpty();
  for (QPushButton* B : {Button2, Button3, Button5, Button7, Button8}) B->setEnabled(Selected);
}

void TZEMToolsForm::BeginOperation() {
  FCancelled = false;
  FPassTotal = 0;
  FFiles = FBytes = FPacked = 0;
  FEntry = nullptr;
  FCurrentFile.clear();
  FPassStart = FLastPump = std::chrono::steady_clock::now();
  ProgressText->setText(QStringLiteral("Starting..."));
  CancelButton->setEnabled(true);
  ProgressPanel->move(frameGeometry().bottomLeft() + QPoint(0, 4));
  ProgressPanel->show();
  ProgressPanel->setEnabled(true);  // the main window above is disabled
}

void TZEMToolsForm::EndOperation() {
  ProgressPanel->hide();
  ProgressBar1->setFormat(QString());
}

void TZEMToolsForm::StartPass(int64_t Total) {
  FPassTotal = Total;
  FPassStart = std::chrono::steady_clock::now();
  FFiles = FBytes = FPacked = 0;
  FEntry = nullptr;
}

void TZEMToolsForm::closeEvent(QCloseEvent* Event) {
  if (isEnabled()) {
    Event->accept();
  } else {
    Event->ignore();
  }
}

template <class F>
void TZEMToolsForm::Guarded(F&& Body) {
  try {
    Body();
  } catch (const std::exception& E) {
    ProgressBar1->setValue(0);
    ShowException(E);
  }
}

void TZEMToolsForm::ShowException(const std::exception& E) {
  WindowServices().MessageBox(Handle(), E.what(), kApplicationTitle, MB_OK | MB_ICONHAND);
}

std::string TZEMToolsForm::SelectedCard() {
  const QList<QListWidgetItem*> Selected = ListView1->selectedItems();
  if (Selected.isEmpty()) return {};
  const std::string Letter = DriveLetterOf(Selected.first()->text().toStdString());
  const std::string Root = Letter + ":\\";
  if (DriveCapacity(Root.substr(0, 1)) == 0) {
    WindowServices().MessageBox(Handle(), kMsgNoDisk, kTitleError, MB_OK);
    return {};
  }
  return Root;
}

void TZEMToolsForm::FormCreate(QObject*) {
  setWindowTitle(windowTitle() + QStringLiteral("1.00") + QStringLiteral("by Vardel"));
  Button1->click();
}

void TZEMToolsForm::Button1Click(QObject*) {
  Guarded([&] {
    const QList<QListWidgetItem*> Selected = ListView1->selectedItems();
    const std::string Letter =
        Selected.isEmpty() ? std::string() : DriveLetterOf(Selected.first()->text().toStdString());
    TListViewItems Items(ListView1, *IconList);
    FillDriveList(Items);
    ListView1->setEnabled(ListView1->count() > 0);
    EmptyHint->setVisible(ListView1->count() == 0);
    int Row = ListView1->count() > 0 ? 0 : -1;
    for (int I = 0; !Letter.empty() && I < ListView1->count(); ++I) {
      if (DriveLetterOf(ListView1->item(I)->text().toStdString()) == Letter) Row = I;
    }
    if (Row >= 0) ListView1->setCurrentRow(Row);
    UpdateButtons();
  });
}

void TZEMToolsForm::Button2Click(QObject*) {
  Guarded([&] {
    const std::string Root = SelectedCard();
    if (Root.empty()) return;
    const QString Home = QDir::homePath();
    SaveDialog1->SetInitialDir(platform::FromNativePath(Home.toStdString()));
    SaveDialog1->SetFileName(
        platform::FromNativePath((Home + "/" + DefaultImageName(DriveLabel(Root[0]))).toStdString()));
    if (!SaveDialog1->Execute()) return;
    const std::string Image = WithImageExtension(SaveDialog1->FileName());
    const std::string Shown = platform::ToNativePath(Image);
    if (platform::FileExists(Image) &&
        WindowServices().MessageBox(Handle(), Format(kMsgReplaceImage, Shown.c_str()), kTitleMessage,
                                    platform::MB_YESNO | platform::MB_ICONQUESTION) != platform::IDYES)
      return;
    WindowServices().EnableWindow(Handle(), false);
    TEnableOnExit Enable(Handle());
    BeginOperation();
    bool Complete = false;
    try {
      Complete = BackupCard(Image, Root, *ArcZip1, RadioGroup1->ItemIndex()).Complete();
    } catch (const EUserCanceled&) {
      EndOperation();
      ProgressBar1->setValue(0);
      WindowServices().MessageBox(Handle(), kMsgBackupCancelled, kTitleMessage, MB_OK);
      return;
    } catch (const ECardError&) {
      EndOperation();
      throw;  // refused before anything was written
    } catch (const std::exception& E) {
      EndOperation();
      // Say what the failure left at the name chosen.
      std::string Text = E.what();
      if (dynamic_cast<const EImageNotStored*>(&E) != nullptr)
        Text += "\n" + Format(kMsgImageNotStored, Shown.c_str());
      else if (dynamic_cast<const EImageNotReplaced*>(&E) == nullptr && platform::FileExists(Image))
        Text += "\n" + Format(kMsgImageUnfinished, Shown.c_str());
      else
        Text += std::string("\n") + kMsgNoImageWritten;
      ProgressBar1->setValue(0);
      WindowServices().MessageBox(Handle(), Text, kApplicationTitle, MB_OK | MB_ICONHAND);
      return;
    } catch (...) {
      EndOperation();
      throw;
    }
    EndOperation();
    ProgressBar1->setValue(0);
    // An incomplete backup has shown "Job incomplete!" and its list.
    if (!Complete) return;
    platform::TFileInfo Info;
    if (!platform::GetFileInfo(Image, Info)) Info.Size = 0;
    const std::string Done =
        Format("%s\n%lld files (%s) backed up into %s (%s).", kMsgJobComplete,
               static_cast<long long>(FFiles), HumanSize(static_cast<uint64_t>(FBytes)).c_str(),
               Shown.c_str(), HumanSize(static_cast<uint64_t>(Info.Size)).c_str());
    WindowServices().MessageBox(Handle(), Done, kTitleMessage, MB_OK);
  });
}

void TZEMToolsForm::Button3Click(QObject*) {
  Guarded([&] {
    const std::string Root = SelectedCard();
    if (Root.empty() || !OpenDialog1->Execute()) return;
    if (!platform::FileExists(OpenDialog1->FileName())) return;
    WindowServices().EnableWindow(Handle(), false);
    TEnableOnExit Enable(Handle());
    BeginOperation();
    // A failure or a cancel has been shown with its cause by the restore.
    TRestoreOutcome Outcome;
    try {
      Outcome = RestoreCard(OpenDialog1->FileName(), Root, *ArcZip1, *Timer1);
    } catch (...) {
      EndOperation();
      throw;
    }
    EndOperation();
    ProgressBar1->setValue(0);
    if (Outcome.Complete())
      WindowServices().MessageBox(
          Handle(),
          Format("%s\n%lld files (%s) restored onto %s.", kMsgJobComplete,
                 static_cast<long long>(FFiles), HumanSize(static_cast<uint64_t>(FBytes)).c_str(),
                 Root.substr(0, 2).c_str()) +
              (Outcome.Removal.empty() ? std::string() : "\n" + Outcome.Removal),
          kTitleMessage, MB_OK);
  });
}

void TZEMToolsForm::Button4Click(QObject*) {
  Guarded([&] {
    QDialog Help(this);
    Help.setObjectName("HelpDialog");
    Help.setWindowTitle(QStringLiteral("ZEM Tools Help"));
    Help.resize(640, 480);
    auto* Layout = new QVBoxLayout(&Help);
    auto* Text = new QPlainTextEdit(ReadmeText(), &Help);
    Text->setObjectName("HelpText");
    Text->setReadOnly(true);
    Layout->addWidget(Text);
    auto* Buttons = new QDialogButtonBox(QDialogButtonBox::Close, &Help);
    QPushButton* About = Buttons->addButton(QStringLiteral("About"), QDialogButtonBox::ActionRole);
    Layout->addWidget(Buttons);
    QObject::connect(Buttons, &QDialogButtonBox::rejected, &Help, &QDialog::reject);
    QObject::connect(About, &QPushButton::clicked, &Help, [&Help] {
      WindowServices().MessageBox(static_cast<platform::HWND>(static_cast<QWidget*>(&Help)),
                                  std::string("ZEM Tools ") + ZEM_VERSION +
                                      "\n\nBacks memory cards up into images, restores, formats "
                                      "and copies them.",
                                  "About ZEM Tools", MB_OK);
    });
    Help.exec();
  });
}

void TZEMToolsForm::Button5Click(QObject*) {
  Guarded([&] {
    const std::string Root = SelectedCard();
    if (Root.empty()) return;
    if (FormatCardAlone(Root[0], *Timer1) == platform::SHFMT_CANCEL)
      WindowServices().MessageBox(Handle(), kMsgFormatCancelled, kTitleMessage, MB_OK);
  });
}

void TZEMToolsForm::Button7Click(QObject*) {
  Guarded([&] {
    const std::string Root = SelectedCard();
    if (Root.empty()) return;
    WindowServices().EnableWindow(Handle(), false);
    TEnableOnExit Enable(Handle());
    BeginOperation();
    try {
      DiskCopyCard(Root, *ArcZip1, *Timer1, Handle(),
                   [this](int32_t Position) { ProgressBar1->setValue(Position); });
    } catch (const EUserCanceled&) {
      EndOperation();
      WindowServices().MessageBox(Handle(), kMsgDiskCopyCancelled, kTitleNotice, MB_OK);
      return;
    } catch (...) {
      EndOperation();
      throw;
    }
    EndOperation();
  });
}

void TZEMToolsForm::Button8Click(QObject*) {
  Guarded([&] {
    const QList<QListWidgetItem*> Selected = ListView1->selectedItems();
    if (Selected.isEmpty()) return;
    const std::string Letter = DriveLetterOf(Selected.first()->text().toStdString());
    if (Letter.empty()) return;
    platform::TDriveTable& Table = DriveTable();
    const platform::TEjectResult Result = Table.Eject(Letter[0]);
    std::string Text;
    if (Result == platform::TEjectResult::PoweredOff) {
      Text = Letter + ": can be removed now.";
    } else if (Result == platform::TEjectResult::Unmounted && Table.LastFailure().empty()) {
      Text = Letter + ": is unmounted and can be removed now.";
    } else {
      Text = Letter + ": could not be ejected: " +
             (Table.LastFailure().empty() ? platform::SysErrorMessage(platform::GetLastError())
                                          : Table.LastFailure());
    }
    WindowServices().MessageBox(Handle(), Text, kTitleMessage, MB_OK);
    Button1Click(Button1);
  });
}

void TZEMToolsForm::DrivesChanged() {
  if (isEnabled()) Button1Click(Button1);
}

void TZEMToolsForm::ListView1DblClick(QObject*) {
  Guarded([&] {
    const QList<QListWidgetItem*> Selected = ListView1->selectedItems();
    if (Selected.isEmpty()) return;
    const std::string Letter = DriveLetterOf(Selected.first()->text().toStdString());
    WindowServices().WinExec("start " + Letter + ":\\", kSwHide);
  });
}

void TZEMToolsForm::ArcZip1TotalPercentDone(TObject*, int32_t Percent) {
  const auto Now = std::chrono::steady_clock::now();
  const double Seconds = std::chrono::duration<double>(Now - FPassStart).count();
  const int64_t Done = std::max<int64_t>(FBytes, Percent * FPassTotal / 100);
  QString Line = SizeText(Done) + " of " + SizeText(FPassTotal);
  if (Seconds >= 0.2 && Done > 0) {
    const double Speed = static_cast<double>(Done) / Seconds;
    Line += ", " + SizeText(static_cast<int64_t>(Speed)) + "/s";
    if (FPassTotal > Done)
      Line += ", " + TimeText(static_cast<double>(FPassTotal - Done) / Speed) + " left";
  }
  ProgressBar1->setFormat(QStringLiteral("%p%  ") + Line);
  ProgressBar1->setValue(Percent);
  if (!FCancelled && ProgressPanel->isVisible())
    ProgressText->setText(FCurrentFile.isEmpty() ? Line : Line + "  " + FCurrentFile);
  // Cancel is pressed while the operation runs: the events are let through
  // a few times a second.
  if (ProgressPanel->isVisible() && Now - FLastPump >= std::chrono::milliseconds(100)) {
    FLastPump = Now;
    WindowServices().ProcessMessages();
  }
  if (FCancelled && ProgressPanel->isVisible()) throw EUserCanceled();
}

// The files are packed; the bar goes on through the test of the image and
// is cleared when the operation ends.
void TZEMToolsForm::ArcZip1ZipComplete(TObject*, int32_t) {
  WindowServices().MessageBox(Handle(), kMsgJobComplete, kTitleMessage, MB_OK);
}

void TZEMToolsForm::ArcZip1InCompleteZip(TObject*, TIncompleteZipMode&) {
  WindowServices().MessageBox(Handle(), kMsgJobIncomplete, kTitleError, MB_OK);
  ProgressBar1->setValue(0);
  WindowServices().EnableWindow(Handle(), true);
}

void TZEMToolsForm::Timer1Timer(TObject*) {
  auto& Services = WindowServices();
  platform::HWND Button = Services.FindWindowExA(Services.GetActiveWindow(), nullptr, "Button", "");
  if (Button == nullptr) return;
  Timer1->SetEnabled(false);
  Services.PostMessageA(Button, platform::BM_CLICK, 0, 0);
}

}  // namespace zem
