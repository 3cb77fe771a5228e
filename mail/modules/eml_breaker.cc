#include "mail/modules/eml_breaker.h"

#include <cstdlib>
#include <memory>
#include <new>
#include <string>

#include "emlbreaker/exceptions.h"
#include "emlbreaker/locker.h"
#include "emlbreaker/mail_item.h"
#include "emlbreaker/packer.h"
#include "emlbreaker/parts_tree.h"
#include "emlbreaker/trace.h"
#include "engines/stat_classifier.h"
#include "mail/components/break_parts.h"
#include "mail/components/header_parser.h"
#include "mail/components/headers.h"
#include "rules/eml_context.h"
#include "rules/execution_unit.h"

namespace nsEmlModules {

using nsEmlComponents::CHeaderMap;
using nsEmlComponents::CHeaderParser;
using nsEmlComponents::DeleteHeaders;

CEmlBreaker::CEmlBreaker(const ascommon::usstring& module_name)
    : CABreaker(module_name, 0),
      headerParser(new nsEmlComponents::CHeaderParser()),
      bodyAnalyser(new CBodyAnalyser(3)) {
  if (name.GetError() != 0 || familyName.GetError() != 0) {
    throw CBreakerException(-10, "Memory allocation problems");
  }
}

CEmlBreaker::~CEmlBreaker() = default;

namespace {

// Word-finder threshold per aggressivity level. Level 0 gives the same value
// as level 2, not 0.15: hosts configured for level 0 have always got it.
constexpr float kThresholdByLevel[10] = {0.17f, 0.16f, 0.17f, 0.18f, 0.19f,
                                         0.20f, 0.21f, 0.22f, 0.23f, 0.24f};
constexpr float kDefaultThreshold = 0.1f;

// A text setting as 8-bit text; absent and empty both give "".
std::string TextSetting(CASettings* settings, uint32_t profile, const char16_t* path) {
  const char16_t* value = settings != nullptr ? settings->GetSetting(profile, path) : nullptr;
  if (value == nullptr) return std::string();
  ascommon::sstring narrow{ascommon::usstring(value)};
  return std::string(narrow.c_str(), narrow.Length());
}

// A text setting as wide text; absent gives an empty (set) string, so that it
// compares equal to another absent value.
ascommon::usstring WideSetting(CASettings* settings, uint32_t profile, const char16_t* path) {
  const char16_t* value = settings != nullptr ? settings->GetSetting(profile, path) : nullptr;
  return ascommon::usstring(value != nullptr ? value : u"");
}

}  // namespace

void CEmlBreaker::ApplySettings(uint32_t profile) {
  static constexpr const char kFunction[] = "nsEmlModules::CEmlBreaker::ApplySettings";
  auto* block = profile < kMaxProfiles ? static_cast<SEmlBreakerProfileData*>(profileData[profile])
                                       : nullptr;
  if (block == nullptr) throw ASBadPtrException("%s - invalid data struct pointer received", kFunction);
  float threshold = kDefaultThreshold;
  bool from_level = false;
  std::string level_text = TextSetting(settings, profile, u"/eml/global/AggressivityLevel");
  if (!level_text.empty()) {
    long level = std::strtol(level_text.c_str(), nullptr, 10);  // leading integer, 0 if none
    if (level >= 0 && level <= 9) {
      threshold = kThresholdByLevel[level];
      from_level = true;
    }
  }
  if (!from_level) {
    std::string threshold_text = TextSetting(settings, profile, u"/eml/breaker/WordFinderThreshold");
    if (!threshold_text.empty()) threshold = std::strtof(threshold_text.c_str(), nullptr);
  }
  block->applied = 1;
  block->wordFinderThreshold = threshold;
}

void* CEmlBreaker::CreateProfileData() { return new (std::nothrow) SEmlBreakerProfileData(); }

void CEmlBreaker::DestroyProfileData(void* data) {
  delete static_cast<SEmlBreakerProfileData*>(data);
}

void* CEmlBreaker::CreateSharedData() { return new (std::nothrow) SEmlBreakerSharedData(); }

void CEmlBreaker::DestroySharedData(void* data) {
  auto* shared = static_cast<SEmlBreakerSharedData*>(data);
  if (shared == nullptr) return;
  if (converter_ == &shared->converter) AttachConverter(nullptr);
  delete shared;
}

void CEmlBreaker::AttachConverter(const ascommon::CCharsetConverter* converter) {
  converter_ = converter;
  headerParser->SetConverter(converter);
  bodyAnalyser->SetConverter(converter);
}

void CEmlBreaker::ApplySharedSettings(uint32_t profile) {
  static constexpr const char kFunction[] = "nsEmlModules::CEmlBreaker::ApplySharedSettings";
  ascommon::auto_locker hold(&sharedLock, ascommon::auto_locker::kExclusive, true);
  auto* shared = static_cast<SEmlBreakerSharedData*>(sharedData);
  if (shared == nullptr) throw ASBadPtrException("%s - invalid data struct pointer received", kFunction);

  ascommon::usstring libs_path = WideSetting(settings, profile, u"/eml/global/SharedLibsPath");
  ascommon::usstring data_path = WideSetting(settings, profile, u"/eml/global/SharedDataPath");
  ascommon::usstring slf_path = WideSetting(settings, profile, u"/eml/breaker/SlfPath");
  int32_t generate_map =
      settings != nullptr ? settings->GetIntSetting(profile, u"GENERATE_NNMAP_FILE", 0) : 0;

  if (libs_path != shared->libsPathApplied) {
    try {
      shared->converter.Init(libs_path);
      if (shared->libsPathApplied.Assign(libs_path.c_str()) != 0)
        throw ASMemException("%s - could not assign value to usstring", kFunction);
      AttachConverter(&shared->converter);
    } catch (const std::exception&) {
      if (profile < kMaxProfiles) profileValid[profile] = 0;
      throw ASException("%s - conversion object could not be initialized.", kFunction);
    }
  }

  if (shared->engines == nullptr) {
    shared->engines.reset(new (std::nothrow) CEnginesInterface);
    if (shared->engines == nullptr) throw ASException("%s - memory problems", kFunction);
  }
  SetUpEngines(shared, libs_path, data_path, slf_path, generate_map == 1);
  SetUpUrlDatabase(shared, WideSetting(settings, profile, u"/eml/breaker/UrlDatabase"),
                   WideSetting(settings, profile, u"/eml/breaker/UrlDatabaseUpdate"));
  SetUpLearning(shared, TextSetting(settings, profile, u"/emlscan/learning/Database"),
                TextSetting(settings, profile, u"/emlscan/learning/MinSpam"),
                TextSetting(settings, profile, u"/emlscan/learning/MinHam"));
}

namespace {

constexpr const char kApplyShared[] = "nsEmlModules::CEmlBreaker::ApplySharedSettings";

// Runs one engine step; what it throws is traced with `message` (and `more`,
// when given) and goes no further.
template <class Step>
void Guarded(const char* message, const char* more, Step step) {
  try {
    step();
  } catch (...) {
    GetDebugTrace()->Trace(message, kApplyShared);
    if (more != nullptr) GetDebugTrace()->Trace(more, kApplyShared);
  }
}

std::string Narrow(const ascommon::usstring& path) {
  ascommon::sstring narrow(path);
  return std::string(narrow.c_str(), narrow.Length());
}

// A data file of the folder `directory`.
std::string DataFile(const ascommon::usstring& directory, const char* name) {
  try {
    std::string file = Narrow(directory);
    if (!file.empty() && file.back() != '/' && file.back() != '\\') file += '/';
    return file + name;
  } catch (const std::bad_alloc&) {
    throw ASException("%s - problems concatenating strings", kApplyShared);
  }
}

// Remembers the path an engine was set up with.
void StoreApplied(ascommon::usstring* applied, const ascommon::usstring& path) {
  if (applied->Assign(path.c_str()) != 0) {
    throw ASException("%s - problems assigning value to string", kApplyShared);
  }
}

}  // namespace

void CEmlBreaker::SetUpEngines(SEmlBreakerSharedData* shared, const ascommon::usstring& libs_path,
                               const ascommon::usstring& data_path,
                               const ascommon::usstring& slf_path, bool generate_map) {
  CEnginesInterface* engines = shared->engines.get();
  if (data_path != shared->wordFinderPathApplied) {
    Guarded("%s - the Word Finder failed to initialize properly", nullptr, [&] {
      engines->SetupWordFinder(DataFile(data_path, "aswfconf.dat").c_str());
      StoreApplied(&shared->wordFinderPathApplied, data_path);
    });
  }
  Guarded("%s - the Code Heuristics Engine failed to initialize properly", nullptr,
          [&] { engines->SetupCodeHeurEngine(); });
  if (libs_path != shared->regexPathApplied) {
    Guarded("%s - could not obtain a handle to the Regular Expressions library", nullptr, [&] {
      engines->SetupRxLibHandle(Narrow(libs_path).c_str());
      StoreApplied(&shared->regexPathApplied, libs_path);
    });
  }
  if (data_path != shared->knnPathApplied) {
    Guarded("%s - the KNN graphical patterns engine failed to initialize properly", nullptr, [&] {
      engines->SetupKNNEngine(DataFile(data_path, "as2graph.dat").c_str());
      StoreApplied(&shared->knnPathApplied, data_path);
    });
  }
  if (slf_path != shared->slfPathApplied) {
    Guarded("%s - the ASSL engine failed to initialize properly",
            "%s - an important part of the functionality will be disabled", [&] {
              engines->SetupASSLEngine(Narrow(slf_path).c_str(), generate_map);
              StoreApplied(&shared->slfPathApplied, slf_path);
            });
  }
}

void CEmlBreaker::SetUpUrlDatabase(SEmlBreakerSharedData* shared, const ascommon::usstring& base,
                                   const ascommon::usstring& update) {
  if (base == shared->urlDatabaseApplied && update == shared->urlDatabaseUpdateApplied) return;
  Guarded("%s - the URL database could not be loaded", nullptr, [&] {
    try {
      shared->engines->SetupUrlDatabase(Narrow(base).c_str(), Narrow(update).c_str());
    } catch (const ASException& e) {
      GetDebugTrace()->Trace("%s", e.what());  // which file, and the load's code
      throw;
    }
    StoreApplied(&shared->urlDatabaseApplied, base);
    StoreApplied(&shared->urlDatabaseUpdateApplied, update);
  });
}

// A store that failed to open is tried again at the next apply (a reload), so a store
// created since is then found.
void CEmlBreaker::SetUpLearning(SEmlBreakerSharedData* shared, const std::string& name,
                                const std::string& min_spam, const std::string& min_ham) {
  learning::ClassifierOptions options;
  if (!min_spam.empty()) options.minSpamMails = std::strtoull(min_spam.c_str(), nullptr, 10);
  if (!min_ham.empty()) options.minHamMails = std::strtoull(min_ham.c_str(), nullptr, 10);
  Guarded("%s - the token store could not be opened; the statistical classifier is off",
          nullptr, [&] {
            try {
              shared->engines->SetupLearning(name.c_str(), options);
            } catch (const ASException& e) {
              GetDebugTrace()->Trace("%s", e.what());  // which store, and why
              throw;
            }
          });
}

int32_t CEmlBreaker::Break(uint32_t profile, MailItem* item) {
  static constexpr const char kFunction[] = "nsEmlModules::CEmlBreaker::Break";
  ascommon::auto_locker hold(&sharedLock, ascommon::auto_locker::kReadOnly, true);
  if (sharedData == nullptr) throw ASException("%s - invalid shared data structure", kFunction);
  CBlackBoxFacilitator::FieldCounts single_fields;
  CHeaderParser::NameTally tally;
  tally.names = CBlackBoxFacilitator::kSingleFieldNames;
  tally.count = CBlackBoxFacilitator::kSingleFields;
  tally.counts = single_fields.counts;
  BreakHeadersTallied(item, &tally);
  single_fields.counted = single_fields.known = tally.complete;
  BreakParts(profile, item);
  BreakTextParts(profile, item);
  BreakHtmlParts(profile, item);
  // A profile whose settings were never applied matches with the default threshold.
  const auto* profile_block = profile < kMaxProfiles
                                  ? static_cast<SEmlBreakerProfileData*>(profileData[profile])
                                  : nullptr;
  PublishExecutionUnit(item, static_cast<SEmlBreakerSharedData*>(sharedData),
                       profile_block != nullptr ? profile_block->wordFinderThreshold
                                                : kDefaultThreshold,
                       tally.complete ? &single_fields : nullptr);
  return 0;
}

void CEmlBreaker::PublishExecutionUnit(MailItem* item, SEmlBreakerSharedData* shared,
                                       float word_finder_threshold,
                                       const CBlackBoxFacilitator::FieldCounts* single_fields) {
  static constexpr const char kFunction[] = "nsEmlModules::CEmlBreaker::Break";
  std::unique_ptr<CEmlContextInterface> context;
  try {
    context.reset(new CEmlContextInterface);
  } catch (const std::bad_alloc&) {
    throw ASException("%s - memory problems", kFunction);
  }
  context->SetStructs(item);
  if (single_fields != nullptr && context->GetFacilitator() != nullptr) {
    context->GetFacilitator()->GetSingleFieldCounts() = *single_fields;
  }
  context->SetWordFinderThreshold(word_finder_threshold);
  CEnginesInterface* engines = shared->engines.get();
  if (engines != nullptr && engines->GetASSLEngine() != nullptr) {
    context->SetRuleStates(engines->GetASSLEngine()->GetStateTemplates());
  }
  std::unique_ptr<CExecutionUnit> unit(new (std::nothrow) CExecutionUnit(context.get(), engines));
  if (unit == nullptr) throw ASException("%s - memory problems", kFunction);
  WithdrawExecutionUnit(item);
  item->box.Remove(kExecutionUnitId);
  // The box holds the unit as the filters see it.
  if (item->box.SetReference(static_cast<CAExecutionUnit*>(unit.get()), kExecutionUnitId) != 0) {
    throw ASException("%s - could not add execution unit to bbint", kFunction);
  }
  context.release();  // freed with the unit
  unit.release();
}

void CEmlBreaker::WithdrawExecutionUnit(MailItem* item) {
  void* reference = item->box.GetReference(kExecutionUnitId);
  if (reference == nullptr) return;
  // Only Break stores under this id, and it stores a CExecutionUnit.
  auto* unit = static_cast<CExecutionUnit*>(static_cast<CAExecutionUnit*>(reference));
  delete unit->GetContext();
  delete unit;
  item->box.Remove(kExecutionUnitId);
}

// The unit goes first, and on every way out: it points into the headers and
// parts, and a box without them must not keep it.
void CEmlBreaker::ReleaseBrokenMail(uint32_t, MailItem* item) {
  if (item == nullptr) return;
  WithdrawExecutionUnit(item);
  ascommon::CBlackBoxObject* object = item->box.GetObject(kMailHeadersId);
  if (object == nullptr) return;
  auto* headers = dynamic_cast<CHeaderMap*>(object);
  if (headers == nullptr) {
    GetDebugTrace()->Trace("Wrong bb object type where headers should be ");
    return;
  }
  DeleteHeaders(headers);
  item->box.Remove(kMailHeadersId);
  item->box.Remove(kPartsTreeId);
}

namespace {

// Removes from the mail every part the filters marked removed.
class CPartsTreeModifier final : public nsEmlComponents::CAPartsTreeListenerRW {
 public:
  void Visit(nsEmlComponents::CPart* part, nsEmlComponents::CPartsTree::CNode*) override {
    if (part != nullptr && part->removed && part->source != nullptr) part->source->Remove(part);
  }
};

}  // namespace

void CEmlBreaker::CommitChanges(uint32_t, MailItem* item) {
  CAEmlStream* stream = StreamOf(item);
  ascommon::CBlackBoxObject* object = item->box.GetObject(kMailHeadersId);
  if (object == nullptr) return;
  auto* headers = dynamic_cast<CHeaderMap*>(object);
  if (headers == nullptr)
    throw CBreakerException(-301, "Another object with the same id already exists strIn BBInt");
  auto* top = static_cast<CAMimePart*>(stream->GetHandle());
  if (top == nullptr) throw CBreakerException(-11, "Invalid packer");
  if (headers->GetCount() > 0) {
    CHeaderMap::Position position = headers->GetStartPosition();
    for (uint32_t i = 0; i < headers->GetCount(); ++i, position.Next()) {
      auto* header = dynamic_cast<nsEmlComponents::CModifiableHeader*>(position.Value());
      if (header != nullptr && header->modified && header->GetText() != nullptr)
        top->SetHeader(position.Key().c_str(), header->GetText(), kSetHeaderReplace);
    }
  }
  ascommon::CBlackBoxObject* tree_object = item->box.GetObject(kPartsTreeId);
  if (tree_object == nullptr) return;
  auto* tree = dynamic_cast<nsEmlComponents::CPartsTree*>(tree_object);
  if (tree == nullptr)
    throw CBreakerException(-301, "Another object with the same id already exists strIn BBInt");
  CPartsTreeModifier modifier;
  tree->WalkForUpdate(&modifier, tree->GetMaxDepth());
}

int32_t CEmlBreaker::Rebreak(uint32_t profile, MailItem* item) {
  ReleaseBrokenMail(profile, item);
  return Break(profile, item);
}

CAEmlStream* CEmlBreaker::StreamOf(MailItem* item) {
  if (item == nullptr || item->stream == nullptr)
    throw CBreakerException(-11, "An invalid pointer was passed");
  auto* stream = dynamic_cast<CAEmlStream*>(item->stream);
  if (stream == nullptr)
    throw CBreakerException(-20, "The stream strIn the item is not an instance of CEmlStream");
  return stream;
}

int32_t CEmlBreaker::BreakHeaders(uint32_t, MailItem* item) {
  return BreakHeadersTallied(item, nullptr);
}

int32_t CEmlBreaker::BreakHeadersTallied(MailItem* item, CHeaderParser::NameTally* tally) {
  CAEmlStream* stream = StreamOf(item);
  if (ascommon::CBlackBoxObject* existing = item->box.GetObject(kMailHeadersId)) {
    if (dynamic_cast<CHeaderMap*>(existing) == nullptr)
      throw CBreakerException(-301, "Another object with the same id already exists strIn BBInt");
    return 0;
  }
  auto* top = static_cast<CAMimePart*>(stream->GetHandle());
  if (top == nullptr) throw CBreakerException(-11, "Invalid stream");
  std::unique_ptr<CHeaderMap> headers;
  try {
    headers.reset(new CHeaderMap(64, nullptr));
  } catch (const std::bad_alloc&) {
    throw CBreakerException(-10, "Could not create Headers Map");
  }
  // From here on a failure frees the headers parsed so far with their map.
  struct FreeOnFailure {
    std::unique_ptr<CHeaderMap>& map;
    ~FreeOnFailure() {
      if (map) DeleteHeaders(map.get());
    }
  } free_on_failure{headers};
  int32_t code = headerParser->ParseHeaders(top, headers.get(), tally);
  if (code != 0) throw CBreakerException(code, "Problems breaking the headers");
  int32_t stored = item->box.SetObject(headers.get(), kMailHeadersId, false);
  if (stored == -502)
    throw CBreakerException(-12, "Another object with the same id was added to BBInt");
  if (stored != 0)
    throw CBreakerException(-10, "Allocation error while inserting the headers in BBInt");
  headers.release();  // the box owns the map now
  return 0;
}

int32_t CEmlBreaker::BreakParts(uint32_t profile, MailItem* item) {
  BreakHeaders(profile, item);
  auto* top = static_cast<CAMimePart*>(StreamOf(item)->GetHandle());
  nsEmlComponents::BreakParts(&item->box, top, *headerParser);
  return 0;
}

int32_t CEmlBreaker::BreakTextParts(uint32_t profile, MailItem* item) {
  return BreakBodies(profile, item, nsEmlComponents::kBodyTextPlain);
}

int32_t CEmlBreaker::BreakHtmlParts(uint32_t profile, MailItem* item) {
  return BreakBodies(profile, item, nsEmlComponents::kBodyTextHtml);
}

int32_t CEmlBreaker::BreakBodies(uint32_t profile, MailItem* item, int32_t body_kind) {
  BreakParts(profile, item);
  auto* tree = dynamic_cast<nsEmlComponents::CPartsTree*>(item->box.GetObject(kPartsTreeId));
  if (tree == nullptr) {
    throw CBreakerException(
        -12, "Unknown internal error. The object that holds the parts cannot be found in BBInt");
  }
  if (tree->IsDone(body_kind)) return 0;
  auto* headers = dynamic_cast<CHeaderMap*>(item->box.GetObject(kMailHeadersId));
  if (headers == nullptr) {
    throw CBreakerException(-12,
                            "Unknown internal error. The object that holds the mail headers "
                            "can't be found in BBInt");
  }
  const bool text = body_kind == nsEmlComponents::kBodyTextPlain;
  const int32_t code = bodyAnalyser->AnalyseParts(
      tree, headers, text ? CBodyAnalyser::kText : CBodyAnalyser::kHtml);
  if (code != 0) {
    throw CBreakerException(code, text ? "Problems breaking the body of text parts"
                                       : "Problems breaking the body of html parts");
  }
  tree->SetDone(body_kind, true);
  return 0;
}

}  // namespace nsEmlModules
