#include "mail/modules/eml_performer.h"

#include <cstdio>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "emlbreaker/broken_mail.h"
#include "emlbreaker/exceptions.h"
#include "emlbreaker/mail_item.h"
#include "mail/components/headers.h"

namespace nsEmlModules {

using nsEmlComponents::CHeader;
using nsEmlComponents::CHeaderMap;
using nsEmlComponents::CHeaderOther;
using nsEmlComponents::CHeaderSubject;

namespace {

// Templates are read up to this many characters; the expanded value keeps one
// character less.
constexpr size_t kTemplateLimit = 1024;
constexpr size_t kValueLimit = kTemplateLimit - 1;

// Wide text as 8-bit text into *narrow; an unset source gives "". False when
// the text cannot be stored (no memory, or UTF-16 that does not convert).
bool ToNarrow(const ascommon::usstring& wide, ascommon::sstring* narrow) {
  ascommon::sstring converted = wide.IsSet() ? ascommon::sstring(wide) : ascommon::sstring("");
  if (!converted.IsSet() || converted.GetError() != 0) return false;
  *narrow = std::move(converted);
  return true;
}

// 8-bit text as wide text into *wide; an unset source gives "".
bool ToWide(const ascommon::sstring& narrow, ascommon::usstring* wide) {
  ascommon::usstring converted = narrow.IsSet() ? ascommon::usstring(narrow) : ascommon::usstring(u"");
  if (!converted.IsSet() || converted.GetError() != 0) return false;
  *wide = std::move(converted);
  return true;
}

// The header map of the mail in `item`; `function` names the action in the
// messages.
CHeaderMap* HeadersOf(MailItem* item, const char* function) {
  ascommon::CBlackBoxObject* object =
      item != nullptr ? item->box.GetObject(kMailHeadersId) : nullptr;
  if (object == nullptr) throw ASException("%s - could not get Eml headers map", function);
  auto* headers = dynamic_cast<CHeaderMap*>(object);
  if (headers == nullptr)
    throw ASBadPtrException("%s - could not convert pointer to headers map", function);
  return headers;
}

}  // namespace

void CEmlPerformer::ApplySettings(uint32_t profile) {
  static constexpr const char kFunction[] = "nsEmlModules::CEmlPerformer::ApplySettings";
  SPerformerSettings* record = Record(profile);
  if (record == nullptr)
    throw ASBadPtrException("%s - invalid data struct pointer received", kFunction);
  auto value_of = [&](const char16_t* path) -> const char16_t* {
    return settings != nullptr ? settings->GetSetting(profile, path) : nullptr;
  };
  // A flag is on when its value starts with "1".
  auto flag = [&](const char16_t* path, bool when_absent) {
    const char16_t* value = value_of(path);
    return value != nullptr ? value[0] == u'1' : when_absent;
  };
  // Every path is read; its text is taken only when `take` and it is present.
  auto text = [&](const char16_t* path, bool take, ascommon::usstring* target) {
    const char16_t* value = value_of(path);
    if (take && value != nullptr && target->Assign(value) != 0)
      throw ASMemException("%s - could not set string value", kFunction);
  };
  record->tagSpamSubject = flag(u"/eml/performer/TagSpamSubject", false);
  record->tagPhishSubject = flag(u"/eml/performer/TagPhishSubject", false);
  text(u"/eml/performer/SpamTag", record->tagSpamSubject, &record->spamTag);
  text(u"/eml/performer/PhishTag", record->tagPhishSubject, &record->phishTag);
  record->addHeader = flag(u"/eml/performer/AddHeader", false);
  text(u"/eml/performer/HeaderName", record->addHeader, &record->headerName);
  text(u"/eml/performer/ASHeaderSpamValue", record->addHeader, &record->spamValue);
  text(u"/eml/performer/ASHeaderLegitValue", record->addHeader, &record->legitValue);
  record->addAsslHeader = flag(u"/eml/performer/AddASSLHeader", false);
  text(u"/eml/performer/ASSLHeaderName", record->addAsslHeader, &record->asslHeaderName);
  record->spamStamp = flag(u"/eml/performer/SpamStampEnabled", true);
  text(u"/eml/performer/SpamStampHeaderName", record->spamStamp, &record->stampHeaderName);
}

void* CEmlPerformer::CreateProfileData() { return new (std::nothrow) SPerformerSettings(); }

void CEmlPerformer::DestroyProfileData(void* data) {
  delete static_cast<SPerformerSettings*>(data);
}

// The shared block is four bytes that nothing uses.
void* CEmlPerformer::CreateSharedData() { return new (std::nothrow) int32_t(0); }
void CEmlPerformer::DestroySharedData(void* data) { delete static_cast<int32_t*>(data); }

SPerformerSettings* CEmlPerformer::Record(uint32_t profile) const {
  return profile < kMaxProfiles ? static_cast<SPerformerSettings*>(profileData[profile]) : nullptr;
}

void CEmlPerformer::Perform(uint32_t profile, MailItem* item, int32_t action) {
  switch (action) {
    case kActionTagSpamSubject:
      TagMessageSubjectAsSpam(profile, item);
      break;
    case kActionTagPhishSubject:
      TagMessageSubjectAsPhishing(profile, item);
      break;
    case kActionAddSpamHeader:
      AddVerdictHeader(profile, item, true);
      break;
    case kActionAddLegitHeader:
      AddVerdictHeader(profile, item, false);
      break;
    case kActionAddAsslHeader:
      AddAsslHeader(profile, item);
      break;
    case kActionAddStampHeader:
      AddStampHeader(profile, item);
      break;
    default:  // kActionNone and unknown codes
      break;
  }
}

void CEmlPerformer::TagMessageSubjectAsSpam(uint32_t profile, MailItem* item) {
  static constexpr const char kFunction[] = "nsEmlModules::CEmlPerformer::TagMessageSubjectAsSpam";
  SPerformerSettings* record = Record(profile);
  if (record == nullptr) throw ASBadPtrException("CEmlPerformer - could not get data struct");
  if (!record->tagSpamSubject) return;
  TagSubject(HeadersOf(item, kFunction), record->spamTag);
  item->modified = true;
}

// Phishing is spam too: with only spam tagging on, phishing mail gets the
// spam tag.
void CEmlPerformer::TagMessageSubjectAsPhishing(uint32_t profile, MailItem* item) {
  static constexpr const char kFunction[] =
      "nsEmlModules::CEmlPerformer::TagMessageSubjectAsPhishing";
  SPerformerSettings* record = Record(profile);
  if (record == nullptr) throw ASBadPtrException("CEmlPerformer - could not get data struct");
  if (!record->tagPhishSubject && !record->tagSpamSubject) return;
  TagSubject(HeadersOf(item, kFunction),
             record->tagPhishSubject ? record->phishTag : record->spamTag);
  item->modified = true;
}

void CEmlPerformer::AddVerdictHeader(uint32_t profile, MailItem* item, bool spam) {
  const char* function = spam ? "nsEmlModules::CEmlPerformer::AddSpamHeader"
                              : "nsEmlModules::CEmlPerformer::AddLegitHeader";
  SPerformerSettings* record = Record(profile);
  if (record == nullptr) throw ASBadPtrException("CEmlPerformer - could not get data struct");
  if (!record->addHeader) return;
  CHeaderMap* headers = HeadersOf(item, function);
  ascommon::usstring value =
      ParseHeaderDescriptors(spam ? record->spamValue : record->legitValue, item->verdictBox);
  AddCustomHeader(headers, record->headerName, value);
  item->modified = true;
}

void CEmlPerformer::AddAsslHeader(uint32_t profile, MailItem* item) {
  static constexpr const char kFunction[] = "nsEmlModules::CEmlPerformer::AddASSLHeader";
  SPerformerSettings* record = Record(profile);
  if (record == nullptr) throw ASBadPtrException("%s - could not get data struct", kFunction);
  if (!record->addAsslHeader) return;
  CHeaderMap* headers = HeadersOf(item, kFunction);
  CAExecutionUnit* unit = GetExecutionUnit(item->box);
  if (unit == nullptr) return;
  ascommon::sstring hit_rules;
  try {
    hit_rules = unit->GetHitRules();
  } catch (...) {
    return;  // a unit that cannot answer leaves the mail as it is
  }
  ascommon::usstring text;
  if (!ToWide(hit_rules, &text)) throw ASMemException("%s - could not set string value", kFunction);
  AddCustomHeader(headers, record->asslHeaderName, text);
  item->modified = true;
}

void CEmlPerformer::AddStampHeader(uint32_t profile, MailItem* item) {
  static constexpr const char kFunction[] = "nsEmlModules::CEmlPerformer::AddStampHeader";
  SPerformerSettings* record = Record(profile);
  if (record == nullptr) throw ASBadPtrException("CEmlPerformer - could not get data struct");
  if (!record->spamStamp) return;
  CHeaderMap* headers = HeadersOf(item, kFunction);
  ascommon::sstring* stamp =
      item->verdictBox != nullptr ? item->verdictBox->GetStringObject(kVerdictStampId) : nullptr;
  if (stamp == nullptr) return;
  ascommon::usstring text;
  if (!ToWide(*stamp, &text)) throw ASMemException("%s - could not set string value", kFunction);
  AddCustomHeader(headers, record->stampHeaderName, text);
  item->modified = true;
}

void CEmlPerformer::TagSubject(CHeaderMap* headers, const ascommon::usstring& tag) {
  static constexpr const char kFunction[] = "nsEmlModules::CEmlPerformer::TagSubject";
  ascommon::sstring tag_text;
  if (!ToNarrow(tag, &tag_text)) throw ASMemException("%s - could not set string value", kFunction);
  const ascommon::sstring key("SUBJECT");
  CHeader** found = headers->Lookup(key);
  if (found == nullptr) {
    std::unique_ptr<CHeaderSubject> subject(new (std::nothrow) CHeaderSubject());
    if (!subject) throw ASMemException("%s - could not allocate CHeaderSubject*", kFunction);
    subject->text = std::move(tag_text);
    subject->modified = 1;
    if (headers->Insert(key, subject.get()) != 0)
      throw ASException("%s - could not add subject header to headers map", kFunction);
    subject.release();  // the map's owner frees it with the other headers
    return;
  }
  if (*found == nullptr || (*found)->GetType() != nsEmlComponents::kHeaderSubject)
    throw ASException("%s - the lookup returned an invalid header (it is not a subject header)",
                      kFunction);
  auto* subject = static_cast<CHeaderSubject*>(*found);
  // The tag goes right before the old text, without a separator.
  if (tag_text.Append(subject->text) != 0)
    throw ASException("%s - an error occured while adding the spam tag", kFunction);
  subject->text = std::move(tag_text);
  subject->modified = 1;
}

void CEmlPerformer::AddCustomHeader(CHeaderMap* headers, const ascommon::usstring& name,
                                    const ascommon::usstring& value) {
  static constexpr const char kFunction[] = "nsEmlModules::CEmlPerformer::AddCustomHeader";
  ascommon::sstring spelled, key, text;
  if (!ToNarrow(name, &spelled) || !ToNarrow(value, &text) || key.Assign(spelled.c_str()) != 0)
    throw ASMemException("%s - could not set string value", kFunction);
  key.MakeUpper();
  CHeader** found = headers->Lookup(key);
  if (found != nullptr) {
    if (*found == nullptr || (*found)->GetType() != nsEmlComponents::kHeaderOther)
      throw ASException("%s - the search returned an invalid header", kFunction);
    auto* header = static_cast<CHeaderOther*>(*found);
    header->text = std::move(text);
    header->modified = 1;
    return;
  }
  std::unique_ptr<CHeaderOther> header(new (std::nothrow) CHeaderOther());
  if (!header) throw ASMemException("%s - could not allocate memory for header", kFunction);
  header->text = std::move(text);
  header->modified = 1;
  // A new header is filed under its name as configured: CommitChanges writes
  // each header under its key, so the mail gets "X-Orvane-SpamStamp" and not
  // the packer's own spelling of an upper-cased name. Headers read from the
  // mail are keyed upper-case, which the lookup above uses.
  if (headers->Insert(spelled, header.get()) != 0)
    throw ASException("%s - could not add header to headers map", kFunction);
  header.release();  // the map's owner frees it with the other headers
}

ascommon::usstring CEmlPerformer::ParseHeaderDescriptors(const ascommon::usstring& value_template,
                                                         ascommon::CBlackBox* verdict_box) {
  static constexpr const char kFunction[] = "nsEmlModules::CEmlPerformer::ParseHeaderDescriptors";
  ascommon::usstring result(u"");
  if (result.GetError() != 0) throw ASMemException("%s - could not set string value", kFunction);
  if (value_template.IsEmpty() || verdict_box == nullptr ||
      verdict_box->GetValuePointer(kVerdictScoreId) == nullptr) {
    return result;
  }
  int32_t score = 0;
  try {
    score = verdict_box->GetInt(kVerdictScoreId);
  } catch (const ASException&) {
    return result;  // a value too small to be the score
  }
  char digits[16];
  std::snprintf(digits, sizeof(digits), "%d", static_cast<int>(score));
  const std::u16string score_text(digits, digits + std::char_traits<char>::length(digits));
  ascommon::usstring category;
  if (ascommon::sstring* stored = verdict_box->GetStringObject(kVerdictCategoryId))
    ToWide(*stored, &category);  // a name that does not convert reads as none

  static constexpr std::u16string_view kScore = u"$score";
  static constexpr std::u16string_view kCategory = u"$categ";
  const std::u16string_view source = value_template.View();
  std::u16string expanded;
  for (size_t i = 0; i < source.size() && i < kTemplateLimit && expanded.size() < kValueLimit;) {
    if (source[i] == u'$' && source.compare(i, kScore.size(), kScore) == 0) {
      expanded += score_text;
      i += kScore.size();
    } else if (source[i] == u'$' && source.compare(i, kCategory.size(), kCategory) == 0) {
      expanded.append(category.View());
      i += kCategory.size();
    } else {
      expanded += source[i++];
    }
  }
  if (expanded.size() > kValueLimit) expanded.resize(kValueLimit);
  if (!expanded.empty() && result.Assign(expanded.data(), expanded.size()) != 0)
    throw ASMemException("%s - could not set string value", kFunction);
  return result;
}

}  // namespace nsEmlModules
