// The decompression engine: reads one entry's compressed bytes block by
// block (continuing on the next disk of a multi-disk archive), decrypts
// them, runs the method's decoder and writes the result with CRC and
// progress accounting.
#include "archive/reader/decompress_engine.h"

#include <algorithm>
#include <cstring>

#include "archive/reader/arc_messages.h"
#include "archive/support/path_helpers.h"

namespace zem {

namespace {

// The notice for an implode table that did not fit (identifier 193).
constexpr int kNoMemoryMessageId = 193;
const char* const kNoMemoryText = "*** inflate out of memory ***";
const char* const kNoMemoryCaption = "Error";

// What each decoder's failure means, for the entry's reason.
std::string DecodeFailure(TDecodeResult Result, const char* Method) {
  switch (Result) {
    case TDecodeResult::drInputEnded: return Format("the %s data ends before it is complete", Method);
    case TDecodeResult::drNoMemory: return Format("the %s tables do not fit", Method);
    default: return Format("invalid %s data", Method);
  }
}

}  // namespace

void ShowNoMemoryNotice(TArcUnZip& Zip) {
  Zip.DoHandleMessage(kNoMemoryMessageId, kNoMemoryText, kNoMemoryCaption, 0);
}

bool MethodIsSupported(uint16_t Method) { return Method <= 6 || Method == 8; }

std::string UnsupportedMethodText(uint16_t Method) {
  const char* Name = nullptr;
  switch (Method) {
    case 7: Name = "tokenizing"; break;
    case 9: Name = "Deflate64"; break;
    case 10: Name = "PKWARE DCL implode"; break;
    case 12: Name = "BZIP2"; break;
    case 14: Name = "LZMA"; break;
    case 16: Name = "IBM z/OS CMPSC"; break;
    case 18: Name = "IBM TERSE"; break;
    case 19: Name = "IBM LZ77"; break;
    case 20: case 93: Name = "Zstandard"; break;
    case 94: Name = "MP3"; break;
    case 95: Name = "XZ"; break;
    case 96: Name = "JPEG"; break;
    case 97: Name = "WavPack"; break;
    case 98: Name = "PPMd"; break;
    case 99: Name = "AES"; break;
    default: break;
  }
  std::string Text = "unsupported compression method " + std::to_string(Method);
  if (Name != nullptr) Text += std::string(" (") + Name + ")";
  return Text;
}

void TArcUnZip::TUnzipRunDeleter::operator()(TUnzipRun* Run) const { delete Run; }

/*
 * Reading entry data. A single-disk archive that ends before Count bytes
 * ends the run ("Premature end of file reached"). A multi-disk archive goes
 * on with the next disk as long as there is one: a request beyond the last
 * disk of the set cannot be satisfied, so it is treated as the early end it
 * is rather than as a prompt for a disk that does not exist.
 */
void TArcUnZip::ReadEntryData(uint8_t* Buffer, int64_t Count) {
  int64_t Got = std::max<int64_t>(FArchive->Read(Buffer, Count), 0);
  if (Got < Count && FEndRecord->NumberOfThisDisk() == 0)
    throw EFatalUnzipError(LoadZipStr(zsPrematureEnd));
  while (Got < Count) {
    if (FCurrentDisk + 1 >= FDiskCount) throw EFatalUnzipError(LoadZipStr(zsPrematureEnd));
    TStream* S = OpenDisk(FCurrentDisk + 2);
    Got += std::max<int64_t>(S->Read(Buffer + Got, Count - Got), 0);
  }
}

// A worker reads from its own handle on the archive (single-disk archives
// only), where an early end is the same fatal error.
void TArcUnZip::ReadLaneBlock(TStream& Input, uint8_t* Buffer, int64_t Count) {
  if (std::max<int64_t>(Input.Read(Buffer, Count), 0) < Count) throw EFatalUnzipError(LoadZipStr(zsPrematureEnd));
}

size_t TArcUnZip::NextBlock(TUnzipRun& R, const uint8_t*& Data) {
  if (R.Remaining <= 0) return 0;
  if (!R.Archive) PumpMessages();
  const int64_t N = std::min<int64_t>(static_cast<int64_t>(TUnzipRun::kBlockSize), R.Remaining);
  R.Remaining -= N;
  R.Entry->SetCompressedSize(static_cast<uint64_t>(R.Remaining));
  if (R.Ready) {
    Data = R.Ready;
    R.Ready += N;
    return static_cast<size_t>(N);
  }
  uint8_t* Buf = R.Input.get();
  if (R.Archive)
    ReadLaneBlock(*R.Archive, Buf, N);
  else
    ReadEntryData(Buf, N);
  if (R.Encrypted) {
    if (!R.Archive && OnDecrypt)
      OnDecrypt(this, Buf, static_cast<int32_t>(N), FPassword);
    else
      R.Crypt->DecryptBuffer(Buf, static_cast<size_t>(N));
  }
  Data = Buf;
  return static_cast<size_t>(N);
}

void TArcUnZip::FlushOutput(TUnzipRun& R, const uint8_t* Data, size_t N) {
  if (N == 0) return;
  const uint64_t Size = R.Entry->UncompressedSize();
  if (static_cast<uint64_t>(R.Written) + N > Size)
    throw EBiggerThanUncompressed(LoadZipStr(zsBiggerThanUncompressed));
  if (R.Out->Write(Data, static_cast<int64_t>(N)) != static_cast<int64_t>(N))
    throw ECantWriteUCF(LoadZipStr(zsCantWriteUCF));
  R.Crypt->UpdateCrcBuffer(Data, N);
  R.Written += static_cast<int64_t>(N);
  if (R.Job)
    LogProgress(*R.Job, N);
  else
    ReportProgress(R.Written, Size, N);
}

void TArcUnZip::ReportProgress(int64_t Written, uint64_t Size, size_t N) {
  if (OnFilePercentDone) OnFilePercentDone(this, PercentDone(Written, static_cast<int64_t>(Size)));
  if (OnTotalPercentDone) {
    FBytesDone += static_cast<int64_t>(N);
    OnTotalPercentDone(this, PercentDone(FBytesDone, FTotalBytes));
  }
}

/*
 * Method dispatch. The decoders take the compressed bytes through a block
 * source and hand back decoded bytes through a sink; both are thin
 * adapters over NextBlock and FlushOutput, so decryption, disk changes,
 * the message pump, the size check and the CRC happen once per block for
 * every method. Stored data does not go through a decoder: it is read
 * straight into the output buffer and decrypted there.
 *
 * How a decoder's verdict is taken: data that ends too early or is corrupt
 * fails the entry even when the bytes produced so far happen to carry the
 * stored CRC, and so does output shorter than the declared size (longer
 * output is stopped at the sink). The inflate engine's own message is kept as
 * the reason, after the engine's name.
 */
bool TArcUnZip::Decompress(TUnzipRun& R, TStream& Out) {
  TZipHeaderInfo& W = *R.Entry;
  R.Out = &Out;
  R.Written = 0;
  R.Encrypted = W.Encrypted();
  R.Remaining = W.CompressedSize() > static_cast<uint64_t>(INT64_MAX)
                    ? INT64_MAX
                    : static_cast<int64_t>(W.CompressedSize());

  struct TSource : TDecodeSource {
    TArcUnZip* Zip;
    TUnzipRun& Lane;
    TSource(TArcUnZip* Z, TUnzipRun& L) : Zip(Z), Lane(L) {}
    size_t NextBlock(const uint8_t*& Data) override { return Zip->NextBlock(Lane, Data); }
  } Source(this, R);
  struct TSink : TDecodeSink {
    TArcUnZip* Zip;
    TUnzipRun& Lane;
    TSink(TArcUnZip* Z, TUnzipRun& L) : Zip(Z), Lane(L) {}
    void Put(const uint8_t* Data, size_t Count) override { Zip->FlushOutput(Lane, Data, Count); }
  } Sink(this, R);

  const uint16_t Method = W.CompressionMethod();
  const uint64_t Size = W.UncompressedSize();
  const uint64_t Packed = W.CompressedSize();
  TDecodeResult Result = TDecodeResult::drOk;
  const char* Name = "";
  switch (Method) {
    case 0: {
      uint8_t* Buf = R.Output.get();
      while (R.Remaining > 0) {
        if (!R.Archive) PumpMessages();
        const int64_t N = std::min<int64_t>(static_cast<int64_t>(TUnzipRun::kBlockSize), R.Remaining);
        R.Remaining -= N;
        W.SetCompressedSize(static_cast<uint64_t>(R.Remaining));
        if (R.Ready) {
          FlushOutput(R, R.Ready, static_cast<size_t>(N));
          R.Ready += N;
          continue;
        }
        if (R.Archive)
          ReadLaneBlock(*R.Archive, Buf, N);
        else
          ReadEntryData(Buf, N);
        // (An encrypted entry gets here only after its password passed.)
        if (R.Encrypted) R.Crypt->DecryptBuffer(Buf, static_cast<size_t>(N));
        FlushOutput(R, Buf, static_cast<size_t>(N));
      }
      break;
    }
    case 1:
      Name = "shrunk";
      if (!R.Shrink) R.Shrink = std::make_unique<TShrinkDecoder>();
      Result = R.Shrink->Decode(Source, Sink);
      break;
    case 2:
    case 3:
    case 4:
    case 5:
      Name = "reduced";
      if (!R.Reduce) R.Reduce = std::make_unique<TReduceDecoder>();
      Result = R.Reduce->Decode(Source, Sink, Method - 1, Size);
      break;
    case 6:
      Name = "imploded";
      if (!R.Implode) R.Implode = std::make_unique<TImplodeDecoder>();
      Result = R.Implode->Decode(Source, Sink, W.Flags(), Packed, Size);
      if (Result == TDecodeResult::drNoMemory) {
        if (R.Archive)
          R.NoMemoryNotice = true;
        else
          ShowNoMemoryNotice(*this);
      }
      break;
    case 8:
      if (!R.Inflate) R.Inflate = std::make_unique<TInflateDecoder>(FDeflateEngine);
      Result = R.Inflate->Decode(Source, Sink);
      if (Result == TDecodeResult::drBadData || Result == TDecodeResult::drNoMemory) {
        *R.Error = "invalid deflated data (" + R.Inflate->ErrorText() + ")";
        return false;
      }
      Name = "deflated";
      break;
    default:
      *R.Error = UnsupportedMethodText(Method);
      return false;
  }
  if (Result != TDecodeResult::drOk) {
    *R.Error = DecodeFailure(Result, Name);
    return false;
  }
  return SizeMatches(R);
}

bool TArcUnZip::SizeMatches(TUnzipRun& R) {
  const uint64_t Size = R.Entry->UncompressedSize();
  if (static_cast<uint64_t>(R.Written) == Size) return true;
  *R.Error = Format("size mismatch: the data gives %lld bytes, %llu declared", static_cast<long long>(R.Written),
                    static_cast<unsigned long long>(Size));
  return false;
}

}  // namespace zem
