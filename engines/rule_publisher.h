// How a heuristic engine hands its findings to the rules. The engines sit
// below the rule engine (the engines facade in rules/ owns them), so they
// cannot call it directly: the facade implements this interface and passes
// itself to the heuristics, which publish a finding as the value of a rule of
// a known name ("H_NEWS_DOMAIN2", ...) for one mail.
#ifndef ENGINES_RULE_PUBLISHER_H_
#define ENGINES_RULE_PUBLISHER_H_

class CEmlContextInterface;

class ARulePublisher {
 public:
  virtual ~ARulePublisher() = default;
  // Stores value as the named rule's result for the mail of context without
  // evaluating its condition, runs its actions when value is not 0.0, and
  // answers value. Throws when there is no rule engine or no such rule.
  virtual double AutoExecRule(const char* name, double value, CEmlContextInterface* context) = 0;
};

#endif  // ENGINES_RULE_PUBLISHER_H_
