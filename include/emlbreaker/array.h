// CArray: the growable array of the system, with the growth chunk fixed per
// instance by a template argument.
#ifndef EMLBREAKER_ARRAY_H_
#define EMLBREAKER_ARRAY_H_

#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>

#include "emlbreaker/blackbox_object.h"
#include "emlbreaker/exceptions.h"

namespace ascommon {

// Return codes of the containers (CArray, CMap) and strings.
inline constexpr int kNoMemory = -2;      // memory ran out; the container is unchanged
inline constexpr int kKeyAbsent = -450;   // CMap: no entry with that key
inline constexpr int kKeyPresent = -451;  // CMap::Insert: the key is there already
namespace internal {

// True for element types that report a failed copy through GetError() (the string
// classes): the containers then treat such a copy as an allocation failure.
template <class T, class = void>
struct HasGetError : std::false_type {};
template <class T>
struct HasGetError<T, std::void_t<decltype(std::declval<const T&>().GetError())>> : std::true_type {
};

template <class T>
bool CopyFailed(const T& copy) {
  if constexpr (HasGetError<T>::value) {
    return copy.GetError() != 0;
  } else {
    return false;
  }
}

}  // namespace internal

// A growable array of T that grows in chunks of N elements. Storage is allocated
// one block at a time, with every element of the block constructed (value-
// initialised); the block is replaced, never extended, when it grows:
//   - construction with n elements allocates (n / N + 1) * N;
//   - Add reallocates when size + 1 >= capacity, to ((size + 1) / N + 1) * N;
//   - SetSize(n) always reallocates, to (n / N + 1) * N (n 0 frees everything).
// Existing elements move to a new block (copied when T cannot move without
// throwing). Nothing throws on a short memory: the operations return -2 and leave
// the array as it was. Only the bounds-checked access throws (InvalidIndexException,
// code -301). The array owns its elements, not what pointer elements point to.
// Not copyable (a copy could fail silently); movable. Not thread-safe.
template <class T, size_t N>
class CArray : public CBlackBoxObject {
  static_assert(N > 0, "the growth chunk must not be 0");

 public:
  explicit CArray(size_t n = 0) {
    if (n == 0) return;
    size_t new_capacity;
    if (!CapacityFor(n, &new_capacity)) return;
    data = Allocate(new_capacity);
    if (data == nullptr) return;
    size = n;
    capacity = new_capacity;
  }
  CArray(CArray&& other) noexcept : data(other.data), size(other.size), capacity(other.capacity) {
    other.data = nullptr;
    other.size = 0;
    other.capacity = 0;
  }
  CArray& operator=(CArray&& other) noexcept {
    if (this != &other) {
      delete[] data;
      data = other.data;
      size = other.size;
      capacity = other.capacity;
      other.data = nullptr;
      other.size = 0;
      other.capacity = 0;
    }
    return *this;
  }
  CArray(const CArray&) = delete;
  CArray& operator=(const CArray&) = delete;
  ~CArray() override { delete[] data; }

  size_t GetSize() const { return size; }
  size_t GetCapacity() const { return capacity; }
  T* GetData() { return data; }
  const T* GetData() const { return data; }

  T& GetAt(size_t index) {
    if (index >= size) throw InvalidIndexException();
    return data[index];
  }
  const T& GetAt(size_t index) const {
    if (index >= size) throw InvalidIndexException();
    return data[index];
  }
  T& operator[](size_t index) { return GetAt(index); }
  const T& operator[](size_t index) const { return GetAt(index); }

  // Appends a copy of element (which may be an element of this array). 0 or -2.
  int Add(const T& element) { return Append(element); }
  int Add(T&& element) { return Append(std::move(element)); }

  // Reallocates to hold n; keeps the first min(n, size) elements and, with
  // set_count, makes the size n when n is larger (the new elements are
  // value-initialised). 0 or -2.
  int SetSize(size_t n, bool set_count) {
    if (n == 0) {
      delete[] data;
      data = nullptr;
      size = 0;
      capacity = 0;
      return 0;
    }
    size_t new_capacity;
    if (!CapacityFor(n, &new_capacity)) return kNoMemory;
    T* block = Allocate(new_capacity);
    if (block == nullptr) return kNoMemory;
    const size_t kept = n < size ? n : size;
    Transfer(kept, block);
    delete[] data;
    data = block;
    capacity = new_capacity;
    size = set_count && n > kept ? n : kept;
    return 0;
  }

  T* begin() { return data; }
  T* end() { return data + size; }
  const T* begin() const { return data; }
  const T* end() const { return data + size; }

 private:
  // (n / N + 1) * N, or false when that does not fit in memory.
  static bool CapacityFor(size_t n, size_t* result) {
    const size_t chunks = n / N + 1;
    if (chunks > SIZE_MAX / sizeof(T) / N) return false;
    *result = chunks * N;
    return true;
  }

  static T* Allocate(size_t count) { return new (std::nothrow) T[count](); }

  void Transfer(size_t count, T* block) {
    for (size_t i = 0; i < count; ++i) {
      if constexpr (std::is_nothrow_move_assignable_v<T>) {
        block[i] = std::move(data[i]);
      } else {
        block[i] = data[i];
      }
    }
  }

  template <class U>
  int Append(U&& element) {
    if (size + 1 >= capacity) {
      size_t new_capacity;
      if (!CapacityFor(size + 1, &new_capacity)) return kNoMemory;
      T* block = Allocate(new_capacity);
      if (block == nullptr) return kNoMemory;
      block[size] = std::forward<U>(element);  // before the old block goes
      if (internal::CopyFailed(block[size])) {
        delete[] block;
        return kNoMemory;
      }
      Transfer(size, block);
      delete[] data;
      data = block;
      capacity = new_capacity;
    } else {
      data[size] = std::forward<U>(element);
      if (internal::CopyFailed(data[size])) {
        data[size] = T();
        return kNoMemory;
      }
    }
    ++size;
    return 0;
  }

  T* data = nullptr;
  size_t size = 0;
  size_t capacity = 0;
  size_t growBy = N;
};

}  // namespace ascommon

#endif  // EMLBREAKER_ARRAY_H_
