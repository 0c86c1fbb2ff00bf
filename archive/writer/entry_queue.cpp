// The files of a Zip call with more than one thread: prepared and admitted
// in list order on the caller's thread, small ones read, compressed and
// encrypted by the pool, and every entry written in list order.
#include <algorithm>

#include "archive/format/crc_crypt.h"
#include "archive/support/path_helpers.h"
#include "archive/writer/zip_runner.h"
#include "platform/winapi.h"

namespace zem {

namespace {

/*
 * What may be in flight at once. A file up to kQueuedFileLimit bytes is
 * made whole in memory by a worker (TEntryJob::HeldFor counts its input
 * and output); a larger one is streamed by the caller's thread when it
 * reaches the head of the queue, exactly as with one thread, while the
 * workers go on with the small files queued behind it. The jobs in the
 * queue never hold more than kHeldLimit bytes together, and the queue has
 * at most kQueueLimit items (each may hold an open file), whatever the
 * card and the thread count: with the fixed buffers of each worker (its
 * deflate stream and two 64 KiB blocks, about 400 KiB) and the thread
 * count capped by TArcZip::kMaxThreads, a Zip call stays well inside
 * 64 MB beside the new directory it builds.
 */
constexpr uint64_t kQueuedFileLimit = 1 << 20;
constexpr int64_t kHeldLimit = 16 << 20;
constexpr size_t kQueueLimit = 64;

}  // namespace

/*
 * The order of events. Everything that may decline, skip or rename an
 * entry (the link check, the opening, the stored-name check, OnStartZip)
 * runs on the caller's thread in list order before the entry is queued;
 * the entry's data, progress, OnEndZip and any report of a source that
 * failed follow in list order when it is written. So OnStartZip of later
 * entries may come before OnEndZip of earlier ones, but every entry's
 * events keep their own order and the archive's bytes are those one thread
 * writes (the encryption header's random bytes aside).
 */
bool TZipRunner::Queueing() const { return Z.Threads() > 1 && !MultiVolume() && !Z.OnEncrypt; }

void TZipRunner::AddFileQueued(const std::string& Name) {
  TQueued Q;
  Q.Entry = std::make_unique<TZipHeaderInfo>();
  Q.Entry->SetOEMConvert(Z.OEMConvert());
  if (!PrepareEntry(Name, *Q.Entry, Q.P)) {
    CommitReady();
    return;
  }
  if (Q.P.Kind == TEntryKind::File) {
    Q.SourceSize = FSourceSize;
    Q.SourceInfo = FSourceInfo;
    if (FSourceSize <= kQueuedFileLimit) {
      auto Job = std::make_shared<TEntryJob>();
      Job->Source = std::move(FSource);
      Job->Size = FSourceSize;
      Job->Stamp = FSourceInfo;
      Job->Level = Z.PackLevel();
      Job->Store = Job->Level == 0 || MatchesPatternList(Z.NoCompressList(), Q.Entry->FileName());
      Job->Password = Z.Password();
      if (!Job->Password.empty()) Job->Seed = EncryptionHeaderSeed();
      Q.Held = TEntryJob::HeldFor(FSourceSize);
      Q.Job = std::move(Job);
    } else {
      Q.Source = std::move(FSource);
    }
  }
  MakeRoom(Q.Held);
  FQueuedNames.insert(Q.Entry->FullName());
  FHeld += Q.Held;
  if (Q.Job) FPool->Submit(Q.Job);
  FQueue.push_back(std::move(Q));
  CommitReady();
}

void TZipRunner::CommitHead() {
  TQueued Q = std::move(FQueue.front());
  FQueue.pop_front();
  FQueuedNames.erase(Q.Entry->FullName());
  bool Written = false;
  if (Q.Job) {
    FPool->Finish(*Q.Job, *FCoder);
    Written = WriteJobEntry(Q);
    FHeld -= Q.Held;
  } else {
    if (Q.P.Kind == TEntryKind::File) {
      FSource = std::move(Q.Source);
      FSourceSize = Q.SourceSize;
      FSourceInfo = Q.SourceInfo;
      FSourceRead = 0;
    }
    Written = WritePrepared(Q.P, *Q.Entry);
  }
  if (!Written) return;
  AddEntry(std::move(Q.Entry));
  ++FResult;
  if (Z.Dispose()) FDisposeList.push_back(Q.P.Listed);
}

void TZipRunner::CommitReady() {
  while (!FQueue.empty()) {
    const TQueued& Head = FQueue.front();
    const bool Ready = Head.Job ? TEntryPool::Done(*Head.Job) : Head.P.Kind != TEntryKind::File;
    if (!Ready) return;
    CommitHead();
  }
}

void TZipRunner::MakeRoom(int64_t Held) {
  while (!FQueue.empty() && (FQueue.size() >= kQueueLimit || FHeld + Held > kHeldLimit))
    CommitHead();
}

void TZipRunner::DrainQueue() {
  while (!FQueue.empty()) CommitHead();
}

void TZipRunner::DropQueue() {
  FPool.reset();
  FQueue.clear();
  FQueuedNames.clear();
  FHeld = 0;
}

/*
 * A job's outcome becomes what the caller's thread would have made of the
 * file itself: the progress of its blocks, then the entry (local header
 * with the final values, the data) and OnEndZip; or the report of a file
 * that could not be read or was deleted, said as for a streamed file; or,
 * for a file that changed while the worker read it, the streamed attempts
 * that remain.
 */
bool TZipRunner::WriteJobEntry(TQueued& Q) {
  TEntryJob& J = *Q.Job;
  TZipHeaderInfo& E = *Q.Entry;
  FSource = std::move(J.Source);
  FSourceSize = J.Size;
  FSourceInfo = J.Stamp;
  FSourceRead = 0;
  for (const uint32_t N : J.Blocks) SourceProgress(N);
  if (J.Error) std::rethrow_exception(J.Error);
  switch (J.Outcome) {
    case TEntryJob::TOutcome::Failed: {
      std::string Failure = std::move(J.Cause);
      if (J.ReadError && !FileExistsAt(FSource->FileName()))
        Failure = "gone while it was read (" + Failure + ")";
      DeclineEntry(false);
      SkipFile(srFileOpenError, Q.P.N, nullptr, Failure);
      return false;
    }
    case TEntryJob::TOutcome::Changed:
      FSource->Seek(0, soBeginning);
      FSourceRead = 0;
      if (!WriteFileEntry(Q.P.N, E, 1)) return false;
      break;
    case TEntryJob::TOutcome::Written: {
      FEncrypt = !J.Password.empty();
      const uint64_t Header = FEncrypt ? kEncryptionHeaderSize : 0;
      SealFileEntry(E, J.Store, J.Crc, J.Read, J.Data.size() - Header, J.Level);
      WriteLocalHeader(E, false);
      const auto Count = static_cast<int64_t>(J.Data.size());
      if (FOut->Write(J.Data.data(), Count) < Count) throw ENotEnoughRoom();
      std::vector<uint8_t>().swap(J.Data);
      S.PumpMessages();
      CloseSource();
      break;
    }
  }
  EndFileEntry(Q.P.Listed, Q.P.N, E);
  return true;
}

}  // namespace zem
