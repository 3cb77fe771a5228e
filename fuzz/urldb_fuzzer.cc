// Feeds arbitrary content to the URL database's file reader through Update, as a base
// file and again as an update file. An input whose first byte is even is wrapped into a
// valid checked file (the writer computes digest and scrambling) so that the record
// parsing runs, not only the digest check; an odd first byte writes the rest as it is,
// so the checked-file layer sees hostile headers too.
//
// Whatever loads must survive a round trip: every listed text is added to a fresh
// database's update file, which must load back to the same listing. The input is also
// cut to a registrable domain as a URL would be.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

#include "common/binary_streamer.h"
#include "fuzz/checked_input.h"
#include "emlbreaker/exceptions.h"
#include "engines/url_db.h"

namespace {

// Records are short texts; longer inputs only repeat what shorter ones reach.
constexpr size_t kFuzzMaxBytes = 64 << 10;

using ascommon::sstring;
using ascommon::usstring;

const std::string& WorkFolder() { return fuzzing::WorkFolder("urldbfz"); }

using fuzzing::Wide;
using fuzzing::WriteRaw;

void WriteChecked(const std::string& path, const uint8_t* data, size_t size) {
  fuzzing::WriteChecked(path, WorkFolder(), data, size);
}

std::set<std::u16string> Listed(const CURLDB& db) {
  std::set<std::u16string> texts;
  const CURLDB::ListedMap& listed = db.GetListed();
  if (listed.GetCount() == 0) return texts;
  CURLDB::ListedMap::Position position = listed.GetStartPosition();
  for (uint32_t i = 0; i < listed.GetCount(); ++i, position.Next()) {
    texts.insert(std::u16string(position.Key().GetText().View()));
  }
  return texts;
}

bool IsLoadResult(int result) {
  return result == 0 || result == -13 || result == -14 || result == -3;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > kFuzzMaxBytes) return 0;
  const std::string input = WorkFolder() + "/input.dat";
  const std::string output = WorkFolder() + "/output.dat";
  try {
    if (data[0] & 1) {
      WriteRaw(input, data + 1, size - 1);
    } else {
      WriteChecked(input, data + 1, size - 1);
    }
  } catch (const ASException&) {
    return 0;  // the folder is full or gone: nothing to test
  }
  const usstring path = Wide(input);
  const usstring temp = Wide(WorkFolder());

  CURLDB db;
  const int result = db.Update(path.c_str(), path.c_str(), temp.c_str());
  if (!IsLoadResult(result)) __builtin_trap();
  const std::set<std::u16string> listed = Listed(db);
  if (listed.size() != db.GetListed().GetCount()) __builtin_trap();
  for (const std::u16string& text : listed) {
    if (!db.IsDomainListed(usstring(text))) __builtin_trap();
  }

  {
    CURLDB writer;
    const usstring out = Wide(output);
    if (writer.OpenOutput(out.c_str()) != 0) return 0;
    for (const std::u16string& text : listed) {
      const CURL item{usstring(text)};
      if (writer.AddItem(&item) != 0) __builtin_trap();
      if (writer.AddItem(&item) != 0) __builtin_trap();  // written once
    }
  }  // sealed here
  CURLDB reread;
  const usstring out = Wide(output);
  if (reread.Update(out.c_str(), out.c_str(), temp.c_str()) != 0) __builtin_trap();
  if (Listed(reread) != listed) __builtin_trap();

  // The content as one URL: a domain is a piece of it.
  const usstring text(sstring(reinterpret_cast<const char*>(data + 1), size - 1));
  usstring domain;
  const int cut = ExtractDomainFromText(db.GetDomainTable(), text.GetBuffer(), text.Length(),
                                        &domain);
  if (cut != 0 && cut != -450) __builtin_trap();
  if (cut == 0 && (domain.Length() == 0 || domain.Length() > text.Length())) __builtin_trap();
  return 0;
}
