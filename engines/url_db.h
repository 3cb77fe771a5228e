// The URL database: domains listed in checked files (a base file and an update file),
// the test whether a URL's registrable domain is listed, and the writing of update
// files. It also owns the table of second-level registration domains (".co.uk", ...)
// with which a host is cut down to its registrable domain.
//
// Record stream of a file (the content of a checked file, common/checked_file.h),
// repeated to its end:
//
//   tag     signed 32-bit     1: list the item; -1: an item that loading reads and drops
//   length  unsigned 32-bit   bytes of text that follow
//   text    length bytes      the item's text as UTF-8, no terminator
//
// Codes returned by the operations: 0 success, -50 missing argument, -20 wrong item
// kind, -13 malformed record stream, -14 an item could not be read, -3 a record could
// not be applied / no output open / an exception while loading, -2 an output could not
// be created or an item text could not be formed, -10 out of memory, -551 serialising
// without a writer.
//
// Loading and writing change the object: one thread at a time. The const queries
// (IsListed, IsDomainListed, GetDomainTable) may run from several threads at once while
// nothing changes the database.
#ifndef ENGINES_URL_DB_H_
#define ENGINES_URL_DB_H_

#include <cstddef>
#include <cstdint>
#include <memory>

#include "emlbreaker/analysis.h"
#include "emlbreaker/map.h"
#include "emlbreaker/strings.h"

namespace ascommon {
class IStreamer;
class CBinaryStreamer;
}  // namespace ascommon

// Second-level registration domains: ".co.uk" and the like, lower case, with their
// leading dot. Keys are compared exactly.
using CDomainTable = ascommon::CMap<ascommon::usstring, uint32_t>;

// The number of keys FillDomainTable puts in a table.
inline constexpr uint32_t kDomainTableSize = 983;

// Inserts the second-level registration domains into table in ascending key order, each
// with its rank as value; the results of single insertions are ignored.
void FillDomainTable(CDomainTable* table);

// The registrable domain of a URL's decoded string: 0 with *domain set, -450 when the
// URL names no domain, -10 when the domain cannot be stored. Never throws.
int ExtractDomain(const CDomainTable& table, const nsEmlComponents::CUrl& url,
                  ascommon::usstring* domain);
// The same steps on any text: a URL, a bare host, the part of an address after its "@".
int ExtractDomainFromText(const CDomainTable& table, const char16_t* text, size_t length,
                          ascommon::usstring* domain);

// Something an updater reads from and writes to a record stream.
class CSerializableItem {
 public:
  virtual ~CSerializableItem() = default;
  // Writes the item as one record; 0 or a negative code.
  virtual int Serialize(ascommon::IStreamer* writer) const = 0;
  // Reads the item's body (the tag is already read) and advances *position by the bytes
  // consumed; 0 or a negative code.
  virtual int Deserialize(ascommon::IStreamer* reader, size_t* position) = 0;
};

// One URL or domain text of the database.
class CURL : public CSerializableItem {
 public:
  CURL() = default;
  explicit CURL(const ascommon::usstring& text) : text_(text) {}

  // A null writer gives -551; the record is written with tag -1 (see WriteItem).
  int Serialize(ascommon::IStreamer* writer) const override;
  // -2 when the bytes read do not form a text (a 0 byte, invalid UTF-8, no memory).
  // Throws what the reader throws (a short file).
  int Deserialize(ascommon::IStreamer* reader, size_t* position) override;

  const ascommon::usstring& GetText() const { return text_; }
  void SetText(const ascommon::usstring& text) { text_ = text; }

  // As usstring: an unset text equals nothing.
  bool operator==(const CURL& other) const { return text_ == other.text_; }
  uint32_t Hash() const { return text_.Hash(); }
  int32_t GetError() const { return text_.GetError(); }

 private:
  ascommon::usstring text_;
};

// Reads and writes a file as a sequence of tagged records, each one serialisable item;
// the derived class says what an item is and what a record does.
class AUpdater {
 public:
  AUpdater();
  // Destroys the output streamer, which seals and scrambles the output file.
  virtual ~AUpdater();
  AUpdater(const AUpdater&) = delete;
  AUpdater& operator=(const AUpdater&) = delete;

  // Loads the base file, then the update file when it names an existing regular file
  // (its result is not reported). -50 when an argument is null; the base file's result
  // when it is not 0; else 0. A failing update file keeps what the base file loaded.
  virtual int Update(const char16_t* base_path, const char16_t* update_path,
                     const char16_t* temp_folder);
  // Does what a record says; takes ownership of item, which it destroys.
  virtual int ApplyRecord(int32_t tag, CSerializableItem* item) = 0;
  // A new empty item, or null when memory runs out.
  virtual CSerializableItem* CreateItem() = 0;
  // Opens path as the output (a checked file in the making; temporary folder "."). An
  // output already open is closed (sealed and scrambled) first. -50, -2 or 0.
  virtual int OpenOutput(const char16_t* path);
  virtual int AddItem(const CSerializableItem* item) = 0;
  // 1 or 0.
  virtual int ContainsItem(const CSerializableItem* item) const = 0;
  // Serialises item to the output: -3 without output or item.
  virtual int WriteItem(const CSerializableItem* item);

  // Closes the output now, as the destructor would: the file becomes a valid checked
  // file. Nothing happens without an output.
  void CloseOutput();

 protected:
  // Loads one file: 0, -13, -14, -3 (see the codes above).
  int LoadFile(const ascommon::usstring& path, const ascommon::usstring& temp_folder);

  std::unique_ptr<ascommon::CBinaryStreamer> output_;
};

class CURLDB : public AUpdater {
 public:
  // The listed domains, valued by their number of entries at insertion.
  using ListedMap = ascommon::CMap<CURL, uint32_t>;

  // Throws ASMemException "CURLDB::CURLDB - could not instantiate map" when a map
  // cannot be created.
  CURLDB();
  ~CURLDB() override;

  // Tag 1 lists the item's text (an existing entry is kept; -10 when memory runs out),
  // tag -1 does nothing; -20 when item is not a CURL. item is destroyed in every case.
  int ApplyRecord(int32_t tag, CSerializableItem* item) override;
  CSerializableItem* CreateItem() override;
  // As AUpdater::OpenOutput; the new output starts with nothing written.
  int OpenOutput(const char16_t* path) override;
  // A listed item is removed from the listing and nothing is written (0). Otherwise its
  // text is written once per output as a record with tag 1: -50 null item, -20 not a
  // CURL, -3 no output open.
  int AddItem(const CSerializableItem* item) override;
  // Compares item with every listed entry (a walk, not a lookup).
  int ContainsItem(const CSerializableItem* item) const override;

  const CDomainTable& GetDomainTable() const;
  // True when the URL's registrable domain is listed.
  bool IsListed(const nsEmlComponents::CUrl& url) const;
  // True when domain (already registrable, as ExtractDomain gives it) is listed.
  bool IsDomainListed(const ascommon::usstring& domain) const;

  const ListedMap& GetListed() const { return *listed_; }

 private:
  std::unique_ptr<ListedMap> listed_;
  // UTF-8 texts already written to the current output.
  std::unique_ptr<ascommon::CMap<ascommon::sstring, uint32_t>> written_;
  std::unique_ptr<CDomainTable> domainTable_;
};

#endif  // ENGINES_URL_DB_H_
