// What a meta-rule's expression needs from the rule engine: to initialise and to run the
// rules it names. The rule engine implements ARuleRunner and the engines facade hands it
// out (CEnginesInterface::GetRuleRunner), so an expression depends on these two calls
// only, and its tests can run it over a stand-in engine.
#ifndef RULES_RULE_RUNNER_H_
#define RULES_RULE_RUNNER_H_

class CEnginesInterface;
class CEmlContextInterface;

// The rule engine as an expression condition sees it. Built at load time, shared by all
// mails: ExecRule keeps its per-mail state in the context, never in the runner.
class ARuleRunner {
 public:
  virtual ~ARuleRunner() = default;
  // Initialises the named rule (and through it the rules it names); throws when the rule
  // does not exist or its initialisation fails.
  virtual void InitRule(const char* name, CEnginesInterface* engines) = 0;
  // The named rule's value for the mail of context, running its actions when it hits.
  virtual double ExecRule(const char* name, CEnginesInterface* engines,
                          CEmlContextInterface* context) = 0;
  // A handle for the named rule that ExecResolved takes instead of its name, valid while
  // the runner's rules are; null when the runner has none (it then runs rules by name).
  virtual void* ResolveRule(const char* /*name*/) { return nullptr; }
  // ExecRule for the rule of a handle ResolveRule gave; `name` is that rule's name.
  virtual double ExecResolved(void* /*handle*/, const char* name, CEnginesInterface* engines,
                              CEmlContextInterface* context) {
    return ExecRule(name, engines, context);
  }
};

#endif  // RULES_RULE_RUNNER_H_
