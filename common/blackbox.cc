// The black box. Every setter builds its copy first and only then touches the map,
// so a failure discards the copy and leaves the entry under the id as it was.
#include "emlbreaker/blackbox.h"

#include <cstring>
#include <new>
#include <type_traits>

#include "emlbreaker/exceptions.h"

namespace ascommon {

namespace {

void ReleaseValue(const MElement& element) {
  switch (element.type) {
    case BBE_VALUE:
      // Scalars of any type, allocated with new: no destructor to run.
      ::operator delete(element.value);
      break;
    case BBE_BUFFER:
      delete[] static_cast<char*>(element.value);
      break;
    case BBE_OBJECT:
      delete static_cast<CBlackBoxObject*>(element.value);
      break;
    case BBE_USSTRING:
      delete static_cast<usstring*>(element.value);
      break;
    case BBE_SSTRING:
      delete static_cast<sstring*>(element.value);
      break;
    default:  // BBE_REFERENCE and unknown kinds are borrowed
      break;
  }
}

MElement ObjectElement(CBlackBoxObject* object) { return MElement{BBE_OBJECT, object}; }

// Inserts element under id or, with overwrite, replaces an entry of the same kind.
int Store(CMap<uint32_t, MElement>& entries, uint32_t id, const MElement& element, bool overwrite) {
  MElement* existing = entries.Lookup(id);
  if (existing == nullptr) return entries.Insert(id, element);
  if (!overwrite) return -502;
  if (existing->type != element.type) return -500;
  const MElement old = *existing;
  *existing = element;
  if (old.value != element.value) ReleaseValue(old);  // storing the same object again
  return 0;
}

}  // namespace

// A new box ends with 64 buckets, as if built with 32 and rehashed to 64 at once (an
// empty map's rehash moves nothing, so the two are the same box); taking 64 directly
// spares one allocation per box, and rule files and mails make many boxes.
CBlackBox::CBlackBox() : entries(64, nullptr) {}

CBlackBox::CBlackBox(uint32_t bucket_count) : entries(bucket_count, nullptr) {}

CBlackBox::~CBlackBox() {
  const uint32_t count = entries.GetCount();
  if (count == 0) return;
  auto position = entries.GetStartPosition();
  for (uint32_t i = 0; i < count; ++i) {
    ReleaseValue(position.Value());
    if (i + 1 < count) position.Next();
  }
}

int CBlackBox::Rehash(uint32_t bucket_count) { return entries.Rehash(bucket_count); }

void CBlackBox::Remove(uint32_t id) {
  const MElement* element = Find(id);
  if (element == nullptr) return;
  const MElement old = *element;
  entries.Remove(id);
  ReleaseValue(old);
}

int CBlackBox::SetReference(void* pointer, uint32_t id) {
  if (Find(id) != nullptr) return -502;
  return entries.Insert(id, MElement{BBE_REFERENCE, pointer});
}

void* CBlackBox::GetReference(uint32_t id) {
  const MElement* element = Find(id);
  return element != nullptr && element->type == BBE_REFERENCE ? element->value : nullptr;
}

const void* CBlackBox::GetReferenceConst(uint32_t id) const {
  const MElement* element = Find(id);
  return element != nullptr && element->type == BBE_REFERENCE ? element->value : nullptr;
}

// ---- scalars ----

template <class T>
void CBlackBox::SetScalar(T value, uint32_t id, bool overwrite) {
  T* cell = new (std::nothrow) T(value);
  const int code =
      cell != nullptr ? Store(entries, id, MElement{BBE_VALUE, cell, sizeof(T)}, overwrite) : -2;
  if (code != 0) {
    delete cell;
    throw ASException(code, "Problems adding the value");
  }
}

// A getter of another scalar type than the setter's reads the stored bytes as its
// own type, as long as there are enough of them; otherwise the entry counts as
// missing.
template <class T>
T CBlackBox::GetScalar(uint32_t id) const {
  const MElement* element = Find(id);
  if (element == nullptr || element->type != BBE_VALUE || element->value == nullptr ||
      element->valueSize < sizeof(T)) {
    throw ASException(-501, "No object with that id or other type");
  }
  if constexpr (std::is_same_v<T, bool>) {
    return *static_cast<const unsigned char*>(element->value) != 0;
  } else {
    T value;
    std::memcpy(&value, element->value, sizeof(T));
    return value;
  }
}

void CBlackBox::SetBool(bool value, uint32_t id, bool overwrite) {
  SetScalar(value, id, overwrite);
}
bool CBlackBox::GetBool(uint32_t id) const { return GetScalar<bool>(id); }
void CBlackBox::SetInt(int32_t value, uint32_t id, bool overwrite) {
  SetScalar(value, id, overwrite);
}
int32_t CBlackBox::GetInt(uint32_t id) const { return GetScalar<int32_t>(id); }
void CBlackBox::SetLong(as_long value, uint32_t id, bool overwrite) {
  SetScalar(value, id, overwrite);
}
as_long CBlackBox::GetLong(uint32_t id) const { return GetScalar<as_long>(id); }
void CBlackBox::SetULong(as_ulong value, uint32_t id, bool overwrite) {
  SetScalar(value, id, overwrite);
}
as_ulong CBlackBox::GetULong(uint32_t id) const { return GetScalar<as_ulong>(id); }
void CBlackBox::SetInt64(int64_t value, uint32_t id, bool overwrite) {
  SetScalar(value, id, overwrite);
}
int64_t CBlackBox::GetInt64(uint32_t id) const { return GetScalar<int64_t>(id); }
void CBlackBox::SetDouble(double value, uint32_t id, bool overwrite) {
  SetScalar(value, id, overwrite);
}
double CBlackBox::GetDouble(uint32_t id) const { return GetScalar<double>(id); }
void CBlackBox::SetFloat(float value, uint32_t id, bool overwrite) {
  SetScalar(value, id, overwrite);
}
float CBlackBox::GetFloat(uint32_t id) const { return GetScalar<float>(id); }

// ---- strings ----

void CBlackBox::SetString(const char* text, uint32_t id, bool overwrite) {
  auto* copy = new (std::nothrow) sstring(text);
  int code = -2;
  if (copy != nullptr && copy->GetError() == 0) {
    code = Store(entries, id, MElement{BBE_SSTRING, copy}, overwrite);
  }
  if (code != 0) {
    delete copy;
    throw ASException(code, "Problmes adding the buffer");
  }
}

const char* CBlackBox::GetString(uint32_t id) const {
  const sstring* text = GetStringObject(id);
  if (text == nullptr) throw ASException(-501, "No object with that id ot other type");
  return text->GetBuffer();
}

void CBlackBox::SetWString(const char16_t* text, uint32_t id, bool overwrite) {
  auto* copy = new (std::nothrow) usstring(text);
  int code = -2;
  if (copy != nullptr && copy->GetError() == 0) {
    code = Store(entries, id, MElement{BBE_USSTRING, copy}, overwrite);
  }
  if (code != 0) {
    delete copy;
    throw ASException(code, "Problems adding the buffer");
  }
}

const char16_t* CBlackBox::GetWString(uint32_t id) const {
  const usstring* text = GetWStringObject(id);
  if (text == nullptr) throw ASException(-501, "No object with that id ot other type");
  return text->GetBuffer();
}

// ---- string arrays ----

namespace {

// A null list is taken as an empty one.
template <class Array, class Ch>
Array* CopyStrings(const Ch* const* texts, uint32_t count) {
  if (texts == nullptr) count = 0;
  auto* copy = new (std::nothrow) Array(count);
  if (copy == nullptr || copy->GetSize() != count) {
    delete copy;
    throw ASMemException("Problems creating the copy");
  }
  for (uint32_t i = 0; i < count; ++i) {
    if (copy->GetAt(i).Assign(texts[i]) != 0) {
      delete copy;
      throw ASMemException("Problems adding a new string to the copy");
    }
  }
  return copy;
}

template <class Array, class Ch>
uint32_t ReadStrings(const MElement* element, const Ch** out) {
  const Array* array = nullptr;
  if (element != nullptr && element->type == BBE_OBJECT && element->value != nullptr) {
    array = dynamic_cast<const Array*>(static_cast<const CBlackBoxObject*>(element->value));
  }
  if (array == nullptr) throw ASException(-501, "No object with that id");
  const auto count = static_cast<uint32_t>(array->GetSize());
  if (out != nullptr) {
    for (uint32_t i = 0; i < count; ++i) out[i] = array->GetAt(i).GetBuffer();
  }
  return count;
}

}  // namespace

void CBlackBox::SetStringArray(const char* const* texts, uint32_t count, uint32_t id,
                               bool overwrite) {
  auto* copy = CopyStrings<CBlackBoxStringArray>(texts, count);
  const int code = Store(entries, id, ObjectElement(copy), overwrite);
  if (code != 0) {
    delete copy;
    throw ASException(code, "Problems adding the array");
  }
}

uint32_t CBlackBox::GetStringArray(const char** out, uint32_t id) const {
  return ReadStrings<CBlackBoxStringArray>(Find(id), out);
}

void CBlackBox::SetWStringArray(const char16_t* const* texts, uint32_t count, uint32_t id,
                                bool overwrite) {
  auto* copy = CopyStrings<CBlackBoxWStringArray>(texts, count);
  const int code = Store(entries, id, ObjectElement(copy), overwrite);
  if (code != 0) {
    delete copy;
    throw ASException(code, "Problems adding the array");
  }
}

uint32_t CBlackBox::GetWStringArray(const char16_t** out, uint32_t id) const {
  return ReadStrings<CBlackBoxWStringArray>(Find(id), out);
}

// ---- numeric arrays ----

template <class Array, class T>
void CBlackBox::SetNumericArray(const T* values, uint32_t count, uint32_t id, bool overwrite) {
  if (values == nullptr) count = 0;
  auto* copy = new (std::nothrow) Array(count);
  if (copy == nullptr || copy->GetSize() != count) {
    delete copy;
    throw ASMemException("Could not create bbo");
  }
  if (count > 0) std::memcpy(copy->GetData(), values, count * sizeof(T));
  const int code = Store(entries, id, ObjectElement(copy), overwrite);
  if (code != 0) {
    delete copy;
    throw ASException(code, "Could not add to bb");
  }
}

// Array is the element type's array; an object of class Other (the marker of the
// other 32-bit signed array), when given, is of another type.
template <class Array, class Other, class T>
uint32_t CBlackBox::GetNumericArray(T* out, uint32_t id) const {
  const MElement* element = Find(id);
  if (element == nullptr || element->type != BBE_OBJECT || element->value == nullptr) {
    throw ASException(-501, "No object with that id");
  }
  const auto* object = static_cast<const CBlackBoxObject*>(element->value);
  const auto* array = dynamic_cast<const Array*>(object);
  bool is_other = false;
  if constexpr (!std::is_void_v<Other>) is_other = dynamic_cast<const Other*>(object) != nullptr;
  if (array == nullptr || is_other) throw ASException(-501, "Object with the id is of other type");
  const auto count = static_cast<uint32_t>(array->GetSize());
  if (out != nullptr && count > 0) std::memcpy(out, array->GetData(), count * sizeof(T));
  return count;
}

void CBlackBox::SetIntArray(const int32_t* values, uint32_t count, uint32_t id, bool overwrite) {
  SetNumericArray<CBlackBoxIntArray>(values, count, id, overwrite);
}
uint32_t CBlackBox::GetIntArray(int32_t* out, uint32_t id) const {
  return GetNumericArray<CArray<int32_t, 64>, CBlackBoxLongArray>(out, id);
}
void CBlackBox::SetLongArray(const as_long* values, uint32_t count, uint32_t id, bool overwrite) {
  SetNumericArray<CBlackBoxLongArray>(values, count, id, overwrite);
}
uint32_t CBlackBox::GetLongArray(as_long* out, uint32_t id) const {
  return GetNumericArray<CArray<as_long, 64>, CBlackBoxIntArray>(out, id);
}
void CBlackBox::SetULongArray(const as_ulong* values, uint32_t count, uint32_t id, bool overwrite) {
  SetNumericArray<CBlackBoxULongArray>(values, count, id, overwrite);
}
uint32_t CBlackBox::GetULongArray(as_ulong* out, uint32_t id) const {
  return GetNumericArray<CBlackBoxULongArray, void>(out, id);
}
void CBlackBox::SetDoubleArray(const double* values, uint32_t count, uint32_t id, bool overwrite) {
  SetNumericArray<CBlackBoxDoubleArray>(values, count, id, overwrite);
}
uint32_t CBlackBox::GetDoubleArray(double* out, uint32_t id) const {
  return GetNumericArray<CBlackBoxDoubleArray, void>(out, id);
}

// ---- non-virtual operations ----

int CBlackBox::SetElement(uint32_t id, const MElement& element, bool overwrite) {
  return Store(entries, id, element, overwrite);
}

int CBlackBox::SetObject(CBlackBoxObject* object, uint32_t id, bool overwrite) {
  return Store(entries, id, ObjectElement(object), overwrite);
}

CBlackBoxObject* CBlackBox::GetObject(uint32_t id) const {
  const MElement* element = Find(id);
  return element != nullptr && element->type == BBE_OBJECT
             ? static_cast<CBlackBoxObject*>(element->value)
             : nullptr;
}

sstring* CBlackBox::GetStringObject(uint32_t id) const {
  const MElement* element = Find(id);
  return element != nullptr && element->type == BBE_SSTRING ? static_cast<sstring*>(element->value)
                                                            : nullptr;
}

usstring* CBlackBox::GetWStringObject(uint32_t id) const {
  const MElement* element = Find(id);
  return element != nullptr && element->type == BBE_USSTRING
             ? static_cast<usstring*>(element->value)
             : nullptr;
}

void* CBlackBox::GetValuePointer(uint32_t id) const {
  const MElement* element = Find(id);
  return element != nullptr && element->type == BBE_VALUE ? element->value : nullptr;
}

}  // namespace ascommon
