// The measured count error of a counting line in one direction, from an
// operator's audit of a time window's crossings.
//
// In the window the line counted `counted` crossings (its published zone
// exits); the operator marked `right` of them as right and `wrong` as wrong
// (`audited` = right + wrong, the rest unaudited) and added `missed` passes
// that it did not count. Then
//
//   precision    = right / (right + wrong)
//   right count  = counted * precision (= right when every crossing was
//                  audited: the unaudited ones are taken as right at the
//                  measured precision)
//   true         = right count + missed
//   recall       = right count / true (= right / (right + missed))
//   count error  = (counted - true) / true (= recall / precision - 1)
//
// Precision and recall carry 95 % Wilson score intervals. The count error's
// interval is [recall low / precision high - 1, recall high / precision low
// - 1] from 97.5 % Wilson intervals of the two, so that it holds at 95 % or
// more (the two are not independent; Bonferroni). A figure that cannot be
// computed (no crossing audited, no true pass) has no value; a line that
// counted nothing has missed every pass there was (error -100 %).
#ifndef TOOLS_WEB_AUDIT_FIGURES_H_
#define TOOLS_WEB_AUDIT_FIGURES_H_

#include <cstdint>
#include <optional>

namespace kestu_tools {

// Normal quantiles of two-sided 95 % and 97.5 % intervals.
inline constexpr double kZ95 = 1.959963984540054;
inline constexpr double kZ975 = 2.241402727604947;

struct Estimate {
  std::optional<double> value;
  // The interval's bounds; a bound that the data leave open has no value
  // (an error whose precision may be 0 has no upper bound).
  std::optional<double> low;
  std::optional<double> high;
};

// The Wilson score interval of a proportion `successes` / `trials` at the
// normal quantile z; no value when there are no trials.
Estimate Wilson(double successes, double trials, double z = kZ95);

struct AuditTally {
  int64_t counted = 0;
  int64_t right = 0;
  int64_t wrong = 0;
  int64_t missed = 0;
};

struct CountError {
  int64_t audited = 0;
  int64_t unaudited = 0;
  std::optional<double> true_count;
  Estimate precision;
  Estimate recall;
  Estimate error;
};

// Requires: right + wrong <= counted, all >= 0.
CountError MeasureCountError(const AuditTally& tally);

}  // namespace kestu_tools

#endif  // TOOLS_WEB_AUDIT_FIGURES_H_
