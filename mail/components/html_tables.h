// The two read-only tables the HTML scanner consults: the named character
// references it resolves (CHtmlEntityTable) and the elements that never get an
// end tag, which it therefore does not push on its element stack
// (CHtmlEmptyTagSet).
//
// The body analyser builds both once, before the first mail, and keeps them as
// long as it lives. Build is not thread-safe; after it every const method may be
// called from any number of threads at once.
#ifndef MAIL_COMPONENTS_HTML_TABLES_H_
#define MAIL_COMPONENTS_HTML_TABLES_H_

#include <array>
#include <cstddef>
#include <cstdint>

namespace nsEmlComponents {

// The 100 references of the HTML 4 Latin-1 and special set, with two quirks
// mail filters have long relied on: "nbsp" stands for a plain space (32), so
// that words around it stay separate words, and the cent sign is spelled "Cent",
// so "&cent;" is left unresolved. Names are compared exactly (case matters).
class CHtmlEntityTable {
 public:
  static constexpr size_t kRows = 100;
  static constexpr size_t kMaxName = 9;
  static constexpr size_t kBuckets = 128;

  // Fills the hash chains. 0; -12 when a row has no name. A second call does
  // nothing and returns 0.
  int Build();
  bool IsBuilt() const { return built_; }

  // The code unit `name` (len units, no "&" or ";") stands for, or -1 when the
  // name is unknown or the table is not built.
  int Lookup(const char16_t* name, size_t len) const;

 private:
  // The hash of a name: every unit XORed together, masked to the bucket range.
  static size_t Bucket(const char16_t* name, size_t len);

  std::array<int16_t, kBuckets> heads_{};  // first row of each chain, -1 for none
  std::array<int16_t, kRows> next_{};      // next row in the same chain, -1 at the end
  bool built_ = false;
};

// The elements without an end tag ("P" included: mail HTML rarely closes it,
// and pushing it would bury the elements that matter under open paragraphs).
// Names are compared without regard to ASCII case.
class CHtmlEmptyTagSet {
 public:
  static constexpr size_t kNames = 14;
  static constexpr uint32_t kBuckets = 89;

  // Fills the hash chains. 0; a second call does nothing and returns 0.
  int Build();
  bool IsBuilt() const { return built_; }

  // True when the tag name (len units) is one of the empty elements; false
  // also while the set is not built.
  bool Contains(const char16_t* name, size_t len) const;

 private:
  // h = 5381, then h = h * 33 ^ upper(c) per unit (32-bit, wrapping), mod 89.
  static uint32_t Bucket(const char16_t* name, size_t len);

  std::array<int8_t, kBuckets> heads_{};
  std::array<int8_t, kNames> next_{};
  bool built_ = false;
};

// Both tables together, as the body analyser holds them and the HTML analysis
// takes them.
struct CHtmlTables {
  CHtmlEntityTable entities;
  CHtmlEmptyTagSet emptyTags;

  // Builds both; the first non-zero result of the two.
  int Build() {
    const int code = entities.Build();
    return code != 0 ? code : emptyTags.Build();
  }
  bool IsBuilt() const { return entities.IsBuilt() && emptyTags.IsBuilt(); }
};

}  // namespace nsEmlComponents

#endif  // MAIL_COMPONENTS_HTML_TABLES_H_
