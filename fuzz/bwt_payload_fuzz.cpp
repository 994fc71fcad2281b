// Feeds arbitrary bytes to the BWT payload decoder (with a room chosen by the first two
// bytes), and round-trips them through the encoder as a transformed block.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codecs/bwt/bwt_payload.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quorvex::bwt;
  if (size < 2 || size > (1u << 20)) return 0;
  const std::uint32_t room = 4u * (data[0] | (std::uint32_t{data[1]} << 8));
  const std::uint32_t packedSize = static_cast<std::uint32_t>(size - 2);
  const std::uint32_t capacity = room > packedSize ? room : packedSize;
  // Exactly capacity bytes, so that the sanitizer sees any step past the room.
  std::vector<std::uint8_t> buffer(capacity == 0 ? 1 : capacity);
  std::memcpy(buffer.data(), data + 2, packedSize);
  const std::uint32_t decoded = decodeBwtPayload(buffer.data(), packedSize, capacity, nullptr);
  if (decoded > capacity) std::abort();

  const std::vector<std::uint8_t> block(data + 2, data + size);
  const std::vector<std::uint8_t> payload = encodeBwtPayload(block);
  std::vector<std::uint8_t> work(payload.size() + 3 * block.size() + 1);
  std::memcpy(work.data(), payload.data(), payload.size());
  const std::uint32_t length = decodeBwtPayload(work.data(), static_cast<std::uint32_t>(payload.size()),
                                                static_cast<std::uint32_t>(work.size()), nullptr);
  if (length != block.size()) std::abort();
  if (!block.empty() && std::memcmp(work.data(), block.data(), block.size()) != 0) std::abort();
  return 0;
}
