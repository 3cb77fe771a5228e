// The graphical-pattern classifier: the layout of a mail (engines/graphical_analyzer.h)
// compared with stored centres, prototype layouts each with a category name and a
// radius. match_knn_categ("name") asks it for the categories of the centres whose radius
// takes the mail in, nearest first. docs/LAYOUT.md describes the features, the distance,
// the centres file and how it is trained.
//
// Centres file "as2graph.dat" (a checked file, common/checked_file.h; all numbers
// little-endian, counts and lengths 32-bit):
//
//   N                 centre count, below kMaxKnnCentres
//   N records:
//     M               member examples
//     L, name         category name, L bytes, no terminator
//     features 0..9   one float each
//     feature 11      n, then n floats (line codes)
//     feature 12      n, then n floats (part codes)
//     M x (length, name)   the member examples' names
//     M floats        member distances; the radius is their mean
//     spread          float, stored only
//     length, label   text, stored only
//
// CKnnEngine is the one the engines facade holds: Setup and Classify take its lock, so a
// reload never overlaps a classification and any thread may call either. The other
// classes are used by one thread at a time.
#ifndef ENGINES_KNN_ENGINE_H_
#define ENGINES_KNN_ENGINE_H_

#include <cstddef>
#include <cstdint>
#include <array>
#include <memory>
#include <mutex>
#include <vector>

#include "emlbreaker/array.h"
#include "emlbreaker/strings.h"
#include "engines/graphical_analyzer.h"

namespace ascommon {
class IStreamer;
}
namespace nsEmlComponents {
class CPartsTree;
}
class ARulePublisher;
class CEmlContextInterface;

// A file may hold fewer centres than this.
inline constexpr int32_t kMaxKnnCentres = 300;
// Classify names at most this many categories.
inline constexpr size_t kMaxKnnAnswers = 10;
// The score of a centre at distance 0 (float).
inline constexpr float kExactCentreScore = 1e35f;

// One centre: features 0 to 9 (slot 10 stays empty), line codes and part codes, and the
// examples it was built from.
class CGFCenter {
 public:
  static constexpr size_t kSlots = 13;

  // Throws ASMemException.
  CGFCenter();
  CGFCenter(const CGFCenter&) = delete;
  CGFCenter& operator=(const CGFCenter&) = delete;

  // The centre of one mail's features (radius 0, no members). Throws ASMemException.
  static std::unique_ptr<CGFCenter> FromFeatures(const CGraphicalFeatureSet& features);

  // One record of the centres file, and the radius from the member distances (not a
  // number without members: such a centre takes no mail in). Counts larger than what is
  // left of the file are refused before anything is allocated for them.
  void Read(ascommon::IStreamer& reader);
  void Write(ascommon::IStreamer& writer) const;
  // Throws ASMemException.
  void AddMember(const ascommon::sstring& member, float distance);

  std::unique_ptr<CGCrt> criteria[kSlots];
  ascommon::CArray<ascommon::sstring, 64> members;
  ascommon::CArray<float, 64> memberDistances;
  float radius = 0;
  float spread = 0;
  ascommon::sstring label;
  ascommon::sstring name;
};

// The distance of a mail to a centre: the sum of |mail[i] - centre[i]| over features 0 to
// 9, plus the edit distances of the line codes and of the part codes.
float LayoutDistance(const CGraphicalFeatureSet& mail, const CGFCenter& centre);
// The distance when it is at most limit (float-exact, as LayoutDistance computes it);
// false, without the costly edit distances, when the lengths alone already exceed it.
bool LayoutDistanceWithin(const CGraphicalFeatureSet& mail, const CGFCenter& centre, float limit,
                          float* distance);

class CKnnClassifier {
 public:
  CKnnClassifier() = default;
  CKnnClassifier(const CKnnClassifier&) = delete;
  CKnnClassifier& operator=(const CKnnClassifier&) = delete;

  // Reads the count and the records. A count of kMaxKnnCentres or more leaves no centre
  // and throws ASInternalException "Too many knn centers (N)"; a record that cannot be
  // read throws what the reader throws, with the centres read so far kept.
  void Load(ascommon::IStreamer& reader);
  // Writes the count and the records.
  void Save(ascommon::IStreamer& writer) const;
  // Takes the centre into the next slot; throws ASInternalException when all are taken.
  void AddCentre(std::unique_ptr<CGFCenter> centre);

  int32_t GetCount() const { return count_; }
  const CGFCenter& GetCentre(int32_t index) const { return *slots_[index]; }

  // The category names of the centres whose radius takes the mail in, by score (10^35
  // at distance 0, else 1000 / ((index + 1) * distance)), highest first, at most
  // kMaxKnnAnswers, joined with ", "; empty when none does.
  ascommon::sstring Classify(const CGraphicalFeatureSet& mail) const;

 private:
  // How many of a sequence's values are 0, 1, 2 and 3 (every line and part code is one
  // of these), and how many are anything else.
  static constexpr size_t kCodeBuckets = 5;
  using CodeCounts = std::array<size_t, kCodeBuckets>;
  // What the first test of every centre reads, side by side: its radius, its scalars,
  // and its sequences' lengths and code counts. Most centres are ruled out by these
  // alone.
  struct Summary {
    float radius;
    float scalars[kCountedScalars];
    size_t lineCodes;
    size_t partCodes;
    CodeCounts lineCounts;
    CodeCounts partCounts;
  };
  void Summarise(int32_t index);

  int32_t count_ = 0;
  std::unique_ptr<CGFCenter> slots_[kMaxKnnCentres];
  Summary summaries_[kMaxKnnCentres];
};

// Writes centres to path as a checked file (temporary folder "."). Throws what the
// streamer throws, and ASInternalException for more than kMaxKnnCentres - 1 centres.
void WriteCentresFile(const char* path, const std::vector<const CGFCenter*>& centres);

class CKnnEngine {
 public:
  CKnnEngine() = default;
  ~CKnnEngine();
  CKnnEngine(const CKnnEngine&) = delete;
  CKnnEngine& operator=(const CKnnEngine&) = delete;

  // Loads the centres file at path (8-bit), unless that very file is loaded already; a
  // loaded file of another name is unloaded first. Throws what loading throws; the
  // engine is then left without centres and loads again on the next Setup.
  void Setup(const char* path);
  // The categories of the mail of context (see CKnnClassifier::Classify); empty while
  // nothing is loaded. A null context throws "CKnnEngine::Classify - invalid context
  // handle"; the mail comes through engines (null or without a mail: no texts).
  ascommon::sstring Classify(ARulePublisher* engines, CEmlContextInterface* context);
  // The same for a parts tree, for hosts that hold one (training, tests).
  ascommon::sstring ClassifyParts(nsEmlComponents::CPartsTree* parts);

  bool IsLoaded();
  ascommon::sstring GetFileName();

 private:
  void Load(const char* path);
  void Unload();
  ascommon::sstring ClassifyLocked(nsEmlComponents::CPartsTree* parts);

  std::unique_ptr<CKnnClassifier> classifier_;
  std::unique_ptr<CGraphicalAnalyzer> analyzer_;
  bool loaded_ = false;
  ascommon::sstring fileName_;
  std::mutex lock_;
};

#endif  // ENGINES_KNN_ENGINE_H_
