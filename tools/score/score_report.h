// kestu-score's report: the figures of a ScoreSummary (and the zone passes,
// when zones were given) as a ScoreReport message, and that message as the
// table the command prints.
#ifndef TOOLS_SCORE_SCORE_REPORT_H_
#define TOOLS_SCORE_SCORE_REPORT_H_

#include <string>

#include "kestu_tools.pb.h"
#include "tools/score/mot_metrics.h"

namespace kestu_tools {

// The figures and the options they were scored with; the file names, the
// frame offset and the zones are the caller's to add.
kestu::tools::ScoreReport MakeScoreReport(const ScoreSummary& summary,
                                          const ScoreOptions& options);

// CLEAR-MOT, identity figures, counts of identities, tracks and frames,
// then one line per zone and direction: truth passes, run exits and the
// difference run - truth; then, when the report holds them, the pass
// matching and the count errors per window (summary, then window by
// window).
std::string FormatScoreTable(const kestu::tools::ScoreReport& report);

}  // namespace kestu_tools

#endif  // TOOLS_SCORE_SCORE_REPORT_H_
