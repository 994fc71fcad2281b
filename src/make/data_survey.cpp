#include "make/data_survey.hpp"

#include <array>
#include <cmath>

#include "stages/strided_delta.hpp"

namespace quorvex {
namespace {

using Histogram = std::array<std::uint32_t, 256>;

// Text: almost no control bytes besides tab and line ends, and mostly printable ASCII
// (the rest may be the high bytes of UTF-8 or a single-byte code page).
constexpr double kTextMostControl = 0.005;
constexpr double kTextLeastAscii = 0.75;
// Code: x86 calls and jumps (0xE8, 0xE9) whose 32-bit displacement reaches less than
// 16 MiB either way, so that its high byte is 0x00 or 0xFF. Code has 10 to 40 of them
// per KiB; other data has a few per 100 KiB.
constexpr double kCodeLeastBranchesPerKiB = 4.0;
// Records: at least half the bytes lie in regions the strided delta stage would take.
constexpr double kRecordsLeastCovered = 0.5;
// Incompressible: an order-0 entropy this close to 8 bits a byte.
constexpr double kIncompressibleLeastBits = 7.95;

double entropyBitsPerByte(const Histogram& histogram, std::size_t total) {
  double bits = 0;
  for (const std::uint32_t count : histogram) {
    if (count != 0) bits -= count * std::log2(static_cast<double>(count) / static_cast<double>(total));
  }
  return bits / static_cast<double>(total);
}

bool looksLikeText(const Histogram& histogram, std::size_t total) {
  std::size_t control = histogram[0x7F];
  for (std::uint32_t byte = 0; byte < 0x20; ++byte) {
    if (byte != '\t' && byte != '\n' && byte != '\r') control += histogram[byte];
  }
  std::size_t ascii = histogram['\t'] + histogram['\n'] + histogram['\r'];
  for (std::uint32_t byte = 0x20; byte < 0x7F; ++byte) ascii += histogram[byte];
  const double n = static_cast<double>(total);
  return static_cast<double>(control) <= kTextMostControl * n && static_cast<double>(ascii) >= kTextLeastAscii * n;
}

bool looksLikeCode(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < 5) return false;
  std::size_t branches = 0;
  for (std::size_t k = 0; k + 5 <= bytes.size(); ++k) {
    if ((bytes[k] == 0xE8 || bytes[k] == 0xE9) && (bytes[k + 4] == 0x00 || bytes[k + 4] == 0xFF)) ++branches;
  }
  return static_cast<double>(branches) * 1024.0 >= kCodeLeastBranchesPerKiB * static_cast<double>(bytes.size());
}

bool looksLikeRecords(std::span<const std::uint8_t> bytes) {
  std::size_t covered = 0;
  for (const stages::StrideRun& run : stages::findDeltaRegions(bytes)) covered += run.end - run.start;
  return static_cast<double>(covered) >= kRecordsLeastCovered * static_cast<double>(bytes.size());
}

void joinRunsOfOneKind(std::vector<KindRun>& runs) {
  std::size_t kept = 0;
  for (std::size_t k = 0; k < runs.size(); ++k) {
    if (kept > 0 && runs[kept - 1].kind == runs[k].kind) {
      runs[kept - 1].end = runs[k].end;
    } else {
      runs[kept++] = runs[k];
    }
  }
  runs.resize(kept);
}

}  // namespace

DataKind surveyBytes(std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return DataKind::generic;
  Histogram histogram{};
  for (const std::uint8_t byte : bytes) ++histogram[byte];
  if (looksLikeText(histogram, bytes.size())) return DataKind::text;
  if (looksLikeCode(bytes)) return DataKind::x86;
  if (looksLikeRecords(bytes)) return DataKind::records;
  if (entropyBitsPerByte(histogram, bytes.size()) >= kIncompressibleLeastBits) return DataKind::incompressible;
  return DataKind::generic;
}

std::vector<KindRun> surveyRuns(std::span<const std::uint8_t> data) {
  std::vector<KindRun> runs;
  for (std::size_t begin = 0; begin < data.size();) {
    const std::size_t end = data.size() - begin < 2 * kSurveyChunk ? data.size() : begin + kSurveyChunk;
    runs.push_back({begin, end, surveyBytes(data.subspan(begin, end - begin))});
    begin = end;
  }
  joinRunsOfOneKind(runs);
  return runs;
}


std::vector<KindRun> absorbShortRuns(std::vector<KindRun> runs, std::size_t shortest) {
  const auto length = [&](std::size_t k) { return runs[k].end - runs[k].begin; };
  // Stored bytes take nothing in: a compressible stretch must not end up stored.
  const auto takesIn = [&](std::size_t k) { return k < runs.size() && runs[k].kind != DataKind::incompressible; };
  for (;;) {
    std::size_t shortestRun = runs.size();
    for (std::size_t k = 0; k < runs.size(); ++k) {
      const bool hasTaker = (k > 0 && takesIn(k - 1)) || takesIn(k + 1);
      if (length(k) < shortest && hasTaker && (shortestRun == runs.size() || length(k) < length(shortestRun))) {
        shortestRun = k;
      }
    }
    if (shortestRun == runs.size()) return runs;
    const std::size_t k = shortestRun;
    const bool intoPrevious = k > 0 && takesIn(k - 1) && (!takesIn(k + 1) || length(k - 1) >= length(k + 1));
    if (intoPrevious) {
      runs[k - 1].end = runs[k].end;
    } else {
      runs[k + 1].begin = runs[k].begin;
    }
    runs.erase(runs.begin() + static_cast<std::ptrdiff_t>(k));
    joinRunsOfOneKind(runs);
  }
}

}  // namespace quorvex
