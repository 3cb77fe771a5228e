// The graphical-pattern classifier: the features of hand-checked texts and trees, the
// edit distance against its definition, the ranking of centres, the centres file (round
// trip, refusals) and classification from two threads during reloads.
#include "engines/knn_engine.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/binary_streamer.h"
#include "common/checked_file.h"
#include "emlbreaker/exceptions.h"
#include "emlbreaker/parts_tree.h"
#include "framework/base/testing/temp_dir.h"

namespace {

using ascommon::sstring;
using ascommon::usstring;
using namespace nsEmlComponents;

// Each test's files go to a folder of its own.
class TempDir : public emlbtest::TempDir {
 public:
  TempDir() : emlbtest::TempDir("knn") {}
};

std::vector<float> Values(const CGCrt& criterion) {
  return std::vector<float>(criterion.values.begin(), criterion.values.end());
}

std::vector<float> Scalars(const CGraphicalFeatureSet& set) {
  std::vector<float> scalars;
  for (size_t i = 0; i <= kFeatureUnused; ++i) scalars.push_back(set.Scalar(i));
  return scalars;
}

// A tree: a multipart root with the given plain-text and HTML parts, in that order.
struct Mail {
  CPartsTree tree;
  Mail(const std::vector<std::u16string>& plain, const std::vector<std::u16string>& html) {
    auto* root = new CPart(nullptr, 0);
    root->body = new CPartBodyMultipart;
    CPartsTree::CNode* node = tree.SetRoot(root);
    for (const std::u16string& text : plain) {
      auto* body = new CPartBodyTextPlain;
      body->text.Assign(text.c_str(), text.size());
      auto* part = new CPart(nullptr, 1);
      part->body = body;
      tree.AddChild(node, part, 1);
    }
    for (const std::u16string& text : html) {
      auto* body = new CPartBodyTextHtml;
      body->visibleText.Assign(text.c_str(), text.size());
      auto* part = new CPart(nullptr, 1);
      part->body = body;
      tree.AddChild(node, part, 1);
    }
  }
};

TEST(GraphicalAnalyzerTest, FeaturesOfAHandCheckedMail) {
  // The first line's code is 3: "HTTP:" begins 2 characters after its line feed, within
  // the line's length. The HTML text has a cid image and a web image. The second plain
  // part is blank: its one line (\r not counted) codes 1 and the part codes 0. The empty
  // fourth part is skipped.
  Mail mail({u"Mail me: bob@example.com\n\nHTTP://x.org and http://y.org\nlast",
             u"  \t\r\n", u""},
            {u"img src=cid:part1 img  src=\"http://z/a.gif\" at @home\n"});
  CGraphicalFeatureSet set;
  ASSERT_TRUE(CGraphicalAnalyzer().Analyze(&mail.tree, &set));
  EXPECT_EQ(Scalars(set), (std::vector<float>{3, 2, 1, 5, 5, 1, 3, 1, 1, 1, 0}));
  EXPECT_EQ(Values(*set.criteria[kFeatureLineCodes]), (std::vector<float>{3, 0, 1, 1, 1}));
  EXPECT_EQ(Values(*set.criteria[kFeaturePartCodes]), (std::vector<float>{2, 0, 1}));
  EXPECT_EQ(set.criteria[kFeatureUnusedSequence]->values.GetSize(), 0u);

  // A second run into the filled set is refused and adds nothing.
  EXPECT_FALSE(CGraphicalAnalyzer().Analyze(&mail.tree, &set));
  EXPECT_EQ(set.Scalar(kFeatureTexts), 3);

  // A root that is itself an HTML body is read by its visible text.
  CPartsTree single;
  auto* root = new CPart(nullptr, 0);
  auto* html = new CPartBodyTextHtml;
  html->visibleText.Assign(u"one\ntwo\n");
  root->body = html;
  single.SetRoot(root);
  CGraphicalFeatureSet root_set;
  ASSERT_TRUE(CGraphicalAnalyzer().Analyze(&single, &root_set));
  EXPECT_EQ(Scalars(root_set), (std::vector<float>{1, 0, 1, 2, 2, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Values(*root_set.criteria[kFeaturePartCodes]), (std::vector<float>{1}));
}

TEST(GraphicalAnalyzerTest, LineCodes) {
  const std::u16string long_line(130, u'a');
  const std::u16string link_piece = std::u16string(70, u'b') + u"http://q\n";
  struct Case {
    std::u16string text;
    std::vector<float> codes;
    float coded, line_feeds, empty;
  } cases[] = {
      {u"one\ntwo\nthree\n", {1, 1, 1}, 3, 3, 0},
      // 65 characters, then a piece of the 65 left, ended by the line feed.
      {long_line + u"\n", {2, 1}, 2, 1, 0},
      // Exactly 65 before the line feed is one line; CR is not counted.
      {std::u16string(65, u'c') + u"\n\n", {1, 0}, 2, 2, 1},
      {u"ab\r\n\r\n", {1, 0}, 2, 2, 1},
      // A CR after 65 characters is a character like any other: it starts a piece.
      {std::u16string(65, u'c') + u"\r\n", {2, 0}, 2, 1, 1},
      // "http:" begins 5 characters into the second piece: the first piece's look ahead
      // (65 characters from the character that starts the second) finds it.
      {link_piece, {3, 1}, 2, 1, 0},
      // A last line without a line feed gets no code.
      {u"no line feed", {}, 0, 0, 0},
  };
  for (const Case& c : cases) {
    CGraphicalFeatureSet set;
    CGraphicalAnalyzer().AddText(c.text.data(), c.text.size(), false, &set);
    EXPECT_EQ(Values(*set.criteria[kFeatureLineCodes]), c.codes);
    EXPECT_EQ(set.Scalar(kFeatureCodedLines), c.coded);
    EXPECT_EQ(set.Scalar(kFeatureLineFeeds), c.line_feeds);
    EXPECT_EQ(set.Scalar(kFeatureEmptyLines), c.empty);
  }
}

// The edit distance by its definition: insert and delete 1, replace 2, keep 0.
size_t ReferenceDistance(const std::vector<float>& a, const std::vector<float>& b) {
  std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
  for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    for (size_t j = 1; j <= b.size(); ++j) {
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1,
                          d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 2)});
    }
  }
  return d[a.size()][b.size()];
}

