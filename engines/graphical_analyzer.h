// The layout of one mail as the graphical-pattern classifier sees it: fourteen criteria
// (counts of texts, lines, links, images and addresses, and the sequences of line codes
// and part codes) read from the texts of the parts tree. docs/LAYOUT.md explains them.
//
// The criteria are written to and read from checked files (the classifier's centres) by
// their own Write and Read. The analyser keeps no state: one analyser may serve several
// threads, each with its own feature set and its own parts tree.
#ifndef ENGINES_GRAPHICAL_ANALYZER_H_
#define ENGINES_GRAPHICAL_ANALYZER_H_

#include <cstddef>
#include <cstdint>
#include <memory>

#include "emlbreaker/array.h"
#include "emlbreaker/strings.h"

namespace ascommon {
class IStreamer;
}
namespace nsEmlComponents {
class CPartsTree;
}

// What each criterion of a feature set holds.
enum LayoutFeature : size_t {
  kFeatureTexts = 0,       // texts analysed
  kFeaturePlainTexts = 1,  // of which plain text
  kFeatureHtmlTexts = 2,   // of which HTML (visible text)
  kFeatureCodedLines = 3,  // line codes appended
  kFeatureLineFeeds = 4,   // lines ended by a line feed
  kFeatureEmptyLines = 5,
  kFeatureLinks = 6,      // "http://", any case
  kFeatureCidImages = 7,  // "img ... src=cid:"
  kFeatureWebImages = 8,  // "img ... src=http:"
  kFeatureAddresses = 9,  // "@" followed by a "." within 40 characters
  kFeatureUnused = 10,    // always 0
  kFeatureLineCodes = 11,
  kFeaturePartCodes = 12,
  kFeatureUnusedSequence = 13,  // always empty
  kFeatureCount = 14,
};

// The number of scalar criteria that count in a distance (features 0 to 9).
inline constexpr size_t kCountedScalars = 10;

// Line codes: an empty line, a line, a 65-character piece of a longer line, and a line
// (or piece) with "http:" close by.
inline constexpr float kLineEmpty = 0;
inline constexpr float kLineEnded = 1;
inline constexpr float kLineSegment = 2;
inline constexpr float kLineLink = 3;
// A line longer than this is cut into pieces of this many characters.
inline constexpr size_t kLineSegmentLength = 65;
// Part codes: blank, HTML, plain text.
inline constexpr float kPartBlank = 0;
inline constexpr float kPartHtml = 1;
inline constexpr float kPartPlain = 2;

// One criterion: a scalar (kind 0) or a sequence (kind 1) of floats.
class CGCrt {
 public:
  enum : int32_t { kScalar = 0, kSequence = 1 };

  CGCrt() = default;
  CGCrt(const CGCrt&) = delete;
  CGCrt& operator=(const CGCrt&) = delete;
  virtual ~CGCrt() = default;
  // How far other (of the same kind) is from this one. Throws ASInternalException when
  // the kinds differ.
  virtual float Distance(const CGCrt& other) const = 0;
  virtual void Write(ascommon::IStreamer& writer) const = 0;
  // Replaces the values with what reader holds next. Throws what the reader throws, and
  // ASException when a stored count is larger than what is left of the file.
  virtual void Read(ascommon::IStreamer& reader) = 0;
  virtual int32_t Kind() const = 0;

  // A copy of the same kind and values; throws ASMemException.
  std::unique_ptr<CGCrt> Clone() const;
  // Throws ASMemException when memory runs out.
  void Append(float value);
  void Append(const float* block, size_t count);

  ascommon::CArray<float, 64> values;
};

// A scalar: one value. Its distance is signed (other - this); the feature distance
// takes its size.
class CGDifCrt : public CGCrt {
 public:
  explicit CGDifCrt(float value = 0);
  float Distance(const CGCrt& other) const override;
  void Write(ascommon::IStreamer& writer) const override;
  void Read(ascommon::IStreamer& reader) override;
  int32_t Kind() const override { return kScalar; }
};

// A sequence. Its distance is the edit distance: inserting or deleting an element costs
// 1, replacing it by a different one 2, by an equal one (float equality) nothing.
class CGEDCrt : public CGCrt {
 public:
  float Distance(const CGCrt& other) const override;
  // The count (32 bits), then the values.
  void Write(ascommon::IStreamer& writer) const override;
  void Read(ascommon::IStreamer& reader) override;
  int32_t Kind() const override { return kSequence; }
};

// The edit distance of two sequences with the costs of CGEDCrt. Since a replacement
// costs as much as a deletion and an insertion, it is n + m - 2 * LCS(a, b).
size_t SequenceEditDistance(const float* a, size_t n, const float* b, size_t m);

// The bytes a reader has left before the end of its content; SIZE_MAX for a streamer
// whose size is not known. Lets readers refuse counts that no file of this size holds
// before they allocate for them.
size_t RemainingBytes(const ascommon::IStreamer& reader);

// The fourteen criteria of one mail, in the order of LayoutFeature.
class CGraphicalFeatureSet {
 public:
  // Throws ASMemException when a criterion cannot be made.
  CGraphicalFeatureSet();
  ~CGraphicalFeatureSet();
  CGraphicalFeatureSet(const CGraphicalFeatureSet&) = delete;
  CGraphicalFeatureSet& operator=(const CGraphicalFeatureSet&) = delete;

  // True while every scalar is 0 and every sequence empty.
  bool IsEmpty() const;
  float Scalar(size_t feature) const { return criteria[feature]->values[0]; }
  const ascommon::CArray<float, 64>& Sequence(size_t feature) const {
    return criteria[feature]->values;
  }

  ascommon::CArray<CGCrt*, 16> criteria;  // owned
  ascommon::sstring name;
};

class CGraphicalAnalyzer {
 public:
  // The plain-text and HTML part lists reach this deep, as the text and HTML stages do.
  static constexpr int32_t kListDepth = 3;

  // Adds the features of the mail's texts to set: the root's body when it is plain text
  // (its text) or HTML (its visible text), then the text of every part of the tree's
  // plain-text list and the visible text of every part of its HTML list; empty texts are
  // skipped. A null tree adds nothing. False, with nothing added, when set was not empty.
  // Throws ASMemException when memory runs out.
  bool Analyze(nsEmlComponents::CPartsTree* parts, CGraphicalFeatureSet* set) const;
  // Adds the features of one non-empty text.
  void AddText(const char16_t* text, size_t length, bool html, CGraphicalFeatureSet* set) const;
};

#endif  // ENGINES_GRAPHICAL_ANALYZER_H_
