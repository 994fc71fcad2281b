// The decoder's contract: golden payloads, block boundaries, the partial reset, and
// hostile parameters and payloads.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <vector>

#include "codecs/cm/cm_codec.hpp"
#include "codecs/cm/cm_model.hpp"
#include "support/test_support.hpp"

namespace quorvex::cm {
namespace {

using quorvex::testing::repositoryText;
using quorvex::testing::readFile;
using quorvex::testing::writeFile;

const std::filesystem::path kGoldenDir = std::filesystem::path(__FILE__).parent_path() / "golden";

std::vector<std::uint8_t> decode(CmDecoder& decoder, const std::vector<std::uint8_t>& payload, std::size_t size) {
  std::vector<std::uint8_t> out(size, 0x5A);
  decodeCmBlock(decoder, payload, out.data(), static_cast<std::uint32_t>(size));
  return out;
}

std::vector<std::uint8_t> prefix(const std::vector<std::uint8_t>& bytes, std::size_t size) {
  return {bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(std::min(size, bytes.size()))};
}

// Golden payloads, made once by the encoder: three blocks (the second with codecKind 1)
// with tableBitsA 22, tableBitsB 20 and a 64 KiB window. A change that alters them is a
// change of the format. Set QUORVEX_REGENERATE_CM_GOLDEN=1 to write them anew.
constexpr std::uint32_t kGoldenBlockSizes[] = {3000, 2500, 2692};

TEST(CmGolden, DecodesTheCommittedPayloads) {
  const std::vector<std::uint8_t> input = readFile(kGoldenDir / "mixed.bin");
  ASSERT_EQ(input.size(), 8192u);
  if (std::getenv("QUORVEX_REGENERATE_CM_GOLDEN") != nullptr) {
    CmEncoderPtr encoder = createCmEncoder(22, 20, 65536);
    std::size_t offset = 0;
    for (std::size_t i = 0; i < 3; ++i) {
      if (i == 1) resetCmAdaptation(*encoder);
      const std::span<const std::uint8_t> block(input.data() + offset, kGoldenBlockSizes[i]);
      writeFile(kGoldenDir / ("mixed.block" + std::to_string(i) + ".cm"), encodeCmBlock(*encoder, block));
      offset += kGoldenBlockSizes[i];
    }
  }
  CmDecoderPtr decoder = createCmDecoder(22, 20, 65536);
  CmEncoderPtr encoder = createCmEncoder(22, 20, 65536);
  ASSERT_TRUE(decoder && encoder);
  std::size_t offset = 0;
  for (std::size_t i = 0; i < 3; ++i) {
    const std::vector<std::uint8_t> payload = readFile(kGoldenDir / ("mixed.block" + std::to_string(i) + ".cm"));
    ASSERT_FALSE(payload.empty());
    if (i == 1) {
      resetCmAdaptation(*decoder);
      resetCmAdaptation(*encoder);
    }
    const std::vector<std::uint8_t> expected(input.begin() + static_cast<std::ptrdiff_t>(offset),
                                             input.begin() + static_cast<std::ptrdiff_t>(offset + kGoldenBlockSizes[i]));
    EXPECT_EQ(decode(*decoder, payload, kGoldenBlockSizes[i]), expected) << "block " << i;
    EXPECT_EQ(encodeCmBlock(*encoder, expected), payload) << "block " << i;
    offset += kGoldenBlockSizes[i];
  }
}

TEST(CmDecoder, BlockBoundariesKeepTheModel) {
  const auto text = repositoryText(12000);
  CmEncoderPtr encoder = createCmEncoder(20, 18, 65536);
  const std::span<const std::uint8_t> all(text);
  const auto first = encodeCmBlock(*encoder, all.first(5000));
  const auto second = encodeCmBlock(*encoder, all.subspan(5000));

  // A block of 0 bytes reads nothing and leaves the model as it was, whatever its payload.
  CmDecoderPtr decoder = createCmDecoder(20, 18, 65536);
  decodeCmBlock(*decoder, std::vector<std::uint8_t>{1, 2, 3, 4, 5}, nullptr, 0);
  EXPECT_EQ(decode(*decoder, first, 5000), prefix(text, 5000));
  decodeCmBlock(*decoder, first, nullptr, 0);
  // The second block starts with the model (and the pending probability) the first left.
  EXPECT_EQ(decode(*decoder, second, 7000), std::vector<std::uint8_t>(text.begin() + 5000, text.end()));

  // A fresh model cannot read the second block.
  CmDecoderPtr fresh = createCmDecoder(20, 18, 65536);
  EXPECT_NE(decode(*fresh, second, 7000), std::vector<std::uint8_t>(text.begin() + 5000, text.end()));
}

TEST(CmDecoder, ShortPayloadsReadAsZeroPadded) {
  for (const std::vector<std::uint8_t>& payload :
       {std::vector<std::uint8_t>{}, std::vector<std::uint8_t>{0x9C}, std::vector<std::uint8_t>{0x12, 0xF0, 0x07}}) {
    std::vector<std::uint8_t> padded = payload;
    padded.resize(16, 0);
    CmDecoderPtr a = createCmDecoder(20, 18, 65536);
    CmDecoderPtr b = createCmDecoder(20, 18, 65536);
    EXPECT_EQ(decode(*a, payload, 300), decode(*b, padded, 300));
  }
}

TEST(CmDecoder, PartialResetTouchesOnlyTheRefinementStages) {
  auto model = CmModel::create(20, 18, 65536);
  ASSERT_TRUE(model);
  const auto text = repositoryText(3000);
  for (std::uint8_t byte : text) {
    for (std::uint32_t k = 8; k-- > 0;) model->update((byte >> k) & 1);
  }
  auto fresh = CmModel::create(20, 18, 65536);
  const std::uint32_t p = model->p();
  const std::int16_t weight = model->mixer().weight(model->mixer().selectedSet(), 2);
  const std::uint32_t matchLength = model->matchModel().matchLength();
  bool learned = false;
  for (std::uint32_t i = 0; i < ApmTable::kRows * ApmTable::kColumns; ++i) learned |= model->apm()[i] != fresh->apm()[i];
  ASSERT_TRUE(learned);

  model->resetAdaptation();
  for (std::uint32_t i = 0; i < ApmTable::kRows * ApmTable::kColumns; ++i) {
    ASSERT_EQ(model->apm()[i], fresh->apm()[i]) << i;
  }
  EXPECT_EQ(model->apm().pendingIndex(), 0u);
  for (std::uint32_t pair = 0; pair < FinalMixer::kPairs; ++pair) {
    ASSERT_EQ(model->finalMixer().weight(pair, 0), 0);
    ASSERT_EQ(model->finalMixer().weight(pair, 1), 0x800000);
  }
  EXPECT_EQ(model->finalMixer().pendingPair(), 0u);
  // Everything else stays: the pending probability, the mixer, the match model.
  EXPECT_EQ(model->p(), p);
  EXPECT_EQ(model->mixer().weight(model->mixer().selectedSet(), 2), weight);
  EXPECT_EQ(model->matchModel().matchLength(), matchLength);
  EXPECT_NE(weight, 0);
}

TEST(CmDecoder, FreshModelPredictsOneHalf) {
  auto model = CmModel::create(20, 18, 65536);
  ASSERT_TRUE(model);
  EXPECT_EQ(model->p(), 2048u);
  EXPECT_EQ(model->contexts().modelSet(), 0u);
}

TEST(CmDecoder, HostileParameters) {
  // No window, or a window too small to hold the start position.
  EXPECT_EQ(createCmDecoder(20, 18, 0), nullptr);
  EXPECT_EQ(createCmDecoder(20, 18, 1), nullptr);
  EXPECT_EQ(createCmEncoder(20, 18, 0), nullptr);
  EXPECT_NE(cmParamsRejection(20, 18, 0), nullptr);
  // The largest record values: tables far beyond the memory limit are refused.
  EXPECT_EQ(createCmDecoder(35, 33, 4160749568u), nullptr);
  EXPECT_EQ(createCmDecoder(31, 18, 4160749568u), nullptr);
  EXPECT_EQ(createCmDecoder(20, 31, 65536), nullptr);  // 8 GiB of match hash entries
  EXPECT_NE(cmParamsRejection(20, 31, 65536), nullptr);
  EXPECT_NE(cmParamsRejection(35, 33, 4160749568u), nullptr);  // a 4 GB window
  EXPECT_EQ(cmParamsRejection(31, 27, 65536), nullptr);       // 2 GiB + 512 MiB and the rest: inside
  EXPECT_EQ(cmParamsRejection(20, 18, 2147483648u), nullptr);  // a 2 GiB window: inside
  EXPECT_NE(cmParamsRejection(31, 29, 65536), nullptr);
  // Bit counts of 32 and more wrap to tiny tables; those decoders are valid.
  EXPECT_EQ(cmParamsRejection(35, 33, 65536), nullptr);
  EXPECT_NE(createCmDecoder(32, 32, 65536), nullptr);
  EXPECT_NE(createCmDecoder(0, 0, 2), nullptr);
}

TEST(CmDecoder, GarbagePayloadsDecodeWithoutHarm) {
  quorvex::testing::TestRandom random(5);
  for (const auto& [bitsA, bitsB, history] : {std::tuple{0u, 0u, 2u}, std::tuple{33u, 32u, 300u}, std::tuple{20u, 18u, 65536u}}) {
    CmDecoderPtr decoder = createCmDecoder(bitsA, bitsB, history);
    ASSERT_NE(decoder, nullptr);
    for (std::size_t size : {0u, 3u, 64u, 700u}) {
      std::vector<std::uint8_t> payload(size);
      for (auto& byte : payload) byte = static_cast<std::uint8_t>(random.next());
      const auto out = decode(*decoder, payload, 3000);
      EXPECT_EQ(out.size(), 3000u);
    }
    std::vector<std::uint8_t> ones(100, 0xFF);
    decode(*decoder, ones, 2000);
  }
}

}  // namespace
}  // namespace quorvex::cm
