#include "engines/code_heur.h"

#include <cstdint>
#include <new>
#include <vector>

#include "common/wide_scan.h"
#include "emlbreaker/exceptions.h"
#include "emlbreaker/trace.h"
#include "engines/blackbox_facilitator.h"
#include "engines/mail_tokens.h"
#include "engines/rule_publisher.h"
#include "engines/stat_classifier.h"

using ascommon::sstring;
using ascommon::usstring;

namespace {

constexpr char kNewsDomain2[] = "H_NEWS_DOMAIN2";
constexpr char kNewsFromDomain[] = "H_NEWS_FROM_DOMAIN";
constexpr char kNewsMailAddressDomain[] = "H_NEWS_MAIL_ADDRESS_DOMAIN";
constexpr char kNewsMultipleAddresses1[] = "H_NEWS_LIKE_MULTIPLE_ADDRESSES1";
constexpr char kNewsMultipleAddresses2[] = "H_NEWS_LIKE_MULTIPLE_ADDRESSES2";

constexpr char kStatClassify[] = "StatClassify";
// The bands of the classifier's spam probability, each published as its own rule so that
// the rule set decides what a band is worth (data/rules/learning.slf).
constexpr char kStatSpam99[] = "STAT_SPAM_99";
constexpr char kStatSpam90[] = "STAT_SPAM_90";
constexpr char kStatSpam60[] = "STAT_SPAM_60";
constexpr char kStatHam10[] = "STAT_HAM_10";
constexpr char kStatHam01[] = "STAT_HAM_01";

// A domain dominates the links when it holds a majority of them and there are enough of
// them to speak of a mailing; or, failing that, when it and the runner-up together hold
// a clear majority (a newsletter whose links alternate between its site and a tracker).
constexpr uint64_t kMajorityPercent = 51;
constexpr uint64_t kMinimumLinks = 16;
constexpr uint64_t kPairMajorityPercent = 61;
constexpr uint64_t kMinimumPairLinks = 20;

// An address is "@", then up to 39 more characters before its first dot: long enough for
// any host label, short enough that an "@" in running text does not reach a sentence's
// full stop.
constexpr size_t kAddressWindow = 40;
constexpr int kManyAddresses1 = 3;  // more than this many
constexpr int kManyAddresses2 = 5;

using DomainCounts = ascommon::CMap<usstring, uint64_t>;

void CheckHandles(const ARulePublisher* engines, const CEmlContextInterface* context,
                  const char* where) {
  if (engines == nullptr) throw ASException("%s - invalid engines handle", where);
  if (context == nullptr) throw ASException("%s - invalid context handle", where);
}

const CBlackBoxFacilitator& FacilitatorOf(ARulePublisher* engines,
                                          CEmlContextInterface* context, const char* where) {
  const CBlackBoxFacilitator* mail = engines->FacilitatorOf(context);
  if (mail == nullptr) {
    throw ASException("%s - invalid reference to blackbox facilitator", where);
  }
  return *mail;
}

void CountDomain(const CDomainTable& table, const nsEmlComponents::CUrl& url,
                 DomainCounts* counts, uint64_t* total) {
  try {
    usstring domain;
    if (ExtractDomain(table, url, &domain) != 0) return;
    uint64_t* count = counts->Lookup(domain);
    if (count != nullptr) {
      ++*count;
    } else if (counts->Insert(domain, 1) != 0) {
      return;  // no memory: the URL is not counted
    }
    ++*total;
  } catch (const std::exception&) {
    // a URL that cannot be handled is skipped
  }
}

}  // namespace

