// File dialog components.
#include "app/dialogs.h"

#include "platform/window_services.h"

namespace zem {

namespace {
platform::TFileDialogOptions OptionsOf(const TFileDialog& D) {
  platform::TFileDialogOptions O;
  O.Title = D.Title();
  O.Filter = D.Filter();
  O.DefaultExt = D.DefaultExt();
  O.FileName = D.FileName();
  O.InitialDir = D.InitialDir();
  return O;
}
}  // namespace

bool TOpenDialog::Execute() {
  std::string Name;
  if (!platform::WindowServices().GetOpenFileName(OptionsOf(*this), Name)) return false;
  FFileName = Name;
  return true;
}

bool TSaveDialog::Execute() {
  std::string Name;
  if (!platform::WindowServices().GetSaveFileName(OptionsOf(*this), Name)) return false;
  FFileName = Name;
  return true;
}

}  // namespace zem
