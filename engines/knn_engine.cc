#include "engines/knn_engine.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <utility>

#include "common/binary_streamer.h"
#include "common/checked_file.h"
#include "emlbreaker/exceptions.h"
#include "engines/blackbox_facilitator.h"
#include "engines/rule_publisher.h"

using ascommon::sstring;

namespace {

constexpr int32_t kInternalCode = -3;

// The criteria a distance counts, after the scalars.
constexpr size_t kSequences[] = {kFeatureLineCodes, kFeaturePartCodes};

bool IsCentreSlot(size_t slot) { return slot != kFeatureUnused; }

// The sum of |mail - centre| over the scalars that count.
float ScalarDistance(const CGraphicalFeatureSet& mail, const CGFCenter& centre) {
  float sum = 0;
  // CGDifCrt::Distance without its checks: both sides are scalars by construction.
  for (size_t i = 0; i < kCountedScalars; ++i) {
    sum += std::fabs(centre.criteria[i]->values.GetData()[0] -
                     mail.criteria[i]->values.GetData()[0]);
  }
  return sum;
}

void ReadText(ascommon::IStreamer& reader, sstring* text) {
  const size_t length = reader.ReadSizeT(true);
  // An empty name stays unset; ReadString refuses lengths past the file's size.
  if (length > 0) reader.ReadString(text, length);
}

void WriteText(ascommon::IStreamer& writer, const sstring& text) {
  writer.WriteSizeT(text.Length(), true);
  writer.WriteString(text);
}

}  // namespace

CGFCenter::CGFCenter() {
  try {
    for (size_t i = 0; i < kSlots; ++i) {
      if (i < kFeatureUnused) {
        criteria[i] = std::make_unique<CGDifCrt>(0);
      } else if (i > kFeatureUnused) {
        criteria[i] = std::make_unique<CGEDCrt>();
      }
    }
  } catch (const std::bad_alloc&) {
    throw ASMemException("%s - memory problems", "CGFCenter::CGFCenter");
  }
}

std::unique_ptr<CGFCenter> CGFCenter::FromFeatures(const CGraphicalFeatureSet& features) {
  std::unique_ptr<CGFCenter> centre(new (std::nothrow) CGFCenter);
  if (!centre) throw ASMemException("%s - memory problems", "CGFCenter::FromFeatures");
  for (size_t i = 0; i < kSlots; ++i) {
    if (IsCentreSlot(i)) centre->criteria[i] = features.criteria[i]->Clone();
  }
  return centre;
}

void CGFCenter::Read(ascommon::IStreamer& reader) {
  static const char kWhere[] = "CGFCenter::Read";
  const size_t count = reader.ReadSizeT(true);
  ReadText(reader, &name);
  for (size_t i = 0; i < kSlots; ++i) {
    if (IsCentreSlot(i)) criteria[i]->Read(reader);
  }
  // Each member takes at least a length and a distance: 8 bytes.
  if (count > RemainingBytes(reader) / 8) {
    throw ASException("%s - %zu members announced, more than the file holds", kWhere, count);
  }
  members.SetSize(0, false);
  memberDistances.SetSize(0, false);
  if (count > 0 && (members.SetSize(count, true) != 0 ||
                    memberDistances.SetSize(count, true) != 0)) {
    throw ASMemException("%s - memory problems", kWhere);
  }
  for (size_t i = 0; i < count; ++i) ReadText(reader, &members[i]);
  float sum = 0;
  for (size_t i = 0; i < count; ++i) {
    memberDistances[i] = reader.ReadFloat();
    sum += memberDistances[i];
  }
  // Without members this is 0 / 0: not a number, which no distance is at most.
  radius = sum / static_cast<float>(count);
  spread = reader.ReadFloat();
  ReadText(reader, &label);
}

void CGFCenter::Write(ascommon::IStreamer& writer) const {
  writer.WriteSizeT(members.GetSize(), true);
  WriteText(writer, name);
  for (size_t i = 0; i < kSlots; ++i) {
    if (IsCentreSlot(i)) criteria[i]->Write(writer);
  }
  for (const sstring& member : members) WriteText(writer, member);
  for (const float distance : memberDistances) writer.WriteFloat(distance);
  writer.WriteFloat(spread);
  WriteText(writer, label);
}

void CGFCenter::AddMember(const sstring& member, float distance) {
  if (members.Add(member) != 0 || memberDistances.Add(distance) != 0) {
    throw ASMemException("%s - memory problems", "CGFCenter::AddMember");
  }
}

float LayoutDistance(const CGraphicalFeatureSet& mail, const CGFCenter& centre) {
  float sum = ScalarDistance(mail, centre);
  for (const size_t i : kSequences) sum += mail.criteria[i]->Distance(*centre.criteria[i]);
  return sum;
}

