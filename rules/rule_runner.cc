#include "rules/rule_runner.h"

// Weak: the engines facade's own definition replaces this one when it is linked in.
__attribute__((weak)) ARuleRunner* GetRuleRunner(CEnginesInterface* engines) { return nullptr; }
