#include "rules/conditions.h"

#include <cctype>
#include <cstring>
#include <memory>
#include <string>

#include "emlbreaker/exceptions.h"
#include "emlbreaker/headers.h"
#include "emlbreaker/parts_tree.h"
#include "engines/code_heur.h"
#include "engines/knn_engine.h"
#include "engines/word_finder.h"
#include "rules/eml_context.h"
#include "rules/engines_interface.h"
#include "rules/rule_runner.h"

using ascommon::sstring;
using ascommon::usstring;
using nsEmlComponents::CAPartsTreeListenerR;
using nsEmlComponents::CHeader;
using nsEmlComponents::CHeaderMap;
using nsEmlComponents::CHeaderSubject;
using nsEmlComponents::CPart;
using nsEmlComponents::CPartBodyTextHtml;
using nsEmlComponents::CPartBodyTextPlain;
using nsEmlComponents::CPartsTree;
using nsEmlComponents::CUrl;
using nsEmlComponents::kBodyTextHtml;
using nsEmlComponents::kBodyTextPlain;
using nsEmlComponents::kHeaderSubject;

double NoCondition::Evaluate(CEnginesInterface* engines, CEmlContextInterface* context) {
  return 1.0;
}

ExprCondition::~ExprCondition() { DestroyExpressionTree(root_, true); }

int ExprCondition::Init(CEnginesInterface* engines) {
  if (root_ == nullptr) return 0;
  if (engines == nullptr) throw ASException("%s - invalid engines handle", "ExprCondition::Init");
  ARuleRunner* runner = engines->GetRuleRunner();
  if (runner == nullptr) {
    throw ASException("%s - obtained an invalid handle to the ASSL engine", "ExprCondition::Init");
  }
  InitNodes(runner, engines);
  return 0;
}

double ExprCondition::Evaluate(CEnginesInterface* engines, CEmlContextInterface* context) {
  if (root_ == nullptr) return 0.0;
  if (engines == nullptr) {
    throw ASException("%s - invalid engines handle", "ExprCondition::Evaluate");
  }
  ARuleRunner* runner = engines->GetRuleRunner();
  if (runner == nullptr) {
    throw ASException("%s - obtained an invalid handle to the ASSL engine",
                      "ExprCondition::Evaluate");
  }
  return EvaluateNodes(runner, engines, context);
}

void ExprCondition::InitNodes(ARuleRunner* runner, CEnginesInterface* engines) const {
  if (root_ != nullptr) InitNode(root_, 0, runner, engines);
}

double ExprCondition::EvaluateNodes(ARuleRunner* runner, CEnginesInterface* engines,
                                    CEmlContextInterface* context) const {
  return root_ != nullptr ? ExecuteNode(root_, 0, runner, engines, context) : 0.0;
}

// Recursion is bounded by kMaxDepth, checked before anything else at every level.
void ExprCondition::InitNode(const expr_t* node, int depth, ARuleRunner* runner,
                             CEnginesInterface* engines) const {
  if (depth >= kMaxDepth) {
    throw ASException("%s - reached the maximum expression depth", "ExprCondition::InitNode");
  }
  if (node->leaf_type == LEAF_RULE_NAME) {
    runner->InitRule(node->value.name, engines);
    // The tree is this condition's own; the handle saves a name lookup per run.
    const_cast<expr_t*>(node)->resolved = runner->ResolveRule(node->value.name);
  }
  for (const expr_t* operand : node->operand) {
    if (operand != nullptr) InitNode(operand, depth + 1, runner, engines);
  }
}

