// What the breaker publishes in a mail's box (MailItem::box) and what the
// filters leave in the verdict box (MailItem::verdictBox), by id, with typed
// accessors: a host or filter reads the broken mail through these and the
// layouts of headers.h, parts_tree.h and execution_unit.h, never by guessing a
// class at run time.
#ifndef EMLBREAKER_BROKEN_MAIL_H_
#define EMLBREAKER_BROKEN_MAIL_H_

#include <cstdint>

#include "emlbreaker/blackbox.h"
#include "emlbreaker/execution_unit.h"
#include "emlbreaker/headers.h"
#include "emlbreaker/parts_tree.h"

// Ids of the mail's box, filled by Break and emptied by ReleaseBrokenMail.
inline constexpr uint32_t kMailHeadersId = 1;    // owned CHeaderMap: the mail's own headers
inline constexpr uint32_t kPartsTreeId = 2;      // owned CPartsTree
inline constexpr uint32_t kExecutionUnitId = 4;  // reference to the breaker's CAExecutionUnit

// Ids of the verdict box, filled by the filters and read by the performer.
inline constexpr uint32_t kVerdictScoreId = 1;     // 32-bit integer value: the spam score
inline constexpr uint32_t kVerdictCategoryId = 4;  // sstring: the category name
inline constexpr uint32_t kVerdictStampId = 213;   // sstring: the stamp text

// The broken mail's parts, or null when the box holds none. Only the breaker
// stores under these ids, so the class of what it stored is known.
inline nsEmlComponents::CHeaderMap* GetMailHeaders(ascommon::CBlackBox& box) {
  return static_cast<nsEmlComponents::CHeaderMap*>(box.GetObject(kMailHeadersId));
}
inline nsEmlComponents::CPartsTree* GetPartsTree(ascommon::CBlackBox& box) {
  return static_cast<nsEmlComponents::CPartsTree*>(box.GetObject(kPartsTreeId));
}
inline CAExecutionUnit* GetExecutionUnit(ascommon::CBlackBox& box) {
  return static_cast<CAExecutionUnit*>(box.GetReference(kExecutionUnitId));
}

#endif  // EMLBREAKER_BROKEN_MAIL_H_
