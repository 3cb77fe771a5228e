#include "engines/url_db.h"

#include <sys/stat.h>

#include <new>
#include <string>
#include <utility>

#include "common/binary_streamer.h"
#include "common/checked_file.h"
#include "emlbreaker/exceptions.h"

using ascommon::CBinaryStreamer;
using ascommon::IStreamer;
using ascommon::sstring;
using ascommon::usstring;

namespace {

constexpr int kMissingArgument = -50;
constexpr int kWrongItem = -20;
constexpr int kMalformedStream = -13;
constexpr int kUnreadableItem = -14;
constexpr int kNotApplied = -3;
constexpr int kNoText = -2;
constexpr int kNoMemory = -10;
constexpr int kNoWriter = -551;

constexpr int32_t kTagList = 1;
constexpr int32_t kTagSkip = -1;

// Bucket counts: a base file lists thousands of domains; the table holds 983 keys.
constexpr uint32_t kListedBuckets = 4099;
constexpr uint32_t kWrittenBuckets = 1021;
constexpr uint32_t kDomainTableBuckets = 1021;

// The written texts are hashed as their wide form, so that one domain lands in the same
// bucket whichever of its forms is looked up.
uint32_t HashAsWide(const sstring& text) { return usstring(text).Hash(); }

void WriteRecord(IStreamer* writer, int32_t tag, const sstring& text) {
  writer->WriteInt(tag);
  writer->WriteSizeT(text.Length(), true);
  for (size_t i = 0; i < text.Length(); ++i) writer->WriteChar(text.GetBuffer()[i]);
}

bool IsRegularFile(const char16_t* path) {
  const sstring narrow{usstring(path)};
  if (!narrow.IsSet()) return false;
  struct stat info;
  return stat(narrow.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
}

}  // namespace

// ---------------------------------------------------------------------------------------

int CURL::Serialize(IStreamer* writer) const {
  if (writer == nullptr) return kNoWriter;
  const sstring narrow(text_);
  if (text_.IsSet() && !narrow.IsSet()) return kNoText;
  WriteRecord(writer, kTagSkip, narrow);
  return 0;
}

int CURL::Deserialize(IStreamer* reader, size_t* position) {
  const size_t length = reader->ReadSizeT(true);
  *position += 4;
  // Grown byte by byte rather than reserved from the length field, which a damaged
  // file may set to anything: a short file throws at its end.
  std::string bytes;
  bool has_zero = false;
  for (size_t i = 0; i < length; ++i) {
    const char c = reader->ReadChar();
    has_zero = has_zero || c == '\0';
    bytes.push_back(c);
  }
  *position += length;
  if (has_zero) return kNoText;
  const sstring narrow(bytes.data(), bytes.size());
  if (!narrow.IsSet()) return kNoText;
  usstring wide(narrow);
  if (!wide.IsSet()) return kNoText;
  text_ = std::move(wide);
  return 0;
}

// ---------------------------------------------------------------------------------------

AUpdater::AUpdater() = default;

AUpdater::~AUpdater() { CloseOutput(); }

void AUpdater::CloseOutput() {
  output_.reset();  // the streamer's destructor seals and scrambles, tracing a failure
}

int AUpdater::Update(const char16_t* base_path, const char16_t* update_path,
                     const char16_t* temp_folder) {
  if (base_path == nullptr || update_path == nullptr || temp_folder == nullptr) {
    return kMissingArgument;
  }
  const usstring temp(temp_folder);
  const int result = LoadFile(usstring(base_path), temp);
  if (result != 0) return result;
  if (IsRegularFile(update_path)) LoadFile(usstring(update_path), temp);
  return 0;
}

int AUpdater::LoadFile(const usstring& path, const usstring& temp_folder) {
  try {
    CBinaryStreamer reader(path, IStreamer::kReadMode, temp_folder);
    const size_t size = reader.GetFile()->GetSize();
    size_t position = ascommon::kCheckedHeaderSize;
    int result = 0;
    while (position < size) {
      const int32_t tag = reader.ReadInt();
      if (tag != kTagList && tag != kTagSkip) {
        result = kMalformedStream;
        break;
      }
      position += 4;
      if (position >= size) {
        result = kMalformedStream;
        break;
      }
      std::unique_ptr<CSerializableItem> item(CreateItem());
      if (item == nullptr) break;
      if (item->Deserialize(&reader, &position) != 0) {
        result = kUnreadableItem;
        break;
      }
      if (ApplyRecord(tag, item.release()) != 0) {
        result = kNotApplied;
        break;
      }
    }
    reader.Close();
    return result;
  } catch (const std::exception&) {
    return kNotApplied;  // a digest mismatch, a short file, no memory
  }
}

int AUpdater::OpenOutput(const char16_t* path) {
  if (path == nullptr) return kMissingArgument;
  CloseOutput();
  try {
    output_ = std::make_unique<CBinaryStreamer>(usstring(path), IStreamer::kWriteMode,
                                                usstring(u"."));
  } catch (const std::exception&) {
    return kNoText;
  }
  return 0;
}

int AUpdater::WriteItem(const CSerializableItem* item) {
  if (output_ == nullptr || item == nullptr) return kNotApplied;
  try {
    return item->Serialize(output_.get());
  } catch (const std::exception&) {
    return kNotApplied;
  }
}

// ---------------------------------------------------------------------------------------

CURLDB::CURLDB() {
  try {
    listed_ = std::make_unique<ListedMap>(kListedBuckets, nullptr);
    written_ =
        std::make_unique<ascommon::CMap<sstring, uint32_t>>(kWrittenBuckets, &HashAsWide);
    domainTable_ = std::make_unique<CDomainTable>(kDomainTableBuckets, nullptr);
  } catch (const std::bad_alloc&) {
    throw ASMemException("%s - could not instantiate map", "CURLDB::CURLDB");
  }
  FillDomainTable(domainTable_.get());
}

CURLDB::~CURLDB() = default;

int CURLDB::ApplyRecord(int32_t tag, CSerializableItem* item) {
  std::unique_ptr<CSerializableItem> owned(item);
  const CURL* url = dynamic_cast<const CURL*>(item);
  if (url == nullptr) return kWrongItem;
  if (tag != kTagList) return 0;
  const int result = listed_->Insert(*url, listed_->GetCount());
  return result == -2 ? kNoMemory : 0;  // -451: already listed, left as it is
}

CSerializableItem* CURLDB::CreateItem() { return new (std::nothrow) CURL(); }

int CURLDB::OpenOutput(const char16_t* path) {
  written_->RemoveAll();
  return AUpdater::OpenOutput(path);
}

int CURLDB::ContainsItem(const CSerializableItem* item) const {
  const CURL* url = dynamic_cast<const CURL*>(item);
  if (url == nullptr || listed_->GetCount() == 0) return 0;
  ListedMap::Position position = listed_->GetStartPosition();
  for (uint32_t i = 0; i < listed_->GetCount(); ++i, position.Next()) {
    if (position.Key() == *url) return 1;
  }
  return 0;
}

int CURLDB::AddItem(const CSerializableItem* item) {
  if (item == nullptr) return kMissingArgument;
  const CURL* url = dynamic_cast<const CURL*>(item);
  if (url == nullptr) return kWrongItem;
  if (ContainsItem(url) != 0) {
    listed_->Remove(*url);
    return 0;
  }
  if (output_ == nullptr) return kNotApplied;
  const sstring narrow(url->GetText());
  if (!narrow.IsSet()) return kNoText;
  if (written_->Lookup(narrow) != nullptr) return 0;
  try {
    WriteRecord(output_.get(), kTagList, narrow);
  } catch (const std::exception&) {
    return kNotApplied;
  }
  if (written_->Insert(narrow, written_->GetCount()) == -2) return kNoMemory;
  return 0;
}

const CDomainTable& CURLDB::GetDomainTable() const { return *domainTable_; }

bool CURLDB::IsListed(const nsEmlComponents::CUrl& url) const {
  usstring domain;
  if (ExtractDomain(*domainTable_, url, &domain) != 0) return false;
  return IsDomainListed(domain);
}

bool CURLDB::IsDomainListed(const usstring& domain) const {
  return listed_->Lookup(CURL(domain)) != nullptr;
}
