#include "codecs/cm/cm_model.hpp"

#include <cstdlib>
#include <new>

namespace quorvex::cm {

namespace {

constexpr std::uint32_t kBigError = 1280;

}  // namespace

std::uint64_t CmModel::bytesFor(std::uint32_t tableBitsA, std::uint32_t tableBitsB, std::uint32_t historySize) {
  return sizeof(CmModel) + ContextModels::bytesFor(tableBitsA) + MatchModel::bytesFor(tableBitsB, historySize);
}

std::unique_ptr<CmModel> CmModel::create(std::uint32_t tableBitsA, std::uint32_t tableBitsB,
                                         std::uint32_t historySize) {
  if (historySize < 2 || bytesFor(tableBitsA, tableBitsB, historySize) > kMaxModelBytes) return nullptr;
  std::unique_ptr<CmModel> model(new (std::nothrow) CmModel());
  if (!model || !model->allocate(tableBitsA, tableBitsB, historySize)) return nullptr;
  return model;
}

bool CmModel::allocate(std::uint32_t tableBitsA, std::uint32_t tableBitsB, std::uint32_t historySize) {
  if (!contexts_.allocate(tableBitsA) || !match_.allocate(tableBitsB, historySize)) return false;
  apm_.reset();
  finalMixer_.reset();
  return true;
}

void CmModel::resetAdaptation() {
  apm_.reset();
  finalMixer_.reset();
}

void CmModel::update(std::uint32_t y) {
  std::int16_t* inputs = mixer_.inputs().data();

  // Mixer learning and error statistics.
  const std::int32_t error = static_cast<std::int32_t>(4095 * y) - static_cast<std::int32_t>(p_);
  mixer_.learn(error);
  const std::uint32_t size = static_cast<std::uint32_t>(std::abs(error));
  errorSum_ = static_cast<std::uint8_t>(errorSum_ + (size >> 7));
  bigErrors_ = ((bigErrors_ << 1) | (size > kBigError ? 1u : 0u)) & 0xFF;
  recentBits_ = ((recentBits_ << 1) | y) & 0x1FFFF;

  contexts_.learn(y, inputs[0]);

  c0_ = 2 * c0_ + y;
  if (c0_ > 255) {
    const std::uint32_t c = c0_ - 256;
    history_ = (history_ << 8) | c;
    match_.appendByte(c);
    contexts_.updateByte(c, history_, matchLength_, errorSum_, match_.spaceGapAverage());
    match_.predictByte();
    finalMixer_.prefetchByte(c);
    c0_ = 1;
    bitCount_ = 0;
    contexts_.lookUpSlots();
  } else {
    ++bitCount_;
    if (bitCount_ == 4) {
      contexts_.nibbleBoundary(c0_, history_);
    } else {
      contexts_.advance(y, bitCount_ & 3);
      if (bitCount_ == 3) contexts_.prefetchSecondNibble(c0_, history_);
      if (bitCount_ == 7) {
        contexts_.prefetchNextByte(c0_, history_);
        match_.prefetchNextByte(c0_);
      }
    }
  }

  // Prediction. The refinement rows are known up to one bit (the number of known
  // contexts decides the row's half): start loading them first.
  const std::uint32_t apmRow = (bigErrors_ & 7) * 256 + c0_;
  apm_.prefetchRow(apmRow);
  apm_.prefetchRow(apmRow + 2048);
  const std::uint32_t pair = 32 * (history_ & 0xFF) + 4 * bitCount_ + 2 * (bigErrors_ & 1) + y;

  matchLength_ = match_.predictBit(c0_, y, 8 - bitCount_, inputs);
  const std::uint32_t known = contexts_.predict(inputs, c0_, bitCount_, matchLength_, recentBits_);
  const std::uint32_t lengthClass = (matchLength_ > 9 ? 1u : 0u) + (matchLength_ > 4 ? 1u : 0u);
  const std::uint32_t m = mixer_.mix(contexts_.wordClass() + 4 * (lengthClass + 3 * known));
  const std::uint32_t pMix = ByteSquashTable[m >> 4];
  const std::uint32_t row = apmRow + (known > 3 ? 2048u : 0u);
  const std::uint32_t pApm = apm_.refine(m, row, y, apmLimit(known, contexts_.modelSet()));
  const std::uint32_t p1 = (pMix + 3 * pApm + 2) >> 2;
  p_ = finalProbability(p1, finalMixer_.mix(p1, pair, y));
}

}  // namespace quorvex::cm
