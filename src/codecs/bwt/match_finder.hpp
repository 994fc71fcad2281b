// Hash chains over a byte string, for the encoders of the two match stages: every
// inserted position is chained under a hash of its first four bytes, and a search
// walks a bounded number of links for the longest match.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

namespace quorvex::bwt {

struct FoundMatch {
  std::uint32_t position = 0;
  std::uint32_t length = 0;
};

class HashChains {
 public:
  static constexpr std::uint32_t kHashBits = 18;
  static constexpr std::uint32_t kKeyBytes = 4;

  explicit HashChains(std::span<const std::uint8_t> source)
      : source_(source), head_(std::size_t{1} << kHashBits, 0), previous_(source.size(), 0) {}

  void insert(std::uint32_t position) {
    if (std::size_t{position} + kKeyBytes > source_.size()) return;
    std::uint32_t& head = head_[hash(source_.data() + position)];
    previous_[position] = head;
    head = position + 1;
  }

  // The number of leading bytes where source from position and target agree, at most
  // maxLength and never past the source's end.
  std::uint32_t agreement(std::uint32_t position, const std::uint8_t* target, std::uint32_t maxLength) const {
    const std::size_t room = source_.size() - position;
    const std::uint32_t limit = room < maxLength ? static_cast<std::uint32_t>(room) : maxLength;
    std::uint32_t length = 0;
    while (length < limit && source_[position + length] == target[length]) ++length;
    return length;
  }

  // The longest match for target (maxLength >= 4 bytes readable) among the inserted
  // positions, following at most depth links; the most recent wins a tie.
  FoundMatch longest(const std::uint8_t* target, std::uint32_t maxLength, std::uint32_t depth) const {
    FoundMatch best;
    if (maxLength < kKeyBytes) return best;
    for (std::uint32_t link = head_[hash(target)]; link != 0 && depth-- > 0; link = previous_[link - 1]) {
      const std::uint32_t position = link - 1;
      if (best.length > 0 && (std::size_t{position} + best.length >= source_.size() ||
                              source_[position + best.length] != target[best.length])) {
        continue;
      }
      const std::uint32_t length = agreement(position, target, maxLength);
      if (length > best.length) best = {position, length};
      if (length == maxLength) break;
    }
    return best;
  }

 private:
  static std::uint32_t hash(const std::uint8_t* at) {
    std::uint32_t key;
    std::memcpy(&key, at, sizeof key);
    return (key * 2654435761u) >> (32 - kHashBits);
  }

  std::span<const std::uint8_t> source_;
  std::vector<std::uint32_t> head_;      // position + 1 of the newest entry per hash, 0: none
  std::vector<std::uint32_t> previous_;  // position + 1 of the next older entry
};

}  // namespace quorvex::bwt
