// The console: which standard streams reach a terminal, its width, and
// secrets read with the echo off.
#include "platform/console.h"

#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "platform/winapi.h"

namespace zem::platform {

bool StdErrIsConsole() { return ::isatty(STDERR_FILENO) == 1; }
bool StdInIsConsole() { return ::isatty(STDIN_FILENO) == 1; }
bool StdOutIsConsole() { return ::isatty(STDOUT_FILENO) == 1; }

int ConsoleWidth() {
  struct winsize Size {};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &Size) == 0 && Size.ws_col > 0) return Size.ws_col;
  return 80;
}

namespace {

void WriteAll(int Fd, const std::string& Text) {
  size_t Done = 0;
  while (Done < Text.size()) {
    const ssize_t N = ::write(Fd, Text.data() + Done, Text.size() - Done);
    if (N < 0 && errno == EINTR) continue;
    if (N <= 0) return;
    Done += static_cast<size_t>(N);
  }
}

}  // namespace

// The echo is turned off on standard input's terminal only for the read;
// the line is read byte by byte from the descriptor so nothing beyond it is
// taken from a buffer another reader of standard input would miss.
bool ReadConsoleSecret(const std::string& Prompt, std::string& Secret) {
  Secret.clear();
  struct termios Saved {};
  if (::isatty(STDIN_FILENO) != 1 || ::tcgetattr(STDIN_FILENO, &Saved) != 0) return false;
  // Echo goes off before the prompt shows: what is typed after the prompt
  // is neither echoed nor dropped by the flush of earlier typeahead.
  struct termios Quiet = Saved;
  Quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  Quiet.c_lflag |= ECHONL;
  ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &Quiet);
  WriteAll(STDERR_FILENO, Prompt);
  bool Ended = false;
  for (;;) {
    char C = 0;
    const ssize_t N = ::read(STDIN_FILENO, &C, 1);
    if (N < 0 && errno == EINTR) continue;
    if (N <= 0) {
      Ended = true;
      break;
    }
    if (C == '\n') break;
    if (C != '\r') Secret.push_back(C);
  }
  ::tcsetattr(STDIN_FILENO, TCSANOW, &Saved);
  if (Ended) WriteAll(STDERR_FILENO, "\n");
  return !Ended || !Secret.empty();
}

}  // namespace zem::platform
