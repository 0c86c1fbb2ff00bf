// Framework base: messages of exceptions, copying between persistent
// objects, component ownership and state, and the headless window services.
#include <gtest/gtest.h>

#include "platform/base.h"
#include "platform/window_services.h"

namespace zem {
namespace {

class TPoint : public TPersistent {
 public:
  int X = 0;
  void Assign(const TPersistent* Source) override {
    if (auto* P = dynamic_cast<const TPoint*>(Source)) {
      X = P->X;
      return;
    }
    TPersistent::Assign(Source);
  }
};

class TColour : public TPersistent {};

TEST(FrameworkBase, FormatAndExceptionMessages) {
  EXPECT_EQ(Format("Cannot open file \"%s\". %s", "F:\\a.zip", "Access is denied"),
            "Cannot open file \"F:\\a.zip\". Access is denied");
  EXPECT_EQ(Format("List index out of bounds (%d)", -1), "List index out of bounds (-1)");
  EXPECT_EQ(Format("%s", std::string(5000, 'x').c_str()).size(), 5000u);
  try {
    throw EFOpenError("Cannot open file \"x\". y");
  } catch (const EStreamError& E) {  // caught through its base class
    EXPECT_EQ(E.Message(), "Cannot open file \"x\". y");
    EXPECT_STREQ(E.what(), "Cannot open file \"x\". y");
  }
  EOSError Os("System Error", 5);
  EXPECT_EQ(Os.ErrorCode(), 5u);
}

TEST(FrameworkBase, AssignBetweenRelatedAndUnrelatedClasses) {
  TPoint A, B;
  A.X = 7;
  B.Assign(&A);
  EXPECT_EQ(B.X, 7);
  TColour C;
  try {
    B.Assign(&C);
    FAIL() << "assigning an unrelated class must fail";
  } catch (const EConvertError& E) {
    EXPECT_EQ(E.Message(), "Cannot assign a TColour to a TPoint");
  }
  EXPECT_THROW(B.Assign(nullptr), EConvertError);
  EXPECT_EQ(B.X, 7);
}

TEST(FrameworkBase, ComponentsKnowTheirOwnerAndState) {
  auto Form = std::make_unique<TComponent>();
  auto Child = std::make_unique<TComponent>(Form.get());
  Child->SetName("ArcZip1");
  EXPECT_EQ(Child->Owner(), Form.get());
  EXPECT_EQ(Form->ComponentCount(), 1);
  EXPECT_EQ(Form->FindComponent("ArcZip1"), Child.get());
  EXPECT_EQ(Form->FindComponent("Other"), nullptr);

  EXPECT_FALSE(Child->IsDesigning());
  Child->SetDesigning(true);
  EXPECT_TRUE(Child->IsDesigning());
  Child->BeginLoading();
  EXPECT_TRUE(Child->IsLoading());
  Child->Loaded();
  EXPECT_FALSE(Child->IsLoading());
  EXPECT_TRUE(Child->IsDesigning());

  // A component freed before its owner leaves the owner's list; an owner
  // freed first leaves its children without an owner.
  Child.reset();
  EXPECT_EQ(Form->ComponentCount(), 0);
  auto Orphan = std::make_unique<TComponent>(Form.get());
  Form.reset();
  EXPECT_EQ(Orphan->Owner(), nullptr);
  EXPECT_EQ(Orphan->ClassName(), "TComponent");
}

TEST(HeadlessWindowServices, AnswerLikeAConsoleProgramAndNeverWait) {
  using namespace platform;
  THeadlessWindowServices W;
  EXPECT_EQ(W.MessageBox(nullptr, "Job complete!", "Message", MB_OK), IDOK);
  EXPECT_EQ(W.MessageBox(nullptr, "Replace?", "File Exists Alert", MB_YESNO), IDNO);
  EXPECT_EQ(W.MessageBox(nullptr, "Insert disk", "", MB_OKCANCEL), IDCANCEL);
  std::string Name = "unchanged";
  EXPECT_FALSE(W.GetOpenFileName({}, Name));
  EXPECT_EQ(Name, "unchanged");
  EXPECT_EQ(W.SHFormatDrive(nullptr, 5, 0, SHFMT_OPT_FULL), static_cast<uint32_t>(SHFMT_CANCEL));
  EXPECT_LE(W.WinExec("start F:\\", SW_SHOWNORMAL), 31u);
}

TEST(HeadlessWindowServices, InstallingAndRestoring) {
  using namespace platform;
  struct TRecording : THeadlessWindowServices {
    int Boxes = 0;
    int MessageBox(HWND, const std::string&, const std::string&, uint32_t) override {
      ++Boxes;
      return IDYES;
    }
  };
  auto Rec = std::make_unique<TRecording>();
  TRecording* Seen = Rec.get();
  auto Previous = InstallWindowServices(std::move(Rec));
  EXPECT_EQ(WindowServices().MessageBox(nullptr, "x", "y", MB_YESNO), IDYES);
  EXPECT_EQ(Seen->Boxes, 1);
  InstallWindowServices(std::move(Previous));
  EXPECT_EQ(WindowServices().MessageBox(nullptr, "x", "y", MB_YESNO), IDNO);
}

}  // namespace
}  // namespace zem
