#include "format/codec_params.hpp"

namespace quorvex {

CodecParams readCodecParams(RecordStream& stream, std::uint32_t count) {
  CodecParams params;
  if (count == 0) return params;
  params.codecId = stream.readByte();
  if (count == 1) return params;
  params.historySize = decodeSizeCode(stream.readByte());
  if (count == 2) return params;
  params.secondSize = decodeSizeCode(stream.readByte());
  if (count == 3) return params;
  const std::uint32_t tableBits = stream.readByte();
  params.tableBitsA = (tableBits >> 4) + 20;
  params.tableBitsB = (tableBits & 15u) + 18;
  return params;
}

}  // namespace quorvex
