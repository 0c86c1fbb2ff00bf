// The fixture of the window tests: fake cards, the recording services and
// the main window.
#pragma once

#include <QListWidget>
#include <QtTest/QTest>

#include <gtest/gtest.h>

#include "app/main.h"
#include "app_test_support.h"

namespace zem::test {

class FormTest : public ::testing::Test {
 protected:
  FormTest() {
    auto Owned = std::make_unique<TRecordingServices>();
    Services = Owned.get();
    Scope = std::make_unique<TServicesScope>(std::move(Owned));
  }
  ~FormTest() override {
    Form.reset();
    Scope.reset();
  }

  // Creates and shows the window (after the cards are in place, as the
  // drive list is filled at creation).
  void MakeForm() {
    Form = std::make_unique<TZEMToolsForm>();
    Form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(Form.get()));
  }
  // Selects the list item of a drive letter.
  void Select(char Letter) {
    const QString Tail = QString("(%1:)").arg(QChar(Letter));
    for (int I = 0; I < Form->ListView1->count(); ++I) {
      if (Form->ListView1->item(I)->text().endsWith(Tail)) {
        Form->ListView1->setCurrentRow(I);
        return;
      }
    }
    FAIL() << "no item for drive " << Letter;
  }
  // A Windows-style name for a file outside the cards.
  std::string OutsideName(const std::string& Name) {
    return platform::FromNativePath((Cards.Outside() / Name).string());
  }

  TFakeCards Cards;
  TRecordingServices* Services = nullptr;
  std::unique_ptr<TServicesScope> Scope;
  std::unique_ptr<TZEMToolsForm> Form;
};

// Fills a card with a small tree and one file of Megabytes MB of
// incompressible bytes.
inline void FillCard(const std::filesystem::path& Card, int Megabytes, uint32_t Seed) {
  WriteFile(Card / "DCIM" / "100CANON" / "IMG_0001.JPG", RandomBytes(70000, Seed));
  WriteFile(Card / "DCIM" / "100CANON" / "IMG_0002.JPG", RandomBytes(1500, Seed + 1));
  WriteFile(Card / "MISC" / "notes.txt", std::string(5000, 'z'));
  WriteFile(Card / "empty.dat", "");
  WriteFile(Card / "VIDEO" / "MVI_0003.MOV", RandomBytes(static_cast<size_t>(Megabytes) << 20, Seed + 2));
}

}  // namespace zem::test
