#include "engines/mail_heuristics.h"

const MailHeuristic kMailHeuristics[] = {{nullptr, nullptr}};
const size_t kMailHeuristicCount = 0;
