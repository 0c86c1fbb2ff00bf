// The window services in use and their headless default.
#include "platform/window_services.h"

#include <cstdio>

namespace zem::platform {

int THeadlessWindowServices::MessageBox(HWND, const std::string& Text, const std::string& Caption,
                                        uint32_t Flags) {
  std::fprintf(stderr, "%s%s%s\n", Caption.c_str(), Caption.empty() ? "" : ": ", Text.c_str());
  switch (Flags & 0x0F) {
    case MB_OKCANCEL: return IDCANCEL;
    case MB_ABORTRETRYIGNORE: return IDABORT;
    case MB_YESNOCANCEL: return IDCANCEL;
    case MB_YESNO: return IDNO;
    case MB_RETRYCANCEL: return IDCANCEL;
    default: return IDOK;
  }
}

namespace {
std::unique_ptr<TWindowServices>& Slot() {
  static std::unique_ptr<TWindowServices> Services = std::make_unique<THeadlessWindowServices>();
  return Services;
}
}  // namespace

TWindowServices& WindowServices() { return *Slot(); }

std::unique_ptr<TWindowServices> InstallWindowServices(std::unique_ptr<TWindowServices> Services) {
  if (!Services) Services = std::make_unique<THeadlessWindowServices>();
  std::swap(Slot(), Services);
  return Services;
}

}  // namespace zem::platform
