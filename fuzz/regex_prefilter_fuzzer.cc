// A pattern and a text in; the prefilter must never turn away a text that PCRE2 matches,
// with the options the regex library compiles with, and a search from where it says a
// match can begin must answer as a search of the whole text. The first byte chooses
// caseless (bit 0); the pattern runs to the first zero byte, the text is the rest. A
// pattern PCRE2 will not compile is of no interest: conditions with one never load.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include "rules/regex_prefilter.h"

namespace {

// Patterns of rule files are a few hundred bytes; longer ones only slow the search.
constexpr size_t kMaxPattern = 512;

// The pattern compiled as the regex library compiles it; code is null when PCRE2 refuses
// it.
struct Compiled {
  Compiled(const std::string& pattern, bool caseless) {
    uint32_t options = PCRE2_UTF | PCRE2_MATCH_INVALID_UTF;
    if (caseless) options |= PCRE2_CASELESS;
    int error = 0;
    PCRE2_SIZE offset = 0;
    code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.c_str()), PCRE2_ZERO_TERMINATED,
                         options, &error, &offset, nullptr);
    if (code == nullptr) return;
    data = pcre2_match_data_create_from_pattern(code, nullptr);
    context = pcre2_match_context_create(nullptr);
    // A pattern that backtracks without end is PCRE2's to stop, as the library sets it.
    pcre2_set_match_limit(context, 100000);
  }
  ~Compiled() {
    pcre2_match_context_free(context);
    pcre2_match_data_free(data);
    pcre2_code_free(code);
  }
  Compiled(const Compiled&) = delete;
  Compiled& operator=(const Compiled&) = delete;
  // 1 when the text from `from` on (a subject of its own, as the rule engine gives it)
  // holds a match, 0 when it does not, -1 when PCRE2 gives up.
  int Match(const std::string& text, size_t from = 0) const {
    const int result = pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(text.data() + from),
                                   text.size() - from, 0, 0, data, context);
    return result >= 0 ? 1 : result == PCRE2_ERROR_NOMATCH ? 0 : -1;
  }
  pcre2_code* code = nullptr;
  pcre2_match_data* data = nullptr;
  pcre2_match_context* context = nullptr;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const bool caseless = (data[0] & 1) != 0;
  const char* rest = reinterpret_cast<const char*>(data + 1);
  const size_t rest_size = size - 1;
  size_t cut = 0;
  while (cut < rest_size && rest[cut] != '\0') ++cut;
  if (cut == rest_size || cut > kMaxPattern) return 0;
  const std::string pattern(rest, cut);
  const std::string text(rest + cut + 1, rest_size - cut - 1);

  CRegexPrefilter prefilter;
  const int id = prefilter.Add(pattern.c_str(), caseless);
  if (id < 0) return 0;
  const Compiled regex(pattern, caseless);
  if (regex.code == nullptr) return 0;
  bool may;
  size_t from = 0;
  if (text.size() < CRegexPrefilter::kMinScannedLength) {
    CRegexPrefilter::ShortTable table;
    CRegexPrefilter::TabulateShort(text.data(), text.size(), &table);
    may = prefilter.MayMatchShort(id, table);
  } else {
    auto table = std::make_unique<CRegexPrefilter::TextTable>();
    CRegexPrefilter::Tabulate(text.data(), text.size(), table.get());
    // The exact test: a literal the tables let through must be in the folded text too.
    std::string folded;
    CRegexPrefilter::FoldText(text.data(), text.size(), &folded);
    may = prefilter.MayMatch(id, *table, folded);
    if (may && !prefilter.MayMatch(id, *table)) std::abort();  // it only narrows
    if (may) {
      from = prefilter.MatchFrom(id, *table, folded);
      if (from == CRegexPrefilter::kNoMatch) {
        may = false;
      } else if (from > text.size()) {
        std::abort();
      }
    }
  }
  const int whole = regex.Match(text);
  if (!may && whole == 1) std::abort();
  // Searched from where the prefilter says a match can begin, the text answers as it does
  // whole (when PCRE2 answers both times).
  if (may && from > 0) {
    const int part = regex.Match(text, from);
    if (whole >= 0 && part >= 0 && whole != part) std::abort();
  }
  return 0;
}
