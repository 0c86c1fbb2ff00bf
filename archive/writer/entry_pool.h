// Entries made away from the caller's thread: a small file of a Zip call is
// read, compressed and encrypted by a worker into memory, and the caller's
// thread later writes the result into the archive in list order. Private to
// the writer.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "archive/support/lfn_file_stream.h"
#include "archive/writer/entry_coder.h"
#include "platform/winapi.h"

namespace zem {

// "read error at byte At: <the system's text for Error>", the cause of an
// entry left out because its source could not be read.
std::string ReadErrorText(uint64_t At, uint32_t Error);

// One small file's entry data. The caller fills the first part and submits
// the job (before the entry's OnStartZip: the result is used only when the
// entry is admitted and nothing it depends on changed meanwhile); the thread that runs it fills the rest and touches nothing else:
// no event, no component state, no output stream. Only the source's
// descriptor is used (reads and one status), so the platform calls made
// are those on an open file.
struct TEntryJob {
  // ---- Set before the job is submitted ----------------------------------
  std::unique_ptr<TLFNFileStream> Source;  // open, at its start
  uint64_t Size = 0;                       // its size when opened
  platform::TFileInfo Stamp;               // its status when opened
  int32_t Level = 6;
  bool Store = false;     // stored, not deflated (else as PackData decides)
  std::string Password;   // empty: not encrypted
  uint32_t Seed = 0;      // of the encryption header

  // ---- The outcome ----------------------------------------------------------
  enum class TOutcome : uint8_t {
    Written,  // Data holds the entry data
    Changed,  // the file changed while it was read: write it again
    Failed,   // unreadable or deleted: Cause says why
  };
  TOutcome Outcome = TOutcome::Changed;
  // The encryption header (when encrypted) and the stored or deflated data.
  std::vector<uint8_t> Data;
  bool Stored = false;  // the data is stored
  uint32_t Crc = 0;    // CRC-32 of the data read
  uint64_t Read = 0;   // bytes of the source in the entry
  // The read routine's blocks, in order: the progress the caller reports.
  std::vector<uint32_t> Blocks;
  bool ReadError = false;
  std::string Cause;
  // What else went wrong (zlib, memory): raised again on the caller's thread.
  std::exception_ptr Error;

  // The bytes the job may hold at most, input and output together, before
  // its data is written: what the caller counts against its limit.
  static int64_t HeldFor(uint64_t Size);

  // Reads the source whole, checks that it is unchanged, and makes Data.
  // Never raises: failures go to Outcome, Cause and Error.
  void Run(TEntryCoder& Coder);

  // 0 waiting, 1 taken by a thread, 2 done; set by TEntryPool.
  std::atomic<int> State{0};
};

// The worker threads of one Zip call. Jobs are taken in the order they
// were submitted; the caller waits for the one it needs next, and runs it
// itself when no worker has taken it yet, so that it never waits on work
// that has not started. Each worker owns its coder (deflate stream and
// buffers).
class TEntryPool {
 public:
  // Starts Workers threads (at least one).
  TEntryPool(int Workers, TDeflateEngine Engine);
  // Stops the threads once their current job is done; jobs not taken are
  // left as they are.
  ~TEntryPool();
  TEntryPool(const TEntryPool&) = delete;
  TEntryPool& operator=(const TEntryPool&) = delete;

  // Jobs are taken in the order submitted; a batch wakes the workers once.
  void Submit(std::vector<std::shared_ptr<TEntryJob>> Jobs);
  static bool Done(const TEntryJob& Job) { return Job.State.load(std::memory_order_acquire) == 2; }
  // Returns once Job is done: runs it with Own when it is still waiting,
  // else waits for the thread that took it.
  void Finish(TEntryJob& Job, TEntryCoder& Own);
  // Returns once no thread works on Job: a waiting job is never run, a
  // running one is waited for.
  void Cancel(TEntryJob& Job);

 private:
  void Work();
  // Runs Job if no other thread took it first.
  bool TryRun(TEntryJob& Job, TEntryCoder& Coder);

  std::mutex FLock;
  std::condition_variable FWake;  // a job was submitted, or stop
  std::condition_variable FDone;  // a job is done
  std::deque<std::shared_ptr<TEntryJob>> FJobs;
  bool FStop = false;
  std::vector<std::thread> FThreads;
  TDeflateEngine FEngine;  // of every worker's coder
};

}  // namespace zem