TEST(GraphicalAnalyzerTest, EditDistanceCriterion) {
  auto distance = [](const std::vector<float>& a, const std::vector<float>& b) {
    CGEDCrt x, y;
    x.Append(a.data(), a.size());
    y.Append(b.data(), b.size());
    return x.Distance(y);
  };
  EXPECT_EQ(distance({}, {1, 2}), 2);
  EXPECT_EQ(distance({1, 2, 3}, {1, 2, 3}), 0);
  EXPECT_EQ(distance({1, 2, 3}, {1, 3}), 1);
  EXPECT_EQ(distance({1}, {2}), 2);
  EXPECT_EQ(distance({-0.0f}, {0.0f}), 0);  // equal as floats

  // Random sequences across word boundaries, over a small alphabet (the bit masks) and a
  // large one (the table).
  std::mt19937 random(7);
  for (int alphabet : {2, 4, 200}) {
    for (int round = 0; round < 40; ++round) {
      std::vector<float> a(random() % 200), b(random() % 200);
      for (float& v : a) v = static_cast<float>(random() % alphabet);
      for (float& v : b) v = static_cast<float>(random() % alphabet);
      ASSERT_EQ(distance(a, b), static_cast<float>(ReferenceDistance(a, b)))
          << "alphabet " << alphabet << " lengths " << a.size() << ", " << b.size();
    }
  }

  // A scalar's distance is signed; kinds do not mix.
  EXPECT_EQ(CGDifCrt(5).Distance(CGDifCrt(2)), -3);
  EXPECT_THROW(CGDifCrt(5).Distance(CGEDCrt()), ASInternalException);
}

// A centre with the mail's features shifted by `shift` on feature 0, named name, whose
// radius is the mean of the given member distances.
std::unique_ptr<CGFCenter> CentreNear(const CGraphicalFeatureSet& mail, float shift,
                                      const char* name, std::vector<float> distances) {
  std::unique_ptr<CGFCenter> centre = CGFCenter::FromFeatures(mail);
  centre->criteria[kFeatureTexts]->values[0] += shift;
  centre->name = name;
  float sum = 0;
  for (float d : distances) {
    centre->AddMember("m", d);
    sum += d;
  }
  centre->radius = sum / distances.size();
  return centre;
}

