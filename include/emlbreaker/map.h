// CMap: the chained hash map of the system, with its iteration position.
#ifndef EMLBREAKER_MAP_H_
#define EMLBREAKER_MAP_H_

#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>

#include "emlbreaker/array.h"
#include "emlbreaker/blackbox_object.h"

namespace ascommon {

// The default hash of an unsigned integer key (32-bit unsigned arithmetic).
inline uint32_t HashInteger(uint32_t x) {
  x = x * 0x1001u;
  x = (x >> 22) ^ x;
  x = x * 0x11u;
  x = (x >> 9) ^ x;
  x = x * 0x401u;
  x = (x >> 2) ^ x;
  x = x * 0x81u;
  return (x >> 12) ^ x;
}

namespace internal {

template <class K, class = void>
struct HasLess : std::false_type {};
template <class K>
struct HasLess<K, std::void_t<decltype(std::declval<const K&>() < std::declval<const K&>())>>
    : std::true_type {};

// Integers hash with HashInteger; every other key type brings its own Hash()
// (sstring and usstring do).
template <class K>
uint32_t DefaultHash(const K& key) {
  if constexpr (std::is_integral_v<K> || std::is_enum_v<K>) {
    return HashInteger(static_cast<uint32_t>(key));
  } else {
    return key.Hash();
  }
}

}  // namespace internal

// A hash map from K to V with one singly linked chain per bucket; nodes are
// allocated one by one, and a node never moves while it is in the map, so a
// pointer from Lookup stays valid until its key is removed (Rehash included).
//
// The bucket of a key is hash(key) % bucketCount, with the map's hash function
// when one is given and the default hash of K otherwise. Keys are equal by K's ==
// (the stored key on the left), so a string map never finds an unset key. A new
// node goes at the tail of its chain, or, with ordered chains, before the first
// node whose key is not less than its own.
//
// Nothing throws except construction, which throws std::bad_alloc when the bucket
// arrays cannot be allocated. Operations return 0, -2 (no buckets, or no memory
// for a node), -450 (key absent) or -451 (key present). The map owns its keys and
// values, never what a pointer value points to. Not copyable (movable); not thread-safe.
template <class K, class V>
class CMap : public CBlackBoxObject {
  struct Node {
    K key;
    V value;
    Node* next;
  };

 public:
  using HashFunction = uint32_t (*)(const K&);

  // An iteration step: map, bucket index and node. The first position is the head
  // of bucket 0, or when that is empty the head of the next non-empty bucket;
  // stepping follows the chain and then moves to the next non-empty bucket with the
  // index running down from bucketCount - 1 to 0 (bucket 0, then the last bucket,
  // then down). There is no end mark: callers step exactly GetCount() - 1 times
  // after GetStartPosition(). Changing the map invalidates positions.
  class Position {
   public:
    const K& Key() const { return node_->key; }
    V& Value() const { return node_->value; }
    void Next() {
      node_ = node_ != nullptr ? node_->next : nullptr;
      if (node_ == nullptr) map_->NextBucket(this);
    }

   private:
    friend class CMap;
    const CMap* map_ = nullptr;
    uint32_t bucket_ = 0;
    Node* node_ = nullptr;
  };

  explicit CMap(HashFunction hash_function = nullptr) : CMap(32, hash_function) {}
  CMap(uint32_t bucket_count, HashFunction hash_function) : hash(hash_function) {
    if (bucket_count == 0) return;  // a map without buckets: every change gives -2
    heads = new Node*[bucket_count]();
    tails = new (std::nothrow) Node*[bucket_count]();
    if (tails == nullptr) {
      delete[] heads;
      throw std::bad_alloc();
    }
    bucketCount = bucket_count;
  }
  // The moved-from map has no buckets.
  CMap(CMap&& other) noexcept
      : bucketCount(other.bucketCount),
        count(other.count),
        heads(other.heads),
        tails(other.tails),
        ordered(other.ordered),
        hash(other.hash) {
    other.bucketCount = 0;
    other.count = 0;
    other.heads = nullptr;
    other.tails = nullptr;
  }
  CMap(const CMap&) = delete;
  CMap& operator=(const CMap&) = delete;
  ~CMap() override { Clear(); }

