// TArcUnZip with several threads: entries decrypted, decoded and written by
// workers while the calling thread keeps every event, every question and
// every change to the destination's folders.
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "archive/reader/decompress_engine.h"

namespace zem {

/*
 * Design. The traditional cipher and the decoders are serial within an
 * entry but not across entries, so the unit of work is one entry's data:
 * from the first byte after its encryption header to its output file,
 * closed (and flushed when asked) but not yet in place.
 *
 * The calling thread walks the entries in order and does, for each, what
 * ExtractEntry does before the data: the local header, OnStartUnZip, the
 * name checks, the method, the password check (its key state then goes
 * with the job). A worker takes the job with its own handle on the
 * archive, its own buffers, decoders and cipher state, and logs the size
 * of every output block. The output (the folders below the destination,
 * the look at what has the target's name, the temporary file, all through
 * the run's destination handle without following links) is opened by the
 * worker when the overwrite mode is Always, so that these system calls of
 * many small files are spread over the workers too; with any other mode
 * the calling thread opens it, as the question or the comparison belongs
 * there. A failure of the worker's opening is kept with the job and
 * reported at the entry's end. A file the worker opened is also put in
 * place by it (renamed, dated) once its data checked out: nothing is left
 * to decide about it. The calling thread takes the jobs back strictly in
 * entry order, raising the percentages from the log and then the entry's
 * end (FinishEntry: commit under the final name unless done, OnEndUnZip,
 * or the verdict), so the events of each entry, the percentages and the
 * ends come in the order a run with one thread gives them. With the window
 * full of small entries it sleeps until half of them are done rather than
 * waking for each: a switch per entry cost as much as the entry's work.
 *
 * What must see the destination as the earlier entries left it waits for
 * all earlier work first: folder and link entries (they change what later
 * names lead through), an entry whose target, or a folder on its way, is
 * the target of an entry still in work, or whose target is a folder on the
 * way to one (its worker may be making it), and the questions: whether to
 * overwrite (the existing file may be one an earlier entry is writing) and
 * the password when the check byte refuses it (an earlier entry's end may
 * bring a new one). A skip before the
 * data takes its size off the run's total only after the percentages of
 * the entries still in work, as it would have after them.
 *
 * One order cannot be kept: a new password given at the end of an entry
 * (the old one passed the check byte but not the data) reaches the entries
 * already in work too late. Those that come out wrong with the old one are
 * then run again, one at a time, from their start (OnStartUnZip again),
 * with the new one; their percentages may already have been raised.
 *
 * Memory: at most Window jobs exist at once (16 per worker up to 128,
 * never fewer than four per worker), each with its output buffer; a
 * worker has two lanes of two 32 KB blocks and their decoders, and four
 * 64 KB buffers for the data of small encrypted entries taken together; a
 * job's log holds one number per output block not yet taken back. Data
 * streams through; no entry is held whole.
 */

struct TArcUnZip::TUnzipJob {
  int32_t Index = 0;
  std::string FName;                      // the final name, for the end events
  std::string Key;                        // the target as compared for collisions
  std::unique_ptr<TZipHeaderInfo> Entry;  // the working header at hand-over
  TZipCrypt Crypt;                        // keys after the encryption header
  std::string Password;                   // the one that passed the check
  int64_t DataPos = 0;
  TEntryFilePtr File;     // null when testing
  // The output is opened by the worker (no question can come of it: the
  // overwrite mode is Always); Refused, with Reason and Error, when that
  // failed, as OpenEntryOutput says.
  bool OpenInWorker = false;
  bool Refused = false;
  TSkipReason Reason = srCreateError;
  uint64_t SkippedAfter = 0;  // sizes of later entries skipped meanwhile
  TUnzipPool* Pool = nullptr;
  // The worker's results, read once Done.
  TDataVerdict Verdict = TDataVerdict::Clean;
  std::string Error;
  bool Fatal = false;  // the archive ended inside the data (Error says so)
  bool NoMemoryNotice = false;
  bool CommitFailed = false;  // the file could not be put in place (Error says why)
  bool Placed = false;        // the worker put the file in place
  std::exception_ptr Failure;  // anything else: ends the run as it would have
  // Under the pool's lock.
  std::vector<size_t> Blocks;  // sizes of output blocks not yet reported
  bool Done = false;
};

struct TArcUnZip::TUnzipPool {
  // A worker told to stop in the middle of an entry (the run is ending by
  // an exception): the entry's output is discarded.
  struct TStopped {};