TEST(KnnClassifierTest, RanksCentresByScore) {
  Mail mail({u"a\nb\n"}, {});
  CGraphicalFeatureSet set;
  CGraphicalAnalyzer().Analyze(&mail.tree, &set);

  // Two centres at distance 4 at positions 0 and 1 score 250 and 125; a centre at
  // position 2 at distance 1 scores 333 and goes before both; the exact one at position
  // 3 scores 10^35 and comes first; one whose radius is too small is left out, and so is
  // one without members (its radius is not a number).
  CKnnClassifier classifier;
  classifier.AddCentre(CentreNear(set, 4, "first", {4}));
  classifier.AddCentre(CentreNear(set, -4, "second", {2, 6}));
  classifier.AddCentre(CentreNear(set, 1, "close", {1}));
  classifier.AddCentre(CentreNear(set, 0, "exact", {0}));
  classifier.AddCentre(CentreNear(set, 2, "outside", {1.5f}));
  auto no_members = CGFCenter::FromFeatures(set);
  no_members->name = "empty";
  no_members->radius = 0.0f / 0.0f;
  classifier.AddCentre(std::move(no_members));
  EXPECT_STREQ(classifier.Classify(set).c_str(), "exact, close, first, second");

  // The distance adds the edit distances of the sequences to the scalar differences.
  std::unique_ptr<CGFCenter> centre = CentreNear(set, 3, "x", {1});
  centre->criteria[kFeatureLineCodes]->Append(kLineLink);
  centre->criteria[kFeaturePartCodes]->values[0] = kPartHtml;
  EXPECT_EQ(LayoutDistance(set, *centre), 3 + 1 + 2);
  float within = -1;
  EXPECT_FALSE(LayoutDistanceWithin(set, *centre, 3.5f, &within));
  EXPECT_TRUE(LayoutDistanceWithin(set, *centre, 6, &within));
  EXPECT_EQ(within, 6);
}