double ExprCondition::ExecuteNode(const expr_t* node, int depth, ARuleRunner* runner,
                                  CEnginesInterface* engines, CEmlContextInterface* context) const {
  static const char kWhere[] = "ExprCondition::ExecuteNode";
  if (depth >= kMaxDepth) throw ASException("%s - reached the maximum expression depth", kWhere);
  if (node->is_leaf != 0) {
    if (node->leaf_type == LEAF_BOOLEAN) return node->value.boolean != 0 ? 1.0 : 0.0;
    if (node->leaf_type == LEAF_RULE_NAME) {
      return node->resolved != nullptr
                 ? runner->ExecResolved(node->resolved, node->value.name, engines, context)
                 : runner->ExecRule(node->value.name, engines, context);
    }
    throw ASException("%s - invalid value type for a leaf node", kWhere);
  }
  const expr_t* left = node->operand[0];
  const expr_t* right = node->operand[1];
  if (node->op < OP_OR || node->op > OP_NOT) throw ASException("%s - invalid operator", kWhere);
  if (left == nullptr || (node->op != OP_NOT && right == nullptr)) {
    throw ASException("%s - invalid operands", kWhere);
  }
  auto value_of = [&](const expr_t* operand) {
    return ExecuteNode(operand, depth + 1, runner, engines, context);
  };
  const double x = value_of(left);
  switch (node->op) {
    case OP_OR:
      return x != 0.0 ? x : value_of(right);
    case OP_AND:
      return x == 0.0 ? 0.0 : value_of(right);
    case OP_NOT:
      return x == 0.0 ? 1.0 : 0.0;
    default:
      break;
  }
  // The remaining operators evaluate both sides, so every rule they name runs.
  const double y = value_of(right);
  switch (node->op) {
    case OP_ALL_OR:
      return x != 0.0 ? x : y;
    case OP_ALL_AND:
      return x == 0.0 ? 0.0 : y;
    case OP_EQ:
      return (x != 0.0) == (y != 0.0) ? 1.0 : 0.0;
    default:  // OP_NE
      return (x != 0.0) != (y != 0.0) ? 1.0 : 0.0;
  }
}

RegexCompileException::RegexCompileException(const char* pattern, const char* compile_error)
    : ASException("%s - could not initialize regex from string [%s]", "MatchCondition::Init",
                  pattern) {
  if (compile_error != nullptr) std::strncpy(compile_error_, compile_error, kMaxCompileError);
}

// A regex is compiled once, here, at load time; evaluation only matches.
int MatchCondition::Init(CEnginesInterface* engines) {
  static const char kWhere[] = "MatchCondition::Init";
  if (how_ == HOW_OBFUSCATED && word_cache_ == nullptr) word_cache_ = std::make_unique<WordCache>();
  if (how_ != HOW_REGEX && how_ != HOW_REGEX_INSENSITIVE) return 0;
  if (engines == nullptr) throw ASException("%s - invalid engines handle", kWhere);
  const CRegexLibrary* library = engines->GetRegexLibrary();
  std::unique_ptr<CARegEx> regex(library != nullptr ? library->NewRegex() : nullptr);
  if (regex == nullptr) throw ASException("%s - could not obtain regex from handle", kWhere);
  const int32_t flags = how_ == HOW_REGEX_INSENSITIVE ? kRegexCaseInsensitive : 0;
  if (regex->Compile(what_.c_str(), flags) != 0) {
    throw RegexCompileException(what_.c_str(), regex->GetError());
  }
  regex_ = std::move(regex);
  prefilter_.reset();
  prefilter_id_ = -1;
  if (const std::shared_ptr<CRegexPrefilter>& prefilter = engines->GetBuildingPrefilter()) {
    prefilter_id_ = prefilter->Add(what_.c_str(), how_ == HOW_REGEX_INSENSITIVE);
    if (prefilter_id_ >= 0) {
      prefilter_ = prefilter;
      CountReaders(prefilter.get());
    }
  }
  return 0;
}

void MatchCondition::CountReaders(CRegexPrefilter* prefilter) {
  reader_kinds_[0] = reader_kinds_[1] = shared_reader_kind_ = -1;
  std::string name(header_name_.c_str(), header_name_.Length());
  for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  // A plain body is one text in both modes; an HTML body is its source raw and its
  // visible text decoded.
  const std::string html = part_mode_ == MODE_RAW ? "html source" : "html text";
  // The kinds this place reads, and the kind of all headers a named one is also in.
  std::string kinds[2], shared;
  switch (where_) {
    case WHERE_HEADER_NAMED:
      kinds[0] = "header " + name;
      shared = "headers";
      break;
    case WHERE_HEADERS_ALL:
      kinds[0] = "headers";
      break;
    case WHERE_PARTS_ALL:
    case WHERE_PARTS_TEXT:
      kinds[0] = "plain";
      kinds[1] = html;
      break;
    case WHERE_PARTS_TEXT_PLAIN:
      kinds[0] = "plain";
      break;
    case WHERE_PARTS_TEXT_HTML:
      kinds[0] = html;
      break;
    case WHERE_URLS:
      kinds[0] = "urls";
      break;
    case WHERE_PART_HEADER_NAMED:
      kinds[0] = "part header " + name;
      shared = "part headers";
      break;
    case WHERE_PART_HEADERS_ALL:
      kinds[0] = "part headers";
      break;
    default:
      return;
  }
  for (size_t i = 0; i < 2; ++i) {
    if (!kinds[i].empty()) reader_kinds_[i] = prefilter->CountReader(kinds[i]);
  }
  if (!shared.empty()) shared_reader_kind_ = prefilter->KindOf(shared);
}