  // Ordered chains need K's <; set this before the first Insert.
  void SetOrdered(bool is_ordered) {
    static_assert(internal::HasLess<K>::value, "ordered chains need operator< on the key");
    ordered = is_ordered ? 1 : 0;
  }
  bool IsOrdered() const { return ordered != 0; }

  uint32_t GetCount() const { return count; }
  uint32_t GetBucketCount() const { return bucketCount; }

  // 0, -451 when key is present (its value is left alone), -2.
  int Insert(const K& key, const V& value) {
    if (heads == nullptr) return kNoMemory;
    const uint32_t bucket = BucketOf(key);
    Node* before = nullptr;  // the new node goes after this one (null: at the head)
    bool place_found = false;
    for (Node* node = heads[bucket]; node != nullptr; node = node->next) {
      if (node->key == key) return kKeyPresent;
      if (!place_found && ordered != 0 && !IsLess(node->key, key)) place_found = true;
      if (!place_found) before = node;
    }
    Node* node = new (std::nothrow) Node{key, value, nullptr};
    if (node == nullptr) return kNoMemory;
    if (internal::CopyFailed(node->key) || internal::CopyFailed(node->value)) {
      delete node;
      return kNoMemory;
    }
    LinkAfter(bucket, before, node);
    ++count;
    return 0;
  }

  // Links key at its chain's tail without searching the chain first: for a caller that
  // knows the key is absent (it keeps an index of its own) and would otherwise pay a chain
  // walk per entry. Unordered maps only. 0 or -2.
  int Append(const K& key, const V& value) {
    if (heads == nullptr || ordered != 0) return kNoMemory;
    const uint32_t bucket = BucketOf(key);
    Node* node = new (std::nothrow) Node{key, value, nullptr};
    if (node == nullptr) return kNoMemory;
    if (internal::CopyFailed(node->key) || internal::CopyFailed(node->value)) {
      delete node;
      return kNoMemory;
    }
    LinkAfter(bucket, tails[bucket], node);
    ++count;
    return 0;
  }

  // Replaces the value of an existing key: 0, -450, -2.
  int SetAt(const K& key, const V& value) {
    if (heads == nullptr) return kNoMemory;
    V* stored = Lookup(key);
    if (stored == nullptr) return kKeyAbsent;
    V copy(value);
    if (internal::CopyFailed(copy)) return kNoMemory;
    *stored = std::move(copy);
    return 0;
  }

  // Unlinks and frees the node of key: 0, -450, -2.
  int Remove(const K& key) {
    if (heads == nullptr) return kNoMemory;
    const uint32_t bucket = BucketOf(key);
    Node* previous = nullptr;
    for (Node* node = heads[bucket]; node != nullptr; previous = node, node = node->next) {
      if (!(node->key == key)) continue;
      (previous != nullptr ? previous->next : heads[bucket]) = node->next;
      if (tails[bucket] == node) tails[bucket] = previous;
      delete node;
      --count;
      return 0;
    }
    return kKeyAbsent;
  }

  V* Lookup(const K& key) { return const_cast<V*>(static_cast<const CMap*>(this)->Lookup(key)); }
  const V* Lookup(const K& key) const {
    if (heads == nullptr) return nullptr;
    for (Node* node = heads[BucketOf(key)]; node != nullptr; node = node->next) {
      if (node->key == key) return &node->value;
    }
    return nullptr;
  }

  // Frees every node and keeps the buckets, so the map takes new entries at once.
  void RemoveAll() {
    for (uint32_t b = 0; heads != nullptr && b < bucketCount; ++b) {
      for (Node* node = heads[b]; node != nullptr;) {
        Node* next = node->next;
        delete node;
        node = next;
      }
      heads[b] = nullptr;
      tails[b] = nullptr;
    }
    count = 0;
  }

