// Shared helpers for the unit tests.
#include "common/test_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include <stdlib.h>

namespace zem::test {

namespace fs = std::filesystem;

TTempDir::TTempDir() {
  std::string Pattern = (fs::temp_directory_path() / "zemtest-XXXXXX").string();
  if (mkdtemp(Pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  FPath = Pattern;
}

TTempDir::~TTempDir() {
  std::error_code Ec;
  // Give back write permission so read-only entries can be removed.
  for (auto It = fs::recursive_directory_iterator(FPath, Ec); !Ec && It != fs::end(It);
       It.increment(Ec)) {
    if (!It->is_symlink()) fs::permissions(It->path(), fs::perms::owner_all, fs::perm_options::add, Ec);
  }
  fs::remove_all(FPath, Ec);
}

void WriteFile(const fs::path& Path, const std::string& Data) {
  if (Path.has_parent_path()) fs::create_directories(Path.parent_path());
  std::ofstream Out(Path, std::ios::binary | std::ios::trunc);
  if (!Out) throw std::runtime_error("cannot write " + Path.string());
  Out.write(Data.data(), static_cast<std::streamsize>(Data.size()));
}

std::string ReadFile(const fs::path& Path) {
  std::ifstream In(Path, std::ios::binary);
  if (!In) throw std::runtime_error("cannot read " + Path.string());
  return std::string(std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>());
}

std::string RunCommand(const std::string& Command, int& Status) {
  std::string Output;
  FILE* P = popen(Command.c_str(), "r");
  if (P == nullptr) {
    Status = -1;
    return Output;
  }
  char Buf[4096];
  size_t N;
  while ((N = fread(Buf, 1, sizeof Buf, P)) > 0) Output.append(Buf, N);
  Status = pclose(P);
  return Output;
}

bool HaveTool(const std::string& Tool) {
  return std::system(("command -v " + Tool + " >/dev/null 2>&1").c_str()) == 0;
}

std::vector<std::string> SplitTabs(const std::string& Line) {
  std::vector<std::string> Cols;
  std::stringstream S(Line);
  std::string Col;
  while (std::getline(S, Col, '\t')) Cols.push_back(Col);
  return Cols;
}

std::string FromHex(const std::string& Hex) {
  if (Hex == "-") return "";
  std::string Out;
  for (size_t I = 0; I + 1 < Hex.size(); I += 2)
    Out.push_back(static_cast<char>(std::stoi(Hex.substr(I, 2), nullptr, 16)));
  return Out;
}

std::string RandomBytes(size_t Count, uint32_t Seed) {
  std::mt19937 Gen(Seed);
  std::string Out(Count, '\0');
  for (auto& C : Out) C = static_cast<char>(Gen() & 0xFF);
  return Out;
}

bool HavePseudoTerminal() {
  const int Master = ::posix_openpt(O_RDWR | O_NOCTTY);
  if (Master < 0) return false;
  bool Ok = ::grantpt(Master) == 0 && ::unlockpt(Master) == 0;
  if (Ok) {
    const char* Name = ::ptsname(Master);
    const int Slave = Name == nullptr ? -1 : ::open(Name, O_RDWR | O_NOCTTY);
    Ok = Slave >= 0;
    if (Ok) ::close(Slave);
  }
  ::close(Master);
  return Ok;
}

}  // namespace zem::test
