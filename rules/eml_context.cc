#include "rules/eml_context.h"

#include <new>

#include "emlbreaker/exceptions.h"
#include "emlbreaker/mail_item.h"

using ascommon::sstring;

namespace {

// The state array of the last context this thread destroyed, kept for the next mail.
// An array grows in chunks of 1,499 states, each made and destroyed with it: making one
// per mail cost more than the few hundred rules it holds are worth. Reusing it leaves
// only the states of the rule set to set again.
thread_local CEmlContextInterface::StateArray spareStates;

}  // namespace

CEmlContextInterface::CEmlContextInterface() = default;

CEmlContextInterface::~CEmlContextInterface() {
  if (ruleStates.GetSize() > 0) spareStates = std::move(ruleStates);
  RecycleStudiedTexts();
}

void CEmlContextInterface::RecycleStudiedTexts() {
  for (auto& entry : studiedTexts) CWordFinder::Recycle(std::move(entry.second.studied));
  studiedTexts.clear();
}

void CEmlContextInterface::SetStructs(MailItem* item) {
  static const char kWhere[] = "CEmlContextInterface::SetStructs";
  if (item == nullptr) {
    throw ASException("%s - invalid black box - could not get headers and parts!", kWhere);
  }
  if (facilitator != nullptr && facilitator->GetBox() == &item->box) return;
  facilitator.reset();
  // The texts of the previous mail are gone; their addresses may come back for this one.
  utf8Texts.clear();
  prefilterTables.clear();
  prefilterShortTables.clear();
  RecycleStudiedTexts();
  headers = nullptr;
  parts = nullptr;
  dirtyFlag = nullptr;
  std::unique_ptr<CBlackBoxFacilitator> made(new (std::nothrow) CBlackBoxFacilitator(&item->box));
  if (made == nullptr) throw ASMemException("%s - could not alloc facilitator", kWhere);
  made->Gather();
  if (made->GetHeaders() == nullptr || made->GetParts() == nullptr) {
    throw ASException("%s - invalid black box - could not get headers and parts!", kWhere);
  }
  headers = made->GetHeaders();
  parts = made->GetParts();
  facilitator = std::move(made);
  dirtyFlag = &item->modified;
}

void CEmlContextInterface::SetDirty(bool is_dirty) {
  if (dirtyFlag == nullptr) {
    throw ASException("%s - invalid reference to dirty flag", "CEmlContextInterface::SetDirty");
  }
  *dirtyFlag = is_dirty;
}

bool CEmlContextInterface::GetDirty() const {
  if (dirtyFlag == nullptr) {
    throw ASException("%s - invalid reference to dirty flag", "CEmlContextInterface::GetDirty");
  }
  return *dirtyFlag;
}

bool CEmlContextInterface::FindIntValue(const sstring& name, int32_t* value) const {
  const int32_t* found = intVariables.Lookup(name);
  if (found == nullptr) return false;
  if (value != nullptr) *value = *found;
  return true;
}

int32_t CEmlContextInterface::GetIntValue(const sstring& name) const {
  const int32_t* found = intVariables.Lookup(name);
  if (found == nullptr) {
    throw ASException("%s - variable with given name does not exist",
                      "CEmlContextInterface::GetIntValue");
  }
  return *found;
}

sstring CEmlContextInterface::GetStringValue(const sstring& name) const {
  const sstring* found = stringVariables.Lookup(name);
  if (found == nullptr) {
    throw ASException("%s - variable with given name does not exist",
                      "CEmlContextInterface::GetStringValue");
  }
  return *found;
}

namespace {

// Creates the variable or replaces its value: 0, or the map's failure code.
template <class V>
int Store(ascommon::CMap<sstring, V>* variables, const sstring& name, const V& value) {
  const int inserted = variables->Insert(name, value);
  return inserted == ascommon::kKeyPresent ? variables->SetAt(name, value) : inserted;
}

}  // namespace

void CEmlContextInterface::SetIntValue(const sstring& name, int32_t value) {
  if (Store(&intVariables, name, value) != 0) {
    throw ASException("%s - memory problems", "CEmlContextInterface::SetIntValue");
  }
}

void CEmlContextInterface::SetStringValue(const sstring& name, const sstring& value) {
  if (Store(&stringVariables, name, value) != 0) {
    throw ASException("%s - memory problems", "CEmlContextInterface::SetStringValue");
  }
}

void CEmlContextInterface::SetRuleStates(const StateArray& templates) {
  if (ruleStates.GetSize() > 0) spareStates = std::move(ruleStates);
  ruleStates.SetSize(0, false);
  pendingStates = &templates;
}

