// What a heuristic engine sees of the engines facade. The engines sit below
// the rule engine (the facade in rules/ owns them), so they cannot call it
// directly: the facade implements this interface and passes itself to the
// heuristics, which read the mail of a context through it and publish a
// finding as the value of a rule of a known name ("H_NEWS_DOMAIN2", ...).
#ifndef ENGINES_RULE_PUBLISHER_H_
#define ENGINES_RULE_PUBLISHER_H_

class CBlackBoxFacilitator;
class CEmlContextInterface;

class ARulePublisher {
 public:
  virtual ~ARulePublisher() = default;
  // Stores value as the named rule's result for the mail of context without
  // evaluating its condition, runs its actions when value is not 0.0, and
  // answers value. Throws when there is no rule engine or no such rule.
  virtual double AutoExecRule(const char* name, double value, CEmlContextInterface* context) = 0;
  // The broken mail of context as the heuristics read it; null when the context has none
  // (or is null).
  virtual const CBlackBoxFacilitator* FacilitatorOf(CEmlContextInterface* context) const = 0;
};

#endif  // ENGINES_RULE_PUBLISHER_H_