  ~TUnzipPool() { Stop(); }

  void Stop() {
    {
      std::lock_guard<std::mutex> Hold(Lock);
      Stopping = true;
      Queue.clear();
    }
    WorkReady.notify_all();
    for (std::thread& T : Workers) T.join();
    Workers.clear();
  }

  // Small encrypted entries are taken up to four at a time when several
  // are waiting: the data of each is read whole, all are decrypted side by
  // side (the steps of the cipher within one entry wait for each other,
  // those of different entries do not), then each is decoded from memory
  // as any other.
  static constexpr size_t kGroup = TZipCrypt::kMaxLanes;
  static constexpr uint64_t kGroupBytes = 64 * 1024;
  static bool Groupable(const TUnzipJob& Job) {
    return Job.Entry->Encrypted() && Job.Entry->CompressedSize() <= kGroupBytes;
  }

  // Two larger stored encrypted entries waiting one after the other are
  // decoded by one worker block by block in turn, each block of the one
  // decrypted beside the block of the other.
  static bool Streamable(const TUnzipJob& Job) {
    return Job.Entry->Encrypted() && Job.Entry->CompressionMethod() == 0 && Job.Entry->CompressedSize() > kGroupBytes;
  }

  void Work(TArcUnZip& Zip, TStream& Archive) {
    TUnzipRun Lane, Second;
    Lane.Archive = Second.Archive = &Archive;
    Lane.TestOnly = Second.TestOnly = TestOnly;
    std::array<std::unique_ptr<uint8_t[]>, kGroup> Held;
    for (;;) {
      std::array<TUnzipJob*, kGroup> Jobs{};
      size_t Count = 0;
      bool Pair = false;
      {
        std::unique_lock<std::mutex> Hold(Lock);
        WorkReady.wait(Hold, [this] { return Stopping || !Queue.empty(); });
        if (Stopping) return;
        Jobs[Count++] = Queue.front();
        Queue.pop_front();
        if (Groupable(*Jobs[0])) {
          while (Count < kGroup && !Queue.empty() && Groupable(*Queue.front())) {
            Jobs[Count++] = Queue.front();
            Queue.pop_front();
          }
        } else if (Streamable(*Jobs[0]) && !Queue.empty() && Streamable(*Queue.front())) {
          Jobs[Count++] = Queue.front();
          Queue.pop_front();
          Pair = true;
        }
      }
      if (Pair) {
        RunStoredPair(Zip, {&Lane, &Second}, {Jobs[0], Jobs[1]});
        continue;
      }
      std::array<const uint8_t*, kGroup> Ready{};
      if (Count > 1) ReadGroup(Archive, Jobs.data(), Count, Held, Ready);
      for (size_t K = 0; K < Count; ++K) Run(Zip, Lane, *Jobs[K], Ready[K]);
    }
  }

  // Reads the data of the jobs into Held and decrypts it, each with its
  // own keys; Ready[K] is left null for a job whose data could not be read
  // (its own run then meets that again and says so).
  static void ReadGroup(TStream& Archive, TUnzipJob* const* Jobs, size_t Count,
                        std::array<std::unique_ptr<uint8_t[]>, kGroup>& Held,
                        std::array<const uint8_t*, kGroup>& Ready) {
    std::array<TZipCrypt*, kGroup> Crypts{};
    std::array<uint8_t*, kGroup> Buffers{};
    std::array<size_t, kGroup> Sizes{};
    size_t Lanes = 0;
    for (size_t K = 0; K < Count; ++K) {
      if (!Held[K]) Held[K] = std::make_unique_for_overwrite<uint8_t[]>(kGroupBytes);
      const size_t Size = static_cast<size_t>(Jobs[K]->Entry->CompressedSize());
      try {
        Archive.Seek(Jobs[K]->DataPos, soBeginning);
        if (Archive.Read(Held[K].get(), static_cast<int64_t>(Size)) != static_cast<int64_t>(Size)) continue;
      } catch (const Exception&) {
        continue;
      }
      Ready[K] = Held[K].get();
      Crypts[Lanes] = &Jobs[K]->Crypt;
      Buffers[Lanes] = Held[K].get();
      Sizes[Lanes++] = Size;
    }
    if (Lanes > 0) TZipCrypt::DecryptLanes(Crypts.data(), Buffers.data(), Sizes.data(), Lanes);
  }

