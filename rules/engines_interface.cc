#include "rules/engines_interface.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <memory>
#include <new>

#include "emlbreaker/exceptions.h"
#include "emlbreaker/trace.h"
#include "engines/code_heur.h"
#include "engines/knn_engine.h"
#include "engines/stat_classifier.h"
#include "engines/word_finder.h"
#include "rules/eml_context.h"
#include "rules/rule_runner.h"

using ascommon::sstring;

namespace {

constexpr char kRuleFileExtension[] = ".slf";
// The relevance-rule map goes to the process's current directory, with its temporary file.
constexpr char16_t kRelevanceMapFile[] = u"asnnmap.dat";
constexpr char16_t kRelevanceMapTempFolder[] = u".";

bool HasRuleFileExtension(const std::string& name) {
  const size_t length = sizeof(kRuleFileExtension) - 1;
  return name.size() > length && name.compare(name.size() - length, length, kRuleFileExtension) == 0;
}

}  // namespace

CEnginesInterface::CEnginesInterface() = default;

// The rules go first: their regex objects' code lives in the regex library.
CEnginesInterface::~CEnginesInterface() {
  DestroyASSLEngine();
  delete wordFinder;
  delete knnEngine;
  delete codeHeurEngine;
  retired_code_heur_engines_.clear();
  classifier_.reset();
  retired_classifiers_.clear();
  delete regexLibrary;
  retired_regex_libraries_.clear();
}

void CEnginesInterface::DestroyASSLEngine() {
  delete asslEngine;
  asslEngine = nullptr;
}

std::vector<std::string> CEnginesInterface::ListRuleFiles(const char* directory) {
  static const char kWhere[] = "CEnginesInterface::SetupASSLEngine";
  std::string folder = directory != nullptr ? directory : "";
  if (!folder.empty() && folder.back() != '/' && folder.back() != '\\') folder += '/';
  std::vector<std::string> files;
  try {
    DIR* listing = opendir(folder.empty() ? "." : folder.c_str());
    if (listing == nullptr) throw ASException("%s - problems building file list", kWhere);
    while (const dirent* entry = readdir(listing)) {
      const std::string name = entry->d_name;
      if (!HasRuleFileExtension(name)) continue;
      const std::string path = folder + name;
      struct stat status;
      if (stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode)) files.push_back(path);
    }
    closedir(listing);
  } catch (const std::bad_alloc&) {
    throw ASException("%s - problems concatenating strings", kWhere);
  }
  // Rule sets come from systems whose directory listings are in name order, and which
  // file defines a name first decides which definition stays: sort, so every file system
  // loads the same rules.
  std::sort(files.begin(), files.end());
  return files;
}

// A folder without rule files leaves an empty engine: the old rules are gone either way.
// An empty directory names no rule folder (it would list the working directory).
void CEnginesInterface::SetupASSLEngine(const char* directory, bool write_map) {
  PrepareASSLEngine();
  const std::vector<std::string> files =
      directory != nullptr && *directory != 0 ? ListRuleFiles(directory)
                                              : std::vector<std::string>();
  if (files.empty()) {
    throw ASException("%s - specified path does not contain any scripting language files",
                      "CEnginesInterface::SetupASSLEngine");
  }
  LoadRuleFiles(files, write_map);
}

void CEnginesInterface::SetupASSLEngineFromFiles(const std::vector<std::string>& files,
                                                 bool write_map) {
  PrepareASSLEngine();
  LoadRuleFiles(files, write_map);
}

void CEnginesInterface::PrepareASSLEngine() {
  try {
    if (asslEngine != nullptr) {
      asslEngine->Clear();
    } else {
      asslEngine = new (std::nothrow) CASSLEngine;
      if (asslEngine == nullptr) {
        throw ASMemException("%s - memory problems", "CEnginesInterface::SetupASSLEngine");
      }
    }
    asslEngine->SetLoadReport(load_report_);
  } catch (...) {
    DestroyASSLEngine();
    throw;
  }
}