bool MatchCondition::FillsTables() const {
  const size_t shared = prefilter_->ReadersOf(shared_reader_kind_);
  for (const int kind : reader_kinds_) {
    if (kind >= 0 && prefilter_->ReadersOf(kind) + shared < CRegexPrefilter::kMinReadersForTable) {
      return false;
    }
  }
  return true;
}

namespace {

// The broken mail a condition reads, checked for the operation where.
struct Mail {
  CPartsTree* parts;
  CHeaderMap* headers;
};

Mail MailOf(CEmlContextInterface* context, const char* where) {
  if (context == nullptr) throw ASException("%s - invalid context handle", where);
  CPartsTree* parts = context->GetParts();
  if (parts == nullptr) throw ASException("%s - invalid pointer to parts tree", where);
  CHeaderMap* headers = context->GetHeaders();
  if (headers == nullptr) throw ASException("%s - invalid pointer to headers map", where);
  return {parts, headers};
}

// Shows every part that is not removed, down to the tree's depth, to listener.
void WalkParts(CPartsTree* tree, CAPartsTreeListenerR* listener, const char* where) {
  if (tree->Walk(listener, tree->GetMaxDepth()) != 0) {
    throw ASException("%s - memory problems", where);
  }
}

// True as soon as found answers true for a header of map, in map order.
template <class Found>
bool AnyHeader(const CHeaderMap& map, Found found) {
  if (map.GetCount() == 0) return false;
  CHeaderMap::Position position = map.GetStartPosition();
  for (uint32_t i = 0;;) {
    if (position.Value() != nullptr && found(*position.Value())) return true;
    if (++i == map.GetCount()) return false;
    position.Next();
  }
}

// The header stored under name, compared byte for byte with the upper-cased keys; null
// when there is none.
const CHeader* NamedHeader(const CHeaderMap& map, const sstring& name) {
  CHeader* const* found = map.Lookup(name);
  return found != nullptr ? *found : nullptr;
}

bool IsSubject(const CHeader& header) { return header.GetType() == kHeaderSubject; }
const CHeaderSubject& AsSubject(const CHeader& header) {
  return static_cast<const CHeaderSubject&>(header);
}
// The wide text a header is searched in: the subject as decoded, so that
// encoded words are read by their text; any other header's value.
const usstring& SearchedText(const CHeader& header) {
  return IsSubject(header) ? AsSubject(header).decoded : header.value;
}

// The substring tests of EXACT and EXACT_INSENSITIVE (ASCII letters folded).
bool Contains(const usstring& text, const usstring& what, uint32_t how) {
  return how == HOW_EXACT_INSENSITIVE ? text.FindNoCase(what.c_str(), nullptr)
                                      : text.Find(what.c_str(), nullptr);
}
bool Contains(const sstring& text, const sstring& what, uint32_t how) {
  return how == HOW_EXACT_INSENSITIVE ? text.FindNoCase(what.c_str(), nullptr)
                                      : text.Find(what.c_str(), nullptr);
}

// A wide text in the 8-bit form a regex reads (UTF-8; unset when it does not convert).
// One regex condition's evaluation for one mail: the compiled expression, and the rule
// set's prefilter with the expression's id in it (none: -1).
struct RegexRun {
  CARegEx* regex;
  const CRegexPrefilter* prefilter;
  int id;
  CEmlContextInterface* context;
  bool fills_tables;  // MatchCondition::FillsTables
};

// PCRE2 decides; it runs only where the prefilter's one scan of the text left the
// expression possible, and from where the prefilter found the earliest text a match can
// begin with. What it is given from there on is the text's own, and a match reads at
// most the few bytes before its start that the prefilter left in.
bool Matches(const RegexRun& run, const sstring& text) {
  size_t from = 0;
  if (run.id >= 0 &&
      !run.context->PrefilterMayMatch(*run.prefilter, run.id, text, run.fills_tables, &from)) {
    return false;
  }
  return run.regex->Match(text.c_str() + from, static_cast<uint32_t>(text.Length() - from), 0,
                          0) == 1;
}
// A wide text of the mail (a header value, a URL) is matched in its UTF-8 form, which the
// context converts once per mail: every regex condition reads the same few texts.
bool Matches(const RegexRun& run, const usstring& text) {
  return Matches(run, run.context->Utf8Of(text));
}

// Whether a part place searches plain-text bodies, HTML bodies.
bool SearchesPlain(uint32_t where) {
  return where == WHERE_PARTS_ALL || where == WHERE_PARTS_TEXT || where == WHERE_PARTS_TEXT_PLAIN;
}
bool SearchesHtml(uint32_t where) {
  return where == WHERE_PARTS_ALL || where == WHERE_PARTS_TEXT || where == WHERE_PARTS_TEXT_HTML;
}

// The text of part that a match at where searches: the plain text, or the HTML source
// (MODE_RAW) or visible text (MODE_DECODED); null for a part the place leaves out.
const usstring* WideTextOf(const CPart& part, uint32_t where, uint32_t mode) {
  if (part.GetKind() == kBodyTextPlain && SearchesPlain(where)) {
    return &static_cast<const CPartBodyTextPlain*>(part.body)->text;
  }
  if (part.GetKind() == kBodyTextHtml && SearchesHtml(where)) {
    const auto* html = static_cast<const CPartBodyTextHtml*>(part.body);
    return mode == MODE_DECODED ? &html->visibleText : &html->source;
  }
  return nullptr;
}
// The same texts in their UTF-8 form.
const sstring* Utf8TextOf(const CPart& part, uint32_t where, uint32_t mode) {
  if (part.GetKind() == kBodyTextPlain && SearchesPlain(where)) {
    return &static_cast<const CPartBodyTextPlain*>(part.body)->utf8Text;
  }
  if (part.GetKind() == kBodyTextHtml && SearchesHtml(where)) {
    const auto* html = static_cast<const CPartBodyTextHtml*>(part.body);
    return mode == MODE_DECODED ? &html->utf8VisibleText : &html->utf8Source;
  }
  return nullptr;
}

// True as soon as found answers true for a URL of part: the URL list of a plain-text
// body, the links of an HTML body.
template <class Found>
bool AnyUrl(const CPart& part, Found found) {
  const ascommon::CArray<CUrl, 64>* urls = nullptr;
  if (part.GetKind() == kBodyTextPlain) {
    urls = &static_cast<const CPartBodyTextPlain*>(part.body)->urls;
  } else if (part.GetKind() == kBodyTextHtml) {
    urls = &static_cast<const CPartBodyTextHtml*>(part.body)->info.links;
  }
  if (urls == nullptr) return false;
  for (const CUrl& url : *urls) {
    if (found(url.decoded)) return true;
  }
  return false;
}

// True as soon as found answers true for a header of part's own map: every header for
// WHERE_PART_HEADERS_ALL, the one stored under name for WHERE_PART_HEADER_NAMED.
template <class Found>
bool AnyPartHeader(const CPart& part, uint32_t where, const sstring& name, Found found) {
  if (where == WHERE_PART_HEADERS_ALL) return AnyHeader(part.headers, found);
  const CHeader* header = NamedHeader(part.headers, name);
  return header != nullptr && found(*header);
}

// A read-only walk that stops looking once it found what it looks for.
// (FoundInParts below runs one over a mail's parts.)
class Finder : public CAPartsTreeListenerR {
 public:
  void Visit(CPart* part) override {
    if (!found) found = Test(*part);
  }
  bool found = false;

