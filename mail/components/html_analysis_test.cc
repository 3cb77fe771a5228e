#include "mail/components/html_analysis.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "mail/components/html_scanner.h"
#include "mail/components/testing/converter.h"
#include "mail/components/testing/html_tables.h"
#include "mail/components/testing/wide_text.h"

namespace nsEmlComponents {
namespace {

using ascommon::sstring;
using ascommon::usstring;

std::unique_ptr<CPartBodyTextHtml> Analyse(const std::string& html) {
  auto body = std::make_unique<CPartBodyTextHtml>();
  const usstring source = usstring::FromUtf8(html);
  EXPECT_EQ(0, AnalyseHtmlPart(*body, source.c_str(), source.Length() + 1, &TestHtmlTables(),
                               TestConverter()));
  return body;
}

// The summary's non-zero fields, in their order, as short names.
std::string Flags(const CHtmlInfo& info) {
  const struct {
    int32_t value;
    const char* name;
  } kFields[] = {
      {info.nonAsciiRun, "nonAscii"},
      {info.mediumText, "medium"},
      {info.redText, "red"},
      {info.remoteImage, "remoteImage"},
      {info.imageInLink, "imageInLink"},
      {info.webLink, "webLink"},
      {info.bigText, "big"},
      {info.largeImage, "largeImage"},
      {info.clickHere, "clickHere"},
      {info.removeMailLink, "removeLink"},
      {info.blankTarget, "blank"},
      {info.encodedUrl, "encoded"},
      {info.numericIpHost, "numericIp"},
      {info.decimalHost, "decimalHost"},
      {info.noHtmlElement, "noHtml"},
      {info.atInHost, "at"},
      {info.textOutsideHtml, "outside"},
      {info.bizHost, "biz"},
      {info.unbalancedTags, "unbalanced"},
      {info.imageWithoutSrc, "noSrc"},
  };
  std::string flags;
  for (const auto& field : kFields) {
    if (field.value != 0) flags += std::string(flags.empty() ? "" : " ") + field.name;
  }
  if (info.smallFontClass != 0) flags += " small=" + std::to_string(info.smallFontClass);
  if (info.splitComments != 0) flags += " split=" + std::to_string(info.splitComments);
  return flags;
}

struct Case {
  std::string html;
  const char* visible;
  const char* flags;
};

void ExpectCases(const Case* cases, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    SCOPED_TRACE(cases[i].html);
    const auto body = Analyse(cases[i].html);
    EXPECT_EQ(cases[i].visible, std::string(body->utf8VisibleText.c_str()));
    EXPECT_EQ(cases[i].flags, Flags(body->info));
  }
}

TEST(HtmlScannerTest, VisibleTextAndReferences) {
  const Case kCases[] = {
      {"plain text only", " plain text only", ""},  // no tag: neither flag stays
      {"<html><body>Hi &amp; bye</body></html>", " Hi & bye", ""},
      {"text<b>x</b>", " textx", "noHtml"},  // only text after the last tag counts
      {"<b>x</b>tail", " xtail", "noHtml outside"},
      {"<html>a</html>after", " aafter", "outside"},
      {"<b>x</b> 12 ", " x 12 ", "noHtml"},  // digits are no letters
      {"<p>a<br>b<pre>c", "  a b c", "noHtml"},
      {"<div>x<script language=js>if (a) b();</script>y</div>", " xy", "noHtml"},
      {"<div><style>p {color:red}</style>seen</div>", " seen", "noHtml"},
      {"<div>a<!-- x -->b</div>", " ab", "noHtml"},
      {"<div>a<!-- <b>c</b> -->b</div>", " ac -->b", "noHtml"},  // the first ">" ends it
      {"<div>&lt;&gt;&quot;&nbsp;&#65;&cent;&Cent;&bogus;</div>", " <>\" A&cent\xC2\xA2&bogus",
       "noHtml"},
      {"<div>&toolongname; &#; x&#65</div>", " &toolongname;  x&#65</div>", "noHtml"},
      {"<div>&lt<b></div>", " &lt<b></div>", "noHtml"},  // a reference swallows "<"
      {"<select><option>a</option><option>b</option></select>", " a\nb\n", "noHtml"},
      {"<b>\xC3\xA9\xC3\xA9 \xC3\xA9\xC3\xA9\xC3\xA9</b>",
       " \xC3\xA9\xC3\xA9 \xC3\xA9\xC3\xA9\xC3\xA9", "nonAscii noHtml"},
      {"<b>\xC3\xA9\xC3\xA9 \xC3\xA9\xC3\xA9</b>", " \xC3\xA9\xC3\xA9 \xC3\xA9\xC3\xA9", "noHtml"},
      {"<b>x", " x", "noHtml"},    // unclosed elements are fine
      {"<b>x<i", " x", "noHtml"},  // an unfinished tag is dropped
  };
  ExpectCases(kCases, std::size(kCases));
}

TEST(HtmlScannerTest, HiddenText) {
  const Case kCases[] = {
      {"<div>a<font size=0>hidden</font>b</div>", " ab", "noHtml small=2"},
      {"<div>a<font size=1>small</font></div>", " asmall", "noHtml small=1"},
      // A FONT of size 0 hides only while no smaller class was recorded.
      {"<div><font size=0>a</font><font size=0>b</font></div>", " b", "noHtml small=2"},
      // Hidden by a paragraph's style until a FONT end tag closes the top element.
      {"<div><p style=\"font-size:1px\">gone<b>x</b><font>y</font>back</div>", "  back",
       "noHtml small=3"},
      {"<div><p style=\"font-size:4px\">gone</div>", "  ", "noHtml small=2"},
      {"<div><p style=\"font-size:12px\">kept</div>", "  kept", "noHtml"},
      {"<p style=\"font-size:0\">top level", "  top level", "noHtml outside small=3"},
      {"<div><font style='font-size:2pt'>x</font>y</div>", " y", "noHtml small=3"},
      // An end tag that does not close the innermost element is ignored.
      {"<div><font size=0>a<i>b</font>c</i>d</font>e</div>", " e", "noHtml small=2"},
  };
  ExpectCases(kCases, std::size(kCases));
}

TEST(HtmlScannerTest, FontsAndColours) {
  const Case kCases[] = {
      {"<div><font color=\"#FF0000\">x</font></div>", " x", "red noHtml"},
      {"<div><font color=red>x</font></div>", " x", "red noHtml"},
      {"<div><font color=\"#F60000\">x</font></div>", " x", "noHtml"},
      {"<div><font color=\"#FF0800\">x</font></div>", " x", "noHtml"},
      {"<div><font color=\"#FF00\">x</font></div>", " x", "noHtml"},
      {"<div><font size=3>x</font></div>", " x", "medium noHtml"},
      {"<div><font size=4.5>x</font></div>", " x", "medium noHtml"},
      {"<div><font size=5>x</font></div>", " x", "big noHtml"},
      {"<div><font size=+1>x</font></div>", " x", "noHtml"},  // +1 is 2.5
      {"<div><font size=+2>x</font></div>", " x", "big noHtml"},
      {"<div><font size=\"+0\">x</font></div>", " x", "noHtml"},
      {"<h1>a</h1><h2>b</h2>", " ab", "medium big noHtml"},
      {"<span style=\"font-size:15px\">x</span>", " x", "medium noHtml"},
      {"<span style=\"font-size: 15px\">x</span>", " x", "medium noHtml"},
      {"<span style=\"font-size:14px\">x</span>", " x", "noHtml"},
      {"<span style=\"color:red;font-size:15px\">x</span>", " x", "noHtml"},
      {"<span style=\"font-size:3px\">x</span>", " x", "noHtml small=2"},  // SPAN never hides
  };
  ExpectCases(kCases, std::size(kCases));
}

TEST(HtmlScannerTest, LinksAndClickHere) {
  const Case kCases[] = {
      {"<a href=\"http://x.com/\">Click  here</a>", " Click  here", "webLink clickHere noHtml"},
      {"<a href=\"http://x.com/\">click_ now, or else here</a>", " click_ now, or else here",
       "webLink clickHere noHtml"},
      {"<a href=\"http://x.com/\">here, click</a>", " here, click", "webLink noHtml"},
      {"<a href=\"ftp://x.com/\">click here</a>", " click here", "noHtml"},
      {"<a href=\"mailto:a@b.c?subject=remove \">u</a>", " u", "removeLink noHtml"},
      {"<a href=\"mailto:a@b.c?subject=remove&x\">u</a>", " u", "noHtml"},
      {"<a href=\"http://x.com\" target=\"_blank\">t</a>", " t", "webLink blank noHtml"},
      {"<a href=\"http://%77ww.x.com\">t</a>", " t", "webLink encoded noHtml"},
      {"<a href=\"http://1.2.3.4/\">t</a>", " t", "webLink numericIp noHtml"},
      {"<a href=\"http://user@1.2.3.4/\">t</a>", " t", "webLink numericIp noHtml at"},
      {"<a href=\"http://3232235777/\">t</a>", " t", "webLink decimalHost noHtml"},
      {"<a href=\"http://123/\">t</a><a href=\"http://1.2.3/\">t</a>", " tt", "webLink noHtml"},
      {"<a href=\"http://shop.biz/\">t</a>", " t", "webLink noHtml biz"},
      {"<a href=\"http://x.com/a.biz\">t</a>", " t", "webLink noHtml"},
      {"<a href=\"http://x.com/@\">t</a>", " t", "webLink noHtml"},
      {"<a href=\"http://shop.biz/\">t</a><a href=\"http://x.com/a.biz\">t</a>", " tt",
       "webLink noHtml"},  // the last link with ".BIZ" decides
      {"<base href=\"http://x.com/\"><a href=\"page.html\">t</a>", " t", "webLink noHtml"},
  };
  ExpectCases(kCases, std::size(kCases));
}

TEST(HtmlScannerTest, LinkListsAnchorsAndLabels) {
  const auto body = Analyse(
      "<a href=\"HTTP://X.com/%41\">Go there</a><a href=\"http://y.com\">x</a><a>none</a>"
      "<label for=\"f1\">Name</label><label>skip</label> see www.Z.com");
  const CHtmlInfo& info = body->info;
  EXPECT_EQ(2, info.hrefCount);
  ASSERT_EQ(4u, info.links.GetSize());  // three anchors, then the text's URL
  EXPECT_EQ("http://x.com/a", Narrow(info.links[0].decoded));
  EXPECT_EQ("HTTP://X.COM/%41", Narrow(info.links[0].raw));
  EXPECT_EQ("", Narrow(info.links[2].raw));
  EXPECT_EQ("www.z.com", Narrow(info.links[3].decoded));
  ASSERT_EQ(2u, info.anchors.GetSize());
  EXPECT_EQ("Go there", Narrow(info.anchors[0].label));
  EXPECT_EQ("HTTP://X.COM/A", Narrow(info.anchors[0].url.decoded));  // copied before lower-casing
  EXPECT_EQ("", Narrow(info.anchors[1].label));                      // one unit is no label
  ASSERT_EQ(1u, info.labels.GetSize());
  EXPECT_EQ("Name", Narrow(info.labels[0].text));
  EXPECT_EQ("F1", Narrow(info.labels[0].forId));
  EXPECT_TRUE(info.title.IsEmpty());
}

TEST(HtmlScannerTest, Images) {
  const Case kCases[] = {
      {"<a href=\"http://x/\"><img src=\"http://x/i.gif\" width=\"100\" height=\"51\"></a>", " ",
       "imageInLink webLink largeImage noHtml"},
      {"<img src=\"http://x/i.gif\" width=\"100\" height=\"50\">", " ", "remoteImage noHtml"},
      {"<img src=\"i.gif\" width=\"100\" height=\"51\">", " ", "noHtml"},
      {"<base href=\"https://x/\"><img src=\"i.gif\">", " ", "remoteImage noHtml"},
      {"<img><img src=\"\">", " ", "noHtml noSrc"},
      {"<img src=\"http://%31.2.3.4/i.gif\">", " ", "remoteImage encoded numericIp noHtml"},
  };
  ExpectCases(kCases, std::size(kCases));
  const auto body = Analyse("<img src=\"http://x/i.gif\"><img src=\"b.png\">");
  ASSERT_EQ(2u, body->info.images.GetSize());
  EXPECT_EQ("HTTP://X/I.GIF", Narrow(body->info.images[0].decoded));  // images keep upper case
}

TEST(HtmlScannerTest, CommentsSplittingWords) {
  std::string many;
  for (int i = 0; i < 600; ++i) many += "a<!---->";
  const Case kCases[] = {
      {"<div>wo<!-- -->rd and ne<!---->ws</div>", " word and news", "noHtml split=2"},
      {"<div>wo<!-- -->rd</div>", " word", "noHtml"},
      {"<div>a <!-- --> b<!---->c 1<!---->$</div>", " a  bc 1$", "noHtml split=2"},
      {"<div>" + many + "a</div>", "", "noHtml split=499"},  // only so many are counted
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.html);
    const auto body = Analyse(c.html);
    if (c.visible[0] != 0) {
      EXPECT_EQ(c.visible, std::string(body->utf8VisibleText.c_str()));
    }
    EXPECT_EQ(c.flags, Flags(body->info));
  }
}

