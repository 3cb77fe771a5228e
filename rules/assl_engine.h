// The rule engine: the compiled rules of one rule directory, run against one mail at a
// time. It parses rule files into CRules, initialises them (resolving the names in
// meta-rules, finding cycles, compiling regular expressions), drops those that fail,
// numbers the rest and keeps the relevance list, the signature list (rules with a
// priority, highest first) and one fresh rule state per rule.
//
// The engine keeps no per-mail state: each mail's context holds a copy of the state
// templates, so one engine serves many mails at once. It is built while the engines are
// set up (one thread, no mail running) and only read afterwards.
//
//   engine.ParseFile("spam.slf"); ...         // every rule file
//   engine.InitRules(engines);                // once
//   context.SetRuleStates(engine.GetStateTemplates());
//   double value = engine.ExecRule("Spam_Subject_1", engines, &context);
#ifndef RULES_ASSL_ENGINE_H_
#define RULES_ASSL_ENGINE_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "emlbreaker/array.h"
#include "emlbreaker/map.h"
#include "emlbreaker/strings.h"
#include "rules/language/rule_parser.h"
#include "rules/name_index.h"
#include "rules/rule.h"
#include "rules/rule_runner.h"

inline std::string_view RuleNameOf(const CRule& rule) { return rule.GetName().View(); }

// Receives what the engine would otherwise keep to itself while it loads: the parser's
// messages and every rule it drops, with the reason. The engine traces what it must either
// way; a report is for tools that show rule writers their mistakes. Borrowed by the
// engine, called on the loading thread only.
class ARuleLoadReport {
 public:
  virtual ~ARuleLoadReport() = default;
  // Every message of the parse of file, in order.
  virtual void OnParseMessages(const char* file, const std::vector<RuleFileMessage>& messages) {}
  // A rule the engine took in; line is where its name stands.
  virtual void OnRuleLoaded(const char* file, int line, const char* name) {}
  // A rule CRule::Create refused (reason says which item and why).
  virtual void OnRuleRefused(const char* file, int line, const char* name,
                             const std::string& reason) {}
  // A rule whose name an earlier file already defined; the earlier one stays.
  virtual void OnRuleDuplicate(const char* file, int line, const char* name) {}
  // A loaded rule that failed to initialise and was removed; reason is the exception's
  // message, for a regex that does not compile followed by the regex library's reason.
  virtual void OnRuleInitFailed(const char* name, const std::string& reason) {}
};

class CASSLEngine : public ARuleRunner {
 public:
  using NNetRuleArray = ::NNetRuleArray;
  using SignatureArray = ::SignatureArray;
  using StateArray = ascommon::CArray<CRule::StateInfo, 1499>;

  CASSLEngine();
  ~CASSLEngine() override;
  CASSLEngine(const CASSLEngine&) = delete;
  CASSLEngine& operator=(const CASSLEngine&) = delete;

  // Parses one rule file and adds its rules; a rule whose name is already known stays as
  // it was, a rule CRule::Create refuses is skipped. Throws ASException when the file
  // cannot be opened or the rules map cannot take a rule.
  void ParseFile(const char* path);

  // Initialises every rule, removes those that fail (traced) and rebuilds the numbering,
  // the relevance and signature lists and the state templates.
  void InitRules(CEnginesInterface* engines);

  // ARuleRunner: by name; an unknown name throws "%s - rule with name %s does not exist".
  void InitRule(const char* name, CEnginesInterface* engines) override;
  void* ResolveRule(const char* name) override { return Find(name); }
  double ExecResolved(void* handle, const char* name, CEnginesInterface* engines,
                      CEmlContextInterface* context) override;
  double ExecRule(const char* name, CEnginesInterface* engines,
                  CEmlContextInterface* context) override;
  double AutoExecRule(const char* name, double value, CEnginesInterface* engines,
                      CEmlContextInterface* context);

  // The rule of that name (owned by the engine); throws when there is none.
  CRule* GetRule(const char* name) const;
  // The index of the rule's state; throws "%s - no index for rule %s" when it has none.
  uint32_t GetRuleIndex(const char* name) const;

  // The names of the rules that hit for the mail of context, joined with "; ".
  ascommon::sstring GetHitRules(CEnginesInterface* engines, CEmlContextInterface* context) const;

  // Writes the relevance-rule map (the enabled rules of the relevance list, numbered from
  // 0) as a checked file through a temporary file in temp_folder. Nothing is written when
  // no relevance rule is enabled; answers whether a file was written.
  bool WriteRelevanceMap(const ascommon::usstring& file,
                         const ascommon::usstring& temp_folder) const;

  // Destroys every rule and derived list.
  void Clear();

  const NNetRuleArray& GetNNetRules() const { return nnetRules; }
  const SignatureArray& GetSignatures() const { return signatures; }
  const StateArray& GetStateTemplates() const { return stateTemplates; }
  uint32_t GetRuleCount() const { return rules.GetCount(); }

  // Borrowed until replaced; null stops reporting.
  void SetLoadReport(ARuleLoadReport* report) { load_report_ = report; }

 private:
  static constexpr uint32_t kBuckets = 1499;

  // Every rule, in map order.
  template <class Visit>
  void ForEachRule(Visit visit) const;
  void ClearLists();
  void AddParsedRules(const char* path, const parser_state_info& state);

  // The rule of that name, or null.
  CRule* Find(const char* name) const;

  // rules keeps its fixed 1,499 buckets: its iteration order is the rule order
  // (numbering, hit-rule strings). Its chains grow with the rule count, so every name
  // lookup goes through name_index_ instead, which grows with the rules and needs no key
  // copy; rules only takes appends and iteration. A rule's state index is kept in the
  // rule itself (CRule::GetStateIndex), so a name leads to its state in one lookup.
  ascommon::CMap<ascommon::sstring, CRule*> rules;
  NNetRuleArray nnetRules;
  SignatureArray signatures;
  StateArray stateTemplates;
  // The rule of each state index. Indexes are handed out in the order of `rules`, so a
  // walk over a mail's states meets the rules in that order without walking the map.
  std::vector<CRule*> by_state_;
  ARuleLoadReport* load_report_ = nullptr;
  // Borrows the rules, and finds them by the names they own.
  NameIndex<CRule, RuleNameOf> name_index_;
  // The initialised rules by the address of the name each owns (open addressing, at most
  // half full; empty until InitRules). A host runs the signature rules on every mail by
  // the names GetSignatures gave it, which are those very addresses: such a lookup reads
  // one slot instead of hashing the name. Any other text takes name_index_.
  std::vector<std::pair<const char*, CRule*>> by_name_address_;
  void IndexNameAddresses();
  CRule* FindByNameAddress(const char* name) const;
};

#endif  // RULES_ASSL_ENGINE_H_
