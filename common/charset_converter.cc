#include "common/charset_converter.h"

#include <errno.h>
#include <iconv.h>

#include <cstring>
#include <mutex>
#include <unordered_map>

#include "common/wide_scan.h"
#include "emlbreaker/map.h"

namespace ascommon {
namespace {

struct Alias {
  const char* name;
  uint32_t code_page;
};

// MIME names and the code pages they stand for (Windows code-page numbers,
// which the rest of the system speaks).
constexpr Alias kAliases[] = {
    {"big5", 950},           {"cp950", 950},
    {"cp1250", 1250},        {"windows-1250", 1250},
    {"cp1251", 1251},        {"windows-1251", 1251},
    {"cp1252", 1252},        {"windows-1252", 1252},
    {"cp1253", 1253},        {"windows-1253", 1253},
    {"cp1254", 1254},        {"windows-1254", 1254},
    {"cp1255", 1255},        {"windows-1255", 1255},
    {"cp1256", 1256},        {"windows-1256", 1256},
    {"cp1257", 1257},        {"windows-1257", 1257},
    {"cp1258", 1258},        {"windows-1258", 1258},
    {"cp862", 862},          {"cp866", 866},
    {"cp874", 874},          {"cp936", 936},
    {"gbk", 936},            {"cp949", 949},
    {"euc-cn", 51936},       {"euc-jp", 51932},
    {"euc-kr", 51949},       {"gb18030", 54936},
    {"gb2312", 20936},       {"hz", 52936},
    {"hz-gb-2312", 52936},   {"iso-2022-jp", 50220},
    {"iso-8859-1", 28591},   {"iso-8859-15", 28605},
    {"iso-8859-2", 28592},   {"iso-8859-3", 28593},
    {"iso-8859-4", 28594},   {"iso-8859-5", 28595},
    {"iso-8859-6", 28596},   {"iso-8859-7", 28597},
    {"iso-8859-8", 28598},   {"iso-8859-9", 28599},
    {"johab", 1361},         {"koi8-r", 20866},
    {"koi8-u", 21866},       {"MacArabic", 10004},
    {"MacCentralEurope", 10029}, {"MacCroatian", 10082},
    {"MacCyrillic", 10007},  {"MacGreek", 10006},
    {"MacHebrew", 10005},    {"MacIceland", 10079},
    {"macintosh", 10000},    {"MacRomania", 10010},
    {"MacThai", 10021},      {"MacTurkish", 10081},
    {"MacUkraine", 10017},   {"shift_jis", 932},
    {"cp932", 932},          {"us-ascii", 20127},
    {"ascii", 20127},        {"utf-16", 1200},
    {"utf-32", 12000},       {"utf-32be", 12001},
    {"utf-7", 65000},        {"utf-8", 65001},
};
static_assert(sizeof(kAliases) / sizeof(kAliases[0]) == 68, "the alias table has 68 names");

// Code pages and the iconv names glibc knows them by. A code page missing
// here, or whose name this iconv refuses, is "not installed": -3.
struct IconvCodePage {
  uint32_t code_page;
  const char* iconv_name;
};
constexpr IconvCodePage kIconvNames[] = {
    {950, "BIG5"},          {1250, "CP1250"},        {1251, "CP1251"},
    {1252, "CP1252"},       {1253, "CP1253"},        {1254, "CP1254"},
    {1255, "CP1255"},       {1256, "CP1256"},        {1257, "CP1257"},
    {1258, "CP1258"},       {862, "CP862"},          {866, "CP866"},
    {874, "CP874"},         {936, "CP936"},          {949, "CP949"},
    {51936, "EUC-CN"},      {51932, "EUC-JP"},       {51949, "EUC-KR"},
    {54936, "GB18030"},     {20936, "GB2312"},       {52936, "HZ"},
    {50220, "ISO-2022-JP"}, {28591, "ISO-8859-1"},   {28605, "ISO-8859-15"},
    {28592, "ISO-8859-2"},  {28593, "ISO-8859-3"},   {28594, "ISO-8859-4"},
    {28595, "ISO-8859-5"},  {28596, "ISO-8859-6"},   {28597, "ISO-8859-7"},
    {28598, "ISO-8859-8"},  {28599, "ISO-8859-9"},   {1361, "JOHAB"},
    {20866, "KOI8-R"},      {21866, "KOI8-U"},       {10004, "MACARABIC"},
    {10029, "MAC-CENTRALEUROPE"}, {10082, "MACCROATIAN"}, {10007, "MAC-CYRILLIC"},
    {10006, "MACGREEK"},    {10005, "MACHEBREW"},    {10079, "MAC-IS"},
    {10000, "MACINTOSH"},   {10010, "MACROMANIA"},   {10021, "MACTHAI"},
    {10081, "MACTURKISH"},  {10017, "MAC-UK"},       {932, "CP932"},
    {20127, "ASCII"},       {1200, "UTF-16LE"},      {12000, "UTF-32LE"},
    {12001, "UTF-32BE"},    {65000, "UTF-7"},        {65001, "UTF-8"},
};

constexpr uint32_t kUtf8 = 65001, kLatin1 = 28591, kAscii = 20127;

// The process-wide alias map, keyed by lower-cased name. Filled exactly once,
// on first use, so concurrent first lookups are safe too. An object, not a
// pointer: it goes with the library when a host unloads the plug-in.
struct AliasTable {
  AliasTable() : map(128, nullptr) {
    for (const Alias& alias : kAliases) {
      sstring key(alias.name);
      key.MakeLower();
      map.Insert(key, alias.code_page);
    }
  }
  CMap<sstring, uint32_t> map;
};

const CMap<sstring, uint32_t>& AliasMap() {
  static const AliasTable table;
  return table.map;
}

// Whether this iconv can convert a code page at all; probed once per page.
// Each thread also keeps the answers it has had: the shared table's lock,
// taken for every conversion, moved its cache line between the cores of
// two threads converting at once.
bool IsInstalled(uint32_t code_page) {
  thread_local std::unordered_map<uint32_t, bool> seen;
  auto mine = seen.find(code_page);
  if (mine != seen.end()) return mine->second;
  static std::mutex mutex;
  static std::unordered_map<uint32_t, bool> known;
  std::lock_guard<std::mutex> hold(mutex);
  auto found = known.find(code_page);
  if (found == known.end()) {
    const char* name = CCharsetConverter::IconvName(static_cast<int32_t>(code_page));
    bool installed = false;
    if (name != nullptr) {
      iconv_t cd = iconv_open("UTF-16LE", name);
      installed = cd != reinterpret_cast<iconv_t>(-1);
      if (installed) iconv_close(cd);
    }
    found = known.emplace(code_page, installed).first;
  }
  seen.emplace(code_page, found->second);
  return found->second;
}

// Per-thread iconv descriptors, one per code page: an iconv_t carries shift
// state and must not be shared between threads, and opening one per call
// costs more than most conversions.
class ThreadIconvCache {
 public:
  ~ThreadIconvCache() {
    for (auto& [page, cd] : open_) iconv_close(cd);
  }
  iconv_t Get(uint32_t code_page) {
    auto found = open_.find(code_page);
    if (found != open_.end()) {
      iconv(found->second, nullptr, nullptr, nullptr, nullptr);  // reset shift state
      return found->second;
    }
    const char* name = CCharsetConverter::IconvName(static_cast<int32_t>(code_page));
    iconv_t cd = name ? iconv_open("UTF-16LE", name) : reinterpret_cast<iconv_t>(-1);
    if (cd != reinterpret_cast<iconv_t>(-1)) open_.emplace(code_page, cd);
    return cd;
  }

