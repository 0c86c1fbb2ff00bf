// Small entries made by worker threads: the job (read whole, check, code
// into memory) and the pool that runs the jobs.
#include "archive/writer/entry_pool.h"

#include <algorithm>
#include <cstring>

#include "archive/format/crc_crypt.h"
#include "platform/base.h"
#include "platform/cpu_features.h"

namespace zem {

std::string ReadErrorText(uint64_t At, uint32_t Error) {
  return Format("read error at byte %llu: %s", static_cast<unsigned long long>(At),
                platform::SysErrorMessage(Error).c_str());
}

// Input (the file whole) and output (at most the file, deflate's worst
// growth of a few bytes per 16 KiB block, a last partial block and the
// encryption header).
int64_t TEntryJob::HeldFor(uint64_t Size) {
  return static_cast<int64_t>(2 * Size + (Size >> 10) + 1024 + kEncryptionHeaderSize);
}

/*
 * The job reads the file whole first, so that it is read once even when
 * encrypted (the CRC, which the encryption header needs, comes from the
 * bytes in memory), then feeds the coder the same blocks the caller's
 * read routine would have: the entry data is byte for byte what the
 * caller's thread would have written. A file that gives fewer or more
 * bytes than it had when opened, or whose status changed meanwhile, is
 * reported Changed; the caller then writes it itself, with the retries of
 * a streamed entry. The file is never held beyond its opening size plus
 * one byte, so a file that grows cannot make the job exceed what HeldFor
 * counted.
 */
void TEntryJob::Run(TEntryCoder& Coder) {
  try {
    // Filled by the reads below: not zeroed first.
    const auto In = std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(Size));
    uint64_t Got = 0;
    bool Grew = false;
    for (;;) {
      uint8_t Spare = 0;
      const bool Past = Got == Size;
      uint8_t* To = Past ? &Spare : In.get() + Got;
      const int64_t Want = Past ? 1 : static_cast<int64_t>(Size - Got);
      const int64_t N = Source->Read(To, Want);
      if (const uint32_t Code = Source->ReadError()) {
        Outcome = TOutcome::Failed;
        ReadError = true;
        Cause = ReadErrorText(Got + static_cast<uint64_t>(std::max<int64_t>(N, 0)), Code);
        return;
      }
      if (N <= 0) break;
      if (Past) {
        Grew = true;
        break;
      }
      Got += static_cast<uint64_t>(N);
    }
    platform::TFileInfo Now;
    if (!platform::GetFileInfo(Source->Handle(), Now)) return;  // Changed
    if (Now.Links == 0) {
      Outcome = TOutcome::Failed;
      Cause = "deleted while it was read";
      return;
    }
    if (Grew || Got < Size || !Now.Unchanged(Stamp)) return;  // Changed

    Crc = Crc32Of(In.get(), static_cast<size_t>(Got));
    Data.reserve(static_cast<size_t>(HeldFor(Size) - static_cast<int64_t>(Size)));
    TZipCrypt Crypt;
    const bool Encrypt = !Password.empty();
    if (Encrypt) {
      const TEncryptionHeader Header = Crypt.MakeEncryptionHeader(Password, Crc, Seed);
      Data.insert(Data.end(), Header.begin(), Header.end());
    }
    uint64_t Served = 0;
    const TEntryCoder::TReader ReadIn = [&](uint8_t* Buffer, int64_t Count) -> int64_t {
      const uint64_t N = std::min<uint64_t>(static_cast<uint64_t>(Count), Got - Served);
      if (N == 0) return 0;
      std::memcpy(Buffer, In.get() + Served, static_cast<size_t>(N));
      Served += N;
      Blocks.push_back(static_cast<uint32_t>(N));
      return static_cast<int64_t>(N);
    };
    const TEntryCoder::TWriter WriteOut = [&](uint8_t* Buffer, int64_t Count) {
      if (Encrypt) Crypt.EncryptBuffer(Buffer, static_cast<size_t>(Count));
      Data.insert(Data.end(), Buffer, Buffer + Count);
    };
    Stored = Store;
    if (Store)
      Coder.StoreData(ReadIn, WriteOut);
    else
      Coder.PackData(Level, ReadIn, WriteOut, Stored);
    Read = Got;
    Outcome = TOutcome::Written;
  } catch (...) {
    Error = std::current_exception();
  }
}

TEntryPool::TEntryPool(int Workers, TDeflateEngine Engine) : FEngine(Engine) {
  // Jobs hold whole files of up to several MiB, allocated on one thread
  // and freed on another: each must go back to the system when freed.
  platform::KeepLargeBlocksApart();
  const int Count = std::max(Workers, 1);
  FThreads.reserve(static_cast<size_t>(Count));
  for (int I = 0; I < Count; ++I) FThreads.emplace_back([this] { Work(); });
}

TEntryPool::~TEntryPool() {
  {
    std::lock_guard<std::mutex> Hold(FLock);
    FStop = true;
  }
  FWake.notify_all();
  for (std::thread& T : FThreads) T.join();
}

void TEntryPool::Submit(std::vector<std::shared_ptr<TEntryJob>> Jobs) {
  if (Jobs.empty()) return;
  {
    std::lock_guard<std::mutex> Hold(FLock);
    for (std::shared_ptr<TEntryJob>& Job : Jobs) FJobs.push_back(std::move(Job));
  }
  FWake.notify_all();
}

bool TEntryPool::TryRun(TEntryJob& Job, TEntryCoder& Coder) {
  int Waiting = 0;
  if (!Job.State.compare_exchange_strong(Waiting, 1, std::memory_order_acq_rel)) return false;
  Job.Run(Coder);
  {
    std::lock_guard<std::mutex> Hold(FLock);
    Job.State.store(2, std::memory_order_release);
  }
  FDone.notify_all();
  return true;
}

/*
 * While a worker makes the job the caller needs, the caller makes the
 * next waiting ones itself rather than sleep: with one worker and files of
 * a few MiB the worker would otherwise take every job just before the
 * caller asks for it, and the caller would only ever wait and write.
 */
void TEntryPool::Finish(TEntryJob& Job, TEntryCoder& Own) {
  if (Done(Job) || TryRun(Job, Own)) return;
  for (;;) {
    std::shared_ptr<TEntryJob> Next;
    {
      std::unique_lock<std::mutex> Hold(FLock);
      if (Done(Job)) return;
      if (FJobs.empty()) {
        FDone.wait(Hold, [&Job] { return Done(Job); });
        return;
      }
      Next = std::move(FJobs.front());
      FJobs.pop_front();
    }
    TryRun(*Next, Own);
  }
}

void TEntryPool::Cancel(TEntryJob& Job) {
  int Waiting = 0;
  if (Job.State.compare_exchange_strong(Waiting, 2, std::memory_order_acq_rel)) return;
  std::unique_lock<std::mutex> Hold(FLock);
  FDone.wait(Hold, [&Job] { return Done(Job); });
}

void TEntryPool::Work() {
  TEntryCoder Coder(FEngine);
  for (;;) {
    std::shared_ptr<TEntryJob> Job;
    {
      std::unique_lock<std::mutex> Hold(FLock);
      FWake.wait(Hold, [this] { return FStop || !FJobs.empty(); });
      if (FStop) return;
      Job = std::move(FJobs.front());
      FJobs.pop_front();
    }
    TryRun(*Job, Coder);
  }
}

}  // namespace zem
