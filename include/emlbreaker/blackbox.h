// The black box: the typed store, addressed by 32-bit ids, through which modules,
// the host and the filters hand data to each other. CABlackBox is the interface a
// filter sees (its slot order is shared with the framework); CBlackBox is the one
// implementation, which the host holds by value in each MailItem. Both, with
// MElement and the kind codes, live in namespace ascommon.
//
// Codes: -2 memory exhausted, -500 an entry of another kind exists under the id,
// -501 no entry with that id (or of another kind, for getters), -502 an entry
// exists and overwrite is false.
#ifndef EMLBREAKER_BLACKBOX_H_
#define EMLBREAKER_BLACKBOX_H_

#include <cstdint>

#include "emlbreaker/blackbox_object.h"
#include "emlbreaker/map.h"
#include "emlbreaker/platform.h"
#include "emlbreaker/strings.h"

namespace ascommon {

// Kinds of entry (MElement::type) and how the box releases the value.
enum : uint32_t {
  BBE_VALUE = 1,      // one heap scalar: plain delete
  BBE_BUFFER = 2,     // a heap byte array (new char[] / new uint8_t[]): array delete
  BBE_OBJECT = 3,     // an owned CBlackBoxObject: virtual destructor
  BBE_USSTRING = 4,   // an owned usstring: virtual destructor
  BBE_SSTRING = 5,    // an owned sstring: virtual destructor
  BBE_REFERENCE = 6,  // a borrowed pointer: not released
};

// One entry: its kind and the value. valueSize is the byte size of a BBE_VALUE
// scalar stored by the box's own setters; scalar getters read an entry only when
// it holds at least as many bytes as they read (a value handed in through
// SetElement, size 0, can be read through GetValuePointer only).
struct MElement {
  uint32_t type;
  void* value;
  uint32_t valueSize = 0;
};

// The interface. Every Set copies its argument into storage the box owns and
// throws ASException (or ASMemException) on failure, leaving the previous entry
// under the id intact; every Get throws ASException -501 when the entry is missing
// or of another kind. Pointers returned by the string getters point into the box
// and stay valid until the entry is removed or overwritten or the box destroyed.
class CABlackBox {
 public:
  virtual ~CABlackBox() = default;                                            // slot 0
  virtual int Rehash(uint32_t bucket_count) = 0;                              // slot 1
  virtual void Remove(uint32_t id) = 0;                                       // slot 2
  virtual void Reserved() = 0;                                                // slot 3
  virtual int SetReference(void* pointer, uint32_t id) = 0;                   // slot 4, no throw
  virtual void* GetReference(uint32_t id) = 0;                                // slot 5, no throw
  virtual const void* GetReferenceConst(uint32_t id) const = 0;               // slot 6, no throw
  virtual void SetBool(bool value, uint32_t id, bool overwrite) = 0;          // slot 7
  virtual bool GetBool(uint32_t id) const = 0;                                // slot 8
  virtual void SetInt(int32_t value, uint32_t id, bool overwrite) = 0;        // slot 9
  virtual int32_t GetInt(uint32_t id) const = 0;                              // slot 10
  virtual void SetLong(as_long value, uint32_t id, bool overwrite) = 0;       // slot 11
  virtual as_long GetLong(uint32_t id) const = 0;                             // slot 12
  virtual void SetULong(as_ulong value, uint32_t id, bool overwrite) = 0;     // slot 13
  virtual as_ulong GetULong(uint32_t id) const = 0;                           // slot 14
  virtual void SetInt64(int64_t value, uint32_t id, bool overwrite) = 0;      // slot 15
  virtual int64_t GetInt64(uint32_t id) const = 0;                            // slot 16
  virtual void SetDouble(double value, uint32_t id, bool overwrite) = 0;      // slot 17
  virtual double GetDouble(uint32_t id) const = 0;                            // slot 18
  virtual void SetFloat(float value, uint32_t id, bool overwrite) = 0;        // slot 19
  virtual float GetFloat(uint32_t id) const = 0;                              // slot 20
  virtual void SetString(const char* text, uint32_t id, bool overwrite) = 0;  // slot 21
  virtual const char* GetString(uint32_t id) const = 0;                       // slot 22
  virtual void SetWString(const char16_t* text, uint32_t id, bool overwrite) = 0;  // slot 23
  virtual const char16_t* GetWString(uint32_t id) const = 0;                       // slot 24
  // The string arrays: the getters answer the count and, when out is not null,
  // store the pointer to stored string i in out[i] for every i below the count.
  // For every array setter, a null list is stored as an empty array.
  virtual void SetStringArray(const char* const* texts, uint32_t count, uint32_t id,
                              bool overwrite) = 0;                           // slot 25
  virtual uint32_t GetStringArray(const char** out, uint32_t id) const = 0;  // slot 26
  virtual void SetWStringArray(const char16_t* const* texts, uint32_t count, uint32_t id,
                               bool overwrite) = 0;                               // slot 27
  virtual uint32_t GetWStringArray(const char16_t** out, uint32_t id) const = 0;  // slot 28
  // The numeric arrays: the getters answer the count and, when out is not null,
  // copy every element to it.
  virtual void SetIntArray(const int32_t* values, uint32_t count, uint32_t id,
                           bool overwrite) = 0;                       // slot 29
  virtual uint32_t GetIntArray(int32_t* out, uint32_t id) const = 0;  // slot 30
  virtual void SetLongArray(const as_long* values, uint32_t count, uint32_t id,
                            bool overwrite) = 0;                       // slot 31
  virtual uint32_t GetLongArray(as_long* out, uint32_t id) const = 0;  // slot 32
  virtual void SetULongArray(const as_ulong* values, uint32_t count, uint32_t id,
                             bool overwrite) = 0;                        // slot 33
  virtual uint32_t GetULongArray(as_ulong* out, uint32_t id) const = 0;  // slot 34
  virtual void SetDoubleArray(const double* values, uint32_t count, uint32_t id,
                              bool overwrite) = 0;                      // slot 35
  virtual uint32_t GetDoubleArray(double* out, uint32_t id) const = 0;  // slot 36
};

// The arrays the box builds for the array setters (growth 64). Ints and longs are
// the same 32-bit type here, so the box marks which setter built an array: a long
// array is not an int array, and the other way round.
using CBlackBoxStringArray = CArray<sstring, 64>;
using CBlackBoxWStringArray = CArray<usstring, 64>;
class CBlackBoxIntArray : public CArray<int32_t, 64> {
 public:
  using CArray::CArray;
};
class CBlackBoxLongArray : public CArray<as_long, 64> {
 public:
  using CArray::CArray;
};
using CBlackBoxULongArray = CArray<as_ulong, 64>;
using CBlackBoxDoubleArray = CArray<double, 64>;

// The box: one CMap from ids to MElement records with the default integer hash.
// It owns every value it holds except BBE_REFERENCE pointers, and frees each by
// its kind when the entry is removed or overwritten or the box destroyed. No lock:
// one box belongs to one mail and is used by one thread at a time. Not copyable.
class CBlackBox : public CABlackBox {
 public:
  // 32 buckets rehashed to 64; throws std::bad_alloc when that fails.
  CBlackBox();
  explicit CBlackBox(uint32_t bucket_count);
  CBlackBox(const CBlackBox&) = delete;
  CBlackBox& operator=(const CBlackBox&) = delete;
  ~CBlackBox() override;

