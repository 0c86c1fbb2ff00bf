// The library behind a TDeflater or TInflater: the one interface each
// engine implements. Private to archive/format.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "archive/format/deflate_engine.h"

namespace zem {

class TDeflater::TBackend {
 public:
  virtual ~TBackend() = default;
  // A new raw stream at the backend's own level.
  virtual bool Init(int32_t Level) = 0;
  // One step over the windows, which it advances.
  virtual TDeflater::TStatus Step(const uint8_t*& In, size_t& InLeft, uint8_t*& Out, size_t& OutLeft,
                                  bool Finish) = 0;
  virtual const char* Name() const = 0;
};

class TInflater::TBackend {
 public:
  virtual ~TBackend() = default;
  virtual bool Init() = 0;
  // One step over the windows, which it advances; on a failure Error gets
  // the library's words (without its name).
  virtual TInflater::TStatus Step(const uint8_t*& In, size_t& InLeft, uint8_t*& Out, size_t& OutLeft,
                                  std::string& Error) = 0;
  virtual const char* Name() const = 0;
};

// ISA-L's backends (isal/isal_codec.cpp), or null in a build without it
// (isal/isal_absent.cpp). The deflater takes ISA-L's levels 1 to 3.
bool IsalPresent();
std::unique_ptr<TDeflater::TBackend> MakeIsalDeflater();
std::unique_ptr<TInflater::TBackend> MakeIsalInflater();

}  // namespace zem