 private:
  virtual bool Test(const CPart& part) = 0;
};

// 1.0 when a walk of finder over the mail's parts found what it looks for, else 0.0.
template <class SomeFinder>
double FoundInParts(SomeFinder finder, CPartsTree* parts, const char* where) {
  WalkParts(parts, &finder, where);
  return finder.found ? 1.0 : 0.0;
}

}  // namespace

class MatchCondition::ExactPartFinder final : public Finder {
 public:
  ExactPartFinder(uint32_t how, uint32_t where, uint32_t mode, const usstring& what)
      : how_(how), where_(where), mode_(mode), what_(what) {}

 private:
  bool Test(const CPart& part) override {
    const usstring* text = WideTextOf(part, where_, mode_);
    return text != nullptr && Contains(*text, what_, how_);
  }
  uint32_t how_, where_, mode_;
  const usstring& what_;
};

class MatchCondition::ExactPartHeaderFinder final : public Finder {
 public:
  ExactPartHeaderFinder(uint32_t how, uint32_t where, const sstring& name, const usstring& what)
      : how_(how), where_(where), name_(name), what_(what) {}

 private:
  bool Test(const CPart& part) override {
    return AnyPartHeader(part, where_, name_, [this](const CHeader& header) {
      return Contains(header.value, what_, how_);
    });
  }
  uint32_t how_, where_;
  const sstring& name_;
  const usstring& what_;
};

