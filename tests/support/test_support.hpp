// Helpers shared by the test programs: corpus files and deterministic random data.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace quorvex::testing {

// True when the shared corpus stands beside this checkout (it does in CI, not in a
// user's fresh clone).
bool corpusAvailable();

// Skips the calling test, saying why, when the corpus is absent.
#define QUORVEX_SKIP_WITHOUT_CORPUS()                                                    \
  if (!::quorvex::testing::corpusAvailable())                                            \
  GTEST_SKIP() << "the shared corpus is not beside this checkout (" QUORVEX_CORPUS_DIR ")"

// The bytes of a file of the shared corpus, e.g. corpusFile("text/alice29.txt").
std::vector<std::uint8_t> corpusFile(const std::string& relativePath);

// Every corpus file path, relative to the corpus folder, sorted; none when it is absent.
std::vector<std::string> corpusFiles();

// Data every checkout holds, for round trips that must run without the corpus:
// the repository's own sources as text (the first `size` bytes of src/ and include/,
// files in path order), and the running test program itself as x86 code.
std::vector<std::uint8_t> repositoryText(std::size_t size);
std::vector<std::uint8_t> ownProgram(std::size_t size);

std::vector<std::uint8_t> readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes);

// A fresh, empty folder under the system's temporary folder, named after `name` and
// this process, and removed with everything in it when it goes (also when an
// assertion ends the test early).
class TemporaryFolder {
 public:
  explicit TemporaryFolder(const std::string& name);
  ~TemporaryFolder();
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// A small, fast, reproducible generator (xorshift-style) for test data.
class TestRandom {
 public:
  explicit TestRandom(std::uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 1) {}
  std::uint32_t next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 7;
    state_ ^= state_ << 17;
    return static_cast<std::uint32_t>(state_ >> 16);
  }
  std::uint32_t below(std::uint32_t n) { return n == 0 ? 0 : next() % n; }

 private:
  std::uint64_t state_;
};

// Bytes drawn from a skewed alphabet with runs: compressible, but not trivially.
std::vector<std::uint8_t> skewedBytes(std::size_t size, std::uint64_t seed);

}  // namespace quorvex::testing
