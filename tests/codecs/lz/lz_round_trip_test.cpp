// Round trips: blocks encoded one after another into a growing window, decoded by one
// decoder into a copy of that window.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "codecs/lz/lz_codec.hpp"
#include "support/test_support.hpp"

namespace quorvex::lz {
namespace {

using testing::corpusFile;
using testing::skewedBytes;
using testing::TestRandom;

constexpr std::size_t kGuard = 64;

// Encodes the blocks after whatever `prefix` holds (bytes another codec left in the
// window), then decodes them and checks every byte and the payload sizes.
class LzRoundTrip {
 public:
  explicit LzRoundTrip(std::vector<std::uint8_t> prefix = {}) : window_(prefix) {}

  // Returns the payload size.
  std::size_t add(const std::vector<std::uint8_t>& block) {
    const std::size_t offset = window_.size();
    window_.insert(window_.end(), block.begin(), block.end());
    payloads_.push_back(encoder_.encodeBlock(window_, offset));
    offsets_.push_back(offset);
    return payloads_.back().size();
  }

  void verify() {
    std::vector<std::uint8_t> decoded(kGuard + window_.size(), 0xEE);
    std::fill(decoded.begin(), decoded.begin() + kGuard, 0);
    const std::size_t firstBlock = offsets_.empty() ? window_.size() : offsets_[0];
    std::copy(window_.begin(), window_.begin() + static_cast<std::ptrdiff_t>(firstBlock), decoded.begin() + kGuard);
    std::uint8_t* base = decoded.data() + kGuard;
    for (std::size_t i = 0; i < payloads_.size(); ++i) {
      const std::size_t end = i + 1 < offsets_.size() ? offsets_[i + 1] : window_.size();
      ASSERT_TRUE(decoder_.decodeBlock(payloads_[i], base, base + offsets_[i], static_cast<std::uint32_t>(end - offsets_[i])))
          << "block " << i;
      for (std::size_t k = offsets_[i]; k < end; ++k) {
        ASSERT_EQ(base[k], window_[k]) << "block " << i << " position " << k;
      }
    }
  }

 private:
  std::vector<std::uint8_t> window_;
  std::vector<std::vector<std::uint8_t>> payloads_;
  std::vector<std::size_t> offsets_;
  LzEncoder encoder_;
  LzDecoder decoder_;
};

std::vector<std::uint8_t> prefixOf(const std::vector<std::uint8_t>& bytes, std::size_t n) {
  return {bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(std::min(n, bytes.size()))};
}

TEST(LzRoundTrip, TextCompressesAndRestores) {
  const auto text = prefixOf(corpusFile("text/alice29.txt"), 65536);
  LzRoundTrip trip;
  const std::size_t size = trip.add(text);
  trip.verify();
  EXPECT_LT(size, text.size() * 2 / 5);
}

}  // namespace
}  // namespace quorvex::lz