CCodeHeurEngine::CCodeHeurEngine() try : functions_(64, nullptr) {
  static const char* const kNewsNames[] = {kNewsDomain2, kNewsFromDomain,
                                           kNewsMailAddressDomain, kNewsMultipleAddresses1,
                                           kNewsMultipleAddresses2};
  for (const char* name : kNewsNames) {
    Heuristic news;
    news.member = &CCodeHeurEngine::NewsHeur;
    functions_.Insert(sstring(name), news);
  }
  Heuristic stat;
  stat.member = &CCodeHeurEngine::StatClassify;
  functions_.Insert(sstring(kStatClassify), stat);
  for (size_t i = 0; i < kMailHeuristicCount; ++i) {
    Heuristic heuristic;
    heuristic.function = kMailHeuristics[i].function;
    if (heuristic.function != nullptr) functions_.Insert(sstring(kMailHeuristics[i].name), heuristic);
  }
} catch (const std::bad_alloc&) {
  throw ASMemException("%s - could not instantiate map", "CCodeHeurEngine::CCodeHeurEngine");
}

CCodeHeurEngine::~CCodeHeurEngine() = default;

bool CCodeHeurEngine::HasHeuristic(const sstring& name) const {
  return functions_.Lookup(name) != nullptr;
}

double CCodeHeurEngine::Execute(const sstring& name, ARulePublisher* engines,
                                CEmlContextInterface* context) {
  static const char kWhere[] = "CCodeHeurEngine::Execute";
  CheckHandles(engines, context, kWhere);
  const Heuristic* heuristic = functions_.Lookup(name);
  if (heuristic == nullptr) {
    throw ASException("%s - A heuristic function is called from the script but has no definition!",
                      kWhere);
  }
  if (heuristic->member != nullptr) return (this->*(heuristic->member))(engines, context);
  return heuristic->function(FacilitatorOf(engines, context, kWhere), urlDb_);
}

void CCodeHeurEngine::MainDomain(usstring* domain, ARulePublisher* engines,
                                 CEmlContextInterface* context) {
  static const char kWhere[] = "CCodeHeurEngine::MainDomain";
  CheckHandles(engines, context, kWhere);
  const CBlackBoxFacilitator& mail = FacilitatorOf(engines, context, kWhere);
  domain->Assign(u"");

  // Most mails have no link at all: they need no table of counts (whose buckets cost
  // more than the rest of the work).
  bool any_link = mail.GetAnchors().GetSize() > 0;
  for (const nsEmlComponents::CPartBodyTextPlain* body : mail.GetPlainBodies()) {
    any_link = any_link || body->urls.GetSize() > 0;
  }
  if (!any_link) return;

  DomainCounts counts(256, nullptr);
  uint64_t total = 0;
  const CDomainTable& table = urlDb_.GetDomainTable();
  for (const nsEmlComponents::CPartBodyTextPlain* body : mail.GetPlainBodies()) {
    for (const nsEmlComponents::CUrl& url : body->urls) CountDomain(table, url, &counts, &total);
  }
  for (const nsEmlComponents::CHtmlAHref* anchor : mail.GetAnchors()) {
    CountDomain(table, anchor->url, &counts, &total);
  }
  if (total == 0) return;

  // The first domain met with the largest count wins a tie; the runner-up's count may
  // equal the winner's.
  uint64_t most = 0;
  uint64_t second = 0;
  const usstring* winner = nullptr;
  DomainCounts::Position position = counts.GetStartPosition();
  for (uint32_t i = 0; i < counts.GetCount(); ++i, position.Next()) {
    const uint64_t count = position.Value();
    if (count > most) {
      second = most;
      most = count;
      winner = &position.Key();
    } else if (count > second) {
      second = count;
    }
  }

  bool dominates = most * 100 / total >= kMajorityPercent && most >= kMinimumLinks;
  if (!dominates && (most + second) * 100 / total >= kPairMajorityPercent &&
      most + second >= kMinimumPairLinks) {
    dominates = true;
    engines->AutoExecRule(kNewsDomain2, 1.0, context);
  }
  if (!dominates || winner == nullptr) return;

  if (const auto* from = mail.GetFromAddresses(); from != nullptr) {
    for (const nsEmlComponents::FullAddress& entry : *from) {
      if (entry.address.Find(winner->c_str(), nullptr)) {
        engines->AutoExecRule(kNewsFromDomain, 1.0, context);
      }
    }
  }
  if (domain->Assign(winner->c_str(), winner->Length()) != 0) {
    throw ASMemException("%s - memory problems", kWhere);
  }
}

