// The text of the last failure of a packer call, one per thread, answered by
// CAMimePacker::GetLastError. Every slot clears it on entry.
#ifndef MSGCODEC_LAST_ERROR_H_
#define MSGCODEC_LAST_ERROR_H_

#include <exception>
#include <new>
#include <string>

namespace msgcodec {

void ClearLastError();
void SetLastError(std::string text);
const char* LastError();

// Sets the last error and returns 0, the failure code of most slots.
inline int Fail(std::string text) {
  SetLastError(std::move(text));
  return 0;
}

inline std::string Prefixed(const char* where, const char* text) noexcept try {
  return *where ? std::string(where) + ": " + text : std::string(text);
} catch (...) {
  return std::string();
}

// Runs `body` for the slot `where` with the last error cleared, and turns
// anything it throws into `failure` with a last-error text: the one place
// where exceptions stop before the interface. The text starts with "where: "
// unless `where` is empty (Open and OpenMemory give the reason alone).
template <class Result, class Body>
Result Guard(const char* where, Result failure, Body&& body) noexcept {
  try {
    ClearLastError();
    return body();
  } catch (const std::bad_alloc&) {
    SetLastError(Prefixed(where, "out of memory"));
  } catch (const std::exception& e) {
    SetLastError(Prefixed(where, e.what()));
  } catch (...) {
    SetLastError(Prefixed(where, "unexpected exception"));
  }
  return failure;
}

}  // namespace msgcodec

#endif  // MSGCODEC_LAST_ERROR_H_