// The length difference of two sequences is a lower bound of their edit distance, and
// float addition is monotonic, so the bound computed as the distance is never above it.
bool LayoutDistanceWithin(const CGraphicalFeatureSet& mail, const CGFCenter& centre, float limit,
                          float* distance) {
  const float scalars = ScalarDistance(mail, centre);
  float bound = scalars;
  for (const size_t i : kSequences) {
    const size_t n = mail.criteria[i]->values.GetSize();
    const size_t m = centre.criteria[i]->values.GetSize();
    bound += static_cast<float>(n > m ? n - m : m - n);
  }
  if (!(bound <= limit)) return false;
  float sum = scalars;
  for (const size_t i : kSequences) sum += mail.criteria[i]->Distance(*centre.criteria[i]);
  *distance = sum;
  return sum <= limit;
}

void CKnnClassifier::Load(ascommon::IStreamer& reader) {
  for (auto& slot : slots_) slot.reset();
  count_ = 0;
  const size_t count = reader.ReadSizeT(true);
  if (count >= static_cast<size_t>(kMaxKnnCentres)) {
    throw ASInternalException(kInternalCode, "Too many knn centers (%d)", static_cast<int>(count));
  }
  for (size_t i = 0; i < count; ++i) {
    std::unique_ptr<CGFCenter> centre(new (std::nothrow) CGFCenter);
    if (!centre) throw ASMemException("%s - memory problems", "CKnnClassifier::Load");
    centre->Read(reader);
    slots_[i] = std::move(centre);
    Summarise(static_cast<int32_t>(i));
    count_ = static_cast<int32_t>(i + 1);
  }
}

void CKnnClassifier::Save(ascommon::IStreamer& writer) const {
  writer.WriteSizeT(static_cast<size_t>(count_), true);
  for (int32_t i = 0; i < count_; ++i) slots_[i]->Write(writer);
}

void CKnnClassifier::AddCentre(std::unique_ptr<CGFCenter> centre) {
  if (count_ + 1 >= kMaxKnnCentres) {
    throw ASInternalException(kInternalCode, "Too many knn centers (%d)", count_ + 1);
  }
  slots_[count_] = std::move(centre);
  Summarise(count_++);
}

namespace {

// The counts of a sequence's values by bucket: 0, 1, 2, 3, then all else (NaN too).
std::array<size_t, 5> CountCodes(const CGCrt& criterion) {
  std::array<size_t, 5> counts{};
  // Without a branch per value: the codes come in no order a predictor could learn.
  for (const float value : criterion.values) {
    const bool code = (value == 0) | (value == 1) | (value == 2) | (value == 3);
    ++counts[static_cast<size_t>(code ? value : 4.0f)];
  }
  return counts;
}

// A lower bound of the edit distance (insertions and deletions) of two sequences of n
// and m values with these counts: no common subsequence holds more of a value than
// either side has, and the last bucket's values can pair at most as often as the
// smaller count says. At least |n - m|.
size_t CodeDistanceBound(size_t n, const std::array<size_t, 5>& a, size_t m,
                         const std::array<size_t, 5>& b) {
  size_t common = 0;
  for (size_t k = 0; k < a.size(); ++k) common += std::min(a[k], b[k]);
  return n + m - 2 * common;
}

}  // namespace

void CKnnClassifier::Summarise(int32_t index) {
  const CGFCenter& centre = *slots_[index];
  Summary& summary = summaries_[index];
  summary.radius = centre.radius;
  for (size_t i = 0; i < kCountedScalars; ++i) summary.scalars[i] = centre.criteria[i]->values[0];
  summary.lineCodes = centre.criteria[kFeatureLineCodes]->values.GetSize();
  summary.partCodes = centre.criteria[kFeaturePartCodes]->values.GetSize();
  summary.lineCounts = CountCodes(*centre.criteria[kFeatureLineCodes]);
  summary.partCounts = CountCodes(*centre.criteria[kFeaturePartCodes]);
}

