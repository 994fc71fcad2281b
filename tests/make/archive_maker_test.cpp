// The archive maker's own choices: the codec and stages it picks for clear kinds of
// data (read back from the descriptors of the archive it made), and that whatever it
// picks decodes to the input at every level.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "format/block_descriptor.hpp"
#include "format/codec_params.hpp"
#include "support/decoded_archive.hpp"
#include "format/record_stream.hpp"
#include "make/maker_levels.hpp"
#include "quorvex/archive_maker.hpp"
#include "quorvex/archive_writer.hpp"
#include "support/test_support.hpp"

namespace quorvex {
namespace {

using Bytes = std::vector<std::uint8_t>;

// One block of a made archive as a plain reader sees it, with the codec parameters in
// force for it.
struct MadeBlock {
  CodecParams params;
  BlockDescriptor descriptor;
  std::size_t cmSection = SIZE_MAX;  // index into MadeArchive::cmSections
};

struct MadeArchive {
  Bytes bytes;
  std::vector<MadeBlock> blocks;
  std::vector<CodecParams> cmSections;  // every codec-parameter record with codec id 7
};

MadeArchive readBack(Bytes bytes) {
  MadeArchive made;
  made.bytes = std::move(bytes);
  RecordStream stream(made.bytes);
  EXPECT_TRUE(checkArchiveHeader(stream));
  CodecParams params;
  while (!stream.atEnd()) {
    const RecordHead head = stream.readRecordHead();
    if (head.type == static_cast<std::uint32_t>(RecordType::block)) {
      const std::size_t section = params.contextMixing() ? made.cmSections.size() - 1 : SIZE_MAX;
      made.blocks.push_back({params, parseBlockDescriptor(stream, params.contextMixing()), section});
    } else if (head.type == static_cast<std::uint32_t>(RecordType::codecParams)) {
      params = readCodecParams(stream, head.count);
      if (params.contextMixing()) made.cmSections.push_back(params);
    } else {
      stream.skipBytes(head.count);
    }
  }
  return made;
}

MadeArchive make(const Bytes& file, int level, MakerOptions options = {}, FileCodec codec = FileCodec::automatic) {
  options.level = level;
  ArchiveMaker maker(options);
  EXPECT_TRUE(maker.addFile(file, codec));
  return readBack(maker.bytes());
}

void expectDecodesTo(const MadeArchive& made, const Bytes& input) {
  const testing::Decoded run = testing::decode(made.bytes);
  ASSERT_TRUE(run.result.ok()) << run.result.reason;
  EXPECT_TRUE(run.output == input) << "output of " << run.output.size() << " bytes differs from the input";
}

std::size_t count(const MadeArchive& made, bool (*has)(const BlockDescriptor&)) {
  std::size_t n = 0;
  for (const MadeBlock& block : made.blocks) n += has(block.descriptor) ? 1 : 0;
  return n;
}

bool isAudio(const BlockDescriptor& d) { return d.codecKind == static_cast<std::uint8_t>(CodecKind::audio); }
bool hasBranchTargets(const BlockDescriptor& d) { return d.branchTarget.enabled(); }
bool hasDelta(const BlockDescriptor& d) { return d.delta.enabled(); }
bool hasTextTransforms(const BlockDescriptor& d) { return d.textTransformFlag != 0; }

void putLe(Bytes& out, std::uint32_t value, std::uint32_t bytes) {
  for (std::uint32_t i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

void putChunk(Bytes& out, const char* tag, const Bytes& body, std::uint32_t statedSize) {
  out.insert(out.end(), tag, tag + 4);
  putLe(out, statedSize, 4);
  out.insert(out.end(), body.begin(), body.end());
}

struct WavShape {
  std::uint32_t formatTag = 1;  // 1: integer PCM
  std::uint32_t channels = 2;
  std::uint32_t bits = 16;
  std::size_t frames = 12000;
  bool dataBeforeFormat = false;
  std::uint32_t riffSizeSlack = 0;  // added to the RIFF size the file states
};

// A WAV file of two tones: at 16 bits the audio codec codes it far smaller than the
// others (at 8 bits they see its repeats better).
Bytes wavFile(const WavShape& shape) {
  Bytes fmt;
  putLe(fmt, shape.formatTag, 2);
  putLe(fmt, shape.channels, 2);
  putLe(fmt, 44100, 4);
  putLe(fmt, 44100 * shape.channels * shape.bits / 8, 4);
  putLe(fmt, shape.channels * shape.bits / 8, 2);
  putLe(fmt, shape.bits, 2);
  Bytes data;
  const double full = std::ldexp(1.0, static_cast<int>(shape.bits) - 1) - 1;
  for (std::size_t i = 0; i < shape.frames * shape.channels; ++i) {
    const double t = static_cast<double>(i);
    const double v = full * (0.5 * std::sin(0.031 * t) + 0.3 * std::sin(0.0047 * t));
    const auto sample = static_cast<std::int32_t>(std::lround(v)) + (shape.bits == 8 ? 128 : 0);
    putLe(data, static_cast<std::uint32_t>(sample), shape.bits / 8);
  }
  Bytes body = {'W', 'A', 'V', 'E'};
  if (shape.dataBeforeFormat) putChunk(body, "data", data, static_cast<std::uint32_t>(data.size()));
  putChunk(body, "fmt ", fmt, static_cast<std::uint32_t>(fmt.size()));
  if (!shape.dataBeforeFormat) putChunk(body, "data", data, static_cast<std::uint32_t>(data.size()));
  Bytes file;
  putChunk(file, "RIFF", body, static_cast<std::uint32_t>(body.size()) + shape.riffSizeSlack);
  return file;
}

// Fixed-size records of a table (an id, a time, a reading, a price): each field
// changes a little from one record to the next.
Bytes records(std::size_t n) {
  Bytes out;
  testing::TestRandom random(n);
  std::uint32_t time = 1700000000;
  std::uint32_t price = 250000;
  for (std::uint32_t i = 0; i < n; ++i) {
    time += 900 + random.below(200);
    price += random.below(2001) - 1000;
    putLe(out, 4000 + i, 4);
    putLe(out, time, 4);
    putLe(out, 5000 + static_cast<std::uint32_t>(2000 * std::sin(i * 0.01)), 2);
    putLe(out, random.below(4), 2);
    putLe(out, price, 4);
  }
  return out;
}

Bytes randomBytes(std::size_t n) {
  Bytes out(n);
  testing::TestRandom random(n);
  for (std::uint8_t& byte : out) byte = static_cast<std::uint8_t>(random.next());
  return out;
}

Bytes joined(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

TEST(ArchiveMaker, GivesClearKindsOfDataTheirCodecAndStage) {
  const Bytes wav = wavFile({});
  const Bytes code = testing::ownProgram(160000);
  const Bytes table = records(6000);
  const Bytes text = testing::repositoryText(100000);
  for (const int level : {1, 4, 7}) {
    SCOPED_TRACE("level " + std::to_string(level));
    const MadeArchive wavArchive = make(wav, level);
    expectDecodesTo(wavArchive, wav);
    ASSERT_EQ(count(wavArchive, isAudio), 1u);
    EXPECT_EQ(wavArchive.blocks.size(), 1u) << "the 44-byte header travels in the audio block";

    const MadeArchive codeArchive = make(code, level);
    expectDecodesTo(codeArchive, code);
    EXPECT_GE(count(codeArchive, hasBranchTargets), 1u);

    const MadeArchive tableArchive = make(table, level);
    expectDecodesTo(tableArchive, table);
    EXPECT_GE(count(tableArchive, hasDelta), 1u);
    EXPECT_EQ(count(tableArchive, hasTextTransforms), 0u);

    const MadeArchive textArchive = make(text, level);
    expectDecodesTo(textArchive, text);
    EXPECT_GE(count(textArchive, hasTextTransforms), 1u);
    EXPECT_EQ(count(textArchive, hasBranchTargets), 0u);

    // Levels from 7 on code everything but audio by context mixing.
    for (const MadeArchive* made : {&codeArchive, &tableArchive, &textArchive}) {
      for (const MadeBlock& block : made->blocks) EXPECT_EQ(block.params.contextMixing(), level >= 7);
    }
  }
}

TEST(ArchiveMaker, EveryLevelDecodesMixedDataToItself) {
  // One file of everything: WAV files inside other data (the first one right at the
  // start, one with bytes of no kind before it), code, records, text and noise.
  WavShape shorter;
  shorter.frames = 4000;
  WavShape stereo16;
  stereo16.frames = 6000;
  const Bytes mixed = joined({wavFile(shorter), testing::repositoryText(30000), randomBytes(8000), wavFile(stereo16),
                              testing::ownProgram(40000), records(2500), testing::skewedBytes(10000, 9)});
  std::size_t fastestSize = 0;
  for (int level = 1; level <= 9; ++level) {
    SCOPED_TRACE("level " + std::to_string(level));
    const MadeArchive made = make(mixed, level);
    expectDecodesTo(made, mixed);
    EXPECT_EQ(count(made, isAudio), 2u);
    if (level == 1) fastestSize = made.bytes.size();
    if (level == 9) {
      EXPECT_LT(made.bytes.size(), fastestSize * 9 / 10);
    }
  }
}

TEST(ArchiveMaker, EmptyFilesMakeArchivesOfNoBlock) {
  for (const FileCodec codec : {FileCodec::automatic, FileCodec::stored, FileCodec::bwt, FileCodec::lz, FileCodec::cm}) {
    for (const int level : {1, 9}) {
      MakerOptions options;
      options.level = level;
      ArchiveMaker maker(options);
      ASSERT_TRUE(maker.addFile({}, codec));
      const MadeArchive made = readBack(maker.bytes());
      expectDecodesTo(made, {});
      EXPECT_TRUE(made.blocks.empty());
    }
  }
  ArchiveMaker maker;
  EXPECT_FALSE(maker.addFile({}, FileCodec::audio));
}

TEST(ArchiveMaker, RiffFilesTheAudioCodecCannotTakeStayBytes) {
  WavShape floatSamples;
  floatSamples.formatTag = 3;
  floatSamples.bits = 32;
  WavShape wideSamples;
  wideSamples.bits = 32;
  WavShape samplesFirst;
  samplesFirst.dataBeforeFormat = true;
  WavShape fewSamples;
  fewSamples.frames = 200;
  const Bytes wav = wavFile({});
  Bytes notWave = wav;
  std::memcpy(notWave.data() + 8, "AVI ", 4);
  const Bytes cutShort(wav.begin(), wav.begin() + 30);  // ends inside the format chunk
  for (const Bytes& file : {wavFile(floatSamples), wavFile(wideSamples), wavFile(samplesFirst), wavFile(fewSamples),
                            notWave, cutShort}) {
    SCOPED_TRACE(file.size());
    for (const int level : {1, 9}) {
      const MadeArchive made = make(file, level);
      expectDecodesTo(made, file);
      EXPECT_EQ(count(made, isAudio), 0u);
    }
  }
}

TEST(ArchiveMaker, WavFilesAreFoundWhereverTheirChunkEnds) {
  // A RIFF size too large for the file (a cut recording): the samples run to the end.
  WavShape cut;
  cut.riffSizeSlack = 100000;
  const Bytes cutFile = wavFile(cut);
  // A WAV file between other bytes, with a stray "RIFF" before it.
  const Bytes inside = joined({Bytes{'R', 'I', 'F', 'F', 1, 0, 0, 0}, testing::repositoryText(5000), wavFile({}),
                               testing::repositoryText(7000)});
  for (const Bytes& file : {cutFile, inside}) {
    const MadeArchive made = make(file, 2);
    expectDecodesTo(made, file);
    EXPECT_EQ(count(made, isAudio), 1u);
  }
}

// Levels that weigh audio against the other codecs code each WAV file on trial both
// ways; the audio trial starts from the state the archive's audio is in (a WAV file
// right after another goes on from it), and when audio wins, its blocks are the ones
// kept. The archive is the one a writer makes by taking the files as audio outright,
// searching the audio settings as hard as the level does.
TEST(ArchiveMaker, WavFilesWonOnTrialAreCodedAsTheWriterCodesThem) {
  WavShape mono;
  mono.channels = 1;
  mono.frames = 9000;
  WavShape longer;
  longer.frames = 30000;
  const std::vector<Bytes> wavs = {wavFile({}), wavFile(mono), wavFile(longer)};
  const Bytes file = joined({wavs[0], wavs[1], wavs[2]});
  for (const int level : {3, 6}) {
    SCOPED_TRACE(level);
    for (const unsigned threads : {1u, 2u}) {
      MakerOptions options;
      options.threads = threads;
      const MadeArchive made = make(file, level, options);
      ASSERT_EQ(count(made, isAudio), 3u);
      WriterOptions writerOptions;
      writerOptions.audioSearch = levelPlan(level).audioSearch;  // the level's search, as the maker's
      ArchiveWriter writer(writerOptions);
      for (const Bytes& wav : wavs) ASSERT_TRUE(writer.addWavFile(wav));
      EXPECT_TRUE(made.bytes == writer.bytes()) << "on " << threads << " threads";
    }
  }
}

// A reader in pieces carries a WAV file's start into the next piece when the piece's
// end cuts its header or leaves too few samples to tell it is audio; nothing else.
TEST(ArchiveMaker, APieceEndThatCutsAWavHeaderCarriesItsStart) {
  const Bytes text = testing::repositoryText(20000);
  const Bytes wav = wavFile({});
  const auto piece = [&](std::size_t wavBytes) {  // text, then the first wavBytes of the file
    return joined({text, Bytes(wav.begin(), wav.begin() + static_cast<std::ptrdiff_t>(wavBytes))});
  };
  // Cut inside "RIFF....WAVE", inside the format chunk, at the data chunk's header, and
  // a few samples into the data: the file's start is carried.
  for (const std::size_t wavBytes : {1, 2, 4, 7, 11, 12, 30, 44, 100, 44 + 1023}) {
    EXPECT_EQ(ArchiveMaker::wavHeaderCutAt(piece(wavBytes)), text.size()) << wavBytes << " bytes of the WAV file";
  }
  // Enough samples to tell, or the whole file: nothing to carry.
  for (const std::size_t wavBytes : std::initializer_list<std::size_t>{44 + 1024, wav.size()}) {
    EXPECT_EQ(ArchiveMaker::wavHeaderCutAt(piece(wavBytes)), text.size() + wavBytes) << wavBytes;
  }
  // Not a WAV start: "RIFX", "RIFF" without "WAVE", and a RIFF chunk that ends inside the piece.
  const Bytes riffx = joined({text, Bytes{'R', 'I', 'F', 'X', 9, 9, 0, 0, 'W', 'A', 'V', 'E', 1}});
  const Bytes avi = joined({text, Bytes{'R', 'I', 'F', 'F', 9, 9, 0, 0, 'A', 'V', 'I', ' ', 1}});
  const Bytes shortChunk = joined({text, Bytes{'R', 'I', 'F', 'F', 4, 0, 0, 0, 'W', 'A', 'V', 'E', 1}});
  for (const Bytes& data : {riffx, avi, shortChunk}) EXPECT_EQ(ArchiveMaker::wavHeaderCutAt(data), data.size());
  // Looked for in the last half of the piece at most.
  const Bytes early = joined({Bytes{'R', 'I', 'F'}, testing::repositoryText(10)});
  EXPECT_EQ(ArchiveMaker::wavHeaderCutAt(early), early.size());
}

// Input longer than a section goes in an even number of sections of equal input (so
// that two threads decode them in step), each with a fresh model; shorter input in one.
TEST(ArchiveMaker, ContextMixingCutsLongInputIntoAnEvenNumberOfEqualSections) {
  MakerOptions options;
  options.cmSectionSize = 40000;
  options.blockSize = 15000;
  options.stages = {};  // no post-stage: a block's unpacked size is its input
  const Bytes text = testing::repositoryText(200000);
  struct Case {
    std::size_t bytes;
    std::size_t sections;
  };
  for (const Case c : {Case{40000, 1}, Case{80001, 4}, Case{200000, 6}}) {
    for (const FileCodec codec : {FileCodec::automatic, FileCodec::cm}) {
      SCOPED_TRACE(std::to_string(c.bytes) + " bytes, codec " + std::to_string(static_cast<int>(codec)));
      const Bytes input(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(c.bytes));
      const MadeArchive made = make(input, 7, options, codec);
      expectDecodesTo(made, input);
      ASSERT_EQ(made.cmSections.size(), c.sections);
      std::vector<std::size_t> sectionInput(c.sections);
      for (const MadeBlock& block : made.blocks) {
        ASSERT_LT(block.cmSection, c.sections);
        EXPECT_LE(block.descriptor.unpackedSize, 15000u);
        sectionInput[block.cmSection] += block.descriptor.unpackedSize;
      }
      for (std::size_t s = 0; s < c.sections; ++s) {
        EXPECT_LE(sectionInput[s] - c.bytes / c.sections, 1u) << "section " << s;
        EXPECT_GE(made.cmSections[s].historySize, sectionInput[s]) << "the match window holds a whole section";
        EXPECT_EQ(made.cmSections[s].tableBitsA, 20u) << "small sections get small tables";
      }
    }
  }
}

// Stretches of text and of binary records, 100 KB each, 1.2 MB in all.
Bytes alternatingKinds() {
  const Bytes text = testing::repositoryText(600000);
  Bytes input;
  for (std::size_t k = 0; k < 6; ++k) {
    input.insert(input.end(), text.begin() + static_cast<std::ptrdiff_t>(100000 * k),
                 text.begin() + static_cast<std::ptrdiff_t>(100000 * (k + 1)));
    const Bytes table = records(100000 / 16);
    input.insert(input.end(), table.begin(), table.end());
  }
  return input;
}

// A context-mixing model is sized by its level and by the input it will see: for
// 1.2 MB (21 bits) the context table takes up to 2^23 bytes and the match table up to
// 2^21 entries, and the window holds the whole input in one section.
TEST(ArchiveMaker, ContextMixingLevelsSizeTheirModelsAsPlanned) {
  const Bytes input = alternatingKinds();
  ASSERT_GT(input.size(), std::size_t{1} << 20);
  ASSERT_LE(input.size(), std::size_t{1} << 21);
  struct Case {
    int level;
    std::uint32_t tableBitsA;
    std::uint32_t tableBitsB;
  };
  for (const Case c : {Case{7, 20, 18}, Case{8, 22, 20}, Case{9, 23, 21}}) {
    SCOPED_TRACE("level " + std::to_string(c.level));
    const MadeArchive made = make(input, c.level);
    expectDecodesTo(made, input);
    ASSERT_EQ(made.cmSections.size(), 1u);
    EXPECT_EQ(made.cmSections[0].tableBitsA, c.tableBitsA);
    EXPECT_EQ(made.cmSections[0].tableBitsB, c.tableBitsB);
    EXPECT_GE(made.cmSections[0].historySize, input.size());
    // Kinds that change every 100 KB do not cut the section into blocks: one block of
    // 1.2 MB, whatever stages its parts would have had alone.
    EXPECT_EQ(made.blocks.size(), 1u);
  }
}

// A piece after a WAV file joins the context-mixing section before it only where that
// section's model was sized for it: every section's window holds all of its input.
TEST(ArchiveMaker, APieceAfterAWavFileGetsAModelSizedForIt) {
  const Bytes text = testing::repositoryText(400000);
  const Bytes shortText(text.begin(), text.begin() + 20000);
  const Bytes longText(text.begin() + 20000, text.end());
  const Bytes input = joined({shortText, wavFile({}), longText});
  for (const int threads : {1, 2}) {
    SCOPED_TRACE(std::to_string(threads) + " threads");
    MakerOptions options;
    options.threads = threads;
    const MadeArchive made = make(input, 7, options);
    expectDecodesTo(made, input);
    ASSERT_EQ(count(made, isAudio), 1u) << "the tones go to the audio codec";
    std::vector<std::size_t> sectionInput(made.cmSections.size());
    for (const MadeBlock& block : made.blocks) {
      if (block.params.contextMixing()) sectionInput[block.cmSection] += block.descriptor.unpackedSize;
    }
    ASSERT_EQ(made.cmSections.size(), 2u);
    for (std::size_t s = 0; s < made.cmSections.size(); ++s) {
      EXPECT_GE(made.cmSections[s].historySize, sectionInput[s]) << "section " << s;
    }
  }
}

// The project's own header files, joined, up to `size` bytes.
Bytes repositoryHeaders(std::size_t size) {
  std::vector<std::filesystem::path> headers;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(std::filesystem::path(QUORVEX_SOURCE_DIR) / "src")) {
    if (entry.is_regular_file() && entry.path().extension() == ".hpp") headers.push_back(entry.path());
  }
  std::sort(headers.begin(), headers.end());
  Bytes text;
  for (const auto& path : headers) {
    if (text.size() >= size) break;
    const Bytes file = testing::readFile(path);
    text.insert(text.end(), file.begin(), file.end());
  }
  text.resize(std::min(text.size(), size));
  return text;
}

// Source code repeats the starts of its lines (indents, comment leaders): the BWT levels
// code them by the line-prefix transform, while context mixing predicts them better
// from the line before and weighs only the other transforms.
TEST(ArchiveMaker, ContextMixingLeavesLinePrefixesAndNumbersToItsModel) {
  const Bytes code = repositoryHeaders(300000);
  const auto usesLinePrefixes = [](const MadeArchive& made) {
    return std::any_of(made.blocks.begin(), made.blocks.end(), [](const MadeBlock& block) {
      return block.descriptor.textTransformFlag != 0 && (block.descriptor.textTransformBits & 0x20) != 0;
    });
  };
  ASSERT_TRUE(usesLinePrefixes(make(code, 6))) << "the input calls for line prefixes";
  for (const int level : {7, 9}) {
    SCOPED_TRACE("level " + std::to_string(level));
    const MadeArchive made = make(code, level);
    expectDecodesTo(made, code);
    EXPECT_GE(count(made, hasTextTransforms), 1u) << "the other transforms are still weighed";
    for (const MadeBlock& block : made.blocks) {
      ASSERT_TRUE(block.params.contextMixing());
      EXPECT_EQ(block.descriptor.textTransformBits & 0x30, 0) << "line prefixes or numbers";
    }
  }
  // Asked for, they are used.
  MakerOptions always;
  always.stages.textTransforms = StageUse::always;
  EXPECT_TRUE(usesLinePrefixes(make(code, 7, always)));
}

TEST(ArchiveMaker, JoinedCorpusFilesKeepTheirWavFiles) {
  QUORVEX_SKIP_WITHOUT_CORPUS();
  const Bytes file = joined({testing::corpusFile("text/html"), testing::corpusFile("audio/sweep-mono8.wav"),
                             testing::corpusFile("audio/Front_Center.wav"), testing::corpusFile("exe/sed-x86_64.elf")});
  const MadeArchive made = make(file, 1);
  expectDecodesTo(made, file);
  EXPECT_EQ(count(made, isAudio), 2u);
  EXPECT_GE(count(made, hasBranchTargets), 1u);
}

// A WAV file read in pieces, as the program reads its inputs: its header arrives in the
// first, its samples over the others, with frames cut at the piece ends. It stays
// audio, one audio block per piece going on from the one before, about as small as the
// file made whole (within 5%: the cheap audio searches of levels 1 to 5 land a few
// percent apart on blocks cut differently, while samples read a byte off would code
// several times larger); what follows its samples goes to the other codecs.
TEST(ArchiveMaker, AWavFileReadInPiecesStaysAudio) {
  WavShape shape;
  shape.frames = 25000;  // 100,000 bytes of 16-bit stereo samples
  const Bytes wav = wavFile(shape);
  const Bytes input = joined({wav, testing::repositoryText(5000)});
  constexpr std::size_t kPiece = 25001;  // odd: most piece ends cut a frame
  for (const FileCodec codec : {FileCodec::automatic, FileCodec::audio}) {
    for (const int level : {1, 3}) {  // level 3 weighs audio against the other codecs
      SCOPED_TRACE("level " + std::to_string(level) + (codec == FileCodec::audio ? ", codec audio" : ""));
      MakerOptions options;
      options.level = level;
      ArchiveMaker maker(options);
      ASSERT_TRUE(maker.addFile(std::span(input).first(kPiece), codec));
      for (std::size_t at = kPiece; at < input.size(); at += kPiece) {
        maker.continueFile(std::span(input).subspan(at, std::min(kPiece, input.size() - at)));
      }
      const MadeArchive pieces = readBack(maker.bytes());
      expectDecodesTo(pieces, input);
      EXPECT_EQ(count(pieces, isAudio), (wav.size() + kPiece - 1) / kPiece);
      const MadeArchive whole = make(input, level, {}, codec);
      ASSERT_EQ(count(whole, isAudio), 1u);
      EXPECT_LT(pieces.bytes.size(), whole.bytes.size() + whole.bytes.size() / 20) << "frames stay aligned";
    }
  }
}

}  // namespace
}  // namespace quorvex
