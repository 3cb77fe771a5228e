#include "emlbreaker/parts_tree.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>

#include "mail/components/parts_tree_dump.h"

namespace nsEmlComponents {
namespace {

using CNode = CPartsTree::CNode;

// A part whose body's `file` carries a one-letter name for the tests.
CPart* NewPart(int32_t kind, int32_t depth, const char* name = "") {
  auto* part = new CPart(nullptr, depth);
  if (kind == kBodyTextPlain) part->body = new CPartBodyTextPlain;
  if (kind == kBodyTextHtml) part->body = new CPartBodyTextHtml;
  if (kind == kBodyMultipart) part->body = new CPartBodyMultipart;
  if (kind == kBodyBinary) part->body = new CPartBodyBinary;
  part->body->file = name;
  return part;
}

std::string Names(const CPartList* list) {
  if (list == nullptr) return "<error>";
  std::string names;
  for (const CPart* part : *list) names += part->body->file.c_str();
  return names;
}

// R multipart ( A text, B multipart ( C html, D text, E multipart ( F text ) ), G html, H binary )
struct SampleTree {
  SampleTree() {
    nodes['R'] = tree.SetRoot(NewPart(kBodyMultipart, 0, "R"));
    const struct {
      char name, parent;
      int32_t kind, depth;
    } kParts[] = {{'A', 'R', kBodyTextPlain, 1}, {'B', 'R', kBodyMultipart, 1},
                  {'C', 'B', kBodyTextHtml, 2},  {'D', 'B', kBodyTextPlain, 2},
                  {'E', 'B', kBodyMultipart, 2}, {'F', 'E', kBodyTextPlain, 3},
                  {'G', 'R', kBodyTextHtml, 1},  {'H', 'R', kBodyBinary, 1}};
    for (const auto& p : kParts) {
      const char name[] = {p.name, '\0'};
      nodes[p.name] = tree.AddChild(nodes.at(p.parent), NewPart(p.kind, p.depth, name), p.depth);
    }
  }
  CPartsTree tree;
  std::map<char, CNode*> nodes;
};

struct NameCollector : CAPartsTreeListenerR, CAPartsTreeListenerRW {
  void Visit(CPart* part) override { names += part->body->file.c_str(); }
  void Visit(CPart* part, CNode* node) override {
    EXPECT_EQ(part, node->part);
    names += part->body->file.c_str();
  }
  std::string names;
};

TEST(PartsTreeTest, ListsAndWalksHonourDepthLimitAndRemovedSubtrees) {
  const struct {
    const char* removed;
    int32_t limit;
    const char *text, *html, *walk, *update_walk;
  } kCases[] = {
      {"", 3, "ADF", "CG", "RABCDEFGH", "RABCDEFGH"},
      {"", 2, "AD", "CG", "RABCDEGH", "RABCDEGH"},
      {"", 1, "A", "G", "RABGH", "RABGH"},
      {"", 0, "", "", "R", "R"},
      {"", -1, "", "", "", ""},
      {"B", 3, "A", "G", "RAGH", "RABGH"},  // the whole subtree goes
      {"EG", 3, "AD", "C", "RABCDH", "RABCDEGH"},
      {"F", 3, "AD", "CG", "RABCDEGH", "RABCDEFGH"},
      {"R", 3, "ADF", "CG", "", "R"},  // lists start below the root
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::string("removed '") + c.removed + "', limit " + std::to_string(c.limit));
    SampleTree sample;
    for (const char* name = c.removed; *name != '\0'; ++name) {
      ASSERT_EQ(0, sample.tree.MarkRemoved(sample.nodes.at(*name)));
    }
    int32_t error = 1;
    EXPECT_EQ(c.text, Names(sample.tree.GetTextParts(c.limit, &error)));
    EXPECT_EQ(0, error);
    EXPECT_EQ(c.html, Names(sample.tree.GetHtmlParts(c.limit, &error)));
    NameCollector walk, update_walk;
    EXPECT_EQ(0, sample.tree.Walk(&walk, c.limit));
    EXPECT_EQ(0, sample.tree.WalkForUpdate(&update_walk, c.limit));
    EXPECT_EQ(c.walk, walk.names);
    EXPECT_EQ(c.update_walk, update_walk.names);
  }
}

TEST(PartsTreeTest, PartListIsCachedPerDepthLimit) {
  SampleTree sample;
  const CPartList* first = sample.tree.GetTextParts(3, nullptr);
  // A flag set behind the tree's back is not seen while the cache holds...
  sample.nodes['D']->part->removed = 1;
  EXPECT_EQ(first, sample.tree.GetTextParts(3, nullptr));
  EXPECT_EQ("ADF", Names(first));
  // ...another limit rebuilds the list...
  EXPECT_EQ("A", Names(sample.tree.GetTextParts(2, nullptr)));
  EXPECT_EQ("AF", Names(sample.tree.GetTextParts(3, nullptr)));
  // ...and so does every change made through the tree.
  ASSERT_EQ(0, sample.tree.MarkRemoved(sample.nodes['E']));
  EXPECT_EQ("A", Names(sample.tree.GetTextParts(3, nullptr)));
  sample.tree.AddChild(sample.nodes['B'], NewPart(kBodyTextPlain, 2, "I"), 2);
  EXPECT_EQ("AI", Names(sample.tree.GetTextParts(3, nullptr)));
  EXPECT_EQ("CG", Names(sample.tree.GetHtmlParts(3, nullptr)));  // the lists are separate
}

TEST(PartsTreeTest, AddChildStopsBelowTwentyLevels) {
  CPartsTree tree;
  EXPECT_EQ(-1, tree.GetMaxDepth());
  CNode* node = tree.SetRoot(NewPart(kBodyMultipart, 0));
  EXPECT_EQ(0, tree.GetMaxDepth());
  std::unique_ptr<CPart> second_root(NewPart(kBodyTextPlain, 0));
  EXPECT_EQ(nullptr, tree.SetRoot(second_root.get()));  // the part stays the caller's
  for (int32_t depth = 1; depth <= kMaxPartDepth; ++depth) {
    CNode* child = tree.AddChild(node, NewPart(kBodyMultipart, depth), depth);
    ASSERT_NE(node, child);
    ASSERT_EQ(node, child->parent);
    node = child;
  }
  std::unique_ptr<CPart> too_deep(NewPart(kBodyTextPlain, kMaxPartDepth + 1));
  EXPECT_EQ(node, tree.AddChild(node, too_deep.get(), kMaxPartDepth + 1));  // not taken
  EXPECT_EQ(kMaxPartDepth, tree.GetMaxDepth());
  EXPECT_EQ(nullptr, tree.AddChild(nullptr, NewPart(kBodyTextPlain, 1), 1));  // freed

  std::string expected;
  for (int32_t depth = 0; depth < kMaxPartDepth; ++depth) expected += "multipart(";
  EXPECT_EQ(expected + "multipart()" + std::string(kMaxPartDepth, ')'), DumpPartsTree(tree));
}

TEST(PartsTreeTest, DumpShowsKindsRemovedPartsAndEmptyMultiparts) {
  SampleTree sample;
  EXPECT_EQ("multipart(text,multipart(html,text,multipart(text)),html,binary)",
            DumpPartsTree(sample.tree));
  ASSERT_EQ(0, sample.tree.MarkRemoved(sample.nodes['B']));
  sample.tree.AddChild(sample.nodes['R'], NewPart(kBodyMultipart, 1), 1);
  EXPECT_EQ("multipart(text,-multipart(html,text,multipart(text)),html,binary,multipart())",
            DumpPartsTree(sample.tree));
  EXPECT_EQ("", DumpPartsTree(CPartsTree()));
}

// Trees far taller than any mail makes (AddChild trusts the depth it is given)
// are still freed, listed and dumped without deep recursion.
TEST(PartsTreeTest, TallTreesNeedNoCallStack) {
  constexpr int kHeight = 100000;
  CPartsTree tree;
  CNode* node = tree.SetRoot(NewPart(kBodyMultipart, 0));
  for (int i = 0; i < kHeight; ++i) node = tree.AddChild(node, NewPart(kBodyTextPlain, 1), 1);
  EXPECT_EQ(static_cast<size_t>(kHeight), tree.GetTextParts(1, nullptr)->GetSize());
  std::string expected = "multipart(";
  for (int i = 1; i < kHeight; ++i) expected += "text(";
  EXPECT_EQ(expected + "text" + std::string(kHeight, ')'), DumpPartsTree(tree));
}

TEST(PartsTreeTest, NullArgumentsAndStageFlags) {
  CPartsTree tree;
  EXPECT_EQ(-11, tree.MarkRemoved(nullptr));
  EXPECT_EQ(-11, tree.Walk(nullptr, 3));
  EXPECT_EQ(-11, tree.WalkForUpdate(nullptr, 3));
  EXPECT_TRUE(tree.IsDone(kBodyBinary));  // no stage analyses other kinds
  tree.SetDone(kBodyBinary, false);
  EXPECT_TRUE(tree.IsDone(kBodyBinary));
  tree.SetDone(kBodyTextPlain, true);
  EXPECT_TRUE(tree.IsDone(kBodyTextPlain));
  EXPECT_FALSE(tree.IsDone(kBodyTextHtml));  // the stages are tracked apart
}

TEST(PartBodyTest, ResetDropsAnalysisResults) {
  CPartBodyTextPlain text;
  text.text = u"decoded text";
  text.utf8Text = "decoded text";
  ASSERT_EQ(0, text.urls.Add(CUrl{u"http://a/", u"http://a/"}));
  const char16_t* buffer = text.text.GetBuffer();
  text.Reset();
  EXPECT_TRUE(text.text.IsEmpty());
  EXPECT_EQ(u'\0', buffer[3]);  // wiped, not only cut
  EXPECT_EQ(0u, text.urls.GetSize());
  EXPECT_STREQ("decoded text", text.utf8Text.c_str());  // left as it was

  CPartBodyTextHtml html;
  html.source = u"<b>x</b>";
  html.visibleText = u"x";
  html.info.noHtmlElement = 0;
  html.info.redText = 1;
  html.info.visibleChars = html.info.hrefCount = 3;
  ASSERT_EQ(0, html.info.links.Add(CUrl{u"http://b/", u"http://b/"}));
  html.Reset();
  EXPECT_TRUE(html.visibleText.IsEmpty());
  EXPECT_EQ(u"<b>x</b>", html.source.View());
  EXPECT_EQ(1, html.info.noHtmlElement);
  EXPECT_EQ(0, html.info.redText);
  EXPECT_EQ(1024, html.info.visibleChars);
  EXPECT_EQ(0, html.info.hrefCount);
  EXPECT_EQ(0u, html.info.links.GetSize());
  EXPECT_TRUE(html.info.title.IsSet() && html.info.title.IsEmpty());
}

}  // namespace
}  // namespace nsEmlComponents
