#include "text/word_dictionary.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "support/test_support.hpp"

namespace quorvex::text {
namespace {

std::vector<std::uint8_t> encoded(const std::vector<std::uint8_t>& text) {
  std::vector<std::uint8_t> out(text.size() * 2 + 16);
  out.resize(encodeWords(text.data(), static_cast<std::uint32_t>(text.size()), out.data(), static_cast<std::uint32_t>(out.size())));
  return out;
}

std::vector<std::uint8_t> decoded(const std::vector<std::uint8_t>& coded) {
  std::vector<std::uint8_t> out(coded.size() * 16 + 16);
  out.resize(decodeWords(coded.data(), static_cast<std::uint32_t>(coded.size()), out.data(), static_cast<std::uint32_t>(out.size())));
  return out;
}

TEST(WordDictionary, CorpusRoundTrips) {
  QUORVEX_SKIP_WITHOUT_CORPUS();
  for (const char* name : {"text/alice29.txt", "text/asyoulik.txt", "text/html"}) {
    const auto text = testing::corpusFile(name);
    const auto coded = encoded(text);
    ASSERT_FALSE(coded.empty()) << name;
    EXPECT_EQ(decoded(coded), text) << name;
    std::printf("%s: %zu -> %zu\n", name, text.size(), coded.size());
  }
}

}  // namespace
}  // namespace quorvex::text
