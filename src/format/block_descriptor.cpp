#include "format/block_descriptor.hpp"

namespace quorvex {
namespace {

enum class LengthForm { u32, leb128 };

// An unsigned number in seven-bit groups, least significant first; bit 7 marks that
// another group follows. Groups past the 32 bits of the result drop off.
std::uint32_t readLeb128(RecordStream& stream) {
  std::uint32_t value = 0;
  for (std::uint32_t shift = 0;; shift += 7) {
    const bool missing = stream.atEnd();
    const std::uint8_t byte = stream.readByte();
    if (shift < 32) value |= std::uint32_t{byte & 0x7Fu} << shift;
    if (!(byte & 0x80u) || missing) return value;
  }
}

// A length followed by that many bytes. When fewer bytes remain than the length
// claims, the vector stays empty and nothing is skipped.
std::vector<std::uint8_t> readSideData(RecordStream& stream, LengthForm form) {
  const std::uint32_t length = form == LengthForm::u32 ? stream.readU32() : readLeb128(stream);
  if (length > stream.remaining()) return {};
  const auto bytes = stream.peekBytes(length);
  stream.skipBytes(length);
  return {bytes.begin(), bytes.end()};
}

StageData readStage(RecordStream& stream) {
  StageData stage;
  stage.flag = stream.readByte();
  if (stage.enabled()) stage.data = readSideData(stream, LengthForm::u32);
  return stage;
}

}  // namespace

BlockDescriptor parseBlockDescriptor(RecordStream& stream, bool cmMode) {
  BlockDescriptor block;
  block.packedSize = stream.readU32();
  block.payload = stream.peekBytes(block.packedSize);
  stream.skipBytes(block.packedSize);
  block.codecKind = stream.readByte();

  const auto kind = static_cast<CodecKind>(block.codecKind);
  if (kind == CodecKind::audio || kind == CodecKind::cmWithoutTrailer) {
    if (kind == CodecKind::audio) block.audioReset = stream.readByte();
    block.sizePresent = 1;
    block.unpackedSize = stream.readU32();
    return block;  // these descriptors end with their size
  }
  block.sizePresent = stream.readByte();
  if (block.sizePresent) block.unpackedSize = stream.readU32();

  stream.skipBytes(stream.readByte());  // reserved area

  if (!cmMode && kind == CodecKind::bwt) {
    if (block.sizePresent) block.bwtSpareByte = stream.readByte();
    block.bwtPrimaryIndex = stream.readU32();
    block.bwtStageA = readStage(stream);
    block.bwtStageB = readStage(stream);
  }
  block.wordRun = readStage(stream);
  block.delta = readStage(stream);
  block.spareByte = stream.readByte();
  block.textTransformFlag = stream.readByte();
  if (block.textTransformFlag) {
    block.textTransformBits = stream.readByte();
    if (block.textTransformBits & kLineBreakBit) block.lineBreakData = readSideData(stream, LengthForm::leb128);
    if (block.textTransformBits & kNumericBit) block.numericData = readSideData(stream, LengthForm::leb128);
  }
  block.branchTarget = readStage(stream);
  return block;
}

}  // namespace quorvex