class MatchCondition::ExactURLFinder final : public Finder {
 public:
  ExactURLFinder(uint32_t how, const usstring& what) : how_(how), what_(what) {}

 private:
  bool Test(const CPart& part) override {
    return AnyUrl(part, [this](const usstring& url) { return Contains(url, what_, how_); });
  }
  uint32_t how_;
  const usstring& what_;
};

class MatchCondition::RegexPartFinder final : public Finder {
 public:
  RegexPartFinder(const RegexRun& run, uint32_t where, uint32_t mode)
      : run_(run), where_(where), mode_(mode) {}

 private:
  bool Test(const CPart& part) override {
    const sstring* text = Utf8TextOf(part, where_, mode_);
    return text != nullptr && Matches(run_, *text);
  }
  const RegexRun& run_;
  uint32_t where_, mode_;
};

class MatchCondition::RegexPartHeaderFinder final : public Finder {
 public:
  RegexPartHeaderFinder(const RegexRun& run, uint32_t where, const sstring& name)
      : run_(run), where_(where), name_(name) {}

 private:
  bool Test(const CPart& part) override {
    return AnyPartHeader(part, where_, name_, [this](const CHeader& header) {
      return Matches(run_, header.value);
    });
  }
  const RegexRun& run_;
  uint32_t where_;
  const sstring& name_;
};

class MatchCondition::RegexURLFinder final : public Finder {
 public:
  explicit RegexURLFinder(const RegexRun& run) : run_(run) {}

 private:
  bool Test(const CPart& part) override {
    return AnyUrl(part, [this](const usstring& url) { return Matches(run_, url); });
  }
  const RegexRun& run_;
};

// Looks for the word in every text of a part that the place names: the part's text, its
// URLs or its headers. Each text is studied once per mail, by the context.
class MatchCondition::ObfuscatedFinder final : public Finder {
 public:
  ObfuscatedFinder(const MatchCondition& match, const CWordFinder& finder,
                   const CWordFinder::Wanted& wanted, CEmlContextInterface* context,
                   uint32_t budget)
      : match_(match), finder_(finder), wanted_(wanted), context_(context), budget_(budget) {}

  bool Holds(const usstring& text) const {
    return finder_.FindWord(context_->StudiedTextOf(text, finder_), wanted_, budget_);
  }

 private:
  bool Test(const CPart& part) override {
    auto holds = [this](const usstring& text) { return Holds(text); };
    switch (match_.where_) {
      case WHERE_URLS:
        return AnyUrl(part, holds);
      case WHERE_PART_HEADERS_ALL:
      case WHERE_PART_HEADER_NAMED:
        return AnyPartHeader(part, match_.where_, match_.header_name_,
                             [this](const CHeader& header) { return Holds(header.value); });
      default: {
        const usstring* text = WideTextOf(part, match_.where_, match_.part_mode_);
        return text != nullptr && Holds(*text);
      }
    }
  }
  const MatchCondition& match_;
  const CWordFinder& finder_;
  const CWordFinder::Wanted& wanted_;
  CEmlContextInterface* context_;
  uint32_t budget_;
};

