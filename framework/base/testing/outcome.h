// For tests: what an operation throws, as one comparable string.
#ifndef FRAMEWORK_BASE_TESTING_OUTCOME_H_
#define FRAMEWORK_BASE_TESTING_OUTCOME_H_

#include <functional>
#include <string>

#include "emlbreaker/exceptions.h"

namespace emlbtest {

// Code and message of the ASException an operation throws ("-501 No object
// with that id or other type"); "none" when it throws nothing.
inline std::string Outcome(const std::function<void()>& operation) {
  try {
    operation();
  } catch (const ASException& e) {
    return std::to_string(e.GetErrorCode()) + " " + e.what();
  }
  return "none";
}

}  // namespace emlbtest

#endif  // FRAMEWORK_BASE_TESTING_OUTCOME_H_
