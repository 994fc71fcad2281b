// The buffers of one decoding run: the history window and the two work buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "format/buffer_sizes.hpp"
#include "model/huge_pages.hpp"

namespace quorvex {

// Zeroed heap memory. Large zeroed allocations come straight from the system's zero
// pages, so the 700 MB of buffers cost only the pages a run actually touches.
class ZeroedBuffer {
 public:
  ZeroedBuffer() = default;
  // Buffers of a huge page or more start on a huge-page boundary, so that advice for
  // huge pages covers them whole: the slack is address space only, never touched.
  explicit ZeroedBuffer(std::size_t size)
      : bytes_(static_cast<std::uint8_t*>(std::calloc(size + slackFor(size), 1))),
        data_(alignedStart(bytes_.get(), size)),
        size_(bytes_ ? size : 0) {}

  std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }
  explicit operator bool() const { return bytes_ != nullptr; }

 private:
  struct Free {
    void operator()(std::uint8_t* p) const noexcept { std::free(p); }
  };
  static std::size_t slackFor(std::size_t size) { return size >= kHugePageBytes ? kHugePageBytes : 0; }
  static std::uint8_t* alignedStart(std::uint8_t* bytes, std::size_t size) {
    if (bytes == nullptr || slackFor(size) == 0) return bytes;
    const auto address = reinterpret_cast<std::uintptr_t>(bytes);
    return bytes + (alignUp(address, kHugePageBytes) - address);
  }

  std::unique_ptr<std::uint8_t, Free> bytes_;
  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

struct DecodeContext {
  ZeroedBuffer windowStorage;  // the guard bytes, then the window
  ZeroedBuffer workStorageA;
  ZeroedBuffer workStorageB;
  std::uint8_t* historyBase = nullptr;
  std::uint8_t* historyCursor = nullptr;
  std::uint8_t* historyEnd = nullptr;
  std::uint8_t* workA = nullptr;
  std::uint8_t* workB = nullptr;
  unsigned threads = 1;  // threads a codec may use inside one large block
  bool buffersAdvised = false;

  // Allocates every buffer (a window of windowSize bytes, the format's when 0); false
  // when memory runs out.
  bool allocate(std::uint32_t windowSize = 0);

  // Before a block whose codec output is `bytes` long: from the first large block on,
  // the work buffers and the window's first 2 MiB take huge pages too (see
  // adviseHugePagesFor; the sequential decoder learns block sizes only as it goes).
  void adviseBuffersFor(std::uint64_t bytes);

  // Bytes between the cursor and the end of the window.
  std::uint32_t windowRoom() const { return static_cast<std::uint32_t>(historyEnd - historyCursor); }
};

}  // namespace quorvex
