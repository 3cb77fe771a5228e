// Heuristics of our own that rules call by name through exec(...): each reads one
// broken mail and answers a number (0.0: nothing found). The code heuristics engine
// puts every entry of kMailHeuristics into its function table beside the news
// heuristic.
#ifndef ENGINES_MAIL_HEURISTICS_H_
#define ENGINES_MAIL_HEURISTICS_H_

#include <cstddef>

class CBlackBoxFacilitator;
class CURLDB;

using MailHeuristicFunction = double (*)(const CBlackBoxFacilitator& mail, const CURLDB& db);

struct MailHeuristic {
  const char* name;
  MailHeuristicFunction function;
};

extern const MailHeuristic kMailHeuristics[];
extern const size_t kMailHeuristicCount;

#endif  // ENGINES_MAIL_HEURISTICS_H_