  // Moves every node to chain hash(key) % new_bucket_count, taking the old chains in
  // bucket order and each chain from head to tail. 0 leaves the map as it is.
  int Rehash(uint32_t new_bucket_count) {
    if (new_bucket_count == 0) return 0;
    Node** new_heads = new (std::nothrow) Node*[new_bucket_count]();
    Node** new_tails = new (std::nothrow) Node*[new_bucket_count]();
    if (new_heads == nullptr || new_tails == nullptr) {
      delete[] new_heads;
      delete[] new_tails;
      return kNoMemory;
    }
    Node** old_heads = heads;
    const uint32_t old_count = bucketCount;
    delete[] tails;
    heads = new_heads;
    tails = new_tails;
    bucketCount = new_bucket_count;
    for (uint32_t b = 0; b < old_count; ++b) {
      Node* node = old_heads[b];
      while (node != nullptr) {
        Node* next = node->next;
        node->next = nullptr;
        const uint32_t bucket = BucketOf(node->key);
        LinkAfter(bucket, PlaceInChain(bucket, node->key), node);
        node = next;
      }
    }
    delete[] old_heads;
    return 0;
  }

  // Meaningful only when GetCount() > 0.
  Position GetStartPosition() const {
    Position position;
    position.map_ = this;
    if (heads == nullptr) return position;
    position.node_ = heads[0];
    if (position.node_ == nullptr && count > 0) NextBucket(&position);
    return position;
  }

 private:
  uint32_t BucketOf(const K& key) const {
    const uint32_t h = hash != nullptr ? hash(key) : internal::DefaultHash(key);
    return h % bucketCount;
  }

  static bool IsLess(const K& a, const K& b) {
    if constexpr (internal::HasLess<K>::value) {
      return a < b;
    } else {
      return false;  // unreachable: SetOrdered cannot be called without <
    }
  }

  // The node after which a node with key goes (null: at the head).
  Node* PlaceInChain(uint32_t bucket, const K& key) const {
    if (ordered == 0) return tails[bucket];
    Node* before = nullptr;
    for (Node* node = heads[bucket]; node != nullptr && IsLess(node->key, key); node = node->next) {
      before = node;
    }
    return before;
  }

  void LinkAfter(uint32_t bucket, Node* before, Node* node) {
    if (before == nullptr) {
      node->next = heads[bucket];
      heads[bucket] = node;
    } else {
      node->next = before->next;
      before->next = node;
    }
    if (node->next == nullptr) tails[bucket] = node;
  }

  // From position's bucket, the next non-empty one downwards, wrapping from 0 to
  // bucketCount - 1; gives up after one round (the map is empty then).
  void NextBucket(Position* position) const {
    position->node_ = nullptr;
    if (heads == nullptr) return;
    uint32_t bucket = position->bucket_;
    for (uint32_t tries = 0; tries < bucketCount; ++tries) {
      bucket = bucket == 0 ? bucketCount - 1 : bucket - 1;
      if (heads[bucket] != nullptr) {
        position->bucket_ = bucket;
        position->node_ = heads[bucket];
        return;
      }
    }
  }

  void Clear() {
    if (heads != nullptr) {
      for (uint32_t b = 0; b < bucketCount; ++b) {
        for (Node* node = heads[b]; node != nullptr;) {
          Node* next = node->next;
          delete node;
          node = next;
        }
      }
    }
    delete[] heads;
    delete[] tails;
    heads = nullptr;
    tails = nullptr;
    count = 0;
  }

  uint32_t bucketCount = 0;
  uint32_t count = 0;
  Node** heads = nullptr;
  Node** tails = nullptr;
  uint32_t ordered = 0;
  HashFunction hash = nullptr;
};

}  // namespace ascommon

#endif  // EMLBREAKER_MAP_H_
