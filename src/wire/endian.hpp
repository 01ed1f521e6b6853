// endian.hpp: numbers in a stated byte order, whatever the host's.
//
// TL numbers are little-endian. A host of the other order swaps the bytes of
// each one; on a host of the stated order the swap is compiled out and a load
// or store is one plain copy. The order is a parameter, not fixed, so that the
// tests drive the swapping path on every host (a host-order copy then fails
// somewhere whatever the host).
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace velmora::wire {

static_assert(std::endian::native == std::endian::little || std::endian::native == std::endian::big,
              "a host of mixed byte order");

inline constexpr std::uint32_t byteswap(std::uint32_t v) noexcept {
  return (v >> 24) | ((v >> 8) & 0xff00u) | ((v << 8) & 0xff0000u) | (v << 24);
}
inline constexpr std::uint64_t byteswap(std::uint64_t v) noexcept {
  return (std::uint64_t{byteswap(static_cast<std::uint32_t>(v))} << 32) |
         byteswap(static_cast<std::uint32_t>(v >> 32));
}

// The unsigned integer of T's size: the unit that is swapped.
template <class T>
using SwapUnit = std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>;

// T is a 4- or 8-byte integer or a double.
template <std::endian Order, class T>
inline void store(std::uint8_t* p, T v) noexcept {
  static_assert(sizeof(T) == 4 || sizeof(T) == 8);
  auto u = std::bit_cast<SwapUnit<T>>(v);
  if constexpr (Order != std::endian::native) u = byteswap(u);
  std::memcpy(p, &u, sizeof u);
}

template <std::endian Order, class T>
inline T load(const std::uint8_t* p) noexcept {
  static_assert(sizeof(T) == 4 || sizeof(T) == 8);
  SwapUnit<T> u;
  std::memcpy(&u, p, sizeof u);
  if constexpr (Order != std::endian::native) u = byteswap(u);
  return std::bit_cast<T>(u);
}

// The wire's own order.
template <class T>
inline void store_le(std::uint8_t* p, T v) noexcept {
  store<std::endian::little>(p, v);
}
template <class T>
inline T load_le(const std::uint8_t* p) noexcept {
  return load<std::endian::little, T>(p);
}

}  // namespace velmora::wire
