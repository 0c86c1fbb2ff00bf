// Registrations by path, each one an object of the signal cleanup table
// kept under its path until it is forgotten.
#include "platform/cleanup.h"

#include <map>
#include <memory>
#include <mutex>

#include "platform/drives.h"
#include "platform/signal_cleanup.h"
#include "platform/winapi.h"

namespace zem::platform {

namespace {

std::mutex GLock;
std::multimap<std::string, std::unique_ptr<TSignalCleanupFile>> GHeld;

}  // namespace

bool RegisterCleanupPath(const std::string& NativePath) {
  auto File = std::make_unique<TSignalCleanupFile>();
  if (!File->RegisterNative(NativePath)) return false;
  const std::lock_guard<std::mutex> Guard(GLock);
  GHeld.emplace(NativePath, std::move(File));
  return true;
}

void UnregisterCleanupPath(const std::string& NativePath) {
  const std::lock_guard<std::mutex> Guard(GLock);
  const auto Found = GHeld.find(NativePath);
  if (Found != GHeld.end()) GHeld.erase(Found);
}

std::string CreateCleanupFileA(const std::string& PathName, const std::string& Prefix,
                               const std::string& Extension) {
  const TSignalHold Hold;
  const std::string Name = CreateUniqueFileA(PathName, Prefix, Extension);
  if (!Name.empty()) RegisterCleanupPath(ToNativePath(Name));
  return Name;
}

}  // namespace zem::platform