void CEnginesInterface::LoadRuleFiles(const std::vector<std::string>& files, bool write_map) {
  static const char kWhere[] = "CEnginesInterface::SetupASSLEngine";
  try {
    for (const std::string& file : files) {
      try {
        asslEngine->ParseFile(file.c_str());
      } catch (const std::exception&) {
        GetDebugTrace()->Trace("%s - exception caught while parsing %s - continuing...", kWhere,
                               file.c_str());
      }
    }
    // The rules reach the engine through this facade while they initialise (meta-rules
    // look their names up in it), so it is in place before.
    asslEngine->InitRules(this);
    if (write_map) asslEngine->WriteRelevanceMap(kRelevanceMapFile, kRelevanceMapTempFolder);
  } catch (...) {
    DestroyASSLEngine();
    throw;
  }
}

void CEnginesInterface::SetupRxLibHandle(const char* directory) {
  // The rules of the current engine may hold regex objects whose code is in the previous
  // library, so it is retired rather than unloaded; it goes when the facade does, after
  // the rules.
  if (regexLibrary != nullptr) {
    retired_regex_libraries_.emplace_back(regexLibrary);
    regexLibrary = nullptr;
  }
  auto* library = new (std::nothrow) CRegexLibrary;
  if (library == nullptr || !library->Load(directory != nullptr ? directory : "")) {
    delete library;
    throw ASException("%s - could not obtain handle to regular expressions library",
                      "CEnginesInterface::SetupRxLibHandle");
  }
  regexLibrary = library;
}

template <class Engine>
void CEnginesInterface::Retire(Engine** engine, std::vector<std::unique_ptr<Engine>>* retired) {
  if (*engine == nullptr) return;
  try {
    retired->emplace_back(*engine);
  } catch (const std::bad_alloc&) {
    // Not tracked, so never freed: a leak is the lesser evil than freeing what a rule
    // may be reading.
  }
  *engine = nullptr;
}

// A second load applies the new file on top of the tables the first one left. Filters may
// run rules on mails broken before while the breaker applies its settings again, so the
// tables are loaded into a copy: a word finder a rule may be reading is never changed or
// freed, only retired (it goes with the facade).
void CEnginesInterface::SetupWordFinder(const char* configuration_file) {
  std::unique_ptr<CWordFinder> fresh(new (std::nothrow) CWordFinder);
  if (fresh == nullptr) {
    throw ASException("%s - memory problems", "CEnginesInterface::SetupWordFinder");
  }
  if (wordFinder != nullptr) fresh->CopyTablesFrom(*wordFinder);
  try {
    fresh->Load(configuration_file);
  } catch (...) {
    Retire(&wordFinder, &retired_word_finders_);
    throw;
  }
  Retire(&wordFinder, &retired_word_finders_);
  wordFinder = fresh.release();
}

// The engine needs no data, so a second set-up keeps the first engine (and the URL
// database loaded into it).
void CEnginesInterface::SetupCodeHeurEngine() {
  if (codeHeurEngine != nullptr) return;
  codeHeurEngine = new (std::nothrow) CCodeHeurEngine;
  if (codeHeurEngine == nullptr) {
    throw ASMemException("%s - memory problems", "CEnginesInterface::SetupCodeHeurEngine");
  }
  codeHeurEngine->SetClassifier(classifier_.get());
}

void CEnginesInterface::SetupUrlDatabase(const char* base_file, const char* update_file) {
  static constexpr const char kWhere[] = "CEnginesInterface::SetupUrlDatabase";
  if (base_file == nullptr || update_file == nullptr) {
    throw ASException("%s - invalid file name", kWhere);
  }
  std::unique_ptr<CCodeHeurEngine> fresh(new (std::nothrow) CCodeHeurEngine);
  if (fresh == nullptr) throw ASMemException("%s - memory problems", kWhere);
  if (*base_file != 0) {
    const char* temp = std::getenv("TMPDIR");
    if (temp == nullptr || *temp == 0) temp = "/tmp";
    const int code = fresh->LoadUrlDatabase(base_file, update_file, temp);
    if (code != 0) {
      throw ASException(code, "%s - the URL database could not be loaded from [%s] (code %d)",
                        kWhere, base_file, code);
    }
  }
  fresh->SetClassifier(classifier_.get());
  // Rules of mails broken before may be running the old engine: it is retired, not freed.
  Retire(&codeHeurEngine, &retired_code_heur_engines_);
  codeHeurEngine = fresh.release();
}

