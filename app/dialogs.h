// TOpenDialog and TSaveDialog: file dialog components run through the
// window services.
#pragma once

#include <string>

#include "platform/base.h"

namespace zem {

class TFileDialog : public TComponent {
 public:
  using TComponent::TComponent;
  // "Text|Pattern", as the window services take it.
  const std::string& Filter() const { return FFilter; }
  void SetFilter(const std::string& Value) { FFilter = Value; }
  const std::string& DefaultExt() const { return FDefaultExt; }
  void SetDefaultExt(const std::string& Value) { FDefaultExt = Value; }
  const std::string& Title() const { return FTitle; }
  void SetTitle(const std::string& Value) { FTitle = Value; }
  // The folder the dialog starts in (Windows-style; empty: the toolkit's
  // choice).
  const std::string& InitialDir() const { return FInitialDir; }
  void SetInitialDir(const std::string& Value) { FInitialDir = Value; }
  // The chosen name after Execute (Windows-style); also the initial name.
  const std::string& FileName() const { return FFileName; }
  void SetFileName(const std::string& Value) { FFileName = Value; }

  // Shows the dialog; true with FileName set when the user chose a name,
  // false (FileName unchanged) when cancelled.
  virtual bool Execute() = 0;

 protected:
  std::string FFilter, FDefaultExt, FTitle, FFileName, FInitialDir;
};

// Picks a name to open; the file need not exist.
class TOpenDialog : public TFileDialog {
 public:
  using TFileDialog::TFileDialog;
  bool Execute() override;
};

// Picks a name to save under; an existing file is not questioned.
class TSaveDialog : public TFileDialog {
 public:
  using TFileDialog::TFileDialog;
  bool Execute() override;
};

}  // namespace zem
