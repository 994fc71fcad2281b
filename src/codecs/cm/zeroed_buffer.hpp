// Large zero-filled tables of the context-mixing codec.
//
// The tables are allocated once per model. Large ones are fresh zero pages from the
// system, so a big hash table costs address space, and memory only as coding touches
// it, and all of it goes back when the model goes. Allocation failure leaves the buffer empty instead of throwing.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quorvex::cm {

class ZeroedBuffer {
 public:
  ZeroedBuffer() = default;
  ~ZeroedBuffer();
  ZeroedBuffer(const ZeroedBuffer&) = delete;
  ZeroedBuffer& operator=(const ZeroedBuffer&) = delete;

  // Allocates `size` zero bytes starting on an `alignment` boundary (a power of two);
  // false when the memory is not available.
  bool allocate(std::size_t size, std::size_t alignment = 16);

  std::uint8_t* bytes() const { return aligned_; }
  std::size_t size() const { return size_; }

  // Asks for huge pages over the whole 2 MiB blocks inside the buffer. Purely a hint.
  // Random accesses then miss the TLB far less, but every first touch commits and
  // zeroes 2 MiB: worth it only once decoding has touched most of the buffer's pages.
  void adviseHugePages();

 private:
  void release();

  void* block_ = nullptr;
  std::size_t mapped_ = 0;  // bytes mapped from the system at block_; 0: from calloc
  std::uint8_t* aligned_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace quorvex::cm