const CWordFinder::Wanted& MatchCondition::PreparedWord(const CWordFinder& finder,
                                                        CWordFinder::Wanted* local) const {
  const std::u16string_view word = wide_what_.View();
  if (word_cache_ == nullptr) {
    finder.Prepare(word, local);
    return *local;
  }
  const CWordFinder::Wanted* current = word_cache_->current.load(std::memory_order_acquire);
  if (current != nullptr && current->generation == finder.Generation()) return *current;
  std::lock_guard<std::mutex> lock(word_cache_->mutex);
  current = nullptr;
  for (const std::unique_ptr<CWordFinder::Wanted>& kept : word_cache_->kept) {
    if (kept->generation == finder.Generation()) current = kept.get();
  }
  if (current == nullptr) {
    auto prepared = std::make_unique<CWordFinder::Wanted>();
    finder.Prepare(word, prepared.get());
    word_cache_->kept.push_back(std::move(prepared));
    current = word_cache_->kept.back().get();
  }
  word_cache_->current.store(current, std::memory_order_release);
  return *current;
}

double MatchCondition::ObfuscatedMatch(CEnginesInterface* engines,
                                       CEmlContextInterface* context) const {
  static const char kWhere[] = "MatchCondition::ObfuscatedMatch";
  const CWordFinder* word_finder = engines->GetWordFinder();
  if (word_finder == nullptr || wide_what_.IsEmpty()) return 0.0;
  const Mail mail = MailOf(context, kWhere);
  const uint32_t budget =
      CWordFinder::BudgetFor(context->GetWordFinderThreshold(), wide_what_.Length());
  CWordFinder::Wanted local;
  ObfuscatedFinder finder(*this, *word_finder, PreparedWord(*word_finder, &local), context,
                          budget);
  switch (where_) {
    case WHERE_HEADERS_ALL:
      return AnyHeader(*mail.headers,
                       [&finder](const CHeader& header) {
                         return finder.Holds(SearchedText(header));
                       })
                 ? 1.0
                 : 0.0;
    case WHERE_HEADER_NAMED: {
      const CHeader* header = NamedHeader(*mail.headers, header_name_);
      return header != nullptr && finder.Holds(SearchedText(*header)) ? 1.0 : 0.0;
    }
    case WHERE_PARTS_ALL:
    case WHERE_PARTS_TEXT:
    case WHERE_PARTS_TEXT_PLAIN:
    case WHERE_PARTS_TEXT_HTML:
    case WHERE_URLS:
    case WHERE_PART_HEADERS_ALL:
    case WHERE_PART_HEADER_NAMED:
      return FoundInParts(std::move(finder), mail.parts, kWhere);
    default:
      return 0.0;
  }
}

double MatchCondition::Evaluate(CEnginesInterface* engines, CEmlContextInterface* context) {
  static const char kWhere[] = "MatchCondition::Evaluate";
  if (engines == nullptr) throw ASException("%s - invalid engines handle", kWhere);
  if (context == nullptr) throw ASException("%s - invalid context handle", kWhere);
  switch (how_) {
    case HOW_EXACT:
    case HOW_EXACT_INSENSITIVE:
      return ExactMatch(context);
    case HOW_REGEX:
    case HOW_REGEX_INSENSITIVE:
      return RegexMatch(context);
    default:  // HOW_OBFUSCATED
      return ObfuscatedMatch(engines, context);
  }
}

