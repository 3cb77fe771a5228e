// libpatmatch.so: regular expressions for the rule engine, on PCRE2 with its
// JIT compiler.
//
// Mail text is matched as UTF-8, but a mail may hold anything: patterns are
// compiled with PCRE2_MATCH_INVALID_UTF, so invalid sequences simply never
// match a character instead of failing the whole match. Every match runs
// under a match limit and a depth limit, so a pathological pattern on hostile
// text gives up (answering "no match") instead of running for minutes.
//
// A pattern is compiled (and so checked) when the rule engine loads its rule,
// but translated by the JIT only when it first matches: the JIT is four fifths
// of the compile time, and a run that breaks one mail (emlscan filter) or none
// of a rule's kind should not pay for every rule of the set.
#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <new>
#include <string>

#include "emlbreaker/platform.h"
#include "emlbreaker/regex.h"

namespace {

// A match may try at most this many backtracking steps, and nest this deep
// (in KiB of heap frames): generous for any rule a person writes, small enough
// that one rule cannot stall a mail for more than a few milliseconds.
constexpr uint32_t kMatchLimit = 1000000;
constexpr uint32_t kDepthLimitKib = 10000;

class PcreRegex final : public CARegEx {
 public:
  PcreRegex() = default;
  ~PcreRegex() override { Reset(); }
  PcreRegex(const PcreRegex&) = delete;
  PcreRegex& operator=(const PcreRegex&) = delete;

  int32_t Compile(const char* pattern, int32_t flags) override {
    try {
      return CompileOrThrow(pattern, flags);
    } catch (const std::bad_alloc&) {  // nothing may leave the library
      Reset();
      return -1;
    }
  }

  const char* GetError() override { return error_.c_str(); }

  // One engine serves many mails at once, so two threads may match the same rule's
  // regex together. The rules ask only whether a pattern matches, never where, so every
  // regex of a thread shares that thread's match data of one pair: nothing is written to
  // the regex object while matching, and no thread waits for or allocates behind another.
  uint8_t Match(const char* text, uint32_t length, int32_t, int32_t) override {
    if (code_ == nullptr || (text == nullptr && length > 0)) return 0;
    // Without the JIT (an unsupported platform) the interpreter still works.
    if (!jitted_.load(std::memory_order_acquire)) {
      std::lock_guard<std::mutex> hold(jit_mutex_);
      if (!jitted_.load(std::memory_order_relaxed)) {
        pcre2_jit_compile(code_, PCRE2_JIT_COMPLETE);
        jitted_.store(true, std::memory_order_release);
      }
    }
    pcre2_match_data* data = ThreadMatchData();
    if (data == nullptr) return 0;
    static const char kEmpty[] = "";
    const int result = pcre2_match(code_, reinterpret_cast<PCRE2_SPTR>(text ? text : kEmpty),
                                   length, 0, 0, data, context_);
    return result >= 0 ? 1 : 0;
  }

 private:
  int32_t CompileOrThrow(const char* pattern, int32_t flags) {
    Reset();
    error_.clear();
    if (pattern == nullptr) {
      error_ = "no pattern";
      return -1;
    }
    uint32_t options = PCRE2_UTF | PCRE2_MATCH_INVALID_UTF;
    if (flags & kRegexCaseInsensitive) options |= PCRE2_CASELESS;
    int error_code = 0;
    PCRE2_SIZE error_offset = 0;
    code_ = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern), PCRE2_ZERO_TERMINATED, options,
                          &error_code, &error_offset, nullptr);
    if (code_ == nullptr) {
      PCRE2_UCHAR text[256];
      pcre2_get_error_message(error_code, text, sizeof(text));
      error_ = std::string(reinterpret_cast<char*>(text)) + " at offset " +
               std::to_string(error_offset);
      return error_code != 0 ? error_code : -1;
    }
    context_ = pcre2_match_context_create(nullptr);
    if (context_ == nullptr) {
      Reset();
      error_ = "out of memory";
      return -1;
    }
    pcre2_set_match_limit(context_, kMatchLimit);
    pcre2_set_depth_limit(context_, kDepthLimitKib);
    return 0;
  }

  void Reset() {
    pcre2_match_context_free(context_);
    pcre2_code_free(code_);
    context_ = nullptr;
    code_ = nullptr;
    jitted_.store(false, std::memory_order_relaxed);
  }

  // The calling thread's match data (one pair), made on its first match and freed when
  // the thread ends; null when memory ran out.
  static pcre2_match_data* ThreadMatchData() {
    struct Holder {
      pcre2_match_data* data = pcre2_match_data_create(1, nullptr);
      ~Holder() { pcre2_match_data_free(data); }
    };
    static thread_local Holder holder;
    return holder.data;
  }

  pcre2_code* code_ = nullptr;
  pcre2_match_context* context_ = nullptr;
  // Whether code_ went through the JIT; Compile (never concurrent with Match)
  // clears it.
  std::atomic<bool> jitted_{false};
  std::mutex jit_mutex_;
  std::string error_;
};

}  // namespace

extern "C" EMLB_EXPORT CARegEx* NewRegEx() { return new (std::nothrow) PcreRegex(); }
