// A hash index of texts with a small value each, kept in two flat blocks: a table of
// 8-byte slots (part of the hash and where the entry lies) and the entries themselves,
// each its hash, size and value followed by its own copy of the text. The engine's caches
// meet a text per candidate value, between walks over hives far larger than the
// processor's caches, so what counts is how few separate places in memory a lookup
// touches: the slot table is small enough to stay cached, and a hit then reads one entry
// from its start on.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <string_view>
#include <type_traits>
#include <vector>

template <typename V>
class TextIndex {
  static_assert(std::is_trivially_copyable_v<V>);

 public:
  // The value added first with `text` (code unit for code unit), or nullptr. The
  // pointer holds until the next add.
  const V* find(std::u16string_view text) const {
    if (slots_.empty()) return nullptr;
    const uint64_t h = hash(text);
    for (size_t i = h & mask_;; i = (i + 1) & mask_) {
      const uint64_t slot = slots_[i];
      if (slot == 0) return nullptr;
      if (const Head* e = matching(slot, h, text)) return &e->value;
    }
  }
  // Adds `text` with `value` unless the text is there already (false: the first stays).
  bool add(std::u16string_view text, V value) {
    if (2 * (used_ + 1) > slots_.size()) grow();
    const uint64_t h = hash(text);
    for (size_t i = h & mask_;; i = (i + 1) & mask_) {
      if (slots_[i] == 0) {
        const size_t at = entries_.size();
        entries_.resize(at + 1 + (text.size() * 2 + sizeof(Head) - 1) / sizeof(Head));
        entries_[at] = Head{h, text.size(), value};
        if (!text.empty()) std::memcpy(&entries_[at + 1], text.data(), text.size() * 2);
        slots_[i] = slot_of(h, at);
        ++used_;
        return true;
      }
      if (matching(slots_[i], h, text)) return false;
    }
  }
  void clear() {
    slots_.clear();
    entries_.clear();
    used_ = 0;
    mask_ = 0;
  }
  size_t size() const { return used_; }

 private:
  struct Head {
    uint64_t hash;
    uint64_t size;
    V value;
  };

  static uint64_t hash(std::u16string_view text) {
    return std::hash<std::string_view>{}({reinterpret_cast<const char*>(text.data()), text.size() * 2});
  }
  // A slot holds the hash's high half and where the entry starts, plus one (0: free).
  static uint64_t slot_of(uint64_t h, size_t at) { return (h & 0xFFFFFFFF00000000u) | uint64_t(at + 1); }
  const Head* matching(uint64_t slot, uint64_t h, std::u16string_view text) const {
    if ((slot ^ h) >> 32) return nullptr;
    const Head* e = &entries_[(slot & 0xFFFFFFFFu) - 1];
    if (e->hash != h || e->size != text.size()) return nullptr;
    return text.empty() || std::memcmp(e + 1, text.data(), text.size() * 2) == 0 ? e : nullptr;
  }
  void grow() {
    std::vector<uint64_t> old = std::move(slots_);
    slots_.assign(old.empty() ? 64 : 2 * old.size(), 0);
    mask_ = slots_.size() - 1;
    for (uint64_t slot : old) {
      if (slot == 0) continue;
      const uint64_t h = entries_[(slot & 0xFFFFFFFFu) - 1].hash;
      for (size_t i = h & mask_;; i = (i + 1) & mask_)
        if (slots_[i] == 0) {
          slots_[i] = slot;
          break;
        }
    }
  }

  std::vector<uint64_t> slots_;
  std::vector<Head> entries_;  // each a Head, then its text in the bytes of the Heads after it
  size_t used_ = 0, mask_ = 0;
};