double MatchCondition::ExactMatch(CEmlContextInterface* context) const {
  static const char kWhere[] = "MatchCondition::ExactMatch";
  const Mail mail = MailOf(context, kWhere);
  switch (where_) {
    case WHERE_HEADERS_ALL:
      return AnyHeader(*mail.headers, [this](const CHeader& header) {
               return Contains(SearchedText(header), wide_what_, how_);
             })
                 ? 1.0
                 : 0.0;
    case WHERE_HEADER_NAMED: {
      const CHeader* header = NamedHeader(*mail.headers, header_name_);
      if (header == nullptr) return 0.0;
      // The subject as written, byte for byte.
      if (IsSubject(*header)) return Contains(AsSubject(*header).text, what_, how_) ? 1.0 : 0.0;
      return Contains(header->value, wide_what_, how_) ? 1.0 : 0.0;
    }
    case WHERE_PARTS_ALL:
    case WHERE_PARTS_TEXT:
    case WHERE_PARTS_TEXT_PLAIN:
    case WHERE_PARTS_TEXT_HTML: {
      return FoundInParts(ExactPartFinder(how_, where_, part_mode_, wide_what_), mail.parts,
                          kWhere);
    }
    case WHERE_URLS: {
      return FoundInParts(ExactURLFinder(how_, wide_what_), mail.parts, kWhere);
    }
    case WHERE_PART_HEADERS_ALL:
    case WHERE_PART_HEADER_NAMED: {
      return FoundInParts(ExactPartHeaderFinder(how_, where_, header_name_, wide_what_),
                          mail.parts, kWhere);
    }
    default:
      return 0.0;
  }
}

double MatchCondition::RegexMatch(CEmlContextInterface* context) const {
  static const char kWhere[] = "MatchCondition::RegexMatch";
  CARegEx* regex = regex_.get();
  if (regex == nullptr) throw ASException("%s - invalid regex - maybe init failed", kWhere);
  const Mail mail = MailOf(context, kWhere);
  const RegexRun run{regex, prefilter_.get(), prefilter_ != nullptr ? prefilter_id_ : -1, context,
                     prefilter_ != nullptr && FillsTables()};
  switch (where_) {
    case WHERE_HEADERS_ALL:
      return AnyHeader(*mail.headers, [&run](const CHeader& header) {
               return Matches(run, SearchedText(header));
             })
                 ? 1.0
                 : 0.0;
    case WHERE_HEADER_NAMED: {
      // The subject as decoded here too: a regex reads text, never encoded words.
      const CHeader* header = NamedHeader(*mail.headers, header_name_);
      if (header == nullptr) return 0.0;
      return Matches(run, SearchedText(*header)) ? 1.0 : 0.0;
    }
    case WHERE_PARTS_ALL:
    case WHERE_PARTS_TEXT:
    case WHERE_PARTS_TEXT_PLAIN:
    case WHERE_PARTS_TEXT_HTML: {
      return FoundInParts(RegexPartFinder(run, where_, part_mode_), mail.parts, kWhere);
    }
    case WHERE_URLS: {
      return FoundInParts(RegexURLFinder(run), mail.parts, kWhere);
    }
    case WHERE_PART_HEADERS_ALL:
    case WHERE_PART_HEADER_NAMED: {
      return FoundInParts(RegexPartHeaderFinder(run, where_, header_name_), mail.parts, kWhere);
    }
    default:
      return 0.0;
  }
}

// Answers whether a part satisfies exists(place).
class ExistsCondition::PartFinder final : public Finder {
 public:
  explicit PartFinder(uint32_t where) : where_(where) {}

 private:
  bool Test(const CPart& part) override {
    if (part.body == nullptr) return false;
    switch (where_) {
      case WHERE_PARTS_ALL:
        return true;
      case WHERE_PARTS_TEXT:
        return part.GetKind() == kBodyTextPlain || part.GetKind() == kBodyTextHtml;
      case WHERE_PARTS_TEXT_PLAIN:
        return part.GetKind() == kBodyTextPlain;
      default:  // WHERE_PARTS_TEXT_HTML
        return part.GetKind() == kBodyTextHtml;
    }
  }
  uint32_t where_;
};

double ExistsCondition::Evaluate(CEnginesInterface* engines, CEmlContextInterface* context) {
  static const char kWhere[] = "ExistsCondition::Evaluate";
  const Mail mail = MailOf(context, kWhere);
  switch (GetWhere()) {
    case WHERE_HEADER_NAMED:
      return mail.headers->Lookup(GetHeaderName()) != nullptr ? 1.0 : 0.0;
    case WHERE_PARTS_ALL:
    case WHERE_PARTS_TEXT:
    case WHERE_PARTS_TEXT_PLAIN:
    case WHERE_PARTS_TEXT_HTML: {
      return FoundInParts(PartFinder(GetWhere()), mail.parts, kWhere);
    }
    default:
      throw ASException("%s - invalid id to ExistsCondition ( %d )", kWhere,
                        static_cast<int>(GetWhere()));
  }
}

