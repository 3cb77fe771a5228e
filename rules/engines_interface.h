// The engines facade: owns the engines the rules share (rule engine, word finder, code
// heuristics, regular-expression library, graphical-pattern classifier) and sets them up
// from the breaker's shared settings. Conditions and actions receive it as their engines
// argument.
//
// Set up while the breaker applies its shared settings (one thread, no mail running), read
// by every mail afterwards; nothing here takes a lock (the classifier takes its own).
#ifndef RULES_ENGINES_INTERFACE_H_
#define RULES_ENGINES_INTERFACE_H_

#include <memory>
#include <string>
#include <vector>

#include "emlbreaker/strings.h"
#include "engines/rule_publisher.h"
#include "rules/assl_engine.h"
#include "rules/regex_library.h"
#include "rules/regex_prefilter.h"

class CEmlContextInterface;
class CWordFinder;
class CCodeHeurEngine;
class CKnnEngine;
namespace learning {
class StatClassifier;
struct ClassifierOptions;
}

class CEnginesInterface : public ARulePublisher {
 public:
  CEnginesInterface();
  ~CEnginesInterface() override;
  CEnginesInterface(const CEnginesInterface&) = delete;
  CEnginesInterface& operator=(const CEnginesInterface&) = delete;

  // Loads every "*.slf" file of directory into a cleared (or new) rule engine, initialises
  // the rules and, with write_map, writes "asnnmap.dat" in the current directory. A file
  // that fails to parse is traced and skipped. Throws when the directory holds no rule
  // file (the engine is then empty); a failure while creating, initialising or writing the
  // map leaves no rule engine. An empty directory counts as a folder without rule files.
  void SetupASSLEngine(const char* directory, bool write_map);
  // The same over a list of files, in order (the directory set-up lists them first).
  void SetupASSLEngineFromFiles(const std::vector<std::string>& files, bool write_map);
  // The "*.slf" files of directory in name order; throws when it cannot be listed.
  static std::vector<std::string> ListRuleFiles(const char* directory);

  // (Re)loads the regular-expression library from directory; throws when it cannot.
  void SetupRxLibHandle(const char* directory);

  // Creates the word finder on first use ("... - memory problems" when it cannot) and
  // applies the configuration file ("aswfconf.dat") to it; any exception while loading
  // destroys the word finder (there is none afterwards) and passes on.
  void SetupWordFinder(const char* configuration_file);
  // Creates the code heuristics engine when there is none ("... - memory problems" when it
  // cannot); an existing engine is kept with its URL database.
  void SetupCodeHeurEngine();
  // Creates the graphical-pattern classifier on first use and (re)loads the centres file
  // data_file ("as2graph.dat") into it; a failed load destroys the classifier and passes
  // the exception on.
  void SetupKNNEngine(const char* data_file);
  // Loads the URL database of the code heuristics (paths in UTF-8; update_file is read
  // when it names an existing file; unscrambled copies go to $TMPDIR, else /tmp) into a new
  // code heuristics engine that then replaces the one in use, so a changed file lists only
  // what it lists. An empty base_file gives an engine with an empty database. Throws
  // ASException (with the load's code) when the base file cannot be loaded; the engine in
  // use is then kept.
  void SetupUrlDatabase(const char* base_file, const char* update_file);
  // Opens the token store `name` read-only (a file path or "redis://HOST:PORT/N") for the
  // statistical classifier and hands the classifier to the code heuristics, replacing the
  // one in use (which is retired, as mails may still read it); an empty name leaves none.
  // The same name with the same options keeps the classifier in use (a store's readers
  // see what is learned while they run) unless the store was replaced since.
  // Throws ASException naming the store when it cannot be opened; the code heuristics are
  // then left without a classifier.
  void SetupLearning(const char* name, const learning::ClassifierOptions& options);
  learning::StatClassifier* GetClassifier() const { return classifier_.get(); }

  // Forward to the rule engine with this facade as the engines argument; throw when there
  // is no rule engine.
  double ExecRule(const char* name, CEmlContextInterface* context);
  double AutoExecRule(const char* name, double value, CEmlContextInterface* context) override;
  ascommon::sstring GetHitRules(CEmlContextInterface* context);
  const CBlackBoxFacilitator* FacilitatorOf(CEmlContextInterface* context) const override;

  // Null until set up.
  CASSLEngine* GetASSLEngine() const { return asslEngine; }
  CRegexLibrary* GetRegexLibrary() const { return regexLibrary; }
  CWordFinder* GetWordFinder() const { return wordFinder; }
  CCodeHeurEngine* GetCodeHeurEngine() const { return codeHeurEngine; }
  CKnnEngine* GetKNNEngine() const { return knnEngine; }
  // The rule engine as the expression conditions see it; null until set up.
  ARuleRunner* GetRuleRunner() const { return asslEngine; }

  // The prefilter the regex conditions of the rule set being initialised offer their
  // patterns to; null outside CASSLEngine::InitRules.
  const std::shared_ptr<CRegexPrefilter>& GetBuildingPrefilter() const {
    return building_prefilter_;
  }
  void SetBuildingPrefilter(std::shared_ptr<CRegexPrefilter> prefilter) {
    building_prefilter_ = std::move(prefilter);
  }

  // Handed to every rule engine this facade sets up from now on (borrowed; null: none).
  void SetRuleLoadReport(ARuleLoadReport* report) { load_report_ = report; }

 private:
  // Clears the rule engine, or creates it; a failure leaves none.
  void PrepareASSLEngine();
  // Parses files into the prepared engine and initialises it; a failure leaves no engine.
  void LoadRuleFiles(const std::vector<std::string>& files, bool write_map);
  void DestroyASSLEngine();

  CASSLEngine* asslEngine = nullptr;
  CWordFinder* wordFinder = nullptr;
  CCodeHeurEngine* codeHeurEngine = nullptr;
  CRegexLibrary* regexLibrary = nullptr;
  CKnnEngine* knnEngine = nullptr;
  ARuleLoadReport* load_report_ = nullptr;
  std::shared_ptr<CRegexPrefilter> building_prefilter_;
  // Libraries replaced by SetupRxLibHandle, kept loaded for the rules built with them.
  std::vector<std::unique_ptr<CRegexLibrary>> retired_regex_libraries_;
  // Engines replaced while rules of earlier mails may still read them (word finders,
  // code heuristics with their URL database); they go with the facade.
  std::vector<std::unique_ptr<CWordFinder>> retired_word_finders_;
  std::vector<std::unique_ptr<CCodeHeurEngine>> retired_code_heur_engines_;
  std::unique_ptr<learning::StatClassifier> classifier_;
  std::vector<std::unique_ptr<learning::StatClassifier>> retired_classifiers_;

  // Moves the classifier in use to the retired ones.
  void RetireClassifier();
  // Moves *engine to retired and leaves it null.
  template <class Engine>
  static void Retire(Engine** engine, std::vector<std::unique_ptr<Engine>>* retired);
};

#endif  // RULES_ENGINES_INTERFACE_H_
