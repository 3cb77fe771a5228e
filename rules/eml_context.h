// The per-mail execution context of the rules: the broken mail's headers and parts, the
// mail's modified flag, the rule variables, one rule state per rule of the engine and the
// name of the rule whose actions are running. The real breaker makes one per mail, so one
// engine serves many mails at once; a context is used by one thread at a time.
//
//   CEmlContextInterface context;
//   context.SetStructs(item);                      // ids 1 and 2 of item->box
//   context.SetRuleStates(engine->GetStateTemplates());
//   engines->ExecRule("SPAM_SCORE_HIGH", &context);
//   int32_t score = context.GetIntValue("SCORE");   // throws while no rule set it
#ifndef RULES_EML_CONTEXT_H_
#define RULES_EML_CONTEXT_H_

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>

#include "emlbreaker/array.h"
#include "emlbreaker/headers.h"
#include "emlbreaker/map.h"
#include "emlbreaker/parts_tree.h"
#include "emlbreaker/strings.h"
#include "engines/blackbox_facilitator.h"
#include "engines/word_finder.h"
#include "rules/regex_prefilter.h"
#include "rules/rule.h"

struct MailItem;

class CEmlContextInterface {
 public:
  using StateArray = ascommon::CArray<CRule::StateInfo, 1499>;

  CEmlContextInterface();
  ~CEmlContextInterface();
  CEmlContextInterface(const CEmlContextInterface&) = delete;
  CEmlContextInterface& operator=(const CEmlContextInterface&) = delete;

  // Binds the context to the broken mail of item: a facilitator over its box gathers the
  // header map and the parts tree, and the item's modified flag becomes the dirty flag.
  // Nothing changes when the context already serves that box. Throws ASException when
  // the box lacks the headers or the parts (the context is then unbound), ASMemException
  // when memory runs out.
  void SetStructs(MailItem* item);
  // Null until SetStructs succeeded.
  nsEmlComponents::CHeaderMap* GetHeaders() const { return headers; }
  nsEmlComponents::CPartsTree* GetParts() const { return parts; }
  const CBlackBoxFacilitator* GetFacilitator() const { return facilitator.get(); }

  // The mail item's modified flag; both throw while the context is unbound.
  void SetDirty(bool is_dirty);
  bool GetDirty() const;

  // Variables exist once set. The getters throw "... - variable with given name does not
  // exist" for any other name; the setters create or replace, and throw ASException when
  // memory runs out.
  int32_t GetIntValue(const ascommon::sstring& name) const;
  ascommon::sstring GetStringValue(const ascommon::sstring& name) const;
  void SetIntValue(const ascommon::sstring& name, int32_t value);
  void SetStringValue(const ascommon::sstring& name, const ascommon::sstring& value);
  // The integer variable's value in *value, or false (nothing thrown) when it is not set.
  bool FindIntValue(const ascommon::sstring& name, int32_t* value) const;
  // The string variable, or null (nothing thrown) when it is not set.
  const ascommon::sstring* FindStringValue(const ascommon::sstring& name) const {
    return stringVariables.Lookup(name);
  }

  // Replaces the rule states with a copy of templates (the engine's fresh states), so the
  // mail starts with every rule unevaluated. The copy is made when a state is first asked
  // for: the breaker sets the states of every mail it breaks, and a host that runs no rule
  // on a mail (a dump) then pays nothing for them. The templates must outlive the context
  // (the engine keeps them until the breaker's shared settings are applied again, as it
  // keeps the rules). Throws ASMemException when memory runs out making the copy.
  void SetRuleStates(const StateArray& templates);
  // The state at a rule's index; an index beyond the states throws InvalidIndexException.
  CRule::StateInfo& GetRuleState(uint32_t index) {
    if (pendingStates != nullptr) CopyPendingStates();
    return ruleStates.GetAt(index);
  }
  const StateArray& GetRuleStates() {
    if (pendingStates != nullptr) CopyPendingStates();
    return ruleStates;
  }

