// NameIndex: the rule engine's map from a rule's name to the rule.
#ifndef RULES_NAME_INDEX_H_
#define RULES_NAME_INDEX_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

// Open addressing with linear probing over one flat array of (hash, pointer) slots,
// at most half full. A node-based hash map touched, for every insertion, a node of an
// earlier rule somewhere in the heap, and for every lookup a node before the name; with
// tens of thousands of rules those were cache misses that grew with the rule count. Here
// an insertion writes one slot, a lookup reads one slot (a full 64-bit hash decides it
// all but always) and then the name of the one rule it compares with.
//
// T is the stored object, never owned; NameOf(const T&) gives its name, which must stay
// the same while the object is in the index. Not thread-safe for changes; lookups may
// run at once.
template <class T, std::string_view (*NameOf)(const T&)>
class NameIndex {
 public:
  size_t size() const { return count_; }

  // The object named name, or null.
  T* Find(std::string_view name) const {
    if (count_ == 0) return nullptr;
    const uint64_t hash = Hash(name);
    for (size_t i = hash & mask_;; i = (i + 1) & mask_) {
      const Slot& slot = slots_[i];
      if (slot.object == nullptr) return nullptr;
      if (slot.hash == hash && NameOf(*slot.object) == name) return slot.object;
    }
  }

  // Adds object under its name: true, or false when an object of that name is there
  // already (nothing changes then). Throws std::bad_alloc when the index cannot grow.
  bool Insert(T* object) {
    if ((count_ + 1) * 2 > slots_.size()) Grow();
    const std::string_view name = NameOf(*object);
    const uint64_t hash = Hash(name);
    size_t i = hash & mask_;
    for (; slots_[i].object != nullptr; i = (i + 1) & mask_) {
      if (slots_[i].hash == hash && NameOf(*slots_[i].object) == name) return false;
    }
    slots_[i] = Slot{hash, object};
    ++count_;
    return true;
  }

  // Removes the object named name, if there is one. Later slots of its run move back
  // into the gap (no tombstones), so lookups stay as short as after insertions alone.
  void Erase(std::string_view name) {
    if (count_ == 0) return;
    const uint64_t hash = Hash(name);
    size_t gap = hash & mask_;
    for (;; gap = (gap + 1) & mask_) {
      if (slots_[gap].object == nullptr) return;
      if (slots_[gap].hash == hash && NameOf(*slots_[gap].object) == name) break;
    }
    for (size_t i = (gap + 1) & mask_; slots_[i].object != nullptr; i = (i + 1) & mask_) {
      // The slot may fill the gap unless its home lies cyclically in (gap, i].
      const size_t home = slots_[i].hash & mask_;
      const bool home_after_gap = gap <= i ? (gap < home && home <= i) : (gap < home || home <= i);
      if (home_after_gap) continue;
      slots_[gap] = slots_[i];
      gap = i;
    }
    slots_[gap] = Slot{};
    --count_;
  }

  void Clear() {
    slots_.clear();
    mask_ = 0;
    count_ = 0;
  }

 private:
  struct Slot {
    uint64_t hash = 0;
    T* object = nullptr;  // null: empty
  };

  static uint64_t Hash(std::string_view name) { return std::hash<std::string_view>()(name); }

  // Doubles the slots (16 at first) and places every object again: a pass over the old
  // array, with no object touched.
  void Grow() {
    std::vector<Slot> old(slots_.empty() ? 16 : slots_.size() * 2);
    old.swap(slots_);
    mask_ = slots_.size() - 1;
    for (const Slot& slot : old) {
      if (slot.object == nullptr) continue;
      size_t i = slot.hash & mask_;
      while (slots_[i].object != nullptr) i = (i + 1) & mask_;
      slots_[i] = slot;
    }
  }

  std::vector<Slot> slots_;  // a power of two in size, or empty
  size_t mask_ = 0;
  size_t count_ = 0;
};

#endif  // RULES_NAME_INDEX_H_
