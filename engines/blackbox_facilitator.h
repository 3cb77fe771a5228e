// What the rule context and the heuristics read of one broken mail, gathered once from its
// black box: the header map (id 1) and the parts tree (id 2), the Subject, From and
// Received headers, and the texts, bodies and anchors of the plain-text and HTML parts.
// Built per mail by CEmlContextInterface::SetStructs; it points into the box's objects and
// owns none of them, so it must not outlive the broken mail. Used by one thread at a time.
//
// Every list takes first the root part's body when it is of the list's kind, then the
// bodies of the tree's plain-text (or HTML) part list in order; the anchors follow their
// HTML bodies. Running out of memory stops the gathering where it was.
#ifndef ENGINES_BLACKBOX_FACILITATOR_H_
#define ENGINES_BLACKBOX_FACILITATOR_H_

#include <cstdint>

#include "emlbreaker/analysis.h"
#include "emlbreaker/array.h"
#include "emlbreaker/blackbox.h"
#include "emlbreaker/headers.h"
#include "emlbreaker/parts_tree.h"
#include "emlbreaker/strings.h"

class CBlackBoxFacilitator {
 public:
  // The depth of the part lists: the parts the text and HTML stages analyse.
  static constexpr int32_t kListDepth = 3;

  template <class T>
  using List = ascommon::CArray<T*, 64>;

  explicit CBlackBoxFacilitator(ascommon::CBlackBox* box) : box_(box) {}
  CBlackBoxFacilitator(const CBlackBoxFacilitator&) = delete;
  CBlackBoxFacilitator& operator=(const CBlackBoxFacilitator&) = delete;

  // Fetches ids 1 and 2 (null when absent or of another class) and gathers the rest from
  // them. Call once.
  void Gather();

  const ascommon::CBlackBox* GetBox() const { return box_; }
  nsEmlComponents::CHeaderMap* GetHeaders() const { return headers_; }
  nsEmlComponents::CPartsTree* GetParts() const { return parts_; }

  // Null when the mail has no such header.
  const ascommon::sstring* GetSubjectText() const { return subjectText_; }
  const ascommon::CArray<nsEmlComponents::CWordInfo, 64>* GetSubjectWords() const {
    return subjectWords_;
  }
  const ascommon::CArray<nsEmlComponents::FullAddress, 64>* GetFromAddresses() const {
    return fromAddresses_;
  }
  const nsEmlComponents::CHeaderReceived* GetReceived() const { return received_; }

  const List<const ascommon::usstring>& GetPlainTexts() const { return plainTexts_; }
  const List<const ascommon::sstring>& GetPlainUtf8Texts() const { return plainUtf8Texts_; }
  const List<const ascommon::usstring>& GetHtmlVisibleTexts() const { return htmlTexts_; }
  const List<const ascommon::sstring>& GetHtmlUtf8VisibleTexts() const { return htmlUtf8Texts_; }
  const List<const ascommon::usstring>& GetHtmlSources() const { return htmlSources_; }
  const List<const nsEmlComponents::CPartBodyTextPlain>& GetPlainBodies() const {
    return plainBodies_;
  }
  const List<const nsEmlComponents::CPartBodyTextHtml>& GetHtmlBodies() const {
    return htmlBodies_;
  }
  const List<const nsEmlComponents::CHtmlAHref>& GetAnchors() const { return anchors_; }

  // How often the mail's own header carries each of the fields a mail may carry once
  // (Date, From, Sender, Reply-To, To, Cc, Bcc, Message-ID, In-Reply-To, References,
  // Subject, in that order), counted in the packer's raw headers, which keep repeats the
  // header map merges. The breaker counts them while it parses the headers; otherwise
  // (a box it did not fill) the walk is made for the first heuristic that asks.
  static constexpr size_t kSingleFields = 11;
  static const char* const kSingleFieldNames[kSingleFields];
  struct FieldCounts {
    bool counted = false;  // the walk was made
    bool known = false;    // it could be made (a packer part to read, memory)
    int counts[kSingleFields] = {};
  };
  FieldCounts& GetSingleFieldCounts() const { return singleFieldCounts_; }
  // The share of the HTML text that a reader does not see, kept the same way for the two
  // heuristics that read it (negative until one has worked it out).
  double& GetHiddenShareMemo() const { return hiddenShare_; }

 private:
  void GatherHeaders();
  // False when memory ran out.
  bool GatherBodies();
  bool AddPlain(const nsEmlComponents::CPartBodyTextPlain* body);
  bool AddHtml(const nsEmlComponents::CPartBodyTextHtml* body);

  ascommon::CBlackBox* box_;
  nsEmlComponents::CHeaderMap* headers_ = nullptr;
  nsEmlComponents::CPartsTree* parts_ = nullptr;
  const ascommon::sstring* subjectText_ = nullptr;
  const ascommon::CArray<nsEmlComponents::CWordInfo, 64>* subjectWords_ = nullptr;
  const ascommon::CArray<nsEmlComponents::FullAddress, 64>* fromAddresses_ = nullptr;
  const nsEmlComponents::CHeaderReceived* received_ = nullptr;
  List<const ascommon::usstring> plainTexts_;
  List<const ascommon::sstring> plainUtf8Texts_;
  List<const ascommon::usstring> htmlTexts_;
  List<const ascommon::sstring> htmlUtf8Texts_;
  List<const ascommon::usstring> htmlSources_;
  List<const nsEmlComponents::CPartBodyTextPlain> plainBodies_;
  List<const nsEmlComponents::CPartBodyTextHtml> htmlBodies_;
  List<const nsEmlComponents::CHtmlAHref> anchors_;
  mutable FieldCounts singleFieldCounts_;
  mutable double hiddenShare_ = -1.0;
};

#endif  // ENGINES_BLACKBOX_FACILITATOR_H_
