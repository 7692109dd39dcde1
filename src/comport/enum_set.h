// A small set of enumeration values kept as bits (bit n = the value with
// ordinal n), like the set types of the port component.
#pragma once

#include <cstdint>
#include <initializer_list>

namespace comport {

template <typename E>
class EnumSet {
 public:
  constexpr EnumSet() = default;
  constexpr EnumSet(std::initializer_list<E> values) {
    for (E value : values) insert(value);
  }
  static constexpr EnumSet fromBits(std::uint32_t bits) {
    EnumSet set;
    set.bits_ = bits;
    return set;
  }

  constexpr std::uint32_t bits() const { return bits_; }
  constexpr bool contains(E value) const { return (bits_ & bit(value)) != 0; }
  constexpr bool empty() const { return bits_ == 0; }
  constexpr void insert(E value) { bits_ |= bit(value); }
  constexpr void erase(E value) { bits_ &= ~bit(value); }
  constexpr bool operator==(const EnumSet& other) const = default;

 private:
  static constexpr std::uint32_t bit(E value) {
    return std::uint32_t{1} << static_cast<unsigned>(value);
  }
  std::uint32_t bits_ = 0;
};

}  // namespace comport
