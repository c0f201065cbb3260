// The one generic owner: a value with an "invalid" sentinel and a close
// function, given by a traits type. Portable (no Windows headers), so its
// moves are checked natively too. Moving an owner moves the value and never
// copies it: moves are noexcept, and an owner may hold a value whose copy
// allocates (a path), where a failed allocation would end the host.
#pragma once

#include <type_traits>
#include <utility>

namespace velmora {

template <typename T, typename Traits>
class UniqueHandleT {
  static_assert(std::is_nothrow_move_constructible_v<T> && std::is_nothrow_move_assignable_v<T>,
                "an owner's moves must not fail");

 public:
  UniqueHandleT() = default;
  explicit UniqueHandleT(T h) noexcept : h_(std::move(h)) {}
  UniqueHandleT(const UniqueHandleT&) = delete;
  UniqueHandleT& operator=(const UniqueHandleT&) = delete;
  UniqueHandleT(UniqueHandleT&& o) noexcept : h_(o.release()) {}
  UniqueHandleT& operator=(UniqueHandleT&& o) noexcept {
    if (this != &o) reset(o.release());
    return *this;
  }
  ~UniqueHandleT() { reset(); }

  const T& get() const noexcept { return h_; }
  T* put() noexcept {
    reset();
    return &h_;
  }
  T release() noexcept { return std::exchange(h_, Traits::invalid()); }
  bool valid() const noexcept { return h_ != Traits::invalid(); }
  explicit operator bool() const noexcept { return valid(); }
  void reset(T h = Traits::invalid()) noexcept {
    if (valid()) Traits::close(h_);
    h_ = std::move(h);
  }

 private:
  T h_ = Traits::invalid();
};

}  // namespace velmora