sstring CKnnClassifier::Classify(const CGraphicalFeatureSet& mail) const {
  struct Candidate {
    float score;
    int32_t index;
  };
  float scalars[kCountedScalars];
  for (size_t i = 0; i < kCountedScalars; ++i) scalars[i] = mail.Scalar(i);
  const size_t line_codes = mail.criteria[kFeatureLineCodes]->values.GetSize();
  const size_t part_codes = mail.criteria[kFeaturePartCodes]->values.GetSize();
  const CodeCounts line_counts = CountCodes(*mail.criteria[kFeatureLineCodes]);
  const CodeCounts part_counts = CountCodes(*mail.criteria[kFeaturePartCodes]);
  std::vector<Candidate> candidates;
  for (int32_t i = 0; i < count_; ++i) {
    // A lower bound of the distance, from the summaries: the scalars' sum computed as
    // the distance computes it, plus a lower bound of each edit distance. Every term is
    // at least 0 and float addition is monotonic, so a bound (or a single term of it)
    // above the radius means the distance is above it too.
    const Summary& summary = summaries_[i];
    const float radius = summary.radius;
    const size_t line_gap =
        line_codes > summary.lineCodes ? line_codes - summary.lineCodes : summary.lineCodes - line_codes;
    if (!(static_cast<float>(line_gap) <= radius)) continue;
    float scalar_sum = 0;
    for (size_t k = 0; k < kCountedScalars; ++k) {
      scalar_sum += std::fabs(summary.scalars[k] - scalars[k]);
    }
    if (!(scalar_sum + static_cast<float>(line_gap) <= radius)) continue;
    float bound = scalar_sum;
    bound += static_cast<float>(
        CodeDistanceBound(line_codes, line_counts, summary.lineCodes, summary.lineCounts));
    bound += static_cast<float>(
        CodeDistanceBound(part_codes, part_counts, summary.partCodes, summary.partCounts));
    if (!(bound <= radius)) continue;
    float distance = 0;
    if (!LayoutDistanceWithin(mail, *slots_[i], slots_[i]->radius, &distance)) continue;
    float score = kExactCentreScore;
    if (distance != 0) {
      const float product = static_cast<float>(i + 1) * distance;
      score = static_cast<float>(1000.0 / static_cast<double>(product));
    }
    candidates.push_back({score, i});
  }
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const Candidate& a, const Candidate& b) { return a.score > b.score; });
  sstring answer("");
  const size_t shown = std::min(candidates.size(), kMaxKnnAnswers);
  for (size_t k = 0; k < shown; ++k) {
    if ((k > 0 && answer.Append(", ") != 0) ||
        answer.Append(slots_[candidates[k].index]->name) != 0) {
      throw ASMemException("%s - memory problems", "CKnnClassifier::Classify");
    }
  }
  return answer;
}

void WriteCentresFile(const char* path, const std::vector<const CGFCenter*>& centres) {
  if (centres.size() >= static_cast<size_t>(kMaxKnnCentres)) {
    throw ASInternalException(kInternalCode, "Too many knn centers (%d)",
                              static_cast<int>(centres.size()));
  }
  ascommon::CBinaryStreamer writer(ascommon::usstring::FromUtf8(path),
                                   ascommon::IStreamer::kWriteMode,
                                   ascommon::ProcessTempFolder());
  writer.WriteSizeT(centres.size(), true);
  for (const CGFCenter* centre : centres) centre->Write(writer);
  writer.Close();
}

CKnnEngine::~CKnnEngine() = default;

void CKnnEngine::Setup(const char* path) {
  std::lock_guard<std::mutex> hold(lock_);
  const sstring wanted(path != nullptr ? path : "");
  if (loaded_ && fileName_ == wanted) return;
  if (loaded_) Unload();
  Load(wanted.c_str());
}

// A failed load keeps nothing of what it read: a classifier with half its centres would
// answer as if the file were whole.
void CKnnEngine::Load(const char* path) {
  classifier_.reset(new (std::nothrow) CKnnClassifier);
  if (!classifier_) throw ASMemException("Cannot allocate the KNN class");
  analyzer_.reset(new (std::nothrow) CGraphicalAnalyzer);
  if (!analyzer_) {
    classifier_.reset();
    throw ASMemException("Cannot allocate the Graphical Analyzer class");
  }
  try {
    ascommon::CBinaryStreamer reader(ascommon::usstring::FromUtf8(path),
                                     ascommon::IStreamer::kReadMode,
                                     ascommon::ProcessTempFolder());
    classifier_->Load(reader);
    reader.Close();
  } catch (...) {
    classifier_.reset();
    analyzer_.reset();
    throw;
  }
  fileName_ = path;
  loaded_ = true;
}

void CKnnEngine::Unload() {
  classifier_.reset();
  analyzer_.reset();
  loaded_ = false;
  fileName_ = "<no file loaded>";
}

sstring CKnnEngine::Classify(ARulePublisher* engines, CEmlContextInterface* context) {
  std::lock_guard<std::mutex> hold(lock_);
  if (context == nullptr) throw ASException("%s - invalid context handle", "CKnnEngine::Classify");
  const CBlackBoxFacilitator* mail = engines != nullptr ? engines->FacilitatorOf(context) : nullptr;
  return ClassifyLocked(mail != nullptr ? mail->GetParts() : nullptr);
}

sstring CKnnEngine::ClassifyParts(nsEmlComponents::CPartsTree* parts) {
  std::lock_guard<std::mutex> hold(lock_);
  return ClassifyLocked(parts);
}

sstring CKnnEngine::ClassifyLocked(nsEmlComponents::CPartsTree* parts) {
  if (!classifier_ || classifier_->GetCount() == 0 || !analyzer_) return sstring("");
  std::unique_ptr<CGraphicalFeatureSet> features;
  try {
    features = std::make_unique<CGraphicalFeatureSet>();
  } catch (const std::exception&) {
    throw ASMemException("Not enough memory for a new graphical feature set");
  }
  if (!analyzer_->Analyze(parts, features.get())) {
    throw ASInternalException(kInternalCode, "Could not run the Graphical analyzer");
  }
  return classifier_->Classify(*features);
}

bool CKnnEngine::IsLoaded() {
  std::lock_guard<std::mutex> hold(lock_);
  return loaded_;
}

sstring CKnnEngine::GetFileName() {
  std::lock_guard<std::mutex> hold(lock_);
  return fileName_;
}
