#include "codecs/cm/cm_codec.hpp"

#include "codecs/cm/cm_block.hpp"
#include "codecs/cm/cm_model.hpp"
#include "model/binary_coder.hpp"

namespace quorvex::cm {

class CmDecoder {
 public:
  explicit CmDecoder(std::unique_ptr<CmModel> model) : model(std::move(model)) {}
  std::unique_ptr<CmModel> model;
};

class CmEncoder {
 public:
  explicit CmEncoder(std::unique_ptr<CmModel> model) : model(std::move(model)) {}
  std::unique_ptr<CmModel> model;
};

void CmDecoderDeleter::operator()(CmDecoder* decoder) const noexcept { delete decoder; }
void CmEncoderDeleter::operator()(CmEncoder* encoder) const noexcept { delete encoder; }

const char* cmParamsRejection(std::uint32_t tableBitsA, std::uint32_t tableBitsB, std::uint32_t historySize) {
  if (historySize == 0) return "context-mixing history size is 0: no window to model";
  if (historySize < 2) return "context-mixing history size is too small for a window";
  if (CmModel::bytesFor(tableBitsA, tableBitsB, historySize) > kMaxModelBytes) {
    return "context-mixing tables would exceed the memory limit";
  }
  return nullptr;
}

CmDecoderPtr createCmDecoder(std::uint32_t tableBitsA, std::uint32_t tableBitsB, std::uint32_t historySize) {
  std::unique_ptr<CmModel> model = CmModel::create(tableBitsA, tableBitsB, historySize);
  if (!model) return nullptr;
  return CmDecoderPtr(new (std::nothrow) CmDecoder(std::move(model)));
}

void resetCmAdaptation(CmDecoder& decoder) { decoder.model->resetAdaptation(); }

void decodeCmBlock(CmDecoder& decoder, std::span<const std::uint8_t> payload, std::uint8_t* destination,
                   std::uint32_t unpackedSize) {
  if (unpackedSize == 0) return;
  FullProductDecoder coder(payload);
  codeCmBytes(*decoder.model, coder, destination, unpackedSize);
}

CmEncoderPtr createCmEncoder(std::uint32_t tableBitsA, std::uint32_t tableBitsB, std::uint32_t historySize) {
  std::unique_ptr<CmModel> model = CmModel::create(tableBitsA, tableBitsB, historySize);
  if (!model) return nullptr;
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
