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
using quorvex::testing::TestRandom;

constexpr std::size_t kGuard = 64;
constexpr std::size_t kSegment = 32768;

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

TEST(LzRoundTrip, RepositoryData) {
  for (const auto& data : {testing::repositoryText(48 * 1024), testing::ownProgram(48 * 1024)}) {
    LzRoundTrip trip;
    const std::size_t size = trip.add(data);
    trip.verify();
    EXPECT_LT(size, data.size() / 2);
  }
}

TEST(LzRoundTrip, CorpusPrefixes) {
  QUORVEX_SKIP_WITHOUT_CORPUS();
  // Sizes well below what an order-0 coder reaches show that matches and the literal
  // model both work.
  const struct {
    const char* file;
    double ratio;
  } cases[] = {{"text/alice29.txt", 0.40}, {"binary/kppkn.gtb", 0.25}, {"exe/sed-x86_64.elf", 0.50}};
  for (const auto& c : cases) {
    const auto data = prefixOf(corpusFile(c.file), 48 * 1024);
    LzRoundTrip trip;
    const std::size_t size = trip.add(data);
    trip.verify();
    EXPECT_LT(static_cast<double>(size), c.ratio * static_cast<double>(data.size())) << c.file;
  }
}

TEST(LzRoundTrip, EdgeSizedBlocks) {
  // One byte, segment-sized, one past a segment, and incompressible data.
  LzRoundTrip trip;
  trip.add({'x'});
  trip.add(skewedBytes(kSegment, 1));
  trip.add(skewedBytes(kSegment + 1, 2));
  std::vector<std::uint8_t> noise(5000);
  TestRandom random(4);
  for (auto& b : noise) b = static_cast<std::uint8_t>(random.next());
  const std::size_t noisySize = trip.add(noise);
  trip.verify();
  EXPECT_LT(noisySize, noise.size() + noise.size() / 20);
}

TEST(LzRoundTrip, LaterBlocksCopyFromEarlierOnesAndKeepLearning) {
  const auto text = testing::repositoryText(40000);
  const auto a = prefixOf(text, 20000);
  const std::vector<std::uint8_t> b(text.begin() + 20000, text.begin() + 40000);
  LzRoundTrip trip;
  const std::size_t first = trip.add(a);
  const std::size_t second = trip.add(b);
  const std::size_t repeat = trip.add(a);  // the whole block is in the window already
  trip.verify();
  EXPECT_LT(second, first);  // same kind of text, with statistics already learned
  EXPECT_LT(repeat, a.size() / 200);
}

TEST(LzRoundTrip, BlockAfterBytesOfAnotherCodec) {
  // The window starts with bytes another codec produced; the LZ block repeats them.
  const auto html = testing::repositoryText(16000);
  LzRoundTrip trip(html);
  const std::size_t size = trip.add(html);
  trip.verify();
  EXPECT_LT(size, html.size() / 100);
}

}  // namespace
}  // namespace quorvex::lz