TEST(KnnClassifierTest, TwelveCandidatesGiveTenNames) {
  Mail mail({u"x\n"}, {});
  CGraphicalFeatureSet set;
  CGraphicalAnalyzer().Analyze(&mail.tree, &set);
  CKnnClassifier classifier;
  for (int i = 0; i < 12; ++i) {
    classifier.AddCentre(CentreNear(set, 1, i % 2 == 0 ? "spam" : "ham", {5}));
  }
  // All at distance 1: the scores fall with the position, so the first ten in order.
  EXPECT_STREQ(classifier.Classify(set).c_str(),
               "spam, ham, spam, ham, spam, ham, spam, ham, spam, ham");
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class CentresFileTest : public ::testing::Test {
 protected:
  CentresFileTest() : mail_({u"Dear friend,\n\nclick http://x.y\n"}, {u"Buy\n"}) {
    CGraphicalAnalyzer().Analyze(&mail_.tree, &set_);
  }

  // A file with the mail's own centre ("spam") and a far one ("ham").
  std::string WriteGood(const char* name) {
    std::unique_ptr<CGFCenter> spam = CentreNear(set_, 0, "spam", {1, 3});
    spam->label = "label";
    spam->spread = 0.5f;
    std::unique_ptr<CGFCenter> ham = CentreNear(set_, 50, "ham", {2});
    const std::string path = dir_.File(name);
    WriteCentresFile(path.c_str(), {spam.get(), ham.get()});
    return path;
  }

  // A checked file holding the given records (a count and what follows).
  std::string WriteRaw(const char* name, const std::function<void(ascommon::IStreamer&)>& fill) {
    const std::string path = dir_.File(name);
    ascommon::CBinaryStreamer writer(usstring::FromUtf8(path), ascommon::IStreamer::kWriteMode,
                                     u".");
    fill(writer);
    writer.Close();
    return path;
  }

  TempDir dir_;
  Mail mail_;
  CGraphicalFeatureSet set_;
};

TEST_F(CentresFileTest, RoundTripAndReload) {
  const std::string path = WriteGood("as2graph.dat");
  ascommon::CBinaryStreamer reader(usstring::FromUtf8(path), ascommon::IStreamer::kReadMode,
                                   u".");
  CKnnClassifier read;
  read.Load(reader);
  ASSERT_EQ(read.GetCount(), 2);
  const CGFCenter& spam = read.GetCentre(0);
  EXPECT_STREQ(spam.name.c_str(), "spam");
  EXPECT_STREQ(spam.label.c_str(), "label");
  EXPECT_EQ(spam.radius, 2);
  EXPECT_EQ(spam.spread, 0.5f);
  EXPECT_EQ(spam.members.GetSize(), 2u);
  EXPECT_EQ(LayoutDistance(set_, spam), 0);
  EXPECT_EQ(LayoutDistance(set_, read.GetCentre(1)), 50);

  CKnnEngine engine;
  EXPECT_STREQ(engine.ClassifyParts(&mail_.tree).c_str(), "");  // nothing loaded
  engine.Setup(path.c_str());
  EXPECT_TRUE(engine.IsLoaded());
  EXPECT_STREQ(engine.ClassifyParts(&mail_.tree).c_str(), "spam");
  EXPECT_THROW(engine.Classify(nullptr, nullptr), ASException);
  // A mail without texts has all-zero features and is classified like any other.
  EXPECT_STREQ(engine.ClassifyParts(nullptr).c_str(), "");

  // The same path again keeps the engine; another path reloads.
  const std::string other = WriteRaw("none.dat", [](ascommon::IStreamer& w) {
    w.WriteSizeT(0, true);
  });
  engine.Setup(path.c_str());
  EXPECT_STREQ(engine.GetFileName().c_str(), path.c_str());
  engine.Setup(other.c_str());
  EXPECT_STREQ(engine.GetFileName().c_str(), other.c_str());
  EXPECT_STREQ(engine.ClassifyParts(&mail_.tree).c_str(), "");
}

TEST_F(CentresFileTest, RefusedFiles) {
  CKnnEngine engine;
  const std::string too_many = WriteRaw("many.dat", [](ascommon::IStreamer& w) {
    w.WriteSizeT(kMaxKnnCentres, true);
  });
  try {
    engine.Setup(too_many.c_str());
    ADD_FAILURE() << "300 centres loaded";
  } catch (const ASInternalException& e) {
    EXPECT_STREQ(e.what(), "Too many knn centers (300)");
  }
  EXPECT_FALSE(engine.IsLoaded());
  EXPECT_STREQ(engine.ClassifyParts(&mail_.tree).c_str(), "");

  // One flipped byte of the content fails the digest.
  const std::string good = WriteGood("good.dat");
  std::string bytes = ReadAll(good);
  bytes[ascommon::kCheckedHeaderSize + 9] ^= 0x01;
  const std::string flipped = dir_.File("flipped.dat");
  std::ofstream(flipped, std::ios::binary) << bytes;
  try {
    engine.Setup(flipped.c_str());
    ADD_FAILURE() << "a changed file loaded";
  } catch (const ASException& e) {
    EXPECT_NE(std::string(e.what()).find("File CRC does not match with its stored CRC!"),
              std::string::npos)
        << e.what();
  }
  EXPECT_FALSE(engine.IsLoaded());

  // Counts beyond the file are refused before anything is allocated for them.
  const std::string huge_sequence = WriteRaw("seq.dat", [](ascommon::IStreamer& w) {
    w.WriteSizeT(1, true);   // one centre
    w.WriteSizeT(0, true);   // no members
    w.WriteSizeT(0, true);   // empty name
    for (int i = 0; i < 10; ++i) w.WriteFloat(0);
    w.WriteSizeT(0x7fffffff, true);  // line codes
  });
  EXPECT_THROW(engine.Setup(huge_sequence.c_str()), ASException);
  const std::string huge_members = WriteRaw("members.dat", [](ascommon::IStreamer& w) {
    w.WriteSizeT(1, true);
    w.WriteSizeT(0xfffffff0u, true);  // members
    w.WriteSizeT(0, true);
    for (int i = 0; i < 10; ++i) w.WriteFloat(0);
    w.WriteSizeT(0, true);
    w.WriteSizeT(0, true);
  });
  EXPECT_THROW(engine.Setup(huge_members.c_str()), ASException);

  // After the failures the good file loads.
  engine.Setup(good.c_str());
  EXPECT_STREQ(engine.ClassifyParts(&mail_.tree).c_str(), "spam");
}

TEST_F(CentresFileTest, ConcurrentClassificationDuringReloads) {
  const std::string first = WriteGood("first.dat");
  const std::string second = WriteGood("second.dat");
  CKnnEngine engine;
  engine.Setup(first.c_str());
  auto classify = [&](int* hits) {
    Mail mail({u"Dear friend,\n\nclick http://x.y\n"}, {u"Buy\n"});
    for (int i = 0; i < 200; ++i) *hits += engine.ClassifyParts(&mail.tree) == "spam";
  };
  int hits_a = 0, hits_b = 0;
  std::thread a(classify, &hits_a);
  std::thread b(classify, &hits_b);
  for (int i = 0; i < 20; ++i) engine.Setup((i % 2 == 0 ? second : first).c_str());
  a.join();
  b.join();
  // Both files hold the same centres, so no reload may change an answer.
  EXPECT_EQ(hits_a, 200);
  EXPECT_EQ(hits_b, 200);
}

}  // namespace