  // A job's start in a worker: nothing once the run has stopped (the rest
  // of what a worker took is dropped unopened), and its output opened when
  // the worker does that. False when the job has ended already.
  bool Begin(TArcUnZip& Zip, TUnzipJob& Job) {
    if (Stopping) {
      Finished(Job);
      return false;
    }
    if (Job.OpenInWorker) {
      tWorkerJob = &Job;
      try {
        Job.Refused = !Zip.OpenEntryOutput(Job.Index, Job.FName, Job.File);
      } catch (...) {
        Job.Failure = std::current_exception();
      }
      tWorkerJob = nullptr;
      if (Job.Refused || Job.Failure) {
        Finished(Job);
        return false;
      }
    }
    return true;
  }

  static void Attach(TUnzipRun& Lane, TUnzipJob& Job) {
    Lane.Entry = Job.Entry.get();
    Lane.Crypt = &Job.Crypt;
    Lane.Error = &Job.Error;
    Lane.Job = &Job;
    Lane.NoMemoryNotice = false;
    Lane.Ready = nullptr;
  }

  // A whole file the worker opened goes in place here too, when its data
  // checked out: nothing is left to decide about it.
  void PutInPlace(TArcUnZip& Zip, TUnzipJob& Job) {
    if (Job.OpenInWorker && Job.File && Job.Verdict == TDataVerdict::Clean && !Job.Entry->IsSymLink() &&
        Job.Crypt.FinalCrc() == Job.Entry->Crc32() && !Stopping) {
      Job.CommitFailed = !Zip.CommitEntryFile(*Job.Entry, Job.File, Job.Error);
      Job.Placed = !Job.CommitFailed;
    }
  }

  // One job through a worker's lane: its data decoded (from Ready when
  // already read and decrypted), its file put in place when it checked out.
  void Run(TArcUnZip& Zip, TUnzipRun& Lane, TUnzipJob& Job, const uint8_t* Ready) {
    if (!Begin(Zip, Job)) return;
    Attach(Lane, Job);
    Lane.Ready = Ready;
    try {
      if (!Ready) Lane.Archive->Seek(Job.DataPos, soBeginning);
      Job.Verdict = Zip.DecodeEntry(Lane, Job.File.get());
      PutInPlace(Zip, Job);
    } catch (const EFatalUnzipError& E) {
      Job.Fatal = true;
      Job.Error = E.Message();
    } catch (...) {
      Job.Failure = std::current_exception();
    }
    Lane.Ready = nullptr;
    Job.NoMemoryNotice = Lane.NoMemoryNotice;
    Finished(Job);
  }

