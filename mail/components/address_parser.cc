#include "mail/components/address_parser.h"

#include <new>
#include <utility>
#include <vector>

#include "mail/components/encoded_words.h"
#include "mail/components/header_limits.h"
#include "mail/components/header_text.h"
#include "mail/components/headers.h"

namespace nsEmlComponents {
namespace {

using WideView = std::u16string_view;

bool EndsAddress(char16_t c) { return IsHeaderSpace(c) || c == u'>' || c == u','; }

// The first token of a run: up to white space, ">" or ",".
WideView FirstToken(WideView run) {
  size_t end = 0;
  while (end < run.size() && !EndsAddress(run[end])) ++end;
  return run.substr(0, end);
}

// The scanner's states: the start of an entry, a display name in quotes, a run
// that is a display name or a bare address, an address after "<", and the
// rest of an entry after its address.
enum class State { kStart, kQuoted, kUnquoted, kAddress, kAfterAddress };

class AddressScanner {
 public:
  explicit AddressScanner(WideView text) : text_(text) {}

  // Splits the whole text; throws std::bad_alloc when memory runs out.
  std::vector<FullAddress> Scan() {
    State state = State::kStart;
    size_t i = 0;
    const size_t n = text_.size();
    WideView name;
    size_t run_start = 0;
    // Every state either moves i forward or stops, so the loop ends.
    while (entries_.size() < kMaxAddressesPerHeader) {
      switch (state) {
        case State::kStart:
          while (i < n && IsHeaderSpace(text_[i])) ++i;
          name = WideView();
          if (i >= n) return std::move(entries_);
          if (text_[i] == u'"') {
            run_start = ++i;
            state = State::kQuoted;
          } else if (text_[i] == u'<') {
            run_start = ++i;
            state = State::kAddress;
          } else {
            run_start = i;
            state = State::kUnquoted;
          }
          break;
        case State::kQuoted:
          while (i < n && text_[i] != u'"') ++i;
          name = TrimHeaderSpace(text_.substr(run_start, i - run_start));
          if (i < n) ++i;  // the closing quote
          while (i < n && (IsHeaderSpace(text_[i]) || text_[i] == u'<')) ++i;
          if (i >= n) {
            Add(name, WideView());
            return std::move(entries_);
          }
          run_start = i;
          state = State::kAddress;
          break;
        case State::kUnquoted:
          while (i < n && text_[i] != u'<' && text_[i] != u',') ++i;
          if (i < n && text_[i] == u'<') {
            name = TrimHeaderSpace(text_.substr(run_start, i - run_start));
            run_start = ++i;
            state = State::kAddress;
            break;
          }
          Add(WideView(), FirstToken(text_.substr(run_start, i - run_start)));
          if (i >= n) return std::move(entries_);
          ++i;  // the comma
          state = State::kStart;
          break;
        case State::kAddress:
          while (i < n && !EndsAddress(text_[i])) ++i;
          Add(name, text_.substr(run_start, i - run_start));
          if (i >= n) return std::move(entries_);
          state = State::kAfterAddress;  // it looks at the character that ended the address
          break;
        case State::kAfterAddress:
          while (i < n && text_[i] != u',') ++i;
          if (i >= n) return std::move(entries_);
          ++i;
          state = State::kStart;
          break;
      }
    }
    return std::move(entries_);
  }

 private:
  void Add(WideView name, WideView address) {
    FullAddress entry;
    if (StoreText(&entry.name, name) != kHeaderOk ||
        StoreText(&entry.address, address) != kHeaderOk)
      throw std::bad_alloc();
    entries_.push_back(std::move(entry));
  }

  WideView text_;
  std::vector<FullAddress> entries_;
};

}  // namespace

int32_t ParseAddresses(const ascommon::CCharsetConverter* converter, std::string_view value,
                       CHeaderAddress* header) {
  if (header == nullptr) return kHeaderInvalidPointer;
  ascommon::usstring decoded;
  ascommon::sstring charset;
  const int32_t code = DecodeEncodedWords(converter, value, &decoded, &charset);
  if (code != kHeaderOk) return code;
  try {
    std::vector<FullAddress> entries = AddressScanner(decoded.View()).Scan();
    // One allocation for the whole list: CArray grows by a fixed chunk, so
    // adding entries one by one would copy the list over and over.
    if (header->addresses.SetSize(entries.size(), true) != 0) return kHeaderNoMemory;
    for (size_t i = 0; i < entries.size(); ++i) header->addresses[i] = std::move(entries[i]);
  } catch (const std::bad_alloc&) {
    return kHeaderNoMemory;
  }
  header->charset = std::move(charset);
  return kHeaderOk;
}

}  // namespace nsEmlComponents
