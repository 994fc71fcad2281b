// What the dispatcher appends each block's bytes to: the caller's sink, with the size
// and running hash of everything handed to it (the integrity records check them).
#pragma once

#include <cstdint>
#include <span>

#include "format/integrity.hpp"
#include "quorvex/decoder.hpp"

namespace quorvex {

class DecodedOutput {
 public:
  explicit DecodedOutput(OutputSink& sink) : sink_(sink) {}

  // A sink that refuses bytes is remembered; the record loop stops after the block.
  void append(std::span<const std::uint8_t> bytes) {
    if (failed_) return;
    hash_.update(bytes);
    if (!sink_.append(bytes)) failed_ = true;
  }

  bool failed() const { return failed_; }
  std::uint64_t size() const { return hash_.size(); }
  const OutputHash& hash() const { return hash_; }

 private:
  OutputSink& sink_;
  OutputHash hash_;
  bool failed_ = false;
};

}  // namespace quorvex
