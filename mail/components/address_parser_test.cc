#include "mail/components/address_parser.h"

#include <gtest/gtest.h>

#include <string>

#include "common/charset_converter.h"
#include "mail/components/header_limits.h"
#include "mail/components/headers.h"

namespace nsEmlComponents {
namespace {

// The entries as "name|address;" pairs in UTF-8.
std::string Dump(const CHeaderAddress& header) {
  std::string dump;
  for (const FullAddress& entry : header.addresses) {
    dump += std::string(ascommon::sstring(entry.name).View()) + "|" +
            std::string(ascommon::sstring(entry.address).View()) + ";";
  }
  return dump;
}

class AddressParserTest : public ::testing::Test {
 protected:
  void SetUp() override { converter_.Init(ascommon::usstring(u"")); }
  ascommon::CCharsetConverter converter_;
};

TEST_F(AddressParserTest, EntryForms) {
  const struct {
    const char* value;
    const char* entries;
  } kCases[] = {
      {"\"Doe, John\" <john@example.com>, jane@example.org",
       "Doe, John|john@example.com;|jane@example.org;"},
      {"John Doe <john@example.com>", "John Doe|john@example.com;"},
      {"<john@example.com>", "|john@example.com;"},
      {"john@example.com (John Doe)", "|john@example.com;"},
      {"a@b, c@d ,e@f", "|a@b;|c@d;|e@f;"},
      {"\"Only a name\"", "Only a name|;"},
      {"\" Spaced \"   <x@y> trailing words, z@w", "Spaced|x@y;|z@w;"},
      {"\"Quoted\" bare@host", "Quoted|bare@host;"},  // no "<" needed after a quote
      {"\"Unclosed <x@y>", "Unclosed <x@y>|;"},
      {"Name <unclosed@host", "Name|unclosed@host;"},
      {"<a@b c@d>, e@f", "|a@b;|e@f;"},  // what follows an address is skipped to ","
      {"<>", "|;"},
      {",,", "|;|;"},
      {"  \r\n ", ""},
      {"=?utf-8?Q?J=C3=BCrgen?= <j@example.de>", "Jürgen|j@example.de;"},
      // Words are decoded before the list is split, so an encoded comma splits.
      {"=?iso-8859-1?Q?M=FCller=2C_Hans?= <h@example.de>", "|Müller;Hans|h@example.de;"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.value);
    CHeaderAddress header;
    ASSERT_EQ(0, ParseAddresses(&converter_, c.value, &header));
    EXPECT_EQ(c.entries, Dump(header));
  }
}

TEST_F(AddressParserTest, CharsetAndFailures) {
  CHeaderAddress header;
  ASSERT_EQ(0, ParseAddresses(&converter_, "=?koi8-r?B?8NLJ18XU?= <p@example.ru>", &header));
  EXPECT_STREQ("koi8-r", header.charset.c_str());
  // A word that cannot be converted stores nothing: the earlier list stays.
  EXPECT_EQ(-303, ParseAddresses(&converter_, "=?x-none?Q?a?= <a@b>", &header));
  EXPECT_EQ("Привет|p@example.ru;", Dump(header));
}

TEST_F(AddressParserTest, ListIsCapped) {
  std::string value;
  for (size_t i = 0; i <= kMaxAddressesPerHeader; ++i) value += "a@b,";
  CHeaderAddress header;
  ASSERT_EQ(0, ParseAddresses(&converter_, value, &header));
  EXPECT_EQ(kMaxAddressesPerHeader, header.addresses.GetSize());
  value.resize((kMaxAddressesPerHeader - 1) * 4);
  ASSERT_EQ(0, ParseAddresses(&converter_, value, &header));
  EXPECT_EQ(kMaxAddressesPerHeader - 1, header.addresses.GetSize());
}

}  // namespace
}  // namespace nsEmlComponents
