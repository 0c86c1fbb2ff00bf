// ZEM Tools framework base: the root exception, persistent objects and
// components that the archive component and the card tool build on.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

namespace zem {

// printf-style formatting into a std::string ("%s", "%d", ...).
std::string Format(const char* Fmt, ...) __attribute__((format(printf, 1, 2)));

// Root object: gives every class of the system a readable class name
// (the C++ type name without namespaces), used in messages.
class TObject {
 public:
  virtual ~TObject() = default;
  std::string ClassName() const;
};

// Root of every exception the system raises. Message() is the fixed text
// the user sees; what() returns the same bytes.
class Exception : public std::exception {
 public:
  explicit Exception(std::string Msg) : FMessage(std::move(Msg)) {}
  const std::string& Message() const { return FMessage; }
  void SetMessage(std::string Msg) { FMessage = std::move(Msg); }
  const char* what() const noexcept override { return FMessage.c_str(); }

 private:
  std::string FMessage;
};

#define ZEM_DECLARE_EXCEPTION(Name, Base)             \
  class Name : public Base {                          \
   public:                                            \
    using Base::Base;                                 \
  }

ZEM_DECLARE_EXCEPTION(EListError, Exception);
ZEM_DECLARE_EXCEPTION(EStreamError, Exception);
ZEM_DECLARE_EXCEPTION(EFileStreamError, EStreamError);
ZEM_DECLARE_EXCEPTION(EFOpenError, EFileStreamError);    // "Cannot open file "%s": %s"
ZEM_DECLARE_EXCEPTION(EFCreateError, EFileStreamError);  // "Cannot create file "%s": %s"
ZEM_DECLARE_EXCEPTION(EFilerError, EStreamError);
ZEM_DECLARE_EXCEPTION(EReadError, EFilerError);          // "Stream read error"
ZEM_DECLARE_EXCEPTION(EWriteError, EFilerError);         // "Stream write error"
ZEM_DECLARE_EXCEPTION(EClassNotFound, EFilerError);
ZEM_DECLARE_EXCEPTION(EConvertError, Exception);         // failed Assign and conversions
ZEM_DECLARE_EXCEPTION(EInOutError, Exception);           // "Error: ..." of file helpers

// A failed operating-system call, carrying the Windows-style error code.
class EOSError : public Exception {
 public:
  EOSError(std::string Msg, uint32_t Code) : Exception(std::move(Msg)), FErrorCode(Code) {}
  uint32_t ErrorCode() const { return FErrorCode; }

 private:
  uint32_t FErrorCode;
};

// Objects that can copy their state from another object of a related class.
// Assign asks the source to AssignTo this object; a class that does not know
// the destination ends in EConvertError "Cannot assign a X to a Y".
class TPersistent : public TObject {
 public:
  virtual void Assign(const TPersistent* Source);

 protected:
  virtual void AssignTo(TPersistent* Dest) const;
};

// Component state flags.
enum TComponentStateFlag : uint32_t {
  csLoading = 1u << 0,
  csReading = 1u << 1,
  csWriting = 1u << 2,
  csDestroying = 1u << 3,
  csDesigning = 1u << 4,
};

// Named objects with an owner. The owner keeps a list of the components it
// owns (for lookup and notification); who frees a component is decided by
// the code that created it (normally a std::unique_ptr member of the owner).
class TComponent : public TPersistent {
 public:
  explicit TComponent(TComponent* AOwner = nullptr);
  ~TComponent() override;
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  TComponent* Owner() const { return FOwner; }
  const std::string& Name() const { return FComponentName; }
  void SetName(const std::string& Value) { FComponentName = Value; }
  uint32_t ComponentState() const { return FComponentState; }
  bool IsDesigning() const { return (FComponentState & csDesigning) != 0; }
  bool IsLoading() const { return (FComponentState & csLoading) != 0; }
  // Design-time state, as a form designer would set it.
  void SetDesigning(bool Value);
  // Marks the component as being loaded; Loaded() ends that state.
  void BeginLoading() { FComponentState |= csLoading; }
  // Called once every property has been set after loading.
  virtual void Loaded();

  int ComponentCount() const { return static_cast<int>(FComponents.size()); }
  TComponent* Components(int Index) const { return FComponents.at(static_cast<size_t>(Index)); }
  TComponent* FindComponent(const std::string& AName) const;

 private:
  TComponent* FOwner;
  std::string FComponentName;
  uint32_t FComponentState = 0;
  std::vector<TComponent*> FComponents;
};

}  // namespace zem
