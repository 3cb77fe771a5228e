// The two read-only tables the HTML scanner consults: the named character
// references it resolves and the elements that never get an end tag. Built
// once by the breaker's body analyser and only read afterwards, so any number
// of threads may look things up at once.
#ifndef MAIL_COMPONENTS_HTML_REFERENCE_TABLES_H_
#define MAIL_COMPONENTS_HTML_REFERENCE_TABLES_H_

#include <cstddef>
#include <cstdint>

namespace nsEmlComponents {

// The 100 references of the HTML 4 Latin-1 and special set, with two
// differences the rules were written against: "nbsp" is a plain space (32),
// and the cent sign is spelled "Cent", so "&cent;" stays unresolved.
// Chained hashing over 128 buckets; the hash is the XOR of the name's units.
class CHtmlEntityTable {
 public:
  static constexpr size_t kRows = 100;
  static constexpr size_t kBuckets = 128;
  static constexpr size_t kMaxName = 9;

  // 0; -12 when a row is empty. A second call does nothing.
  int32_t Build();
  bool IsBuilt() const { return built; }
  // The code unit `name` (exact case, `length` units) stands for, or -1.
  int32_t Lookup(const char16_t* name, size_t length) const;

 private:
  struct Row {
    char16_t name[kMaxName + 1];
    uint8_t length;
    char16_t code;
    int16_t next;  // next row of the bucket, -1 at the end
  };
  Row rows[kRows] = {};
  int16_t heads[kBuckets] = {};
  bool built = false;
};

// The empty elements: P, AREA, BASE, BASEFONT, BR, COL, FRAME, HR, IMG,
// INPUT, ISINDEX, LINK, META, PARAM (P included: its end tag is optional and
// the scanner never waits for it). Case-insensitive, 89 buckets, hash
// h = h * 33 ^ upper(c) from 5381.
class CHtmlEmptyTagSet {
 public:
  static constexpr size_t kNames = 14;
  static constexpr size_t kBuckets = 89;

  int32_t Build();
  bool IsBuilt() const { return built; }
  bool Contains(const char16_t* name, size_t length) const;

 private:
  static uint32_t Hash(const char16_t* name, size_t length);
  int8_t heads[kBuckets] = {};
  int8_t next[kNames] = {};
  bool built = false;
};

// Both tables, as the body analyser owns them.
struct CHtmlTables {
  CHtmlEntityTable entities;
  CHtmlEmptyTagSet emptyTags;
};

}  // namespace nsEmlComponents

#endif  // MAIL_COMPONENTS_HTML_REFERENCE_TABLES_H_
