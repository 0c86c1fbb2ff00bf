// The files of a Zip call with more than one thread: the data of small
// files is made ahead by the pool while the caller's thread writes the
// entries, and raises their events, one after the other in list order.
#include <algorithm>

#include "archive/format/crc_crypt.h"
#include "archive/support/path_helpers.h"
#include "archive/writer/zip_runner.h"
#include "platform/winapi.h"

namespace zem {

namespace {

/*
 * What may be made ahead at once. A file up to kAheadFileLimit bytes is
 * made whole in memory by a worker (TEntryJob::HeldFor counts its input
 * and output); a larger one is streamed by the caller's thread when its
 * turn comes, exactly as with one thread, while the workers go on with the
 * files after it. The limit takes in the photos of a camera card (a few
 * MB each), so that they are read, encrypted and checked on the workers
 * while the caller's thread streams a video. The jobs made ahead never
 * hold more than kHeldLimit bytes together, and at most kAheadLimit files
 * (each an open file) are ahead, whatever the card and the thread count:
 * with the fixed buffers of each worker (its deflate stream and two 64 KiB
 * blocks, about 400 KiB) and at most kMaxZipWorkers workers, a Zip call
 * stays inside 64 MB beside the new directory it builds. (Threads itself
 * goes higher for the reader, whose workers hold far less.)
 */
constexpr uint64_t kAheadFileLimit = 8 << 20;
constexpr int64_t kHeldLimit = 40 << 20;
constexpr size_t kAheadLimit = 64;

}  // namespace

/*
 * The order of events stays that of one thread: each entry's OnStartZip,
 * its progress, then its OnEndZip (or the report of a file that failed),
 * before the next entry's first event. What runs ahead is only what
 * raises no event: a small file is opened and its attributes read on this
 * thread, and a worker reads, compresses and encrypts it into memory. When
 * the entry's turn comes, OnStartZip sees the header as with one thread
 * and may skip the entry (the job is dropped) or rename it. The job's
 * result is used only when what it was made with still holds: the level,
 * the password, whether the name (as OnStartZip left it) is in
 * NoCompressList, and the file itself (not written to, still named) after
 * its progress was reported; otherwise the file is streamed as with one
 * thread. So the archive holds the bytes one thread writes (the random
 * bytes of encryption headers aside).
 */
bool TZipRunner::Ahead() const { return Z.Threads() > 1 && !MultiVolume() && !Z.OnEncrypt; }

bool TZipRunner::OpenAhead(size_t Index, TAhead& A) {
  const std::string& Listed = Z.FilesList()[Index];
  if (Listed.empty() || Listed.back() == '\\') return false;
  // Only a plain file that opens without following a link, and that can be
  // looked at, goes ahead; anything else waits for its turn.
  std::unique_ptr<TLFNFileStream> Source;
  try {
    Source = std::make_unique<TLFNFileStream>(Listed, fmOpenRead | fmShareDenyNone | fmOpenNoFollow,
                                              false, 8192);
  } catch (const EFOpenError&) {
    return false;
  }
  if (!platform::GetOpenFileStatus(Source->Handle(), Listed, A.Status, &Source->OpenedStatus()))
    return false;
  const int64_t Size = A.Status.Info.Size;
  if (Size < 0 || static_cast<uint64_t>(Size) > kAheadFileLimit) return false;
  auto Job = std::make_shared<TEntryJob>();
  Job->Stamp = A.Status.Info;
  A.Index = Index;
  Job->Source = std::move(Source);
  Job->Size = static_cast<uint64_t>(Size);
  Job->Level = Z.PackLevel();
  // The name as it is stored unless OnStartZip changes it; checked again
  // when the entry is admitted.
  Job->Store = Job->Level == 0 ||
               MatchesPatternList(Z.NoCompressList(), EntryNameAsRead(FilePart(Listed)));
  Job->Password = Z.Password();
  if (!Job->Password.empty()) Job->Seed = EncryptionHeaderSeed();
  A.Held = TEntryJob::HeldFor(Job->Size);
  A.Job = std::move(Job);
  return true;
}

void TZipRunner::FillAhead(size_t Index) {
  const size_t Count = Z.FilesList().size();
  // Topped up in batches, so that a worker that caught up is woken once
  // per batch rather than once per file.
  if (FNextAhead > Index + kAheadLimit / 2) return;
  FNextAhead = std::max(FNextAhead, Index);
  std::vector<std::shared_ptr<TEntryJob>> Batch;
  while (FNextAhead < Count && FNextAhead < Index + kAheadLimit &&
         FHeld + TEntryJob::HeldFor(kAheadFileLimit) <= kHeldLimit) {
    TAhead A;
    if (OpenAhead(FNextAhead++, A)) {
      FHeld += A.Held;
      Batch.push_back(A.Job);
      FAhead.push_back(std::move(A));
    }
  }
  FPool->Submit(std::move(Batch));
}

void TZipRunner::AddFileAhead(size_t Index) {
  FillAhead(Index);
  TAhead Made;
  const bool HasMade = !FAhead.empty() && FAhead.front().Index == Index;
  if (HasMade) {
    Made = std::move(FAhead.front());
    FAhead.pop_front();
  }
  const std::string& Name = Z.FilesList()[Index];
  auto E = std::make_unique<TZipHeaderInfo>();
  E->SetOEMConvert(Z.OEMConvert());
  TPrepared P;
  bool Written = false;
  try {
    if (PrepareEntry(Name, *E, P, HasMade ? &Made : nullptr))
      Written = HasMade ? WriteAheadEntry(Made, P, *E) : WritePrepared(P, *E);
  } catch (...) {
    if (HasMade) FPool->Cancel(*Made.Job);
    throw;
  }
  if (HasMade) {
    FPool->Cancel(*Made.Job);  // declined before its data was needed
    FHeld -= Made.Held;
  }
  if (!Written) return;
  AddEntry(std::move(E));
  ++FResult;
  if (Z.Dispose()) FDisposeList.push_back(Name);
}

void TZipRunner::DropAhead() {
  FPool.reset();
  FAhead.clear();
  FNextAhead = 0;
  FHeld = 0;
}

/*
 * A job's outcome becomes what this thread would have made of the file
 * itself: the progress of its blocks, then the entry (the local header
 * with the final values, the data) and OnEndZip; or the report of a file
 * that could not be read or was deleted, said as for a streamed file; or,
 * when the job's data cannot be used, the file streamed with the attempts
 * that remain.
 */
bool TZipRunner::WriteAheadEntry(TAhead& A, const TPrepared& P, TZipHeaderInfo& E) {
  TEntryJob& J = *A.Job;
  FPool->Finish(J, *FCoder);
  FSource = std::move(J.Source);
  FSourceSize = J.Size;
  FSourceInfo = J.Stamp;
  FSourceRead = 0;
  const int32_t Level = Z.PackLevel();
  const bool Store = Level == 0 || MatchesPatternList(Z.NoCompressList(), E.FileName());
  const bool Usable = J.Level == Level && J.Store == Store && J.Password == Z.Password();
  int FirstAttempt = 0;
  if (Usable) {
    for (const uint32_t N : J.Blocks) SourceProgress(N);
    if (J.Error) std::rethrow_exception(J.Error);
    if (J.Outcome == TEntryJob::TOutcome::Failed) {
      if (TakeReplacedSource(P, E)) return StreamAheadEntry(J, P, E, 0);
      std::string Failure = std::move(J.Cause);
      if (J.ReadError && !FileExistsAt(FSource->FileName()))
        Failure = "gone while it was read (" + Failure + ")";
      DeclineEntry(false);
      SkipFile(srFileOpenError, P.N, nullptr, Failure);
      return false;
    }
    if (J.Outcome == TEntryJob::TOutcome::Written) {
      // The file as it is now, after its progress handlers ran.
      platform::TFileInfo Now;
      const bool Looked = platform::GetFileInfo(FSource->Handle(), Now);
      if (Looked && Now.Links == 0) {
        if (TakeReplacedSource(P, E)) return StreamAheadEntry(J, P, E, 0);
        DeclineEntry(false);
        SkipFile(srFileOpenError, P.N, nullptr, "deleted while it was read");
        return false;
      }
      if (Looked && Now.Unchanged(J.Stamp)) {
        FEncrypt = !J.Password.empty();
        const uint64_t Header = FEncrypt ? kEncryptionHeaderSize : 0;
        SealFileEntry(E, J.Stored, J.Crc, J.Read, J.Data.size() - Header, J.Level);
        WriteLocalHeader(E, false);
        const auto Count = static_cast<int64_t>(J.Data.size());
        if (FOut->Write(J.Data.data(), Count) < Count) throw ENotEnoughRoom();
        std::vector<uint8_t>().swap(J.Data);
        S.PumpMessages();
        CloseSource();
        EndFileEntry(P.Listed, P.N, E);
        return true;
      }
    }
    FirstAttempt = 1;  // the attempt the job made counts
  }
  if (TakeReplacedSource(P, E)) FirstAttempt = 0;
  return StreamAheadEntry(J, P, E, FirstAttempt);
}

bool TZipRunner::StreamAheadEntry(TEntryJob& J, const TPrepared& P, TZipHeaderInfo& E, int FirstAttempt) {
  std::vector<uint8_t>().swap(J.Data);
  FSource->Seek(0, soBeginning);
  FSourceRead = 0;
  if (!WriteFileEntry(P.N, E, FirstAttempt)) return false;
  EndFileEntry(P.Listed, P.N, E);
  return true;
}

/*
 * A file replaced under its name after it was opened ahead (saved anew by
 * an editor, a camera rewriting its index): the name now leads to another
 * file, the one a single thread would have opened at the entry's turn. It
 * is taken instead, its size, date and attributes with it. False when the
 * file opened ahead is still named, or nothing that opens without
 * following a link is at the name now.
 */
bool TZipRunner::TakeReplacedSource(const TPrepared& P, TZipHeaderInfo& E) {
  platform::TFileInfo Now;
  if (!platform::GetFileInfo(FSource->Handle(), Now) || Now.Links != 0) return false;
  std::unique_ptr<TLFNFileStream> Old = std::move(FSource);
  platform::TOpenFileStatus Status;
  if (!OpenSourceNoFollow(P.Listed) ||
      !platform::GetOpenFileStatus(FSource->Handle(), P.Listed, Status, &FSource->OpenedStatus())) {
    FSource = std::move(Old);
    return false;
  }
  const uint64_t Before = FSourceSize;
  TakeSourceInfo(E, &Status);
  S.TotalBytes() += static_cast<int64_t>(FSourceSize) - static_cast<int64_t>(Before);
  return true;
}

}  // namespace zem
