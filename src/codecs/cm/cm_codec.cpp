#include "codecs/cm/cm_codec.hpp"

#include <algorithm>

#include "codecs/cm/cm_block.hpp"
#include "codecs/cm/cm_model.hpp"
#include "model/binary_coder.hpp"

namespace quorvex::cm {

class CmDecoder {
 public:
  CmDecoder(std::unique_ptr<CmModel> model, std::uint64_t tableBytes) : model(std::move(model)), tableBytes(tableBytes) {}
  std::unique_ptr<CmModel> model;
  std::uint64_t tableBytes;       // what the model's tables ask for
  std::uint64_t decodedBytes = 0;  // in this section so far
  bool hugePages = false;
};

namespace {

// Huge pages repay themselves once the section has decoded one byte for every this
// many bytes of tables: each byte touches a few dozen scattered cache lines, so by
// then nearly every 4 KiB page has been touched anyway. Before that a short section
// (a small or hostile archive asking for huge tables) would commit whole tables.
constexpr std::uint64_t kTableBytesPerDecodedByte = 64;
// Until then, blocks are decoded in pieces of this size to look at the count.
constexpr std::uint32_t kHugePageCheckInterval = 1u << 20;

}  // namespace

class CmEncoder {
 public:
  explicit CmEncoder(std::unique_ptr<CmModel> model) : model(std::move(model)) {}
  std::unique_ptr<CmModel> model;
};

void CmDecoderDeleter::operator()(CmDecoder* decoder) const noexcept { delete decoder; }
void CmEncoderDeleter::operator()(CmEncoder* encoder) const noexcept { delete encoder; }

std::uint64_t cmModelBytes(std::uint32_t tableBitsA, std::uint32_t tableBitsB, std::uint32_t historySize) {
  return CmModel::bytesFor(tableBitsA, tableBitsB, historySize);
}

const char* cmParamsRejection(std::uint32_t tableBitsA, std::uint32_t tableBitsB, std::uint32_t historySize) {
  if (historySize == 0) return "context-mixing history size is 0: no window to model";
  if (historySize < 2) return "context-mixing history size is too small for a window";
  if (CmModel::bytesFor(tableBitsA, tableBitsB, historySize) > kMaxModelBytes) {
    return "context-mixing tables would exceed the 3 GiB ceiling of the codec";
  }
  return nullptr;
}

CmDecoderPtr createCmDecoder(std::uint32_t tableBitsA, std::uint32_t tableBitsB, std::uint32_t historySize) {
  std::unique_ptr<CmModel> model = CmModel::create(tableBitsA, tableBitsB, historySize);
  if (!model) return nullptr;
  return CmDecoderPtr(new (std::nothrow)
                          CmDecoder(std::move(model), CmModel::bytesFor(tableBitsA, tableBitsB, historySize)));
}

void resetCmAdaptation(CmDecoder& decoder) { decoder.model->resetAdaptation(); }

void decodeCmBlock(CmDecoder& decoder, std::span<const std::uint8_t> payload, std::uint8_t* destination,
                   std::uint32_t unpackedSize) {
  if (unpackedSize == 0) return;
  FullProductDecoder coder(payload);
  for (std::uint32_t done = 0; done < unpackedSize;) {
    const std::uint32_t left = unpackedSize - done;
    const std::uint32_t piece = decoder.hugePages ? left : std::min(left, kHugePageCheckInterval);
    codeCmBytes(*decoder.model, coder, destination + done, piece);
    done += piece;
    decoder.decodedBytes += piece;
    if (!decoder.hugePages && decoder.decodedBytes * kTableBytesPerDecodedByte >= decoder.tableBytes) {
      decoder.model->adviseHugePages();
      decoder.hugePages = true;
    }
  }
}

CmEncoderPtr createCmEncoder(std::uint32_t tableBitsA, std::uint32_t tableBitsB, std::uint32_t historySize) {
  std::unique_ptr<CmModel> model = CmModel::create(tableBitsA, tableBitsB, historySize);
  if (!model) return nullptr;
  model->adviseHugePages();  // the archive maker codes what it is given: no hostile sizes
  return CmEncoderPtr(new (std::nothrow) CmEncoder(std::move(model)));
}

void resetCmAdaptation(CmEncoder& encoder) { encoder.model->resetAdaptation(); }

std::vector<std::uint8_t> encodeCmBlock(CmEncoder& encoder, std::span<const std::uint8_t> data) {
  std::vector<std::uint8_t> payload;
  if (data.empty()) return payload;
  payload.reserve(data.size() / 2 + 16);
  FullProductEncoder coder(payload);
  codeCmBytes(*encoder.model, coder, data.data(), data.size());
  coder.flush();
  return payload;
}

}  // namespace quorvex::cm
