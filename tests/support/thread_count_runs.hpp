// Decodes an archive on several thread counts and expects every run to agree with the
// one-thread run: result, console lines and each call the sink receives.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "quorvex/decoder.hpp"

namespace quorvex::testing {

// Keeps every call a sink receives, and refuses bytes after `acceptCalls` calls.
class RecordingSink final : public OutputSink {
 public:
  explicit RecordingSink(std::size_t acceptCalls = SIZE_MAX) : acceptCalls_(acceptCalls) {}
  bool append(std::span<const std::uint8_t> bytes) override {
    calls.emplace_back(bytes.begin(), bytes.end());
    return calls.size() <= acceptCalls_;
  }
  std::vector<std::vector<std::uint8_t>> calls;

 private:
  std::size_t acceptCalls_;
};

struct DecodeRun {
  DecodeResult result;
  std::vector<std::vector<std::uint8_t>> calls;
  std::vector<std::string> lines;
  std::vector<std::uint8_t> output() const {
    std::vector<std::uint8_t> all;
    for (const auto& call : calls) all.insert(all.end(), call.begin(), call.end());
    return all;
  }
};

// windowSize 0: the format's window.
inline DecodeRun decodeWith(const std::vector<std::uint8_t>& archive, unsigned threads,
                            std::size_t acceptCalls = SIZE_MAX, std::uint32_t windowSize = 0) {
  DecodeRun run;
  RecordingSink sink(acceptCalls);
  DecodeOptions options;
  options.threads = threads;
  options.windowSize = windowSize;
  options.console = [&run](std::string_view line) { run.lines.emplace_back(line); };
  run.result = decodeArchive(archive, sink, options);
  run.calls = std::move(sink.calls);
  return run;
}

// Decodes with one thread and with each of `counts` and expects the runs to agree in
// everything; returns the one-thread run.
inline DecodeRun expectSameOnEveryThreadCount(const std::vector<std::uint8_t>& archive, const std::string& what,
                                              std::size_t acceptCalls = SIZE_MAX,
                                              const std::vector<unsigned>& counts = {2, 4},
                                              std::uint32_t windowSize = 0) {
  const DecodeRun one = decodeWith(archive, 1, acceptCalls, windowSize);
  for (const unsigned threads : counts) {
    const DecodeRun many = decodeWith(archive, threads, acceptCalls, windowSize);
    SCOPED_TRACE(what + ", " + std::to_string(threads) + " threads");
    EXPECT_EQ(many.result.status, one.result.status);
    EXPECT_EQ(many.result.failedBlock, one.result.failedBlock);
    EXPECT_EQ(many.result.reason, one.result.reason);
    EXPECT_EQ(many.result.outputSize, one.result.outputSize);
    EXPECT_EQ(many.result.completeOutputSize, one.result.completeOutputSize);
    EXPECT_EQ(many.lines, one.lines);
    EXPECT_EQ(many.calls.size(), one.calls.size());
    EXPECT_TRUE(many.calls == one.calls) << "the sink received other bytes";
  }
  return one;
}

}  // namespace quorvex::testing
