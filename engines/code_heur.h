// The code heuristics engine: checks too procedural for the rule language, which a rule
// runs by name with exec(NAME) (condition or action). The engine maps each name to a
// function and runs it on the mail of an execution context.
//
// The functions of its own look for mail that advertises one web domain (the news
// heuristic, NewsHeur): they find the domain most of the mail's links point to, compare
// it with the sender's address and with the addresses written in the text, and count
// those addresses. What they find they publish as the values of rules named after the
// findings ("H_NEWS_DOMAIN2", ...) through ARulePublisher::AutoExecRule, so the rule set
// decides what each finding is worth. The heuristics of engines/mail_heuristics.h are in
// the same table.
//
// One engine per engines facade, built when the breaker applies its settings; it owns the
// URL database whose domain table cuts hosts to registrable domains. Execute only reads
// the engine, so mails may run it from several threads once the database is loaded;
// loading the database must happen while no mail runs.
#ifndef ENGINES_CODE_HEUR_H_
#define ENGINES_CODE_HEUR_H_

#include <atomic>

#include "emlbreaker/map.h"
#include "emlbreaker/strings.h"
#include "engines/mail_heuristics.h"
#include "engines/url_db.h"

class ARulePublisher;
class CBlackBoxFacilitator;
class CEmlContextInterface;
namespace learning {
class StatClassifier;
}

class CCodeHeurEngine {
 public:
  // A heuristic of the engine itself, run with the two handles.
  using Member = double (CCodeHeurEngine::*)(ARulePublisher* engines,
                                             CEmlContextInterface* context);
  // What a name stands for: a member (non-null) or a free heuristic reading one mail.
  struct Heuristic {
    Member member = nullptr;
    MailHeuristicFunction function = nullptr;
  };

  // Registers the five news names, "StatClassify" and every entry of kMailHeuristics (a name already
  // taken keeps its first function). Throws ASMemException when the table or the URL
  // database cannot be built.
  CCodeHeurEngine();
  virtual ~CCodeHeurEngine();
  CCodeHeurEngine(const CCodeHeurEngine&) = delete;
  CCodeHeurEngine& operator=(const CCodeHeurEngine&) = delete;

  // Runs the heuristic called name and answers its value. Throws ASException for a null
  // handle, an unknown name ("... has no definition!") and whatever the heuristic throws.
  double Execute(const ascommon::sstring& name, ARulePublisher* engines,
                 CEmlContextInterface* context);

  // The news heuristic: publishes its findings as the rules "H_NEWS_DOMAIN2",
  // "H_NEWS_FROM_DOMAIN", "H_NEWS_MAIL_ADDRESS_DOMAIN", "H_NEWS_LIKE_MULTIPLE_ADDRESSES1"
  // and "H_NEWS_LIKE_MULTIPLE_ADDRESSES2", and answers 1.0.
  double NewsHeur(ARulePublisher* engines, CEmlContextInterface* context);
  // The registrable domain that dominates the links of the mail (plain-text URLs and
  // anchors of HTML parts), or "" when none does. Publishes "H_NEWS_DOMAIN2" when the
  // domain dominates only together with the runner-up, and "H_NEWS_FROM_DOMAIN" once per
  // From address that contains the domain.
  void MainDomain(ascommon::usstring* domain, ARulePublisher* engines,
                  CEmlContextInterface* context);

  // The statistical classifier (engines/stat_classifier.h): publishes the band of the
  // mail's spam probability as one of the rules "STAT_SPAM_99" (0.99 and above),
  // "STAT_SPAM_90" (0.90 to 0.99), "STAT_SPAM_60" (0.60 to 0.90), "STAT_HAM_10" (0.01 to
  // 0.10) and "STAT_HAM_01" (0.01 and below; none between 0.10 and 0.60) and answers 1.0; answers 0.0 and publishes nothing when no classifier is
  // set, when it does not speak (too little learned) or when its store fails (traced).
  double StatClassify(ARulePublisher* engines, CEmlContextInterface* context);
  // The classifier StatClassify asks (borrowed; null: none). The owner keeps a replaced
  // classifier alive while mails may still run with it (the engines facade does).
  void SetClassifier(const learning::StatClassifier* classifier) {
    classifier_.store(classifier, std::memory_order_release);
  }
  const learning::StatClassifier* GetClassifier() const {
    return classifier_.load(std::memory_order_acquire);
  }

  // Loads the URL database: paths in UTF-8; update_file is read only when it names an
  // existing file, temp_folder receives the unscrambled copies while they are read. 0 or
  // the codes of AUpdater::Update (engines/url_db.h); -2 when a path is not UTF-8. Call
  // while no mail runs.
  int LoadUrlDatabase(const char* base_file, const char* update_file, const char* temp_folder);
  const CURLDB& GetURLDB() const { return urlDb_; }
  CURLDB& GetURLDB() { return urlDb_; }

  // True when name is in the function table.
  bool HasHeuristic(const ascommon::sstring& name) const;

 private:
  ascommon::CMap<ascommon::sstring, Heuristic> functions_;
  CURLDB urlDb_;
  std::atomic<const learning::StatClassifier*> classifier_{nullptr};
};

#endif  // ENGINES_CODE_HEUR_H_