void CEmlContextInterface::CopyPendingStates() {
  static const char kWhere[] = "CEmlContextInterface::SetRuleStates";
  const StateArray& templates = *pendingStates;
  StateArray copy;
  if (spareStates.GetSize() == templates.GetSize()) {
    copy = std::move(spareStates);  // every state is set below
  } else if (templates.GetSize() > 0 && copy.SetSize(templates.GetSize(), true) != 0) {
    throw ASMemException("%s - memory problems", kWhere);
  }
  // This runs for every mail, over every rule. A template's actionDone entries are all
  // false (nothing marks an action done), and RunActions reads a missing entry as not
  // done; so the flags and value are copied and the entries left out, which saves an
  // allocation and a free per rule and mail. A template with an entry set is copied whole.
  for (size_t i = 0; i < templates.GetSize(); ++i) {
    const CRule::StateInfo& from = templates[i];
    CRule::StateInfo& to = copy[i];
    bool any_done = false;
    for (size_t a = 0; a < from.actionDone.GetSize() && !any_done; ++a) any_done = from.actionDone[a];
    if (any_done) {
      if (to.CopyFrom(from) != 0) throw ASMemException("%s - memory problems", kWhere);
      continue;
    }
    to.executing = from.executing;
    to.fixed = from.fixed;
    to.evaluated = from.evaluated;
    to.value = from.value;
    if (to.actionDone.GetSize() != 0) to.actionDone = ascommon::CArray<bool, 1>();
  }
  ruleStates = std::move(copy);
  pendingStates = nullptr;
}

const sstring& CEmlContextInterface::Utf8Of(const ascommon::usstring& text) {
  auto found = utf8Texts.find(&text);
  if (found != utf8Texts.end()) return found->second;
  try {
    return utf8Texts.emplace(&text, sstring(text)).first->second;
  } catch (const std::bad_alloc&) {
    static const sstring kEmpty;
    return kEmpty;
  }
}

bool CEmlContextInterface::PrefilterMayMatch(const CRegexPrefilter& prefilter, int id,
                                             const sstring& text, bool may_fill, size_t* from) {
  if (from != nullptr) *from = 0;
  if (text.Length() < CRegexPrefilter::kMinScannedLength) {
    auto found = prefilterShortTables.find(&text);
    if (found == prefilterShortTables.end()) {
      try {
        found = prefilterShortTables.emplace(&text, CRegexPrefilter::ShortTable()).first;
      } catch (const std::bad_alloc&) {
        return true;
      }
      CRegexPrefilter::TabulateShort(text.c_str(), text.Length(), &found->second);
    }
    return prefilter.MayMatchShort(id, found->second);
  }
  auto found = prefilterTables.find(&text);
  if (found == prefilterTables.end()) {
    if (!may_fill) return true;
    try {
      std::unique_ptr<ScannedText> scanned(new ScannedText);
      CRegexPrefilter::Tabulate(text.c_str(), text.Length(), &scanned->table);
      found = prefilterTables.emplace(&text, std::move(scanned)).first;
    } catch (const std::bad_alloc&) {
      return true;
    }
  }
  ScannedText& scanned = *found->second;
  if (!scanned.folded_made) {
    // No folded text until a literal first gets past the table.
    if (!prefilter.MayMatch(id, scanned.table)) return false;
    try {
      CRegexPrefilter::FoldText(text.c_str(), text.Length(), &scanned.folded);
    } catch (const std::bad_alloc&) {
      return true;
    }
    scanned.folded_made = true;
  }
  if (!prefilter.MayMatch(id, scanned.table, scanned.folded)) return false;
  if (from == nullptr) return true;
  *from = prefilter.MatchFrom(id, scanned.table, scanned.folded);
  if (*from == CRegexPrefilter::kNoMatch) {
    *from = 0;
    return false;
  }
  return true;
}

const CStudiedText& CEmlContextInterface::StudiedTextOf(const ascommon::usstring& text,
                                                        const CWordFinder& finder) {
  auto found = studiedTexts.find(&text);
  if (found != studiedTexts.end() && found->second.finder == &finder) {
    return *found->second.studied;
  }
  try {
    StudiedText& entry = studiedTexts[&text];
    entry.finder = &finder;
    entry.studied = finder.Study(text.c_str(), text.Length());
    return *entry.studied;
  } catch (const std::bad_alloc&) {
    studiedTexts.erase(&text);
    throw ASMemException("%s - memory problems", "CEmlContextInterface::StudiedTextOf");
  }
}

const sstring& CEmlContextInterface::NoRuleName() {
  static const sstring kNone;
  return kNone;
}
