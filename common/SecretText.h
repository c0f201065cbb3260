// Text that must not outlive its use: passwords. A std::string leaves its
// bytes behind in every buffer it lets go of (growing copies, the heap block
// it frees) and in its own small buffer after a move or a clear; a crash
// dump or the page file then keeps them. SecretText overwrites each of
// those before letting go. Portable: the login decisions use it natively.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace velmora {

// Overwrites `size` bytes with zeros; never left out by the optimiser.
void WipeBytes(void* bytes, size_t size) noexcept;

// Wipes every block before it goes back to the heap, so a reallocation
// leaves no copy in the block it grew out of.
template <typename T>
struct WipingAllocator {
  using value_type = T;
  WipingAllocator() = default;
  template <typename U>
  WipingAllocator(const WipingAllocator<U>&) noexcept {}
  T* allocate(size_t n) { return std::allocator<T>().allocate(n); }
  void deallocate(T* p, size_t n) noexcept {
    WipeBytes(p, n * sizeof(T));
    std::allocator<T>().deallocate(p, n);
  }
  friend bool operator==(const WipingAllocator&, const WipingAllocator&) { return true; }
  friend bool operator!=(const WipingAllocator&, const WipingAllocator&) { return false; }
};

template <typename Char>
class BasicSecretText {
 public:
  using View = std::basic_string_view<Char>;

  BasicSecretText() = default;
  // Implicit: plain text becoming secret loses nothing.
  BasicSecretText(View text) : text_(text.data(), text.size()) {}
  BasicSecretText(const Char* text) : BasicSecretText(View(text)) {}
  BasicSecretText(const std::basic_string<Char>& text) : BasicSecretText(View(text)) {}
  BasicSecretText(const BasicSecretText& other) : text_(other.text_) {}
  BasicSecretText(BasicSecretText&& other) noexcept : text_(std::move(other.text_)) { other.Wipe(); }
  ~BasicSecretText() { Wipe(); }

  BasicSecretText& operator=(const BasicSecretText& other) {
    if (this != &other) Assign(other.view());
    return *this;
  }
  BasicSecretText& operator=(BasicSecretText&& other) noexcept {
    if (this != &other) {
      Wipe();
      text_ = std::move(other.text_);  // may hand our old block to `other`
      other.Wipe();
    }
    return *this;
  }
  BasicSecretText& operator=(View text) {
    Assign(text);
    return *this;
  }
  BasicSecretText& operator=(const Char* text) { return *this = View(text); }
  BasicSecretText& operator=(const std::basic_string<Char>& text) { return *this = View(text); }

  View view() const { return View(text_.data(), text_.size()); }
  const Char* c_str() const { return text_.c_str(); }
  size_t size() const { return text_.size(); }
  bool empty() const { return text_.empty(); }
  void clear() noexcept { Wipe(); }

  // Room for `size` characters to be written in place (a conversion's
  // output); what was there before is wiped first.
  Char* Overwrite(size_t size) {
    Wipe();
    text_.resize(size);
    return &text_[0];
  }

  friend bool operator==(const BasicSecretText& a, View b) { return a.view() == b; }
  friend bool operator!=(const BasicSecretText& a, View b) { return a.view() != b; }

 private:
  using String = std::basic_string<Char, std::char_traits<Char>, WipingAllocator<Char>>;

  void Assign(View text) {
    Wipe();
    text_.assign(text.data(), text.size());
  }
  // The whole buffer, not only the characters in use: a shorter text
  // assigned earlier leaves the tail of a longer one behind.
  void Wipe() noexcept {
    text_.resize(text_.capacity());  // within capacity: no allocation
    WipeBytes(&text_[0], text_.size() * sizeof(Char));
    text_.clear();
  }

  String text_;
};

using SecretText = BasicSecretText<char>;
using SecretWideText = BasicSecretText<wchar_t>;

}  // namespace velmora
