// The exception family. Every failure of a module or engine operation is
// thrown as one of these; most of them write one trace line ("EXCEPTION: ...")
// through the process-wide tracer the moment they are built. All are caught as
// ASException, AException and std::exception.
//
// Messages are formatted printf-style into a fixed 1001-byte buffer: at most
// 1000 characters are kept, and the text is always terminated.
#ifndef EMLBREAKER_EXCEPTIONS_H_
#define EMLBREAKER_EXCEPTIONS_H_

#include <cstdarg>
#include <cstdint>
#include <exception>

#include "emlbreaker/platform.h"

class EMLB_EXPORT AException : public std::exception {
 public:
  ~AException() override = default;
  const char* what() const noexcept override;  // "Antispam Exception"
  virtual int32_t GetErrorCode() const;        // -1
  virtual bool IsFatal() const;                // false
};

class EMLB_EXPORT ASException : public AException {
 public:
  static constexpr int kMaxMessage = 1000;

  ASException();                                           // code -1, no trace
  explicit ASException(const char* format, ...) EMLB_PRINTF(2, 3);
  ASException(int32_t code, const char* format, ...) EMLB_PRINTF(3, 4);
  ASException(const ASException& other) noexcept;
  ASException& operator=(const ASException& other) noexcept;
  ~ASException() override = default;

  const char* what() const noexcept override;  // message, or "unknown exception"
  int32_t GetErrorCode() const override { return code; }
  bool IsFatal() const override { return fatal; }

  // Formats into message (null format: empty message and code 0).
  void SetMessage(const char* format, va_list args);
  void SetErrorCode(int32_t value) { code = value; }
  void SetFatal(bool value) { fatal = value; }

  bool fatal = false;
  int32_t code = -1;
  char message[kMaxMessage + 1] = {};

 protected:
  // Derived classes build the message and trace themselves; nothing is traced.
  struct Silent {};
  explicit ASException(Silent) {}
  // Formats the message, then traces it under trace_format (which receives
  // the code and the message as its arguments in the order code_first says).
  void Build(int32_t code_value, bool is_fatal, const char* trace_format, bool code_first,
             const char* format, va_list args);
};

class EMLB_EXPORT ASFatalException : public ASException {
 public:
  ASFatalException(int32_t code, const char* format, ...) EMLB_PRINTF(3, 4);
  explicit ASFatalException(const char* format, ...) EMLB_PRINTF(2, 3);
};

class EMLB_EXPORT ASFileException : public ASException {
 public:
  ASFileException(int32_t code, const char* format, ...) EMLB_PRINTF(3, 4);
};

class EMLB_EXPORT ASMemException : public ASException {
 public:
  ASMemException();  // code -2, "AS Memory Exception", no trace
  explicit ASMemException(const char* format, ...) EMLB_PRINTF(2, 3);
};

class EMLB_EXPORT ASInternalException : public ASException {
 public:
  ASInternalException();  // code -3, "AS Internal Exception", no trace
  ASInternalException(int32_t code, const char* format, ...) EMLB_PRINTF(3, 4);
};

class EMLB_EXPORT ASBadPtrException : public ASException {
 public:
  explicit ASBadPtrException(const char* format, ...) EMLB_PRINTF(2, 3);
};

class EMLB_EXPORT ASBadCastException : public ASException {
 public:
  explicit ASBadCastException(const char* format, ...) EMLB_PRINTF(2, 3);
};

// Thrown by the bounds-checked element access of the containers.
class EMLB_EXPORT InvalidIndexException : public ASException {
 public:
  InvalidIndexException();  // code -301, "Array index out of bounds exception"
};

// Thrown by the breaker modules; writes no trace line.
class EMLB_EXPORT CBreakerException : public ASException {
 public:
  CBreakerException(int32_t code, const char* format, ...) EMLB_PRINTF(3, 4);
};

// Thrown by the streamer module.
class EMLB_EXPORT CStreamerException : public ASException {
 public:
  explicit CStreamerException(const char* format, ...) EMLB_PRINTF(2, 3);
};

#endif  // EMLBREAKER_EXCEPTIONS_H_
