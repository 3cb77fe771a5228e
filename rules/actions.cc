#include "rules/actions.h"

#include "framework/base/not_available.h"

// The actions work on the per-mail context and the header map, which are built with the
// execution context; until then running one reports that plainly.
using nsEmlFramework::ThrowNotAvailable;

void SetCategoryAction::Execute(CEnginesInterface* engines, CEmlContextInterface* context) {
  ThrowNotAvailable("SetCategoryAction::Execute");
}

void IncreaseScoreAction::Execute(CEnginesInterface* engines, CEmlContextInterface* context) {
  ThrowNotAvailable("IncreaseScoreAction::Execute");
}

void MarkAction::Execute(CEnginesInterface* engines, CEmlContextInterface* context) {
  ThrowNotAvailable("MarkAction::Execute");
}

void ExecAction::Execute(CEnginesInterface* engines, CEmlContextInterface* context) {
  ThrowNotAvailable("ExecAction::Execute");
}

void AddHeaderAction::Execute(CEnginesInterface* engines, CEmlContextInterface* context) {
  ThrowNotAvailable("AddHeaderAction::Execute");
}

void AddToHeaderAction::Execute(CEnginesInterface* engines, CEmlContextInterface* context) {
  ThrowNotAvailable("AddToHeaderAction::Execute");
}
