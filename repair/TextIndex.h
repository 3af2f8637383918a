// A hash index of texts whose blocks live elsewhere (and outlive it), in one flat table:
// a lookup reads one slot and compares the text once. The engine's caches meet a text
// per candidate value, between walks over hives far larger than the processor's caches,
// so what counts is how few separate places in memory a lookup touches.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <string_view>
#include <vector>

template <typename V>
class TextIndex {
 public:
  // The value added first with `text` (code unit for code unit), or nullptr.
  const V* find(std::u16string_view text) const {
    if (slots_.empty()) return nullptr;
    const uint64_t h = hash(text);
    for (size_t i = h & mask_;; i = (i + 1) & mask_) {
      const Slot& s = slots_[i];
      if (s.text == nullptr) return nullptr;
      if (s.hash == h && s.size == text.size() && std::memcmp(s.text, text.data(), text.size() * 2) == 0)
        return &s.value;
    }
  }
  // Adds `text` with `value` unless the text is there already (false: the first stays).
  // The text's block must stay where it is for as long as the index keeps it.
  bool add(std::u16string_view text, V value) {
    if (2 * (used_ + 1) > slots_.size()) grow();
    const uint64_t h = hash(text);
    for (size_t i = h & mask_;; i = (i + 1) & mask_) {
      Slot& s = slots_[i];
      if (s.text == nullptr) {
        s = Slot{h, text.data(), text.size(), std::move(value)};
        ++used_;
        return true;
      }
      if (s.hash == h && s.size == text.size() && std::memcmp(s.text, text.data(), text.size() * 2) == 0) return false;
    }
  }
  void clear() {
    slots_.clear();
    used_ = 0;
    mask_ = 0;
  }
  size_t size() const { return used_; }

 private:
  struct Slot {
    uint64_t hash = 0;
    const char16_t* text = nullptr;  // nullptr: a free slot
    size_t size = 0;
    V value{};
  };
  static uint64_t hash(std::u16string_view text) {
    return std::hash<std::string_view>{}({reinterpret_cast<const char*>(text.data()), text.size() * 2});
  }
  void grow() {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(old.empty() ? 64 : 2 * old.size(), Slot{});
    mask_ = slots_.size() - 1;
    for (Slot& s : old)
      if (s.text != nullptr)
        for (size_t i = s.hash & mask_;; i = (i + 1) & mask_)
          if (slots_[i].text == nullptr) {
            slots_[i] = std::move(s);
            break;
          }
  }

  std::vector<Slot> slots_;
  size_t used_ = 0, mask_ = 0;
};
