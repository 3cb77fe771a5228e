// Feeds arbitrary content to the reader of the classifier's centres file. Most inputs are
// wrapped into a valid checked file (digest and scrambling done by the writer) so that the
// record parsing runs, not only the digest check; an input whose first byte is odd is
// written as it is, so that the checked-file layer sees hostile headers too.
//
// A file that loads is classified against a small mail, written back and read again: the
// second reading must find the same centres (names, member counts, radius).
#include <unistd.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/binary_streamer.h"
#include "fuzz/checked_input.h"
#include "emlbreaker/exceptions.h"
#include "emlbreaker/parts_tree.h"
#include "engines/knn_engine.h"

namespace {

// Centre records are small; longer inputs only repeat what shorter ones reach.
constexpr size_t kFuzzMaxBytes = 64 << 10;

const std::string& WorkFolder() { return fuzzing::WorkFolder("knnfz"); }

using fuzzing::Wide;
using fuzzing::WriteRaw;

void WriteChecked(const std::string& path, const uint8_t* data, size_t size) {
  fuzzing::WriteChecked(path, WorkFolder(), data, size);
}

bool Load(const std::string& path, CKnnClassifier* classifier) {
  try {
    ascommon::CBinaryStreamer reader(Wide(path), ascommon::IStreamer::kReadMode,
                                     Wide(WorkFolder()));
    classifier->Load(reader);
    return true;
  } catch (const ASException&) {
    return false;
  }
}

bool SameRadius(float a, float b) { return (std::isnan(a) && std::isnan(b)) || a == b; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > kFuzzMaxBytes) return 0;
  const std::string path = WorkFolder() + "/centres.dat";
  const std::string copy = WorkFolder() + "/copy.dat";
  if (data[0] & 1) {
    WriteRaw(path, data + 1, size - 1);
  } else {
    WriteChecked(path, data + 1, size - 1);
  }

  CKnnClassifier classifier;
  const bool loaded = Load(path, &classifier);
  if (classifier.GetCount() < 0 || classifier.GetCount() >= kMaxKnnCentres) __builtin_trap();
  if (!loaded) return 0;

  // A small mail: one plain text with a link line and an HTML part.
  nsEmlComponents::CPartsTree tree;
  auto* root = new nsEmlComponents::CPart(nullptr, 0);
  auto* body = new nsEmlComponents::CPartBodyTextPlain;
  body->text.Assign(u"Hello @a.b\n\nhttp://x.y/\nimg src=cid:1\n");
  root->body = body;
  tree.SetRoot(root);
  CGraphicalFeatureSet features;
  CGraphicalAnalyzer().Analyze(&tree, &features);
  const ascommon::sstring answer = classifier.Classify(features);
  (void)answer;

  {
    ascommon::CBinaryStreamer writer(Wide(copy), ascommon::IStreamer::kWriteMode,
                                     Wide(WorkFolder()));
    classifier.Save(writer);
    writer.Close();
  }
  CKnnClassifier again;
  if (!Load(copy, &again) || again.GetCount() != classifier.GetCount()) __builtin_trap();
  for (int32_t i = 0; i < again.GetCount(); ++i) {
    const CGFCenter& a = classifier.GetCentre(i);
    const CGFCenter& b = again.GetCentre(i);
    if (!(a.name == b.name) && !(a.name.IsEmpty() && b.name.IsEmpty())) __builtin_trap();
    if (a.members.GetSize() != b.members.GetSize()) __builtin_trap();
    if (!SameRadius(a.radius, b.radius)) __builtin_trap();
    if (LayoutDistance(features, a) != LayoutDistance(features, b) &&
        !std::isnan(LayoutDistance(features, a))) {
      __builtin_trap();
    }
  }
  return 0;
}
