// Zip archive records, all in one include: the constants and signatures,
// the entry record (TZipHeaderInfo), the local header reader, the end
// records (TEndCentral) and the entry list (TSortedZip). All multi-byte
// values on disk are little-endian (archive/format/byte_codec.h).
#pragma once

#include "archive/format/local_header.h"
#include "archive/format/zip_end.h"
#include "archive/format/zip_entry.h"
#include "archive/format/zip_signatures.h"
#include "archive/format/zip_sorted.h"