TEST(HtmlScannerTest, UnbalancedTags) {
  auto repeat = [](const char* text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += text;
    return out;
  };
  const Case kCases[] = {
      {repeat("</a>", 7), " ", "noHtml unbalanced"},
      {repeat("</a>", 6), " ", "noHtml"},
      {repeat("<b>", 4) + repeat("</b>", 6), " ", "noHtml unbalanced"},
      {repeat("<b>", 4) + repeat("</b>", 5), " ", "noHtml"},
      {repeat("<img>", 4) + repeat("</b>", 6), " ", "noHtml noSrc"},  // images are not counted
  };
  ExpectCases(kCases, std::size(kCases));
}

TEST(HtmlScannerTest, DepthLimitEndsTheScan) {
  const struct {
    int depth;
    const char* visible;
  } kCases[] = {{147, " seen"}, {148, " "}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.depth);
    std::string html;
    for (int i = 0; i < c.depth; ++i) html += "<div>";
    EXPECT_EQ(c.visible, std::string(Analyse(html + "seen")->utf8VisibleText.c_str()));
  }
  std::string with_reference;  // an open reference counts as one level
  for (int i = 0; i < 147; ++i) with_reference += "<div>";
  EXPECT_EQ(" ", std::string(Analyse(with_reference + "&amp;seen")->utf8VisibleText.c_str()));
}