// Mails broken before may be classifying with the classifier in use: it is retired, not
// freed, and goes with the facade (with its store, a file mapping or a few connections).
void CEnginesInterface::SetupLearning(const char* name,
                                      const learning::ClassifierOptions& options) {
  static constexpr const char kWhere[] = "CEnginesInterface::SetupLearning";
  const std::string wanted = name != nullptr ? name : "";
  // The same store with the same options is kept: its readers see every mail learned
  // since, and an embedded store is best mapped once per process. A file replaced since
  // (learned again from scratch) is opened anew.
  if (classifier_ != nullptr && classifier_->store().name() == wanted &&
      classifier_->options().minSpamMails == options.minSpamMails &&
      classifier_->options().minHamMails == options.minHamMails &&
      !classifier_->store().Replaced()) {
    return;
  }
  std::unique_ptr<learning::StatClassifier> fresh;
  if (name != nullptr && *name != 0) {
    try {
      fresh = std::make_unique<learning::StatClassifier>(learning::OpenTokenStore(name, false),
                                                         options);
    } catch (const learning::TokenStoreError& e) {
      fresh.reset();
      if (codeHeurEngine != nullptr) codeHeurEngine->SetClassifier(nullptr);
      RetireClassifier();
      throw ASException("%s - the token store could not be opened: %s", kWhere, e.what());
    } catch (const std::bad_alloc&) {
      throw ASMemException("%s - memory problems", kWhere);
    }
  }
  if (codeHeurEngine != nullptr) codeHeurEngine->SetClassifier(fresh.get());
  RetireClassifier();
  classifier_ = std::move(fresh);
}

void CEnginesInterface::RetireClassifier() {
  if (classifier_ == nullptr) return;
  try {
    retired_classifiers_.push_back(std::move(classifier_));
  } catch (const std::bad_alloc&) {
    classifier_.release();  // a leak is the lesser evil than freeing what a mail reads
  }
  classifier_.reset();
}

void CEnginesInterface::SetupKNNEngine(const char* data_file) {
  if (knnEngine == nullptr) {
    knnEngine = new (std::nothrow) CKnnEngine;
    if (knnEngine == nullptr) {
      throw ASException("%s - memory problems", "CEnginesInterface::SetupKNNEngine");
    }
  }
  // A failed load leaves the engine without centres (it answers nothing) but in place:
  // rules of mails broken before may be classifying with it, under its own lock.
  knnEngine->Setup(data_file);
}

double CEnginesInterface::ExecRule(const char* name, CEmlContextInterface* context) {
  if (asslEngine == nullptr) {
    throw ASException("%s - invalid reference to ASSL engine", "CEnginesInterface::ExecRule");
  }
  return asslEngine->ExecRule(name, this, context);
}

const CBlackBoxFacilitator* CEnginesInterface::FacilitatorOf(CEmlContextInterface* context) const {
  return context != nullptr ? context->GetFacilitator() : nullptr;
}

double CEnginesInterface::AutoExecRule(const char* name, double value,
                                       CEmlContextInterface* context) {
  if (asslEngine == nullptr) {
    throw ASException("%s - invalid reference to ASSL engine", "CEnginesInterface::AutoExecRule");
  }
  return asslEngine->AutoExecRule(name, value, this, context);
}

sstring CEnginesInterface::GetHitRules(CEmlContextInterface* context) {
  if (asslEngine == nullptr) {
    throw ASException("%s - invalid handle to ASSL engine", "CEnginesInterface::GetHitRules");
  }
  return asslEngine->GetHitRules(this, context);
}