  // Two stored encrypted jobs, a block of each in turn through their own
  // lanes, the two blocks decrypted side by side. Each ends with what
  // DecodeEntry and Run would give it: the same checks, texts and
  // verdicts, an archive ending inside its data fatal to it alone.
  void RunStoredPair(TArcUnZip& Zip, std::array<TUnzipRun*, 2> Lanes, std::array<TUnzipJob*, 2> Jobs) {
    struct TSide {
      TUnzipRun* R = nullptr;
      TUnzipJob* J = nullptr;
      TNullStream Null;
      int64_t Pos = 0;
      bool Active = false;
    };
    std::array<TSide, 2> Sides;
    for (size_t K = 0; K < 2; ++K) {
      TSide& S = Sides[K];
      S.R = Lanes[K];
      S.J = Jobs[K];
      S.Active = Begin(Zip, *S.J);
      if (!S.Active) continue;
      TUnzipRun& R = *S.R;
      Attach(R, *S.J);
      R.Crypt->ResetCrc();
      R.Out = &OutputOf(S.J->File.get(), S.Null);
      R.Written = 0;
      R.Encrypted = true;
      const uint64_t Packed = S.J->Entry->CompressedSize();
      R.Remaining = Packed > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(Packed);
      S.Pos = S.J->DataPos;
    }
    auto End = [this](TSide& S) {
      S.Active = false;
      Finished(*S.J);
    };
    try {
      while (Sides[0].Active || Sides[1].Active) {
        std::array<TZipCrypt*, 2> Crypts{};
        std::array<uint8_t*, 2> Buffers{};
        std::array<size_t, 2> Sizes{};
        std::array<TSide*, 2> Read{};
        size_t Count = 0;
        for (TSide& S : Sides) {
          if (!S.Active) continue;
          TUnzipRun& R = *S.R;
          if (R.Remaining <= 0) {
            S.J->Verdict = SizeMatches(R) ? OutputClosed(R, S.J->File.get()) : TDataVerdict::BadData;
            PutInPlace(Zip, *S.J);
            End(S);
            continue;
          }
          const int64_t N = std::min<int64_t>(static_cast<int64_t>(TUnzipRun::kBlockSize), R.Remaining);
          R.Remaining -= N;
          S.J->Entry->SetCompressedSize(static_cast<uint64_t>(R.Remaining));
          try {
            R.Archive->Seek(S.Pos, soBeginning);
            ReadLaneBlock(*R.Archive, R.Output.get(), N);
          } catch (const EFatalUnzipError& E) {
            S.J->Fatal = true;
            S.J->Error = E.Message();
            End(S);
            continue;
          }
          S.Pos += N;
          Crypts[Count] = R.Crypt;
          Buffers[Count] = R.Output.get();
          Sizes[Count] = static_cast<size_t>(N);
          Read[Count++] = &S;
        }
        if (Count > 0) TZipCrypt::DecryptLanes(Crypts.data(), Buffers.data(), Sizes.data(), Count);
        for (size_t K = 0; K < Count; ++K) {
          TSide& S = *Read[K];
          try {
            Zip.FlushOutput(*S.R, Buffers[K], Sizes[K]);
          } catch (const EBiggerThanUncompressed&) {
            S.J->Verdict = TooMuchOutput(*S.R);
            End(S);
          } catch (const ECantWriteUCF&) {
            S.J->Verdict = WriteRefused(*S.R, S.J->File.get());
            End(S);
          }
        }
      }
    } catch (...) {
      // A stop, or anything else: what is still open ends with it.
      for (TSide& S : Sides)
        if (S.Active) {
          S.J->Failure = std::current_exception();
          End(S);
        }
    }
  }

  void Finished(TUnzipJob& Job) {
    bool Wake = false;
    {
      std::lock_guard<std::mutex> Hold(Lock);
      Job.Done = true;
      ++DoneCount;
      Wake = Watched == &Job || BatchReady();
    }
    if (Wake) Progress.notify_one();
  }

  // Under the lock: whether the calling thread, waiting for a batch of
  // small entries, has enough ends to raise (half the window), or the
  // oldest entry has ended and no worker has anything left to start.
  bool BatchReady() const {
    return BatchFront != nullptr && (DoneCount >= BatchSize || (Queue.empty() && BatchFront->Done));
  }

  // The job the current worker thread is opening the output of.
  static thread_local TUnzipJob* tWorkerJob;

  std::mutex Lock;
  std::condition_variable WorkReady;  // a job queued, or stopping
  std::condition_variable Progress;   // the watched job logged a block or ended
  TUnzipJob* Watched = nullptr;       // the job the calling thread waits for
  std::deque<TUnzipJob*> Queue;       // jobs no worker has taken yet
  std::atomic<bool> Stopping{false};  // set under the lock; read without it too
  size_t DoneCount = 0;               // jobs in InWork that are Done
  TUnzipJob* BatchFront = nullptr;    // the oldest job, while a batch is awaited
  size_t BatchSize = 0;

