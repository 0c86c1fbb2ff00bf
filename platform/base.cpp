// ZEM Tools framework base.
#include "platform/base.h"

#include <cxxabi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <typeinfo>

namespace zem {

std::string Format(const char* Fmt, ...) {
  va_list Args;
  va_start(Args, Fmt);
  va_list Copy;
  va_copy(Copy, Args);
  int Len = std::vsnprintf(nullptr, 0, Fmt, Copy);
  va_end(Copy);
  std::string Result;
  if (Len > 0) {
    Result.resize(static_cast<size_t>(Len) + 1);
    std::vsnprintf(Result.data(), Result.size(), Fmt, Args);
    Result.resize(static_cast<size_t>(Len));
  }
  va_end(Args);
  return Result;
}

std::string TObject::ClassName() const {
  const char* Mangled = typeid(*this).name();
  int Status = 0;
  std::unique_ptr<char, void (*)(void*)> Demangled(
      abi::__cxa_demangle(Mangled, nullptr, nullptr, &Status), std::free);
  std::string Name = (Status == 0 && Demangled) ? Demangled.get() : Mangled;
  auto Pos = Name.rfind("::");
  if (Pos != std::string::npos) Name.erase(0, Pos + 2);
  return Name;
}

void TPersistent::Assign(const TPersistent* Source) {
  if (Source != nullptr) {
    Source->AssignTo(this);
    return;
  }
  AssignTo(this);  // a nil source: reported like an unrelated class
}

void TPersistent::AssignTo(TPersistent* Dest) const {
  std::string SourceName = "nil";
  if (Dest != this) SourceName = ClassName();
  throw EConvertError(Format("Cannot assign a %s to a %s", SourceName.c_str(),
                             Dest->ClassName().c_str()));
}

TComponent::TComponent(TComponent* AOwner) : FOwner(AOwner) {
  if (FOwner != nullptr) FOwner->FComponents.push_back(this);
}

TComponent::~TComponent() {
  FComponentState |= csDestroying;
  for (TComponent* Child : FComponents) Child->FOwner = nullptr;
  if (FOwner != nullptr) {
    auto& Siblings = FOwner->FComponents;
    Siblings.erase(std::remove(Siblings.begin(), Siblings.end(), this), Siblings.end());
  }
}

void TComponent::SetDesigning(bool Value) {
  if (Value)
    FComponentState |= csDesigning;
  else
    FComponentState &= ~static_cast<uint32_t>(csDesigning);
}

void TComponent::Loaded() { FComponentState &= ~static_cast<uint32_t>(csLoading); }

TComponent* TComponent::FindComponent(const std::string& AName) const {
  for (TComponent* Child : FComponents)
    if (!AName.empty() && Child->FComponentName == AName) return Child;
  return nullptr;
}

}  // namespace zem
