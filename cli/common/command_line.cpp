// The command line of one command.
#include "cli/common/command_line.h"

#include <algorithm>

namespace zem {

namespace {

const TOptionSpec* FindSpec(const std::vector<TOptionSpec>& Specs, const std::string& Name) {
  for (const TOptionSpec& S : Specs)
    if (std::find(S.Names.begin(), S.Names.end(), Name) != S.Names.end()) return &S;
  return nullptr;
}

}  // namespace

bool TParsedLine::Has(const std::string& Name) const {
  for (const auto& O : Options)
    if (O.first == Name) return true;
  return false;
}

std::string TParsedLine::Value(const std::string& Name, const std::string& Default) const {
  std::string Found = Default;
  for (const auto& O : Options)
    if (O.first == Name) Found = O.second;
  return Found;
}

TParsedLine ParseCommandLine(const std::vector<std::string>& Args, size_t First,
                             const std::vector<TOptionSpec>& Specs) {
  TParsedLine Line;
  auto Fail = [&Line](const std::string& Text) {
    if (Line.Error.empty()) Line.Error = Text;
  };
  for (size_t I = First; I < Args.size(); ++I) {
    const std::string& A = Args[I];
    if (A == "--") {
      Line.Operands.insert(Line.Operands.end(), Args.begin() + static_cast<long>(I) + 1, Args.end());
      break;
    }
    if (A.size() < 2 || A[0] != '-') {
      Line.Operands.push_back(A);
      continue;
    }
    if (A == "-h" || A == "--help") {
      Line.Help = true;
      continue;
    }
    if (A.compare(0, 2, "--") == 0) {
      const size_t Eq = A.find('=');
      const std::string Name = A.substr(0, Eq);
      const TOptionSpec* Spec = FindSpec(Specs, Name);
      if (Spec == nullptr) {
        Fail("unknown option " + Name);
      } else if (!Spec->TakesValue) {
        if (Eq != std::string::npos) Fail("option " + Name + " takes no value");
        Line.Options.emplace_back(Spec->Names[0], "");
      } else if (Eq != std::string::npos) {
        Line.Options.emplace_back(Spec->Names[0], A.substr(Eq + 1));
      } else if (I + 1 < Args.size()) {
        Line.Options.emplace_back(Spec->Names[0], Args[++I]);
      } else {
        Fail("option " + Name + " needs a value");
      }
      continue;
    }
    // Short options: one with a value takes the next argument; several
    // without values may share one dash.
    if (const TOptionSpec* Spec = FindSpec(Specs, A)) {
      if (!Spec->TakesValue) {
        Line.Options.emplace_back(Spec->Names[0], "");
      } else if (I + 1 < Args.size()) {
        Line.Options.emplace_back(Spec->Names[0], Args[++I]);
      } else {
        Fail("option " + A + " needs a value");
      }
      continue;
    }
    std::vector<const TOptionSpec*> Bundle;
    for (size_t C = 1; C < A.size(); ++C) {
      const TOptionSpec* S = FindSpec(Specs, std::string("-") + A[C]);
      if (S == nullptr || S->TakesValue) {
        Bundle.clear();
        break;
      }
      Bundle.push_back(S);
    }
    if (Bundle.empty()) {
      Fail("unknown option " + A);
      continue;
    }
    for (const TOptionSpec* S : Bundle) Line.Options.emplace_back(S->Names[0], "");
  }
  return Line;
}

bool ThreadsOption(const TParsedLine& Line, int32_t Most, int32_t& Threads, std::string& Why) {
  Threads = 0;
  if (!Line.Has("--threads")) return true;
  const std::string Text = Line.Value("--threads");
  const bool Digits = !Text.empty() && Text.size() <= 3 &&
                      Text.find_first_not_of("0123456789") == std::string::npos;
  if (Digits) Threads = static_cast<int32_t>(std::stoi(Text));
  if (Digits && Threads >= 1 && Threads <= Most) return true;
  Threads = 0;
  Why = "--threads takes 1 to " + std::to_string(Most) + ", not " + Text;
  return false;
}

}  // namespace zem