// Answers whether a part makes is_empty(place) true: it has no body, or a body of the
// place's kind whose UTF-8 text was never set.
class IsEmptyCondition::PartFinder final : public Finder {
 public:
  explicit PartFinder(uint32_t where) : where_(where) {}

 private:
  bool Test(const CPart& part) override {
    if (part.body == nullptr) return true;
    if (part.GetKind() == kBodyTextPlain && SearchesPlain(where_)) {
      return !static_cast<const CPartBodyTextPlain*>(part.body)->utf8Text.IsSet();
    }
    if (part.GetKind() == kBodyTextHtml && SearchesHtml(where_)) {
      return !static_cast<const CPartBodyTextHtml*>(part.body)->utf8VisibleText.IsSet();
    }
    return false;
  }
  uint32_t where_;
};

double IsEmptyCondition::Evaluate(CEnginesInterface* engines, CEmlContextInterface* context) {
  static const char kWhere[] = "IsEmptyCondition::Evaluate";
  const Mail mail = MailOf(context, kWhere);
  switch (GetWhere()) {
    case WHERE_HEADER_NAMED: {
      const CHeader* header = NamedHeader(*mail.headers, GetHeaderName());
      if (header == nullptr) return 0.0;
      return SearchedText(*header).Length() == 0 ? 1.0 : 0.0;
    }
    case WHERE_PARTS_ALL:
    case WHERE_PARTS_TEXT:
    case WHERE_PARTS_TEXT_PLAIN:
    case WHERE_PARTS_TEXT_HTML: {
      return FoundInParts(PartFinder(GetWhere()), mail.parts, kWhere);
    }
    default:
      throw ASException("%s - invalid id to IsEmptyCondition ( %d )", kWhere,
                        static_cast<int>(GetWhere()));
  }
}

// The condition's value is what the named heuristic answers; the engine checks the
// context and throws for a name it does not know.
double ExecCondition::Evaluate(CEnginesInterface* engines, CEmlContextInterface* context) {
  static const char kWhere[] = "ExecCondition::Evaluate";
  if (engines == nullptr) throw ASException("%s - invalid engines handle", kWhere);
  if (engines->GetCodeHeurEngine() == nullptr) {
    throw ASException("%s - invalid handle to code heur engine", kWhere);
  }
  return engines->GetCodeHeurEngine()->Execute(function_name_, engines, context);
}

// The classifier's whole answer is compared: the condition holds when the centres that
// take the mail in all carry the one category asked for, and exactly one of them does.
double KNNCategCondition::Evaluate(CEnginesInterface* engines, CEmlContextInterface* context) {
  static const char kWhere[] = "KNNCategCondition::Evaluate";
  if (engines == nullptr) throw ASException("%s - invalid engines handle", kWhere);
  if (context == nullptr) throw ASException("%s - invalid context handle", kWhere);
  if (engines->GetKNNEngine() == nullptr) {
    throw ASException("%s - invalid handle to KNN engine", kWhere);
  }
  if (mode_ == KNN_ANY) return 0.0;
  if (mode_ != KNN_GIVEN) throw ASException("%s - invalid category type specificator!", kWhere);
  return engines->GetKNNEngine()->Classify(engines, context) == category_ ? 1.0 : 0.0;
}

// A missing score variable fails the rule: GetIntValue throws.
double ScoreGreaterCondition::Evaluate(CEnginesInterface* engines, CEmlContextInterface* context) {
  if (context == nullptr) {
    throw ASException("%s - invalid context handle", "ScoreGreaterCondition::Evaluate");
  }
  const int32_t value = context->GetIntValue(score_variable_);
  // A limit held in a variable is never compared: such a condition does not hit.
  if (threshold_source_ != P_COMPARE_CONSTANT) return 0.0;
  return value >= threshold_ ? 1.0 : 0.0;
}
