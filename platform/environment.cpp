// Environment variables, read through the file-system seam so tests can
// supply their own.
#include "platform/file_system.h"
#include "platform/winapi.h"

namespace zem::platform {

std::string GetEnvironmentVariableA(const std::string& Name) {
  std::optional<std::string> Value = FileSystem().GetEnv(Name);
  if (!Value) {
    SetLastError(ERROR_ENVVAR_NOT_FOUND);
    return std::string();
  }
  return *Value;
}

}  // namespace zem::platform