  // The calling thread's own.
  std::deque<std::unique_ptr<TUnzipJob>> InWork;  // in entry order
  std::unordered_map<std::string, int> Targets;   // keys of InWork's targets
  std::unordered_map<std::string, int> Folders;   // and of the folders on their way
  size_t Window = 0;
  bool TestOnly = false;
  bool Collecting = false;        // an entry's end is being raised
  bool Raising = false;           // an entry's percentages or end are being raised
  std::vector<int32_t> Retries;   // entries to run again (a new password)
  std::vector<std::unique_ptr<TLFNFileStream>> Inputs;
  std::vector<std::thread> Workers;
};

thread_local TArcUnZip::TUnzipJob* TArcUnZip::TUnzipPool::tWorkerJob = nullptr;

namespace {

// The target as compared for collisions: the name in one case (a FAT card
// does not tell "A.JPG" from "a.jpg"), with one kind of separator and
// without the empty and "." steps the walk to the file passes over
// ("a/./x" and "a//x" are "a/x").
std::string TargetKey(const std::string& FName) {
  const std::string Name = platform::AnsiUpperCase(FName);
  std::string Key;
  const bool Rooted = !Name.empty() && (Name[0] == '\\' || Name[0] == '/');
  for (size_t Start = 0; Start < Name.size();) {
    size_t End = Name.find_first_of("\\/", Start);
    if (End == std::string::npos) End = Name.size();
    if (End > Start && Name.compare(Start, End - Start, ".") != 0) {
      if (Rooted || !Key.empty()) Key += '\\';
      Key.append(Name, Start, End - Start);
    }
    Start = End + 1;
  }
  return Key;
}

// Calls Each with every folder on the way to Key (its leading parts).
template <typename TEach>
void ForEachFolder(const std::string& Key, TEach Each) {
  for (size_t At = Key.find('\\'); At != std::string::npos; At = Key.find('\\', At + 1))
    if (At > 0) Each(Key.substr(0, At));
}

// Whether Key, or a folder on its way, is the target of an entry in work,
// or Key a folder on the way to one (which that entry's worker may make).
bool Collides(const std::unordered_map<std::string, int>& Targets,
              const std::unordered_map<std::string, int>& Folders, const std::string& Key) {
  if (Targets.empty()) return false;
  bool Found = Targets.count(Key) != 0 || Folders.count(Key) != 0;
  ForEachFolder(Key, [&](const std::string& Folder) { Found = Found || Targets.count(Folder) != 0; });
  return Found;
}

// Adds (Step 1) or removes (Step -1) Key and its folders.
void CountTarget(std::unordered_map<std::string, int>& Targets, std::unordered_map<std::string, int>& Folders,
           const std::string& Key, int Step) {
  auto Add = [Step](std::unordered_map<std::string, int>& Map, const std::string& Name) {
    const auto At = Map.try_emplace(Name, 0).first;
    if ((At->second += Step) <= 0) Map.erase(At);
  };
  Add(Targets, Key);
  ForEachFolder(Key, [&](const std::string& Folder) { Add(Folders, Folder); });
}

}  // namespace

bool TArcUnZip::FailInWorker(TSkipReason Reason, const std::string& Why) {
  TUnzipJob* Job = TUnzipPool::tWorkerJob;
  if (Job == nullptr) return false;
  Job->Reason = Reason;
  Job->Error = Why;
  return true;
}

void TArcUnZip::LogProgress(TUnzipJob& Job, size_t N) {
  TUnzipPool& Pool = *Job.Pool;
  bool Wake = false;
  {
    std::lock_guard<std::mutex> Hold(Pool.Lock);
    if (Pool.Stopping) throw TUnzipPool::TStopped();
    Job.Blocks.push_back(N);
    Wake = Pool.Watched == &Job;
  }
  // Only the calling thread waits, and only for the oldest entry: waking
  // it for any other would cost a switch for nothing.
  if (Wake) Pool.Progress.notify_one();
}

bool TArcUnZip::DeferSkippedSize(TUnzipPool& Pool, uint64_t Size) {
  if (Pool.Collecting || Pool.InWork.empty()) return false;
  uint64_t& After = Pool.InWork.back()->SkippedAfter;
  After = Size > UINT64_MAX - After ? UINT64_MAX : After + Size;
  return true;
}

bool TArcUnZip::RunsInParallel(int32_t ToDo) const {
  return FThreads > 1 && ToDo > 1 && FEndRecord->NumberOfThisDisk() == 0 && FDiskCount <= 1 && !OnDecrypt &&
         FArchive != nullptr;
}

bool TArcUnZip::ExtractInParallel(int32_t N, bool TestOnly) {
  TUnzipPool Pool;
  Pool.TestOnly = TestOnly;
  // Room for batches of small entries, within what the open files (one
  // output and its folder per job, when the calling thread opens them) allow.
  const size_t Threads = static_cast<size_t>(FThreads);
  Pool.Window = std::max(Threads * 4, std::min<size_t>(Threads * 16, 128));
  // Each worker reads through its own handle, which must reach the very
  // file the directory was read from; otherwise the run goes serially.
  platform::TFileInfo Read;
  if (!platform::GetFileInfo(FArchive->Handle(), Read)) return false;
  for (int32_t K = 0; K < FThreads; ++K) {
    try {
      auto Input = std::make_unique<TLFNFileStream>(FZipName, fmOpenRead | fmShareDenyWrite, false,
                                                    static_cast<int>(FStreamBufferSize));
      platform::TFileInfo Same;
      if (!platform::GetFileInfo(Input->Handle(), Same) || !Same.Unchanged(Read)) return false;
      Pool.Inputs.push_back(std::move(Input));
    } catch (const Exception&) {
      return false;
    }
  }
  try {
    for (auto& Input : Pool.Inputs) {
      TStream* S = Input.get();
      Pool.Workers.emplace_back([&Pool, this, S] { Pool.Work(*this, *S); });
    }
  } catch (const std::system_error&) {
    if (Pool.Workers.empty()) return false;
  }

  FRun->Pool = &Pool;
  struct TDetach {
    TUnzipRun* Run;
    ~TDetach() { Run->Pool = nullptr; }
  } Detach{FRun.get()};
  try {
    for (int32_t I = 0; I < N; ++I) {
      if (!FDoAll && !FView->Items(I)->Chosen()) continue;
      // Ends already there go out first; a full window waits for the oldest.
      for (;;) {
        bool Ready = false;
        if (!Pool.InWork.empty()) {
          std::lock_guard<std::mutex> Hold(Pool.Lock);
          Ready = Pool.InWork.front()->Done;
        }
        if (!Ready && Pool.InWork.size() < Pool.Window) break;
        if (!Ready) WaitForBatch(Pool);
        CollectOldest(Pool);
      }
      RetryEntries(Pool);
      if (PrepareEntry(Pool, I, TestOnly) == TPrepared::Serial) {
        DrainPool();
        RetryEntries(Pool);
        do {
          if (ExtractEntry(I, TestOnly)) ++FRun->Extracted;
        } while (FRetryEntry);
      }
    }
    DrainPool();
    RetryEntries(Pool);
  } catch (...) {
    // A run ended by an error in an entry's start (a handler cancelling,
    // say) has the earlier entries end first, as they would have before
    // that entry began. One ended while an entry's percentages or end were
    // raised (or by a worker's error) stops there: the later entries in
    // work are dropped with their temporary files, never having ended
    // (those a worker already put in place stay, whole and checked, and
    // are counted in PlacedUnreported).
    const std::exception_ptr Error = std::current_exception();
    if (!Pool.Raising) {
      try {
        DrainPool();
      } catch (...) {
      }
    }
    Pool.Stop();
    FPlacedUnreported = static_cast<int32_t>(std::count_if(
        Pool.InWork.begin(), Pool.InWork.end(), [](const std::unique_ptr<TUnzipJob>& J) { return J->Placed; }));
    std::rethrow_exception(Error);
  }
  return true;
}

TArcUnZip::TPrepared TArcUnZip::PrepareEntry(TUnzipPool& Pool, int32_t I, bool TestOnly) {
  const TZipHeaderInfo& Item = *FView->Items(I);
  if (Item.FileName().empty() || Item.IsSymLink()) return TPrepared::Serial;
  FRetryEntry = false;
  FEntryError.clear();
  FWorkingHeader->Assign(&Item);
  TZipHeaderInfo& W = *FWorkingHeader;
  try {
    if (!W.Defect().empty()) {
      FailEntry(I, srDataError, W.Defect());
      return TPrepared::Done;
    }
    if (!SeekEntryData(I)) return TPrepared::Done;
    std::string FName = EntryDestDir(W) + W.FileName();
    if (!PrepareEntryTarget(I, FName)) return TPrepared::Done;
    if (!TestOnly && Collides(Pool.Targets, Pool.Folders, TargetKey(FName))) {
      DrainPool();
      // An earlier entry to run again (a new password) may write this very
      // target: it goes first, and this entry then runs serially after it
      // (its start is raised again).
      if (!Pool.Retries.empty()) return TPrepared::Serial;
    }
    if (!CheckEntryMethod(I)) return TPrepared::Done;
    if (W.Encrypted() && !CheckEntryPassword(I)) return TPrepared::Done;
    auto Job = std::make_unique<TUnzipJob>();
    Job->DataPos = FArchive->Position();
    // Without a question to ask, the worker opens the output itself (the
    // folders, the look at what has the name, the temporary file).
    Job->OpenInWorker = !TestOnly && FOverwriteMode == Always;
    if (!TestOnly && !Job->OpenInWorker && !OpenEntryOutput(I, FName, Job->File)) return TPrepared::Done;
    Job->Index = I;
    Job->FName = FName;
    if (!TestOnly) Job->Key = TargetKey(FName);
    Job->Entry = std::make_unique<TZipHeaderInfo>();
    Job->Entry->Assign(&W);
    Job->Crypt = FCrypt;
    if (W.Encrypted()) Job->Password = FPassword;
    Job->Pool = &Pool;
    if (!Job->Key.empty()) CountTarget(Pool.Targets, Pool.Folders, Job->Key, 1);
    TUnzipJob* Queued = Job.get();
    Pool.InWork.push_back(std::move(Job));
    {
      std::lock_guard<std::mutex> Hold(Pool.Lock);
      Pool.Queue.push_back(Queued);
    }
    Pool.WorkReady.notify_one();
    return TPrepared::Queued;
  } catch (const EFatalUnzipError& E) {
    FRetryEntry = false;
    FailEntry(I, srDataError, E.Message());
    return TPrepared::Done;
  }
}

void TArcUnZip::WaitForBatch(TUnzipPool& Pool) {
  // A large oldest entry is waited for block by block instead, so that its
  // percentages come as it is written.
  constexpr uint64_t kLargeEntry = uint64_t{1} << 20;
  TUnzipJob* Front = Pool.InWork.front().get();
  if (Front->Entry->UncompressedSize() > kLargeEntry) return;
  std::unique_lock<std::mutex> Hold(Pool.Lock);
  Pool.BatchFront = Front;
  Pool.BatchSize = std::max<size_t>(1, Pool.InWork.size() / 2);
  while (!Pool.Progress.wait_for(Hold, std::chrono::milliseconds(100), [&Pool] { return Pool.BatchReady(); })) {
    Hold.unlock();
    PumpMessages();
    Hold.lock();
  }
  Pool.BatchFront = nullptr;
}

void TArcUnZip::CollectOldest(TUnzipPool& Pool) {
  Pool.Raising = true;
  TUnzipJob& Waited = *Pool.InWork.front();
  const uint64_t Size = Waited.Entry->UncompressedSize();
  int64_t Written = 0;
  std::vector<size_t> Blocks;
  for (bool Done = false; !Done;) {
    {
      std::unique_lock<std::mutex> Hold(Pool.Lock);
      Pool.Watched = &Waited;
      Pool.Progress.wait_for(Hold, std::chrono::milliseconds(100),
                             [&Waited] { return Waited.Done || !Waited.Blocks.empty(); });
      Blocks.clear();
      Blocks.swap(Waited.Blocks);
      Done = Waited.Done;
      if (Done) {
        Pool.Watched = nullptr;
        --Pool.DoneCount;
      }
    }
    for (const size_t B : Blocks) {
      Written += static_cast<int64_t>(B);
      ReportProgress(Written, Size, B);
    }
    PumpMessages();
  }
  std::unique_ptr<TUnzipJob> Job = std::move(Pool.InWork.front());
  Pool.InWork.pop_front();
  if (!Job->Key.empty()) CountTarget(Pool.Targets, Pool.Folders, Job->Key, -1);

  // The end is raised on the entry's own header, as ExtractEntry raises
  // it; what the calling thread was doing with the working header (an
  // entry being prepared) is put back afterwards.
  struct TSwap {
    TArcUnZip& Zip;
    TUnzipJob& Job;
    std::string Error;
    TZipCrypt Crypt;
    bool Retry;
    TSwap(TArcUnZip& Z, TUnzipJob& J)
        : Zip(Z), Job(J), Error(Z.FEntryError), Crypt(Z.FCrypt), Retry(Z.FRetryEntry) {
      std::swap(Zip.FWorkingHeader, Job.Entry);
      Zip.FRun->Pool->Collecting = true;
    }
    ~TSwap() {
      Zip.FRun->Pool->Collecting = false;
      std::swap(Zip.FWorkingHeader, Job.Entry);
      Zip.FEntryError = Error;
      Zip.FCrypt = Crypt;
      Zip.FRetryEntry = Retry;
    }
  } Swap(*this, *Job);
  if (Job->Failure) std::rethrow_exception(Job->Failure);
  // An entry decrypted with a password that an earlier entry's end has
  // since replaced, and that came out wrong, was never tried with the new
  // one: it goes again, as if it had been started after that change.
  const bool Clean = !Job->Fatal && Job->Verdict == TDataVerdict::Clean && ~Job->Crypt.Crc() == FWorkingHeader->Crc32();
  if (FWorkingHeader->Encrypted() && !Job->Refused && !Clean && Job->Password != FPassword) {
    Job->File.reset();
    Pool.Retries.push_back(Job->Index);
    Pool.Raising = false;
    return;
  }
  FEntryError = Job->Error;
  FCrypt.SetCrc(Job->Crypt.Crc());
  FRetryEntry = false;
  bool Counted = false;
  if (Job->Refused) {
    Counted = FailEntry(Job->Index, Job->Reason, Job->Error);
  } else if (Job->Fatal) {
    Job->File.reset();
    Counted = FailEntry(Job->Index, srDataError, Job->Error);
  } else if (Job->CommitFailed) {
    if (Job->NoMemoryNotice) ShowNoMemoryNotice(*this);
    Counted = FailEntry(Job->Index, srWriteError, Job->Error);
  } else {
    if (Job->NoMemoryNotice) ShowNoMemoryNotice(*this);
    Counted = FinishEntry(Job->Index, Job->FName, Job->Verdict, Job->File, Pool.TestOnly);
  }
  if (Counted) ++FRun->Extracted;
  if (FRetryEntry) Pool.Retries.push_back(Job->Index);
  if (Job->SkippedAfter > 0) {
    const uint64_t Skipped = Job->SkippedAfter;
    FTotalBytes = Skipped >= static_cast<uint64_t>(FTotalBytes) ? 0 : FTotalBytes - static_cast<int64_t>(Skipped);
  }
  Pool.Raising = false;
}

bool TArcUnZip::WorkInFlight() const { return FRun && FRun->Pool && !FRun->Pool->InWork.empty(); }

void TArcUnZip::DrainPool() {
  TUnzipPool& Pool = *FRun->Pool;
  while (!Pool.InWork.empty()) CollectOldest(Pool);
}

void TArcUnZip::RetryEntries(TUnzipPool& Pool) {
  while (!Pool.Retries.empty()) {
    DrainPool();
    std::vector<int32_t> Again;
    Again.swap(Pool.Retries);
    for (const int32_t I : Again) {
      do {
        if (ExtractEntry(I, Pool.TestOnly)) ++FRun->Extracted;
      } while (FRetryEntry);
    }
  }
}

}  // namespace zem
