// A small hand-made broken mail for the tests of the engines: its headers parsed by the
// header parser from an in-memory part (which also stands as the mail's source for the
// header walks), one body analysed by the text or HTML stage, and the engines' view of it.
// The body is the root, or, with attachment headers, the first child of a multipart root
// whose second child is that attachment (headers only).
#ifndef ENGINES_TESTING_TEST_MAIL_H_
#define ENGINES_TESTING_TEST_MAIL_H_

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "emlbreaker/blackbox.h"
#include "emlbreaker/broken_mail.h"
#include "engines/blackbox_facilitator.h"
#include "mail/components/header_parser.h"
#include "mail/components/headers.h"
#include "mail/components/html_analysis.h"
#include "mail/components/testing/converter.h"
#include "mail/components/testing/fake_part.h"
#include "mail/components/testing/html_tables.h"
#include "mail/components/text_analysis.h"

namespace nsEmlComponents {

class TestMail {
 public:
  using Headers = std::vector<CFakeMimePart::Header>;

  TestMail(Headers headers, const std::string& body, bool html, Headers attachment_headers = {})
      : source_(std::move(headers), html ? "text/html" : "text/plain") {
    CHeaderParser parser;
    parser.SetConverter(&TestConverter());
    auto* map = new CHeaderMap(64, nullptr);
    EXPECT_EQ(0, parser.ParseHeaders(&source_, map));
    EXPECT_EQ(0, box_.SetObject(map, kMailHeadersId, false));
    auto* tree = new CPartsTree;
    auto* root = new CPart(&source_, 0);
    CPartBody* analysed = Analyse(body, html);
    CPartsTree::CNode* root_node = tree->SetRoot(root);
    if (attachment_headers.empty()) {
      root->body = analysed;
    } else {
      root->body = new CPartBodyMultipart;
      auto* text_part = new CPart(&source_, 1);
      text_part->body = analysed;
      tree->AddChild(root_node, text_part, 1);
      attachment_ = std::make_unique<CFakeMimePart>(std::move(attachment_headers),
                                                    "application/octet-stream");
      auto* file_part = new CPart(attachment_.get(), 1);
      EXPECT_EQ(0, parser.ParseHeaders(attachment_.get(), &file_part->headers));
      file_part->body = new CPartBodyBinary;
      tree->AddChild(root_node, file_part, 1);
    }
    EXPECT_EQ(0, box_.SetObject(tree, kPartsTreeId, false));
    view_.Gather();
  }
  ~TestMail() {
    DeleteHeaders(GetMailHeaders(box_));
    box_.Remove(kMailHeadersId);
    box_.Remove(kPartsTreeId);
  }
  TestMail(const TestMail&) = delete;
  TestMail& operator=(const TestMail&) = delete;

  const CBlackBoxFacilitator& view() const { return view_; }

 private:
  static CPartBody* Analyse(const std::string& body, bool html) {
    const ascommon::usstring text = ascommon::usstring::FromUtf8(body);
    if (html) {
      auto* analysed = new CPartBodyTextHtml;
      EXPECT_EQ(0, AnalyseHtmlPart(*analysed, text.c_str(), text.Length() + 1, &TestHtmlTables(),
                                   TestConverter()));
      return analysed;
    }
    auto* analysed = new CPartBodyTextPlain;
    EXPECT_EQ(0, AnalyseTextPart(*analysed, text.c_str(), text.Length() + 1, TestConverter()));
    return analysed;
  }

  CFakeMimePart source_;
  std::unique_ptr<CFakeMimePart> attachment_;
  ascommon::CBlackBox box_{16};
  CBlackBoxFacilitator view_{&box_};
};

}  // namespace nsEmlComponents

#endif  // ENGINES_TESTING_TEST_MAIL_H_