double CCodeHeurEngine::NewsHeur(ARulePublisher* engines, CEmlContextInterface* context) {
  static const char kWhere[] = "CCodeHeurEngine::NewsHeur";
  CheckHandles(engines, context, kWhere);
  const CBlackBoxFacilitator& mail = FacilitatorOf(engines, context, kWhere);

  usstring main_domain;
  MainDomain(&main_domain, engines, context);

  int addresses = 0;
  for (const usstring* plain_text : mail.GetPlainTexts()) {
    const usstring& text = *plain_text;
    const char16_t* units = text.c_str();
    const size_t length = text.Length();
    size_t at = 0;
    while (at < length) {
      at += ascommon::FindUnit(units + at, length - at, u'@');
      if (at >= length) break;
      // Look at the "@" and what follows it, up to the window, a blank or a NUL; a dot
      // there makes it an address. The next search starts after the last unit looked at.
      size_t next = at;
      const size_t window_end = at + kAddressWindow < length ? at + kAddressWindow : length;
      for (; next < window_end; ++next) {
        const char16_t c = units[next];
        if (c == u'\0' || c == u' ') break;
        if (c == u'.') {
          ++addresses;
          break;
        }
      }
      if (!main_domain.IsEmpty() && text.Find(main_domain.c_str(), nullptr, at)) {
        engines->AutoExecRule(kNewsMailAddressDomain, 1.0, context);
      }
      at = next < window_end ? next + 1 : window_end;
    }
  }

  if (addresses > kManyAddresses1) engines->AutoExecRule(kNewsMultipleAddresses1, 1.0, context);
  if (addresses > kManyAddresses2) engines->AutoExecRule(kNewsMultipleAddresses2, 1.0, context);
  return 1.0;
}

double CCodeHeurEngine::StatClassify(ARulePublisher* engines, CEmlContextInterface* context) {
  static const char kWhere[] = "CCodeHeurEngine::StatClassify";
  const learning::StatClassifier* classifier = GetClassifier();
  if (classifier == nullptr) return 0.0;
  CheckHandles(engines, context, kWhere);
  const CBlackBoxFacilitator& mail = FacilitatorOf(engines, context, kWhere);
  learning::Verdict verdict;
  try {
    std::vector<learning::TokenHash> tokens;
    learning::MailTokens(mail, urlDb_.GetDomainTable(), &tokens, nullptr,
                         learning::TokenOrder::kFirstMet);
    verdict = classifier->Classify(tokens, learning::StatClassifier::ClueOrder::kAny);
  } catch (const learning::TokenStoreError& e) {
    GetDebugTrace()->Trace("%s - %s", kWhere, e.what());
    return 0.0;
  } catch (const std::bad_alloc&) {
    throw ASMemException("%s - memory problems", kWhere);
  }
  if (!verdict.spoke) return 0.0;
  const double p = verdict.probability;
  GetDebugTrace()->Trace("%s - spam probability %.4f from %zu tokens", kWhere, p,
                         verdict.clues.size());
  const char* band = p >= 0.99   ? kStatSpam99
                     : p >= 0.90 ? kStatSpam90
                     : p >= 0.60 ? kStatSpam60
                     : p <= 0.01 ? kStatHam01
                     : p <= 0.10 ? kStatHam10
                                 : nullptr;
  if (band != nullptr) engines->AutoExecRule(band, 1.0, context);
  return 1.0;
}

int CCodeHeurEngine::LoadUrlDatabase(const char* base_file, const char* update_file,
                                     const char* temp_folder) {
  if (base_file == nullptr || update_file == nullptr || temp_folder == nullptr) return -50;
  const usstring base = usstring::FromUtf8(base_file);
  const usstring update = usstring::FromUtf8(update_file);
  const usstring temp = usstring::FromUtf8(temp_folder);
  if (!base.IsSet() || !update.IsSet() || !temp.IsSet()) return -2;
  return urlDb_.Update(base.c_str(), update.c_str(), temp.c_str());
}
