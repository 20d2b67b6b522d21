// OpenTable: the open-addressing hash table behind the module's per-call
// maps.
//
// Linear probing over a power-of-two array of slots. The table doubles
// before an insertion would take it past 3/4 full, so every probe ends at an
// empty slot. Nothing is allocated before the first insertion, entries are
// never removed, and slots move when the table grows: a slot pointer stays
// valid only until the next insertion.
#pragma once

#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>

namespace quernlet {

// What a table needs to know about its keys and slots:
//   Key            the lookup key, passed by value (cheap to copy)
//   Slot           one slot; a value-initialised Slot is empty, and moving a
//                  full slot moves its entry (owned references included)
//   kFirstCapacity the capacity of the first allocation, a power of two
//   hash(key)      the key's hash; the low bits pick the first slot probed
//   hash_of(slot)  the hash of a full slot's key (to place it on growth)
//   holds(slot, key, hash)  whether a full slot holds `key`, whose hash is given
//   is_empty(slot) the empty marker
template <class T>
concept OpenTableTraits = std::default_initializable<typename T::Slot> &&
    std::movable<typename T::Slot> && std::has_single_bit(T::kFirstCapacity) &&
    requires(typename T::Key key, const typename T::Slot& slot, std::uint64_t h) {
  { T::hash(key) }
  noexcept->std::same_as<std::uint64_t>;
  { T::hash_of(slot) }
  noexcept->std::same_as<std::uint64_t>;
  { T::holds(slot, key, h) }
  noexcept->std::same_as<bool>;
  { T::is_empty(slot) }
  noexcept->std::same_as<bool>;
};

template <OpenTableTraits Traits>
class OpenTable {
 public:
  using Key = typename Traits::Key;
  using Slot = typename Traits::Slot;

  OpenTable() noexcept = default;

  // The full slot holding `key`, or null.
  const Slot* find(Key key) const noexcept {
    if (!slots_) return nullptr;
    const std::uint64_t h = Traits::hash(key);
    for (std::size_t i = h & mask_;; i = (i + 1) & mask_) {
      const Slot& slot = slots_[i];
      if (Traits::is_empty(slot)) return nullptr;
      if (Traits::holds(slot, key, h)) return &slot;
    }
  }

  // Asks for the cache line where a lookup of `key` starts, ahead of it.
  void prefetch(Key key) const noexcept {
    if (slots_) __builtin_prefetch(&slots_[Traits::hash(key) & mask_]);
  }

  // The slot holding `key`. On the first sight of `key`, `fill(slot, hash)`
  // is given the empty slot where it belongs and must either make it a full
  // slot holding `key` and return true, or leave it empty and return false;
  // null is returned then. `fill` must not use the table.
  template <class Fill>
  const Slot* find_or_insert(Key key, Fill&& fill) {
    if ((used_ + 1) * 4 > capacity() * 3) grow();
    const std::uint64_t h = Traits::hash(key);
    for (std::size_t i = h & mask_;; i = (i + 1) & mask_) {
      Slot& slot = slots_[i];
      if (Traits::is_empty(slot)) {
        if (!fill(slot, h)) return nullptr;
        ++used_;
        return &slot;
      }
      if (Traits::holds(slot, key, h)) return &slot;
    }
  }

  // The number of full slots.
  std::size_t size() const noexcept { return used_; }

  // Makes room for `entries` full slots in all, at once: a table known to
  // grow large skips the many doublings (and moves) on the way.
  void reserve(std::size_t entries) {
    const std::size_t wanted = std::bit_ceil(entries + entries / 3 + 1);
    if (wanted > capacity()) grow(wanted);
  }

 private:
  std::size_t capacity() const noexcept { return slots_ ? mask_ + 1 : 0; }

  void grow() {
    const std::size_t old_capacity = capacity();
    grow(old_capacity == 0 ? Traits::kFirstCapacity : old_capacity * 2);
  }

  void grow(std::size_t new_capacity) {
    const std::size_t old_capacity = capacity();
    auto fresh = std::make_unique<Slot[]>(new_capacity);  // value-initialised: all empty
    const std::size_t new_mask = new_capacity - 1;
    for (std::size_t i = 0; i < old_capacity; ++i) {
      Slot& slot = slots_[i];
      if (Traits::is_empty(slot)) continue;
      std::size_t j = Traits::hash_of(slot) & new_mask;
      while (!Traits::is_empty(fresh[j])) j = (j + 1) & new_mask;
      fresh[j] = std::move(slot);
    }
    slots_ = std::move(fresh);
    mask_ = new_mask;
  }

  std::unique_ptr<Slot[]> slots_;  // null until the first insertion
  std::size_t mask_ = 0;           // capacity - 1 once allocated
  std::size_t used_ = 0;           // full slots
};

}  // namespace quernlet