 private:
  std::unordered_map<uint32_t, iconv_t> open_;
};

// Strict UTF-8: no overlong forms, no encoded surrogates, nothing above
// U+10FFFF, no truncated sequence. Characters above U+FFFF become pairs.
int32_t Utf8ToWide(const unsigned char* in, size_t length, char16_t* out, size_t* out_length) {
  size_t capacity = *out_length, produced = 0;
  for (size_t i = 0; i < length;) {
    // ASCII runs a block at a time.
    const size_t run = CopyAsciiRun(in + i, length - i, out + produced, capacity - produced);
    produced += run;
    i += run;
    if (i == length) break;
    uint32_t c = in[i];
    size_t extra;
    uint32_t min;
    if (c < 0x80) {
      extra = 0, min = 0;
    } else if ((c & 0xE0) == 0xC0) {
      extra = 1, min = 0x80, c &= 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2, min = 0x800, c &= 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3, min = 0x10000, c &= 0x07;
    } else {
      return CCharsetConverter::kInvalidInput;
    }
    if (extra > length - i - 1) return CCharsetConverter::kInvalidInput;
    for (size_t k = 1; k <= extra; ++k) {
      if ((in[i + k] & 0xC0) != 0x80) return CCharsetConverter::kInvalidInput;
      c = (c << 6) | (in[i + k] & 0x3F);
    }
    if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
      return CCharsetConverter::kInvalidInput;
    i += extra + 1;
    if (c < 0x10000) {
      if (produced >= capacity) return CCharsetConverter::kOutputTooSmall;
      out[produced++] = static_cast<char16_t>(c);
    } else {
      if (capacity - produced < 2) return CCharsetConverter::kOutputTooSmall;
      c -= 0x10000;
      out[produced++] = static_cast<char16_t>(0xD800 + (c >> 10));
      out[produced++] = static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    }
  }
  *out_length = produced;
  return CCharsetConverter::kOk;
}

int32_t IconvToWide(uint32_t code_page, const char* input, size_t length, char16_t* output,
                    size_t* output_length) {
  thread_local ThreadIconvCache cache;
  iconv_t cd = cache.Get(code_page);
  if (cd == reinterpret_cast<iconv_t>(-1)) return CCharsetConverter::kUnknownCharset;
  char* in = const_cast<char*>(input);
  size_t in_left = length;
  char* out = reinterpret_cast<char*>(output);
  size_t out_bytes = *output_length * sizeof(char16_t);
  size_t out_left = out_bytes;
  size_t result = iconv(cd, &in, &in_left, &out, &out_left);
  if (result != static_cast<size_t>(-1)) {
    // Flush the end state (stateful encodings such as ISO-2022-JP).
    result = iconv(cd, nullptr, nullptr, &out, &out_left);
  }
  if (result == static_cast<size_t>(-1)) {
    switch (errno) {
      case E2BIG: return CCharsetConverter::kOutputTooSmall;
      case EILSEQ:
      case EINVAL: return CCharsetConverter::kInvalidInput;
      default: return CCharsetConverter::kUnknownCharset;
    }
  }
  *output_length = (out_bytes - out_left) / sizeof(char16_t);
  return CCharsetConverter::kOk;
}

}  // namespace

void CCharsetConverter::Init(const usstring&) {
  AliasMap();  // built here, before threads look names up
  ready = true;
}

int32_t CCharsetConverter::LookupCodePage(const char* charset) {
  if (charset == nullptr) return -1;
  sstring key(charset);
  key.MakeLower();
  const uint32_t* code_page = AliasMap().Lookup(key);
  return code_page != nullptr ? static_cast<int32_t>(*code_page) : -1;
}

const char* CCharsetConverter::IconvName(int32_t code_page) {
  for (const IconvCodePage& entry : kIconvNames) {
    if (static_cast<int32_t>(entry.code_page) == code_page) return entry.iconv_name;
  }
  return nullptr;
}

int32_t CCharsetConverter::ToWide(const char* charset, const char* input, size_t input_length,
                                  char16_t* output, size_t* output_length, bool) const {
  if (!ready) return kNotReady;
  int32_t code_page = LookupCodePage(charset);
  if (code_page < 0) return kUnknownCharset;
  if (output_length == nullptr || (input == nullptr && input_length > 0) ||
      (output == nullptr && *output_length > 0))
    return kNullArgument;
  uint32_t page = static_cast<uint32_t>(code_page);
  if (!IsInstalled(page)) return kUnknownCharset;
  if (input_length == 0) {
    *output_length = 0;
    return kOk;
  }
  const auto* bytes = reinterpret_cast<const unsigned char*>(input);
  // The three character sets nearly every mail uses are converted here
  // directly; the rest go through iconv.
  if (page == kUtf8) return Utf8ToWide(bytes, input_length, output, output_length);
  if (page == kLatin1 || page == kAscii) {
    if (input_length > *output_length) return kOutputTooSmall;
    const size_t valid = page == kAscii ? AsciiPrefix(bytes, input_length) : input_length;
    WidenBytes(bytes, valid, output);
    if (valid < input_length) return kInvalidInput;
    *output_length = input_length;
    return kOk;
  }
  return IconvToWide(page, input, input_length, output, output_length);
}

int32_t CCharsetConverter::ToUtf8(const char16_t* input, size_t length, char* output,
                                  size_t* output_length) const {
  if (!ready) return kNotReady;
  if (output_length == nullptr) return kNullArgument;
  if (output == nullptr) {
    size_t needed = 0;
    if (input != nullptr) {
      needed = Utf8Bound(input, length);
    }
    *output_length = needed;
    return kOk;
  }
  if (input == nullptr && length > 0) return kNullArgument;
  size_t capacity = *output_length, written = 0;
  auto put = [&](uint32_t c) -> bool {
    size_t n = c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
    if (capacity - written < n) return false;
    unsigned char* out = reinterpret_cast<unsigned char*>(output) + written;
    if (n == 1) {
      out[0] = static_cast<unsigned char>(c);
    } else if (n == 2) {
      out[0] = static_cast<unsigned char>(0xC0 | (c >> 6));
      out[1] = static_cast<unsigned char>(0x80 | (c & 0x3F));
    } else if (n == 3) {
      out[0] = static_cast<unsigned char>(0xE0 | (c >> 12));
      out[1] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
      out[2] = static_cast<unsigned char>(0x80 | (c & 0x3F));
    } else {
      out[0] = static_cast<unsigned char>(0xF0 | (c >> 18));
      out[1] = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
      out[2] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
      out[3] = static_cast<unsigned char>(0x80 | (c & 0x3F));
    }
    written += n;
    return true;
  };
  for (size_t i = 0; i < length; ++i) {
    // Most mail text is runs of ASCII: one byte a unit, nothing to compute.
    const size_t run = CopyAsciiRun(input + i, length - i, output + written, capacity - written);
    written += run;
    i += run;
    if (i == length) break;
    uint32_t c = input[i];
    if (c < 0x80) return kOutputTooSmall;  // the run stopped for want of room
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < length && input[i + 1] >= 0xDC00 &&
        input[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (input[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;  // an unpaired surrogate, as the platform's converter does
    }
    if (!put(c)) return kOutputTooSmall;
  }
  *output_length = written;
  return kOk;
}

}  // namespace ascommon