  int Rehash(uint32_t bucket_count) override;
  void Remove(uint32_t id) override;
  void Reserved() override {}
  int SetReference(void* pointer, uint32_t id) override;
  void* GetReference(uint32_t id) override;
  const void* GetReferenceConst(uint32_t id) const override;
  void SetBool(bool value, uint32_t id, bool overwrite) override;
  bool GetBool(uint32_t id) const override;
  void SetInt(int32_t value, uint32_t id, bool overwrite) override;
  int32_t GetInt(uint32_t id) const override;
  void SetLong(as_long value, uint32_t id, bool overwrite) override;
  as_long GetLong(uint32_t id) const override;
  void SetULong(as_ulong value, uint32_t id, bool overwrite) override;
  as_ulong GetULong(uint32_t id) const override;
  void SetInt64(int64_t value, uint32_t id, bool overwrite) override;
  int64_t GetInt64(uint32_t id) const override;
  void SetDouble(double value, uint32_t id, bool overwrite) override;
  double GetDouble(uint32_t id) const override;
  void SetFloat(float value, uint32_t id, bool overwrite) override;
  float GetFloat(uint32_t id) const override;
  void SetString(const char* text, uint32_t id, bool overwrite) override;
  const char* GetString(uint32_t id) const override;
  void SetWString(const char16_t* text, uint32_t id, bool overwrite) override;
  const char16_t* GetWString(uint32_t id) const override;
  void SetStringArray(const char* const* texts, uint32_t count, uint32_t id,
                      bool overwrite) override;
  uint32_t GetStringArray(const char** out, uint32_t id) const override;
  void SetWStringArray(const char16_t* const* texts, uint32_t count, uint32_t id,
                       bool overwrite) override;
  uint32_t GetWStringArray(const char16_t** out, uint32_t id) const override;
  void SetIntArray(const int32_t* values, uint32_t count, uint32_t id, bool overwrite) override;
  uint32_t GetIntArray(int32_t* out, uint32_t id) const override;
  void SetLongArray(const as_long* values, uint32_t count, uint32_t id, bool overwrite) override;
  uint32_t GetLongArray(as_long* out, uint32_t id) const override;
  void SetULongArray(const as_ulong* values, uint32_t count, uint32_t id, bool overwrite) override;
  uint32_t GetULongArray(as_ulong* out, uint32_t id) const override;
  void SetDoubleArray(const double* values, uint32_t count, uint32_t id, bool overwrite) override;
  uint32_t GetDoubleArray(double* out, uint32_t id) const override;

  // Non-virtual operations for this library's modules; none of them throws.
  // SetElement stores element as given and adopts its value by its kind: 0, -2,
  // -502 (the id exists and overwrite is false) or -500 (the existing entry is of
  // another kind); on an overwrite the old value is freed. On any failure the box
  // takes nothing: the caller still owns element.value.
  int SetElement(uint32_t id, const MElement& element, bool overwrite);
  int SetObject(CBlackBoxObject* object, uint32_t id, bool overwrite);  // BBE_OBJECT
  // The stored object, string or scalar of an entry of that kind, or null.
  CBlackBoxObject* GetObject(uint32_t id) const;
  sstring* GetStringObject(uint32_t id) const;
  usstring* GetWStringObject(uint32_t id) const;
  void* GetValuePointer(uint32_t id) const;

 private:
  const MElement* Find(uint32_t id) const { return entries.Lookup(id); }
  template <class T>
  void SetScalar(T value, uint32_t id, bool overwrite);
  template <class T>
  T GetScalar(uint32_t id) const;
  template <class Array, class T>
  void SetNumericArray(const T* values, uint32_t count, uint32_t id, bool overwrite);
  template <class Array, class Other, class T>
  uint32_t GetNumericArray(T* out, uint32_t id) const;

  CMap<uint32_t, MElement> entries;
};

}  // namespace ascommon

#endif  // EMLBREAKER_BLACKBOX_H_
