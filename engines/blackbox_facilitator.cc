#include "engines/blackbox_facilitator.h"

#include "emlbreaker/broken_mail.h"

// The fields RFC 5322 (section 3.6) allows once.
const char* const CBlackBoxFacilitator::kSingleFieldNames[kSingleFields] = {
    "Date", "From",        "Sender",     "Reply-To", "To",     "Cc",
    "Bcc",  "Message-ID", "In-Reply-To", "References", "Subject"};

namespace {

using nsEmlComponents::CHeader;
using nsEmlComponents::CHeaderMap;

// The header of that upper-cased name, or null.
CHeader* Find(CHeaderMap* headers, const char* name) {
  CHeader** found = headers->Lookup(ascommon::sstring(name));
  return found != nullptr ? *found : nullptr;
}

}  // namespace

void CBlackBoxFacilitator::Gather() {
  if (box_ == nullptr) return;
  headers_ = dynamic_cast<CHeaderMap*>(box_->GetObject(kMailHeadersId));
  parts_ = dynamic_cast<nsEmlComponents::CPartsTree*>(box_->GetObject(kPartsTreeId));
  if (headers_ != nullptr) GatherHeaders();
  if (parts_ != nullptr) GatherBodies();
}

void CBlackBoxFacilitator::GatherHeaders() {
  using namespace nsEmlComponents;
  CHeader* subject = Find(headers_, "SUBJECT");
  if (subject != nullptr && subject->GetType() == kHeaderSubject) {
    auto* typed = static_cast<CHeaderSubject*>(subject);
    subjectText_ = &typed->text;
    subjectWords_ = &typed->words;
  }
  CHeader* from = Find(headers_, "FROM");
  if (from != nullptr && from->GetType() == kHeaderAddress) {
    fromAddresses_ = &static_cast<CHeaderAddress*>(from)->addresses;
  }
  CHeader* received = Find(headers_, "RECEIVED");
  if (received != nullptr && received->GetType() == kHeaderReceived) {
    received_ = static_cast<CHeaderReceived*>(received);
  }
}

bool CBlackBoxFacilitator::GatherBodies() {
  using namespace nsEmlComponents;
  const CPartsTree::CNode* root = parts_->GetRoot();
  if (root != nullptr && root->part->body != nullptr) {
    const CPartBody* body = root->part->body;
    if (body->GetKind() == kBodyTextPlain &&
        !AddPlain(static_cast<const CPartBodyTextPlain*>(body))) {
      return false;
    }
    if (body->GetKind() == kBodyTextHtml &&
        !AddHtml(static_cast<const CPartBodyTextHtml*>(body))) {
      return false;
    }
  }
  const CPartList* plain = parts_->GetTextParts(kListDepth, nullptr);
  if (plain == nullptr) return false;
  for (const CPart* part : *plain) {
    if (!AddPlain(static_cast<const CPartBodyTextPlain*>(part->body))) return false;
  }
  const CPartList* html = parts_->GetHtmlParts(kListDepth, nullptr);
  if (html == nullptr) return false;
  for (const CPart* part : *html) {
    if (!AddHtml(static_cast<const CPartBodyTextHtml*>(part->body))) return false;
  }
  return true;
}

bool CBlackBoxFacilitator::AddPlain(const nsEmlComponents::CPartBodyTextPlain* body) {
  return plainTexts_.Add(&body->text) == 0 && plainUtf8Texts_.Add(&body->utf8Text) == 0 &&
         plainBodies_.Add(body) == 0;
}

bool CBlackBoxFacilitator::AddHtml(const nsEmlComponents::CPartBodyTextHtml* body) {
  if (htmlTexts_.Add(&body->visibleText) != 0 || htmlUtf8Texts_.Add(&body->utf8VisibleText) != 0 ||
      htmlSources_.Add(&body->source) != 0 || htmlBodies_.Add(body) != 0) {
    return false;
  }
  for (const nsEmlComponents::CHtmlAHref& anchor : body->info.anchors) {
    if (anchors_.Add(&anchor) != 0) return false;
  }
  return true;
}
