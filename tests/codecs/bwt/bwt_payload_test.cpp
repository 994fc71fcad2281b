#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <numeric>
#include <string>
#include <tuple>
#include <vector>

#include "codecs/bwt/backward_number.hpp"
#include "codecs/bwt/bwt_payload.hpp"
#include "codecs/bwt/bwt_transform.hpp"
#include "model/binary_coder.hpp"
#include "support/test_support.hpp"

namespace quorvex::bwt {
namespace {

using quorvex::testing::TestRandom;
using Trace = std::vector<std::tuple<std::uint32_t, std::uint32_t, std::uint32_t>>;

constexpr std::uint8_t kGuard = 0xD7;

// Decodes a payload copied into a buffer of the given capacity (three times the
// block's size by default, as the regions need) that holds `fill` elsewhere, followed
// by guard bytes that must survive. Returns the decoded block, or nothing on failure.
struct Decoded {
  std::uint32_t length = 0;
  std::vector<std::uint8_t> bytes;
  Trace trace;
};

Decoded decode(const std::vector<std::uint8_t>& payload, std::uint32_t capacity, const TaskThreads& threads = {},
               std::uint8_t fill = kGuard) {
  Decoded result;
  std::vector<std::uint8_t> buffer(std::max<std::size_t>(capacity, payload.size()) + 64, kGuard);
  std::fill(buffer.begin(), buffer.end() - 64, fill);
  std::copy(payload.begin(), payload.end(), buffer.begin());
  result.length = decodeBwtPayload(buffer.data(), static_cast<std::uint32_t>(payload.size()), capacity,
                                   [&](std::uint32_t segment, std::uint32_t coded, std::uint32_t length) {
                                     result.trace.emplace_back(segment, coded, length);
                                   },
                                   threads);
  EXPECT_LE(result.length, capacity);
  for (std::size_t i = std::max<std::size_t>(capacity, payload.size()); i < buffer.size(); ++i) {
    EXPECT_EQ(buffer[i], kGuard) << "written past the capacity at " << i;
    if (buffer[i] != kGuard) break;
  }
  result.bytes.assign(buffer.begin(), buffer.begin() + result.length);
  return result;
}

// The room a dispatcher gives: the payload copy and the three-times regions both fit.
std::uint32_t roomFor(std::size_t blockSize, const std::vector<std::uint8_t>& payload) {
  return static_cast<std::uint32_t>(std::max(3 * blockSize, payload.size()));
}

std::vector<std::uint8_t> roundTrip(const std::vector<std::uint8_t>& block) {
  const std::vector<std::uint8_t> payload = encodeBwtPayload(block);
  const Decoded decoded = decode(payload, roomFor(block.size(), payload));
  EXPECT_EQ(decoded.length, block.size());
  return decoded.bytes;
}

// A payload trailer from numbers in reading order.
std::vector<std::uint8_t> trailer(const std::vector<std::uint32_t>& numbers) {
  std::vector<std::uint8_t> bytes;
  for (std::size_t k = numbers.size(); k-- > 0;) appendBackwardNumber(bytes, numbers[k]);
  return bytes;
}

TEST(BackwardNumber, ListedForms) {
  const std::vector<std::uint8_t> bytes{0xFF, 0x01, 0x80};
  const std::uint8_t* cursor = bytes.data() + 3;
  EXPECT_EQ(readBackwardNumber(bytes.data(), cursor), 0u);
  EXPECT_EQ(readBackwardNumber(bytes.data(), cursor), 255u);
  EXPECT_EQ(cursor, bytes.data());
  EXPECT_EQ(readBackwardNumber(bytes.data(), cursor), 0u);  // at the start: 0, nothing consumed
  // Reaching the start before the end byte: as if a last group of 0 followed.
  const std::vector<std::uint8_t> cut{0x05, 0x03};
  cursor = cut.data() + 2;
  EXPECT_EQ(readBackwardNumber(cut.data(), cursor), (3u * 128 + 5) * 128);
  for (std::uint32_t value : {0u, 1u, 127u, 128u, 16383u, 16384u, 0xFFFFFFFFu}) {
    std::vector<std::uint8_t> written{0x42};
    appendBackwardNumber(written, value);
    cursor = written.data() + written.size();
    EXPECT_EQ(readBackwardNumber(written.data(), cursor), value);
    EXPECT_EQ(cursor, written.data() + 1);
  }
}

TEST(BwtPayload, AllEmptyTrailerDecodesToNothing) {
  const std::vector<std::uint8_t> payload{0xFF, 0x01, 0x80};
  EXPECT_EQ(trailer({0, 255}), payload);
  const Decoded decoded = decode(payload, 1000);
  EXPECT_EQ(decoded.length, 0u);
  EXPECT_TRUE(decoded.trace.empty());
  EXPECT_EQ(decode({}, 1000).length, 0u);
}

std::vector<std::uint8_t> payloadOf(std::vector<std::uint8_t> segments, const std::vector<std::uint32_t>& numbers) {
  const std::vector<std::uint8_t> tail = trailer(numbers);
  segments.insert(segments.end(), tail.begin(), tail.end());
  return segments;
}

// A segment with a length but no coded bytes is never decoded: its bytes are its
// region's as they stand after the moves. Segment 0's region is the front of the
// payload copy; a later one's may reach past the payload, into what the buffer held.
// A stored segment claiming more symbols than its coded bytes takes the rest likewise.
TEST(BwtPayload, SegmentsTakeTheirRegionsBytesAsTheyStand) {
  for (const std::uint8_t fill : {0x00, 0x61, 0xD7}) {
    SCOPED_TRACE(fill);
    // Segment 0: c = 3, f = 0; segment 1 stored "xy". Segment 1 moves from 0 to its
    // region at 9; region 0 keeps the payload's first bytes "xy" 0x80.
    const std::vector<std::uint8_t> front = payloadOf({'x', 'y', 0x80, 0x80}, {0, 253, 2, 4, 3, 0});
    const Decoded fromFront = decode(front, 15, {}, fill);
    EXPECT_EQ(fromFront.bytes, (std::vector<std::uint8_t>{'x', 'y', 0x80, 'x', 'y'}));
    EXPECT_EQ(fromFront.trace, (Trace{{1, 4, 2}, {0, 0, 3}}));

    // Segment 0 stored "abcd"; segment 1: c = 3, f = 0, its region at 12: the payload's
    // last byte, then two bytes the buffer held.
    const std::vector<std::uint8_t> past = payloadOf({'a', 'b', 'c', 'd', 0x80, 0x80}, {0, 253, 3, 0, 4, 6});
    ASSERT_EQ(past.size(), 13u);
    EXPECT_EQ(decode(past, 21, {}, fill).bytes, (std::vector<std::uint8_t>{'a', 'b', 'c', 'd', past[12], fill, fill}));

    // A stored segment of c = 5 with two symbols: its region (the payload's front) goes
    // on with its trailer E, L and the payload's byte 4.
    const std::vector<std::uint8_t> shortStored = payloadOf({'a', 'b', 0x80, 0x80}, {0, 254, 5, 4});
    EXPECT_EQ(decode(shortStored, 15, {}, fill).bytes,
              (std::vector<std::uint8_t>{'a', 'b', 0x80, 0x80, shortStored[4]}));

    for (const auto* payload : {&front, &past, &shortStored}) {
      EXPECT_TRUE(bwtPayloadTakesStandingBytes(payload->data(), static_cast<std::uint32_t>(payload->size())));
    }
  }
  const std::vector<std::uint8_t> stored = payloadOf({'a', 'b', 'c', 0x80, 0x80}, {0, 254, 3, 5});
  EXPECT_EQ(decode(stored, 100).bytes, (std::vector<std::uint8_t>{'a', 'b', 'c'}));
  EXPECT_FALSE(bwtPayloadTakesStandingBytes(stored.data(), static_cast<std::uint32_t>(stored.size())));
  const std::vector<std::uint8_t> coded = encodeBwtPayload(quorvex::testing::skewedBytes(5000, 3));
  EXPECT_FALSE(bwtPayloadTakesStandingBytes(coded.data(), static_cast<std::uint32_t>(coded.size())));
}

// The run-start form of a 1-byte segment holding `value`: eight equiprobable bits for
// the one listed value, one for its finishing run (0), then E = 1 (no raw bits), L = 0.
// The arithmetic stream is padded with zeros (what a decoder reads past its end) to
// `streamLength` bytes.
std::vector<std::uint8_t> oneByteRunStartForm(std::uint8_t value, std::size_t streamLength) {
  std::vector<std::uint8_t> form;
  BinaryEncoder encoder(form);
  for (int bit = 7; bit >= 0; --bit) encoder.encodeBit(kEvenOdds, (value >> bit) & 1u);
  encoder.encodeBit(kEvenOdds, 0);
  encoder.flush();
  EXPECT_LE(form.size(), 3u);
  form.resize(streamLength, 0);
  form.insert(form.end(), {0x81, 0x80});
  return form;
}

// Coded bytes longer than their segment's region of 3c: moved last-first, a spill
// overwrites the start of the next region, whose segment has moved there already;
// segments then decode in order, each reading its own coded bytes before any later
// segment writes; the last segment's spill touches nothing. Only coded bytes past the
// room and 3 x C past the capacity fail.
TEST(BwtPayload, CodedBytesSpillPastTheirRegionInTheFormatsOrder) {
  for (const unsigned threads : {1u, 4u}) {
    SCOPED_TRACE(threads);
    // The last segment (c = 1, f = 8) spills 5 bytes past 3 x C = 12.
    const std::vector<std::uint8_t> spill = oneByteRunStartForm(0xA7, 6);
    std::vector<std::uint8_t> segments{'a', 'b', 'c', 0x80, 0x80};
    segments.insert(segments.end(), spill.begin(), spill.end());
    const std::vector<std::uint8_t> last = payloadOf(segments, {0, 253, 1, 8, 3, 5});
    const Decoded decoded = decode(last, static_cast<std::uint32_t>(last.size()), TaskThreads(threads));
    EXPECT_EQ(decoded.bytes, (std::vector<std::uint8_t>{'a', 'b', 'c', 0xA7}));
    EXPECT_TRUE(bwtPayloadTakesStandingBytes(last.data(), static_cast<std::uint32_t>(last.size())));

    // Segment 0 (c = 10, f = 0) keeps the payload's first ten bytes and puts segment 1
    // (c = 1, f = 8) at 30: it spills over the first 5 bytes of segment 2's region at
    // 33, where stored "pqrs" had moved. Segment 2 then reads bytes 3 to 8 of segment
    // 1's form as its own (E = L = 0: stored) and takes three stream bytes and E.
    segments = spill;
    segments.insert(segments.end(), {'p', 'q', 'r', 's', 0x80, 0x80});
    const std::vector<std::uint8_t> over = payloadOf(segments, {0, 252, 4, 6, 1, 8, 10, 0});
    std::vector<std::uint8_t> expected(over.begin(), over.begin() + 10);
    expected.insert(expected.end(), {0xA7, spill[3], spill[4], spill[5], 0x81});
    EXPECT_EQ(decode(over, 45, TaskThreads(threads)).bytes, expected);

    // Segment 1 (c = 3, f = 15, at 30): ten zero run-count bytes, symbols 00 00 at 40
    // (in segment 2's region, which starts at 39), E = 0, B = 10, L = 1: 00 00 with one
    // run count of 1 (an all-zero stream decodes ones) is three zeros. Segment 2 (c = 5,
    // f = 9) finds 00 00 00 there, E = B = 0, L = 2: a run with one extra copy, count 3,
    // five zeros. Decoded first, segment 2 would overwrite segment 1's trailer.
    segments.assign(10, 0x00);
    segments.insert(segments.end(), {0x00, 0x00, 0x80, 0x8A, 0x81});
    segments.insert(segments.end(), {'z', 'z', 'z', 'z', 'z', 'z', 0x80, 0x80, 0x82});
    const std::vector<std::uint8_t> inOrder = payloadOf(segments, {0, 252, 5, 9, 3, 15, 10, 0});
    expected.assign(inOrder.begin(), inOrder.begin() + 10);
    expected.resize(18, 0x00);
    EXPECT_EQ(decode(inOrder, 54, TaskThreads(threads)).bytes, expected);
  }

  // Segment 0: c = 10, f = 0 (region 0 to 30); segment 1: c = 1, f = 8 at 30, so its
  // coded bytes need a room of 38 (3 x C is 33).
  const std::vector<std::uint8_t> spill = oneByteRunStartForm(0x5C, 6);
  const std::vector<std::uint8_t> payload = payloadOf(spill, {0, 253, 1, 8, 10, 0});
  std::vector<std::uint8_t> expected(payload.begin(), payload.begin() + 10);
  expected.push_back(0x5C);
  EXPECT_EQ(decode(payload, 38).bytes, expected);
  EXPECT_EQ(decode(payload, 37).length, 0u);  // coded bytes past the room
  EXPECT_EQ(decode(payload, 32).length, 0u);  // 3 x C past the capacity
}

// Segment lengths of an equal cut into 256 parts.
std::array<std::uint32_t, 256> equalCut(std::uint32_t n) {
  std::array<std::uint32_t, 256> lengths{};
  for (std::uint32_t i = 0; i < 256; ++i) lengths[i] = n * (i + 1) / 256 - n * i / 256;
  return lengths;
}

TEST(BwtPayload, TraceRunsFromSegment255DownForNonEmptySegments) {
  std::vector<std::uint8_t> block = quorvex::testing::skewedBytes(300, 4);
  const std::vector<std::uint8_t> payload = encodeBwtSegments(block, equalCut(300));
  const Decoded decoded = decode(payload, roomFor(300, payload));
  ASSERT_EQ(decoded.bytes, block);
  ASSERT_EQ(decoded.trace.size(), 256u);
  std::uint32_t codedSum = 0;
  for (std::size_t k = 0; k < 256; ++k) {
    const auto [segment, coded, length] = decoded.trace[k];
    EXPECT_EQ(segment, 255 - k);
    EXPECT_EQ(length, 300 * (segment + 1) / 256 - 300 * segment / 256);  // equal parts
    codedSum += coded;
  }
  EXPECT_LT(codedSum, payload.size());

  // A 100-byte block: only the 100 non-empty segments are traced.
  block.resize(100);
  const std::vector<std::uint8_t> smallPayload = encodeBwtSegments(block, equalCut(100));
  const Decoded small = decode(smallPayload, roomFor(100, smallPayload));
  EXPECT_EQ(small.bytes, block);
  EXPECT_EQ(small.trace.size(), 100u);
}

TEST(BwtPayload, RoundTripsSyntheticBlocks) {
  std::vector<std::vector<std::uint8_t>> cases;
  cases.push_back({'z'});
  cases.push_back({0});
  cases.push_back(std::vector<std::uint8_t>(255, 0));
  cases.push_back(std::vector<std::uint8_t>(257, 'k'));
  std::vector<std::uint8_t> values(256 * 3);
  for (std::size_t i = 0; i < values.size(); ++i) values[i] = static_cast<std::uint8_t>(i * 7 % 256);
  cases.push_back(values);
  std::vector<std::uint8_t> zeroStart(5000, 0);  // zero runs at the start of every segment
  for (std::size_t i = 0; i < zeroStart.size(); ++i) zeroStart[i] = i % 1000 < 600 ? 0 : 'e';
  cases.push_back(zeroStart);
  std::vector<std::uint8_t> longRuns;  // runs of every length class up to 21 in one block
  for (std::uint32_t k = 0; k <= 21; ++k) longRuns.insert(longRuns.end(), 3 + (1u << k), 'a' + k % 3);
  cases.push_back(longRuns);
  TestRandom random(6);
  std::vector<std::uint8_t> noise(10000);
  for (auto& b : noise) b = static_cast<std::uint8_t>(random.next());
  cases.push_back(noise);
  for (const auto& block : cases) {
    EXPECT_EQ(roundTrip(block), block) << block.size();
    // The same block cut into 256 equal parts (empty ones when it is short).
    const std::vector<std::uint8_t> payload = encodeBwtSegments(block, equalCut(static_cast<std::uint32_t>(block.size())));
    EXPECT_EQ(decode(payload, roomFor(block.size(), payload)).bytes, block) << block.size();
  }
}

TEST(BwtPayload, EncoderCutsOnlyLargeBlocks) {
  // Up to 1 MiB one segment; beyond, equal parts of at most 1 MiB.
  std::vector<std::uint8_t> block(100, 'r');
  const Trace single = decode(encodeBwtPayload(block), 300).trace;
  ASSERT_EQ(single.size(), 1u);
  EXPECT_EQ(std::get<0>(single[0]), 0u);
  EXPECT_EQ(std::get<2>(single[0]), 100u);
  block.assign((1u << 20) + 3, 's');
  block[12345] = 't';
  const std::vector<std::uint8_t> payload = encodeBwtPayload(block);
  const Decoded decoded = decode(payload, roomFor(block.size(), payload));
  EXPECT_EQ(decoded.bytes, block);
  ASSERT_EQ(decoded.trace.size(), 2u);
  EXPECT_EQ(std::get<0>(decoded.trace[0]), 1u);
  EXPECT_EQ(std::get<2>(decoded.trace[0]), (1u << 19) + 2);
  EXPECT_EQ(std::get<2>(decoded.trace[1]), (1u << 19) + 1);
}

// Segments of a large payload decode on several threads, each with a model of its own:
// the block and the trace must be the same for every count, just below and at the size
// where threads start, with empty and tiny segments between long ones; and a failing
// segment must fail the payload whichever thread decodes it.
TEST(BwtPayload, SegmentsDecodeAlikeOnSeveralThreads) {
  for (const std::uint32_t total : {kParallelPayloadMinimum - 1, kParallelPayloadMinimum}) {
    const std::vector<std::uint8_t> block = forwardBwt(quorvex::testing::skewedBytes(total, 3)).transformed;
    std::array<std::uint32_t, 256> lengths{};
    lengths[1] = 400000;
    lengths[2] = 1;
    lengths[7] = 300000;
    lengths[200] = total - 700001;
    const std::vector<std::uint8_t> payload = encodeBwtSegments(block, lengths);
    const Decoded one = decode(payload, 3 * total);
    ASSERT_EQ(one.bytes, block);
    for (const unsigned count : {1u, 2u, 3u, 8u}) {
      const Decoded several = decode(payload, 3 * total, TaskThreads(count));
      EXPECT_EQ(several.bytes, block) << total << " on " << count;
      EXPECT_EQ(several.trace, one.trace);
    }
    // The one-byte segment 2 is stored as its byte, E and L; an L above its length fails it.
    std::vector<std::uint8_t> broken = payload;
    std::size_t segment2End = 0;
    for (const auto& [segment, coded, length] : one.trace) {
      if (segment <= 2) segment2End += coded;
    }
    broken[segment2End - 1] = 0x85;
    for (const unsigned threads : {1u, 2u, 3u}) EXPECT_EQ(decode(broken, 3 * total, threads).length, 0u) << threads;
  }
}

TEST(BwtPayload, RoundTripsEmptySegmentsInEveryPattern) {
  // Patterns of empty segments: at the start, the end, alternating, single holes, all
  // but one (each position of the lone segment), and random.
  std::vector<std::array<std::uint32_t, 256>> patterns;
  std::array<std::uint32_t, 256> lengths{};
  TestRandom random(12);
  for (std::uint32_t lone : {0u, 1u, 127u, 254u, 255u}) {
    lengths.fill(0);
    lengths[lone] = 1 + random.below(40);
    patterns.push_back(lengths);
  }
  for (std::uint32_t variant = 0; variant < 6; ++variant) {
    for (std::uint32_t i = 0; i < 256; ++i) {
      bool empty = variant == 0 ? i < 128 : variant == 1 ? i >= 128 : variant == 2 ? i % 2 == 0
                                           : variant == 3 ? i % 50 == 7 : variant == 4 ? random.below(2) == 0
                                                                                        : random.below(8) != 0;
      lengths[i] = empty ? 0 : 1 + random.below(60);
    }
    patterns.push_back(lengths);
  }
  for (const auto& pattern : patterns) {
    const std::uint32_t total = std::accumulate(pattern.begin(), pattern.end(), 0u);
    const std::vector<std::uint8_t> block = quorvex::testing::skewedBytes(total, total);
    const std::vector<std::uint8_t> payload = encodeBwtSegments(block, pattern);
    const Decoded decoded = decode(payload, roomFor(total, payload));
    EXPECT_EQ(decoded.bytes, block);
    std::uint32_t traced = 0;
    for (const auto& [segment, coded, length] : decoded.trace) {
      EXPECT_EQ(length, pattern[segment]);
      ++traced;
    }
    EXPECT_EQ(traced, 256 - static_cast<std::uint32_t>(std::count(pattern.begin(), pattern.end(), 0u)));
  }
}

TEST(BwtPayload, RoundTripsTransformedRepositoryData) {
  for (const auto& data : {quorvex::testing::repositoryText(60000), quorvex::testing::ownProgram(40000)}) {
    const ForwardBwt transformed = forwardBwt(data);
    EXPECT_EQ(roundTrip(transformed.transformed), transformed.transformed);
  }
}

TEST(BwtPayload, RoundTripsTransformedCorpusFiles) {
  QUORVEX_SKIP_WITHOUT_CORPUS();
  // Every corpus file's first 48 KiB, and one whole text file.
  for (const std::string& name : quorvex::testing::corpusFiles()) {
    std::vector<std::uint8_t> data = quorvex::testing::corpusFile(name);
    data.resize(std::min<std::size_t>(data.size(), 48 * 1024));
    const ForwardBwt transformed = forwardBwt(data);
    EXPECT_EQ(roundTrip(transformed.transformed), transformed.transformed) << name;
  }
  const ForwardBwt alice = forwardBwt(quorvex::testing::corpusFile("text/alice29.txt"));
  const std::vector<std::uint8_t> payload = encodeBwtPayload(alice.transformed);
  EXPECT_LT(payload.size(), alice.transformed.size() * 28 / 100);  // text: under 2.24 bits a byte
  EXPECT_EQ(decode(payload, static_cast<std::uint32_t>(3 * alice.transformed.size())).bytes, alice.transformed);
}

TEST(BwtPayload, RejectsRoomAndTrailerFaults) {
  const std::vector<std::uint8_t> block = quorvex::testing::skewedBytes(2000, 9);
  const std::vector<std::uint8_t> payload = encodeBwtPayload(block);
  EXPECT_EQ(decode(payload, 6000).bytes, block);
  EXPECT_EQ(decode(payload, 5999).length, 0u);  // 3 x C beyond the room
  EXPECT_EQ(decode(payload, 1999).length, 0u);  // C beyond the capacity

  // Coded lengths that do not fit before the trailer (but within packedSize).
  const std::vector<std::uint8_t> overclaim = trailer({0, 254, 4, 4});
  EXPECT_EQ(decode(overclaim, 100).length, 0u);
  // Coded lengths beyond packedSize; a huge length; lengths that would wrap 32 bits.
  EXPECT_EQ(decode(trailer({0, 254, 4, 200}), 1000).length, 0u);
  EXPECT_EQ(decode(trailer({0, 254, 0x7FFFFFFF, 1}), 1000).length, 0u);
  EXPECT_EQ(decode(trailer({0x20, 0, 0xFFFFFFF0u, 0, 0, 253}), 1000).length, 0u);
  // A coded length larger than the room its region leaves: segment 1's region starts at
  // 3 x 5 = 15, and its 15 coded bytes would reach past the capacity of 23.
  std::vector<std::uint8_t> spill(16, 0x80);
  const std::vector<std::uint8_t> spillTail = trailer({0, 253, 1, 15, 5, 1});
  spill.insert(spill.end(), spillTail.begin(), spillTail.end());
  ASSERT_EQ(spill.size(), 23u);
  EXPECT_EQ(decode(spill, 23).length, 0u);
  // A segment trailer with L > c, and with D >= N.
  std::vector<std::uint8_t> bad{'a', 'b', 0x80, 0x83};
  std::vector<std::uint8_t> tail = trailer({0, 254, 2, 4});
  bad.insert(bad.end(), tail.begin(), tail.end());
  EXPECT_EQ(decode(bad, 100).length, 0u);
  bad = {'a', 'b', 0x85, 0x80};  // E = 5: four raw-bit bytes that are not there
  bad.insert(bad.end(), tail.begin(), tail.end());
  EXPECT_EQ(decode(bad, 100).length, 0u);
}

TEST(BwtPayload, HostilePayloadsFailOrStayInTheBuffer) {
  TestRandom random(21);
  const std::vector<std::uint8_t> block = forwardBwt(quorvex::testing::skewedBytes(3000, 2)).transformed;
  const std::vector<std::uint8_t> good = encodeBwtPayload(block);
  for (int trial = 0; trial < 400; ++trial) {
    std::vector<std::uint8_t> payload;
    switch (trial % 4) {
      case 0:  // truncated from the front or the back
        payload = good;
        if (trial % 8 == 0) {
          payload.erase(payload.begin(), payload.begin() + random.below(static_cast<std::uint32_t>(good.size())));
        } else {
          payload.resize(random.below(static_cast<std::uint32_t>(good.size())));
        }
        break;
      case 1:  // flipped bytes
        payload = good;
        for (int i = 0; i < 3; ++i) payload[random.below(static_cast<std::uint32_t>(payload.size()))] ^= 1 + random.below(255);
        break;
      case 2:  // random bytes
        payload.resize(1 + random.below(600));
        for (auto& b : payload) b = static_cast<std::uint8_t>(random.next());
        break;
      default: {  // random trailers with plausible and huge numbers over random bodies
        payload.resize(random.below(300));
        for (auto& b : payload) b = static_cast<std::uint8_t>(random.next());
        std::vector<std::uint32_t> numbers;
        for (int i = 0; i < 12; ++i) numbers.push_back(random.below(3) == 0 ? random.next() : random.below(200));
        const std::vector<std::uint8_t> tail = trailer(numbers);
        payload.insert(payload.end(), tail.begin(), tail.end());
      }
    }
    // Unless the payload says it takes bytes as they stand, the result is the same
    // whatever the buffer held before.
    const std::uint32_t capacity = 1 + random.below(12000);
    const Decoded first = decode(payload, capacity, 1, 0x00);
    const Decoded second = decode(payload, capacity, 1, 0xA5);
    EXPECT_EQ(first.length, second.length) << trial;
    if (!bwtPayloadTakesStandingBytes(payload.data(), static_cast<std::uint32_t>(payload.size()))) {
      EXPECT_TRUE(first.bytes == second.bytes) << trial;
    }
  }
}

}  // namespace
}  // namespace quorvex::bwt
