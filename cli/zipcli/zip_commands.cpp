// zemzip commands: the command table, the help texts, the command lines of
// "list", "extract" and "test", and the password sources.
#include "cli/zipcli/zip_commands.h"

#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <string>

#include "cli/zipcli/zip_add.h"
#include "cli/zipcli/zip_common.h"
#include "platform/winapi.h"

#ifndef ZEM_VERSION
#define ZEM_VERSION "unknown"
#endif

namespace zem {

namespace {

const char* const kProgramHelp =
    "usage: zemzip COMMAND [OPTIONS] ARGUMENTS...\n"
    "\n"
    "Commands:\n"
    "  list      show the entries of an archive\n"
    "  extract   write the entries of an archive to files\n"
    "  test      check every entry of an archive\n"
    "  add       put files and folders into an archive, new or existing\n"
    "\n"
    "\"zemzip COMMAND --help\" shows the options of a command. Options may come\n"
    "before or after the names; \"--\" ends them.\n"
    "\n"
    "  -h, --help   this text\n"
    "  --version    the program's name and version\n"
    "\n"
    "Exit status: 0 success; 1 the archive or some entry failed (each failing\n"
    "entry is named on standard error); 2 the command line was wrong or refused.\n";

const char* const kListHelp =
    "usage: zemzip list [--sort name|date|size|packed|rate] [--tsv] ARCHIVE\n"
    "\n"
    "Shows the entries of ARCHIVE as a table: size, packed size, ratio, method,\n"
    "date and time, CRC-32, * for an encrypted entry, and the name; a totals\n"
    "row closes it.\n"
    "  --sort KEY   order by name, date, size, packed size or ratio\n"
    "  --tsv        one tab-separated line per entry instead: name, size, packed\n"
    "               size, method number, CRC-32, E (encrypted) or -, date and time\n";

const char* const kExtractHelp =
    "usage: zemzip extract [OPTIONS] ARCHIVE [PATTERN...]\n"
    "\n"
    "Writes the entries of ARCHIVE (all, or those matching a PATTERN) to files.\n"
    "  -d DIR                 below DIR (default: the current folder)\n"
    "  -o                     replace existing files without asking\n"
    "  -n                     never replace existing files (counted as skipped)\n"
    "  -j                     no folders: every file straight into DIR\n"
    "  -P PASSWORD            the password (other users can see it in the list\n"
    "                         of processes: prefer --password-file or the prompt)\n"
    "  --password-file FILE   the password is the first line of FILE\n"
    "  --threads N            decode N entries at once (1 to 64; default: one\n"
    "                         per processor available)\n"
    "  -q                     quiet: no progress, no summary\n"
    "  -v                     verbose: one line per entry\n"
    "Without -o or -n, each existing file is asked about:\n"
    "  [y]es, [n]o, [A]ll, [N]one, [r]ename (a new name for the entry)\n"
    "Without a password, an encrypted archive asks for one when standard input\n"
    "is a terminal.\n";

const char* const kTestHelp =
    "usage: zemzip test [OPTIONS] ARCHIVE\n"
    "\n"
    "Decompresses every entry without writing anything and checks its CRC.\n"
    "  -P PASSWORD            the password (visible to other users)\n"
    "  --password-file FILE   the password is the first line of FILE\n"
    "  --threads N            test N entries at once (1 to 64; default: one per\n"
    "                         processor available)\n"
    "  -q                     quiet: no progress, no summary\n"
    "  -v                     verbose: one line per entry\n"
    "Without a password, an encrypted archive asks for one when standard input\n"
    "is a terminal.\n";

const char* const kAddHelp =
    "usage: zemzip add [OPTIONS] ARCHIVE NAME...\n"
    "\n"
    "Writes the named files into ARCHIVE, a new one or a rebuild of an existing one.\n"
    "  -0 .. -9               -0 stores, -1 to -9 deflate (default 6)\n"
    "  -r                     folders with everything below them\n"
    "  -j                     file names only, no paths and no folder entries\n"
    "  --update               replace entries older than their file (default)\n"
    "  --replace              replace every named entry\n"
    "  --freshen              only renew entries the archive has\n"
    "  -x PATTERN             leave out matching names (repeatable)\n"
    "  -z COMMENT             the archive comment\n"
    "  -e, --encrypt          encrypt; the password is asked twice on the terminal\n"
    "  -P PASSWORD            encrypt with PASSWORD (visible to other users)\n"
    "  --password-file FILE   encrypt with the first line of FILE\n"
    "  --split SIZE           parts of at most SIZE bytes (k, m, g suffixes)\n"
    "  --classic              parts named ARCHIVE.001, ARCHIVE.002, ...\n"
    "  --follow-links         store a link to a file as that file (links are\n"
    "                         stored as links by default: nothing outside the\n"
    "                         named tree is packed unasked; a link to a folder\n"
    "                         always stays a link)\n"
    "  --names utf8|cp437     names in UTF-8 (default) or in code page 437 where\n"
    "                         they fit, for old DOS tools\n"
    "  --host unix|dos        host of the entries: unix (default) keeps modes,\n"
    "                         links and exact times; dos keeps DOS attributes only\n"
    "  --threads N            make up to N entries at once (default: the processors\n"
    "                         available; 1: one after the other)\n"
    "  -q                     quiet: no progress, no summary\n"
    "  -v                     verbose: one line per file added\n";

// The usage lines of a help text: from its start to the first empty line.
std::string UsageLines(const std::string& Help) { return Help.substr(0, Help.find("\n\n") + 1); }

int ListCommand(const std::vector<std::string>& Args, const TZipTerminal&, std::ostream& Out,
                std::ostream& Err) {
  const TParsedLine Line = ParseCommandLine(Args, 1, {{{"--sort"}, true}, {{"--tsv"}}});
  if (Line.Help) {
    Out << HelpText("list");
    return ZipExitOk;
  }
  if (!Line.Error.empty()) return UsageError("list", Line.Error, Err);
  const std::string Sort = Line.Value("--sort", "none");
  static const char* Keys[] = {"none", "name", "date", "size", "packed", "rate"};
  bool Known = false;
  for (const char* K : Keys) Known = Known || Sort == K;
  if (!Known) return UsageError("list", "unknown sort key \"" + Sort + "\"", Err);
  if (Line.Operands.size() != 1) return UsageError("list", "one archive expected", Err);
  return ListArchive(Line.Operands[0], Sort, Line.Has("--tsv"), Out, Err);
}

// The options "extract" and "test" share.
const std::vector<TOptionSpec> kReadSpecs = {
    {{"-P"}, true}, {{"--password-file"}, true}, {{"-q"}}, {{"-v"}}, {{"--threads"}, true}};

int ExtractCommand(const std::vector<std::string>& Args, const TZipTerminal& Term,
                   std::ostream& Out, std::ostream& Err) {
  std::vector<TOptionSpec> Specs = kReadSpecs;
  Specs.insert(Specs.end(), {{{"-d"}, true}, {{"-o"}}, {{"-n"}}, {{"-j"}}});
  const TParsedLine Line = ParseCommandLine(Args, 1, Specs);
  if (Line.Help) {
    Out << HelpText("extract");
    return ZipExitOk;
  }
  if (!Line.Error.empty()) return UsageError("extract", Line.Error, Err);
  if (Line.Operands.empty()) return UsageError("extract", "no archive named", Err);
  if (Line.Has("-o") && Line.Has("-n")) return UsageError("extract", "-o and -n exclude each other", Err);
  TExtractOptions Options;
  std::string Why;
  if (!PasswordOf(Line, Term, Options.Password, Why)) return UsageError("extract", Why, Err);
  if (!ThreadsOption(Line, TArcUnZip::kMaxThreads, Options.Threads, Why)) return UsageError("extract", Why, Err);
  Options.DestDir = Line.Value("-d");
  Options.Overwrite = Line.Has("-o")   ? TExtractOptions::Always
                      : Line.Has("-n") ? TExtractOptions::Never
                                       : TExtractOptions::AskUser;
  Options.JunkPaths = Line.Has("-j");
  Options.Verbosity = VerbosityOf(Line);
  for (size_t I = 1; I < Line.Operands.size(); ++I)
    if (!Line.Operands[I].empty()) Options.Patterns.push_back(Line.Operands[I]);
  return ExtractArchive(Line.Operands[0], Options, Term, Out, Err);
}

int TestCommand(const std::vector<std::string>& Args, const TZipTerminal& Term, std::ostream& Out,
                std::ostream& Err) {
  const TParsedLine Line = ParseCommandLine(Args, 1, kReadSpecs);
  if (Line.Help) {
    Out << HelpText("test");
    return ZipExitOk;
  }
  if (!Line.Error.empty()) return UsageError("test", Line.Error, Err);
  if (Line.Operands.size() != 1) return UsageError("test", "one archive expected", Err);
  TExtractOptions Options;
  std::string Why;
  if (!PasswordOf(Line, Term, Options.Password, Why)) return UsageError("test", Why, Err);
  if (!ThreadsOption(Line, TArcUnZip::kMaxThreads, Options.Threads, Why)) return UsageError("test", Why, Err);
  Options.Verbosity = VerbosityOf(Line);
  return TestArchive(Line.Operands[0], Options, Term, Out, Err);
}

}  // namespace

const std::string& HelpText(const std::string& Command) {
  static const std::map<std::string, std::string> Texts = {
      {"", kProgramHelp}, {"list", kListHelp}, {"extract", kExtractHelp},
      {"test", kTestHelp}, {"add", kAddHelp}};
  const auto It = Texts.find(Command);
  return It == Texts.end() ? Texts.at("") : It->second;
}

int UsageError(const std::string& Command, const std::string& Why, std::ostream& Err) {
  if (!Why.empty()) Err << "zemzip: " << Why << '\n';
  if (Command.empty()) {
    Err << "usage: zemzip list [--sort KEY] [--tsv] ARCHIVE\n"
        << "       zemzip extract [OPTIONS] ARCHIVE [PATTERN...]\n"
        << "       zemzip test [OPTIONS] ARCHIVE\n"
        << "       zemzip add [OPTIONS] ARCHIVE NAME...\n"
        << "       zemzip --help | --version | COMMAND --help\n";
  } else {
    Err << UsageLines(HelpText(Command)) << "(zemzip " << Command << " --help for the options)\n";
  }
  return ZipExitUsage;
}

std::string EntryPattern(const std::string& Native) {
  std::string Pattern;
  size_t Start = 0;
  for (;;) {
    const size_t End = Native.find('/', Start);
    std::string Piece = Native.substr(Start, End == std::string::npos ? End : End - Start);
    // Wildcards stay wildcards: the escape is cut around them.
    size_t From = 0;
    for (size_t At = Piece.find_first_of("*?"); ; At = Piece.find_first_of("*?", From)) {
      Pattern += platform::NameFromNative(Piece.substr(From, At == std::string::npos ? At : At - From));
      if (At == std::string::npos) break;
      Pattern += Piece[At];
      From = At + 1;
    }
    if (End == std::string::npos) return Pattern;
    Pattern += '\\';
    Start = End + 1;
  }
}

TVerbosity VerbosityOf(const TParsedLine& Line) {
  // The last of -q and -v wins.
  TVerbosity V = TVerbosity::Normal;
  for (const auto& O : Line.Options) {
    if (O.first == "-q") V = TVerbosity::Quiet;
    if (O.first == "-v") V = TVerbosity::Verbose;
  }
  return V;
}

bool PasswordOf(const TParsedLine& Line, const TZipTerminal& Term, std::string& Password,
                std::string& Error) {
  const bool Ask = Line.Has("-e");
  const int Sources = int(Line.Has("-P")) + int(Line.Has("--password-file")) + int(Ask);
  Password.clear();
  if (Sources > 1) {
    Error = "give the password one way only (-P, --password-file or -e)";
    return false;
  }
  if (Line.Has("-P")) {
    Password = Line.Value("-P");
  } else if (Line.Has("--password-file")) {
    const std::string File = Line.Value("--password-file");
    std::ifstream In(File, std::ios::binary);
    if (!In || !std::getline(In, Password)) {
      Error = File + ": cannot read the password file";
      return false;
    }
    if (!Password.empty() && Password.back() == '\r') Password.pop_back();
  } else if (Ask) {
    std::string Again;
    if (!Term.InIsTerminal || !Term.ReadSecret) {
      Error = "-e asks the password on a terminal; standard input is none (use --password-file)";
      return false;
    }
    if (!Term.ReadSecret("Password: ", Password) || !Term.ReadSecret("Verify password: ", Again)) {
      Error = "no password given";
      return false;
    }
    if (Password != Again) {
      Error = "the passwords do not match";
      return false;
    }
  } else {
    return true;
  }
  if (Password.empty()) {
    Error = "an empty password encrypts nothing";
    return false;
  }
  return true;
}

int RunZipCommand(const std::vector<std::string>& Args, std::ostream& Out, std::ostream& Err) {
  return RunZipCommand(Args, std::cin, Out, Err);
}

int RunZipCommand(const std::vector<std::string>& Args, std::istream& In, std::ostream& Out,
                  std::ostream& Err) {
  TZipTerminal Term;
  Term.In = &In;
  return RunZipCommand(Args, Term, Out, Err);
}

int RunZipCommand(const std::vector<std::string>& Args, const TZipTerminal& Term, std::ostream& Out,
                  std::ostream& Err) {
  using TCommand = std::function<int(const std::vector<std::string>&, const TZipTerminal&,
                                     std::ostream&, std::ostream&)>;
  static const std::map<std::string, TCommand> Commands = {
      {"list", ListCommand}, {"extract", ExtractCommand}, {"test", TestCommand}, {"add", AddCommand}};
  if (Args.empty()) return UsageError("", "", Err);
  if (Args[0] == "--help" || Args[0] == "-h" || Args[0] == "help") {
    Out << HelpText(Args.size() > 1 && Args[0] == "help" ? Args[1] : "");
    return ZipExitOk;
  }
  if (Args[0] == "--version") {
    Out << "zemzip " << ZEM_VERSION << '\n';
    return ZipExitOk;
  }
  const auto It = Commands.find(Args[0]);
  if (It == Commands.end()) return UsageError("", "unknown command \"" + Args[0] + "\"", Err);
  return It->second(Args, Term, Out, Err);
}

}  // namespace zem
