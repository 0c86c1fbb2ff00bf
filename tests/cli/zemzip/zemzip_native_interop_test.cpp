// Linux-native archives against the Linux peers, both ways. One tree (Latin,
// Cyrillic and CJK names, a name that is not UTF-8, an executable and a
// read-only file, links inside and leading out, odd-second times) written
// by `zemzip add -r` and extracted by unzip, 7-Zip, bsdtar and Python; and
// archives written by zip, bsdtar and Python extracted by `zemzip extract`.
// A peer that is not installed is skipped with its name.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "common/test_support.h"

namespace zem {
namespace {

namespace fs = std::filesystem;

const std::string kZemzip = std::string(ZEM_BINARY_DIR) + "/cli/zemzip";

// What a peer must give back of each name below a folder.
struct TNode {
  char Type = '?';      // 'f' file, 'd' folder, 'l' link
  unsigned Mode = 0;    // permission bits
  int64_t MTime = 0;    // seconds
  std::string Data;     // a file's bytes or a link's target
  bool operator==(const TNode& O) const {
    return Type == O.Type && Mode == O.Mode && MTime == O.MTime && Data == O.Data;
  }
};
using TTree = std::map<std::string, TNode>;

TTree Snapshot(const fs::path& Root) {
  TTree T;
  for (auto It = fs::recursive_directory_iterator(Root); It != fs::recursive_directory_iterator(); ++It) {
    struct stat St;
    if (lstat(It->path().c_str(), &St) != 0) continue;
    TNode N;
    N.Mode = St.st_mode & 07777;
    N.MTime = St.st_mtime;
    if (S_ISLNK(St.st_mode)) {
      N.Type = 'l';
      N.Data = fs::read_symlink(It->path()).string();
    } else if (S_ISDIR(St.st_mode)) {
      N.Type = 'd';
      N.MTime = 0;  // a folder's time changes as its files land
    } else {
      N.Type = 'f';
      N.Data = test::ReadFile(It->path());
    }
    T[It->path().lexically_relative(Root).string()] = N;
  }
  return T;
}

std::vector<std::string> Names(const TTree& T) {
  std::vector<std::string> V;
  for (const auto& [Name, Node] : T) V.push_back(Name);
  return V;
}

int Shell(const std::string& Command, std::string* Output = nullptr) {
  int Status = 0;
  const std::string Text = test::RunCommand("umask 022; export LANG=C.UTF-8 LC_ALL=C.UTF-8; " + Command + " 2>&1", Status);
  if (Output) *Output = Text;
  return Status;
}

std::string Q(const fs::path& P) { return "'" + P.string() + "'"; }

void SetTime(const fs::path& P, int64_t Seconds) {
  const struct timespec Times[2] = {{Seconds, 0}, {Seconds, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, P.c_str(), Times, AT_SYMLINK_NOFOLLOW), 0) << P;
}

class NativeInterop : public ::testing::Test {
 protected:
  test::TTempDir Dir;
};

// The tree as it lands: every name, the files' modes and odd-second times,
// the links' targets. The link leading out of the tree is a link like any
// other for zemzip add (it is the extraction that judges it).
TEST_F(NativeInterop, TreeWrittenByZemzipReadsTheSameInEveryPeer) {
  const fs::path Tree = Dir / "src/tree";
  const std::map<std::string, std::string> Files = {
      {"München/café.txt", "latin\n"},   {"Привет.doc", "cyrillic\n"}, {"日本語/メモ.txt", "cjk\n"},
      {"bad\xe9.bin", "not utf-8\n"}, {"run.sh", "#!/bin/sh\necho hi\n"}, {"ro.txt", "read-only\n"}};
  int64_t Time = 1600000001;  // odd seconds, which DOS times cannot hold
  for (const auto& [Name, Data] : Files) {
    test::WriteFile(Tree / Name, Data);
    SetTime(Tree / Name, Time += 2);
  }
  fs::permissions(Tree / "run.sh", fs::perms(0755));
  fs::permissions(Tree / "ro.txt", fs::perms(0444));
  test::WriteFile(Dir / "outside.txt", "outside\n");
  fs::create_symlink("München/café.txt", Tree / "link-in");
  fs::create_symlink("../../outside.txt", Tree / "link-out");
  SetTime(Tree / "link-in", Time += 2);
  SetTime(Tree / "link-out", Time += 2);
  const TTree Want = Snapshot(Tree);

  const fs::path Arc = Dir / "tree.zip";
  std::string Out;
  ASSERT_EQ(Shell("cd " + Q(Dir / "src") + " && " + kZemzip + " add -q -r " + Q(Arc) + " tree", &Out), 0) << Out;

  struct TPeer {
    std::string Tool, Command;
    bool Modes;          // restores the permission bits
    std::string Refuses;  // a link the peer does not make, by a rule of its own
  };
  const std::vector<TPeer> Peers = {
      {"unzip", "unzip -q " + Q(Arc) + " -d OUT", true, ""},
      {"bsdtar", "bsdtar -xf " + Q(Arc) + " -C OUT", true, ""},
      // Without -snl 7-Zip writes a link as a file holding its target; with
      // it, it writes a link leading out of the destination as an empty
      // file and exits 2.
      {"7zz", "7zz x -y -bd -snl -oOUT " + Q(Arc) + " >/dev/null", false, "link-out"},
  };
  for (const TPeer& P : Peers) {
    SCOPED_TRACE(P.Tool);
    if (!test::HaveTool(P.Tool)) {
      std::cout << "[  SKIPPED ] " << P.Tool << " is not installed\n";
      continue;
    }
    const fs::path Dest = Dir / ("out-" + P.Tool);
    fs::create_directories(Dest);
    std::string Command = P.Command;
    Command.replace(Command.find("OUT"), 3, Dest.string());
    EXPECT_EQ(Shell(Command, &Out), P.Refuses.empty() ? 0 : 2 << 8) << Out;
    const TTree Got = Snapshot(Dest / "tree");
    EXPECT_EQ(Names(Got), Names(Want));
    for (const auto& [Name, W] : Want) {
      if (Got.count(Name) == 0 || Name == P.Refuses) continue;
      const TNode& G = Got.at(Name);
      SCOPED_TRACE(Name);
      EXPECT_EQ(G.Type, W.Type);
      EXPECT_EQ(G.Data, W.Data);
      if (W.Type == 'f') {
        EXPECT_EQ(G.MTime, W.MTime) << "time to the second";
        if (P.Modes) {
          EXPECT_EQ(G.Mode, W.Mode);
        }
      }
    }
  }

  // Python takes the names; the one that is not UTF-8 is stored without
  // flag bit 11 and so read as code page 437 ("badΘ.bin"): the bytes cannot
  // be a Python text any other way. (unzip keeps such bytes, but drops a
  // 0xFF byte from any name: the tree has none.)
  if (test::HaveTool("python3")) {
    ASSERT_EQ(Shell("python3 -c 'import sys, zipfile; print(\"\\n\".join(sorted(zipfile.ZipFile(sys.argv[1]).namelist())))' " + Q(Arc), &Out), 0) << Out;
    std::vector<std::string> Want8;
    for (const auto& [Name, Node] : Want) {
      if (Name.find('\xe9') != std::string::npos) continue;
      Want8.push_back("tree/" + Name + (Node.Type == 'd' ? "/" : ""));
    }
    std::sort(Want8.begin(), Want8.end());
    std::vector<std::string> Got8;
    std::string Bad;
    for (size_t At = 0, End; At < Out.size(); At = End + 1) {
      End = Out.find('\n', At);
      if (End == std::string::npos) End = Out.size();
      const std::string Line = Out.substr(At, End - At);
      if (Line.rfind("tree/bad", 0) == 0) Bad = Line;
      else if (!Line.empty() && Line != "tree/") Got8.push_back(Line);
    }
    EXPECT_EQ(Got8, Want8);
    EXPECT_EQ(Bad, "tree/bad\u0398.bin") << "0xE9 in code page 437";
  } else {
    std::cout << "[  SKIPPED ] python3 is not installed\n";
  }

  // zemzip itself: the same tree, the link leading out as a file holding
  // its target, with a notice and a failing status.
  const fs::path Own = Dir / "out-zemzip";
  EXPECT_EQ(Shell(kZemzip + " extract -q -d " + Q(Own) + " " + Q(Arc), &Out), 1 << 8) << Out;
  EXPECT_NE(Out.find("tree/link-out: symbolic link to \"../../outside.txt\" leads outside the destination"),
            std::string::npos)
      << Out;
  TTree Got = Snapshot(Own / "tree");
  ASSERT_EQ(Got.count("link-out"), 1u);
  EXPECT_EQ(Got["link-out"].Type, 'f');
  EXPECT_EQ(Got["link-out"].Data, "../../outside.txt");
  Got.erase("link-out");
  TTree Rest = Want;
  Rest.erase("link-out");
  EXPECT_EQ(Got, Rest);
}

// Archives of the peers, read by zemzip extract: names, modes, links and
// times as the peer stored them.
TEST_F(NativeInterop, PeerArchivesExtractAsStored) {
  const fs::path Tree = Dir / "src/tree";
  test::WriteFile(Tree / "Grüße/ä.txt", "latin\n");
  test::WriteFile(Tree / "Привет.doc", "cyrillic\n");
  test::WriteFile(Tree / "run.sh", "#!/bin/sh\n");
  test::WriteFile(Tree / "ro.txt", "read-only\n");
  fs::permissions(Tree / "run.sh", fs::perms(0755));
  fs::permissions(Tree / "ro.txt", fs::perms(0444));
  fs::create_symlink("Grüße/ä.txt", Tree / "link");
  int64_t Time = 1600000000;  // even: Python keeps DOS times only
  for (const char* Name : {"Grüße/ä.txt", "Привет.doc", "run.sh", "ro.txt", "link"}) SetTime(Tree / Name, Time += 2);
  const TTree Want = Snapshot(Tree);

  const std::string Python =
      "import os, sys, zipfile\n"
      "os.chdir(sys.argv[2])\n"
      "with zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
      "  for top, dirs, files in os.walk('tree'):\n"
      "    for n in dirs + files:\n"
      "      p = os.path.join(top, n)\n"
      "      if os.path.islink(p):\n"
      "        i = zipfile.ZipInfo.from_file(p)\n"
      "        i.external_attr = os.lstat(p).st_mode << 16\n"
      "        i.date_time = __import__('time').localtime(os.lstat(p).st_mtime)[:6]\n"
      "        z.writestr(i, os.readlink(p))\n"
      "      else:\n"
      "        z.write(p)\n";
  test::WriteFile(Dir / "write.py", Python);
  const struct {
    std::string Tool, Command;
    bool ExactTimes;
  } Peers[] = {
      {"zip", "cd " + Q(Dir / "src") + " && zip -q -r -y ARC tree", true},
      {"bsdtar", "cd " + Q(Dir / "src") + " && bsdtar -c --format zip -f ARC tree", true},
      {"python3", "python3 " + Q(Dir / "write.py") + " ARC " + Q(Dir / "src"), false},
  };
  for (const auto& P : Peers) {
    SCOPED_TRACE(P.Tool);
    if (!test::HaveTool(P.Tool)) {
      std::cout << "[  SKIPPED ] " << P.Tool << " is not installed\n";
      continue;
    }
    const fs::path Arc = Dir / (P.Tool + ".zip");
    std::string Command = P.Command, Out;
    Command.replace(Command.find("ARC"), 3, Q(Arc));
    ASSERT_EQ(Shell(Command, &Out), 0) << Out;
    const fs::path Dest = Dir / ("from-" + P.Tool);
    ASSERT_EQ(Shell(kZemzip + " extract -q -d " + Q(Dest) + " " + Q(Arc), &Out), 0) << Out;
    const TTree Got = Snapshot(Dest / "tree");
    EXPECT_EQ(Names(Got), Names(Want));
    for (const auto& [Name, W] : Want) {
      if (Got.count(Name) == 0) continue;
      const TNode& G = Got.at(Name);
      SCOPED_TRACE(Name);
      EXPECT_EQ(G.Type, W.Type);
      EXPECT_EQ(G.Data, W.Data);
      if (W.Type == 'f') {
        EXPECT_EQ(G.Mode, W.Mode);
        EXPECT_EQ(G.MTime, W.MTime);
      }
    }
  }
}

// Permission bits only: set-user-ID, set-group-ID and sticky bits are
// never restored, and the umask of the user filters the rest.
TEST_F(NativeInterop, ExtractionDropsSetIdBitsAndFollowsTheUmask) {
  if (!test::HaveTool("python3")) GTEST_SKIP() << "python3 is not installed";
  const std::string Python =
      "import sys, zipfile\n"
      "with zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
      "  for name, mode in (('suid', 0o104777), ('sgid', 0o102775), ('sticky', 0o101777), ('plain', 0o100640)):\n"
      "    i = zipfile.ZipInfo(name)\n"
      "    i.create_system = 3\n"
      "    i.external_attr = mode << 16\n"
      "    z.writestr(i, name)\n";
  test::WriteFile(Dir / "write.py", Python);
  std::string Out;
  ASSERT_EQ(Shell("python3 " + Q(Dir / "write.py") + " " + Q(Dir / "modes.zip"), &Out), 0) << Out;
  ASSERT_EQ(Shell("umask 027; " + kZemzip + " extract -q -d " + Q(Dir / "out") + " " + Q(Dir / "modes.zip"), &Out), 0)
      << Out;
  const TTree Got = Snapshot(Dir / "out");
  ASSERT_EQ(Names(Got), (std::vector<std::string>{"plain", "sgid", "sticky", "suid"}));
  EXPECT_EQ(Got.at("suid").Mode, 0750u);
  EXPECT_EQ(Got.at("sgid").Mode, 0750u);
  EXPECT_EQ(Got.at("sticky").Mode, 0750u);
  EXPECT_EQ(Got.at("plain").Mode, 0640u);
}

}  // namespace
}  // namespace zem
