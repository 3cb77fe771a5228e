// The exception family: each constructor formats its message into the fixed
// buffer and, for most classes, writes one trace line under its own prefix.
#include "emlbreaker/exceptions.h"

#include <cstdio>
#include <cstring>

#include "emlbreaker/trace.h"

const char* AException::what() const noexcept { return "Antispam Exception"; }
int32_t AException::GetErrorCode() const { return -1; }
bool AException::IsFatal() const { return false; }

ASException::ASException() = default;

ASException::ASException(const char* format, ...) {
  va_list args;
  va_start(args, format);
  Build(-1, false, "EXCEPTION: %s", false, format, args);
  va_end(args);
}

ASException::ASException(int32_t code_value, const char* format, ...) {
  va_list args;
  va_start(args, format);
  code = code_value;
  SetMessage(format, args);  // a null format sets the code to 0
  va_end(args);
  GetDebugTrace()->Trace("EXCEPTION: %s( Err Code: %d)", message, code);
}

ASException::ASException(const ASException& other) noexcept : AException(other) {
  *this = other;
}

ASException& ASException::operator=(const ASException& other) noexcept {
  if (this != &other) {
    code = other.code;
    fatal = other.fatal;
    std::strncpy(message, other.message, kMaxMessage);
    message[kMaxMessage] = '\0';
  }
  return *this;
}

const char* ASException::what() const noexcept {
  return message[0] != '\0' ? message : "unknown exception";
}

void ASException::SetMessage(const char* format, va_list args) {
  if (format == nullptr) {
    message[0] = '\0';
    code = 0;
    return;
  }
  // vsnprintf keeps at most kMaxMessage characters and always terminates.
  if (std::vsnprintf(message, sizeof(message), format, args) < 0) message[0] = '\0';
}

void ASException::Build(int32_t code_value, bool is_fatal, const char* trace_format,
                        bool code_first, const char* format, va_list args) {
  code = code_value;
  fatal = is_fatal;
  SetMessage(format, args);  // a null format sets the code to 0
  if (trace_format == nullptr) return;
  if (code_first) {
    GetDebugTrace()->Trace(trace_format, code, message);
  } else {
    GetDebugTrace()->Trace(trace_format, message);
  }
}

#define EMLB_BUILD(code_value, is_fatal, trace_format, code_first) \
  do {                                                             \
    va_list args;                                                  \
    va_start(args, format);                                        \
    Build(code_value, is_fatal, trace_format, code_first, format, args); \
    va_end(args);                                                  \
  } while (0)

ASFatalException::ASFatalException(int32_t code_value, const char* format, ...)
    : ASException(Silent{}) {
  EMLB_BUILD(code_value, true, "EXCEPTION (fatal): [retcode %d] %s", true);
}

ASFatalException::ASFatalException(const char* format, ...) : ASException(Silent{}) {
  EMLB_BUILD(-1, true, "EXCEPTION (fatal): %s", false);
}

ASFileException::ASFileException(int32_t code_value, const char* format, ...)
    : ASException(Silent{}) {
  EMLB_BUILD(code_value, false, "EXCEPTION (file): [retcode %d] %s", true);
}

ASMemException::ASMemException() : ASException(Silent{}) {
  code = -2;
  std::strcpy(message, "AS Memory Exception");
}

ASMemException::ASMemException(const char* format, ...) : ASException(Silent{}) {
  EMLB_BUILD(-2, false, "EXCEPTION (memory): %s", false);
}

ASInternalException::ASInternalException() : ASException(Silent{}) {
  code = -3;
  std::strcpy(message, "AS Internal Exception");
}

ASInternalException::ASInternalException(int32_t code_value, const char* format, ...)
    : ASException(Silent{}) {
  EMLB_BUILD(code_value, false, "EXCEPTION (internal): [retcode %d] %s", true);
}

ASBadPtrException::ASBadPtrException(const char* format, ...) : ASException(Silent{}) {
  EMLB_BUILD(-1, false, "EXCEPTION (bad ptr): %s", false);
}

ASBadCastException::ASBadCastException(const char* format, ...) : ASException(Silent{}) {
  EMLB_BUILD(-1, false, "EXCEPTION (invalid cast): %s", false);
}

InvalidIndexException::InvalidIndexException() : ASException(Silent{}) {
  code = -301;
  std::strcpy(message, "Array index out of bounds exception");
  GetDebugTrace()->Trace("EXCEPTION: %s", message);
}

CBreakerException::CBreakerException(int32_t code_value, const char* format, ...)
    : ASException(Silent{}) {
  EMLB_BUILD(code_value, false, nullptr, false);
}

CStreamerException::CStreamerException(const char* format, ...) : ASException(Silent{}) {
  EMLB_BUILD(-1, false, "EXCEPTION: %s", false);
}