  // The UTF-8 form of a wide text of this mail (a header value, a URL): regex conditions
  // match UTF-8, and many of them read the same few texts, so each is converted once per
  // mail. Keyed by the text object, which lives as long as the mail's headers and parts.
  // A conversion that runs out of memory gives an empty text, as a failed copy would.
  const ascommon::sstring& Utf8Of(const ascommon::usstring& text);

  // Whether pattern id of the rule set's regex prefilter may match a UTF-8 text of this
  // mail. A long text is tabulated on first use and the table kept for every other regex
  // condition that reads it, keyed by the text object like Utf8Of; a short one (a URL, a
  // Subject) gets a small table of the same kind. True when the table cannot
  // be made (memory), and for a long text not yet tabulated when may_fill is false (a
  // text too few patterns read to pay for its table): the regex then runs. With from,
  // where in the text the regex need look: every match begins there or later
  // (CRegexPrefilter::MatchFrom); 0 when that is not known.
  bool PrefilterMayMatch(const CRegexPrefilter& prefilter, int id, const ascommon::sstring& text,
                         bool may_fill = true, size_t* from = nullptr);

  // A wide text of this mail as the word finder studied it, for the OBFUSCATED matches:
  // studied on first use and kept for every other rule that reads it (the study grows with
  // the text, a lookup with the word), keyed by the text object like Utf8Of. Throws
  // ASMemException when memory runs out.
  const CStudiedText& StudiedTextOf(const ascommon::usstring& text, const CWordFinder& finder);
  // The breaker profile's word-finder threshold: the cost an OBFUSCATED match may spend
  // per character of its word, in edits (0.1 until set, as the breaker's default).
  void SetWordFinderThreshold(float threshold) { wordFinderThreshold = threshold; }
  float GetWordFinderThreshold() const { return wordFinderThreshold; }

  // The running rule's name, for the actions that write it. It is not copied (a rule
  // runs hundreds of times per mail): `name` must stay valid while it is current, as a
  // rule's own name does.
  void SetCurrentRuleName(const ascommon::sstring& name) { currentRuleName = &name; }
  const ascommon::sstring& GetCurrentRuleName() const {
    return currentRuleName != nullptr ? *currentRuleName : NoRuleName();
  }

 private:
  nsEmlComponents::CHeaderMap* headers = nullptr;  // not owned
  nsEmlComponents::CPartsTree* parts = nullptr;    // not owned
  std::unique_ptr<CBlackBoxFacilitator> facilitator;
  bool* dirtyFlag = nullptr;  // the mail item's
  ascommon::CMap<ascommon::sstring, int32_t> intVariables;
  ascommon::CMap<ascommon::sstring, ascommon::sstring> stringVariables;
  StateArray ruleStates;
  const ascommon::sstring* currentRuleName = nullptr;  // not owned; null: none yet
  static const ascommon::sstring& NoRuleName();
  const StateArray* pendingStates = nullptr;  // the templates not copied yet
  std::unordered_map<const ascommon::usstring*, ascommon::sstring> utf8Texts;
  // Texts of CRegexPrefilter::kMinScannedLength bytes or more, with the folded text the
  // literals that pass the table are looked for in (made when one first does); shorter
  // ones below.
  struct ScannedText {
    CRegexPrefilter::TextTable table;
    bool folded_made = false;
    std::string folded;
  };
  std::unordered_map<const ascommon::sstring*, std::unique_ptr<ScannedText>> prefilterTables;
  std::unordered_map<const ascommon::sstring*, CRegexPrefilter::ShortTable>
      prefilterShortTables;
  float wordFinderThreshold = 0.1f;
  struct StudiedText {
    const CWordFinder* finder;
    std::unique_ptr<CStudiedText> studied;
  };
  std::unordered_map<const ascommon::usstring*, StudiedText> studiedTexts;

  void CopyPendingStates();
  // Empties studiedTexts, handing the texts back to the word finder for reuse.
  void RecycleStudiedTexts();
};

#endif  // RULES_EML_CONTEXT_H_