TEST(HtmlScannerTest, HostileInputStaysInBounds) {
  const std::string long_value(5000, 'a');
  const std::string kInputs[] = {
      std::string(200000, '<'),
      "<a href=\"http://x/" + long_value + "\">" + long_value + "</a>",
      "<div>" + std::string(100000, '&'),
      "<!--" + std::string(100000, '-'),
      "<script>" + std::string(100000, '<'),
      std::string(3000, '\n') + "<label for=a><a href=http://x>t</a></label>",
  };
  for (const std::string& html : kInputs) {
    SCOPED_TRACE(html.substr(0, 40));
    const auto body = Analyse(html);
    EXPECT_LE(body->visibleText.Length(), html.size() + 1);
  }
  const auto body = Analyse("<a href=\"http://x/" + long_value + "\">t</a>");
  ASSERT_EQ(1u, body->info.links.GetSize());
  // Cut with the tag text, whose last unit ends up as the closing quote.
  EXPECT_EQ(kHtmlTagMax - 9, body->info.links[0].raw.Length());
}

TEST(AnalyseHtmlPartTest, StoresCopiesAndCounts) {
  auto body = std::make_unique<CPartBodyTextHtml>();
  const std::u16string html = u"<html><p>Caf\u00e9\tau lait</html>";
  ASSERT_EQ(
      0, AnalyseHtmlPart(*body, html.c_str(), html.size() + 1, &TestHtmlTables(), TestConverter()));
  EXPECT_EQ(html, std::u16string(body->source.View()));
  EXPECT_STREQ("<html><p>Caf\xC3\xA9\tau lait</html>", body->utf8Source.c_str());
  EXPECT_STREQ("  Caf\xC3\xA9\tau lait", body->utf8VisibleText.c_str());
  EXPECT_EQ(10, body->info.visibleChars);
  EXPECT_EQ(1, body->info.analysed);
  EXPECT_EQ(0, body->info.noHtmlElement);

  CHtmlTables unbuilt;
  EXPECT_EQ(-12, AnalyseHtmlPart(*body, html.c_str(), html.size() + 1, &unbuilt, TestConverter()));
  EXPECT_EQ(-12, AnalyseHtmlPart(*body, html.c_str(), html.size() + 1, nullptr, TestConverter()));
  EXPECT_EQ(0, body->info.analysed);
}

}  // namespace
}  // namespace nsEmlComponents
