#include "tools/web/audit_figures.h"

#include <algorithm>
#include <cmath>

namespace kestu_tools {

Estimate Wilson(double successes, double trials, double z) {
  Estimate e;
  if (!(trials > 0.0)) return e;
  const double p = successes / trials;
  const double z2 = z * z;
  const double denominator = 1.0 + z2 / trials;
  const double center = (p + z2 / (2.0 * trials)) / denominator;
  const double half =
      z / denominator *
      std::sqrt(p * (1.0 - p) / trials + z2 / (4.0 * trials * trials));
  e.value = p;
  e.low = std::max(0.0, center - half);
  e.high = std::min(1.0, center + half);
  return e;
}

CountError MeasureCountError(const AuditTally& t) {
  CountError c;
  c.audited = t.right + t.wrong;
  c.unaudited = t.counted - c.audited;
  c.precision = Wilson(static_cast<double>(t.right),
                       static_cast<double>(c.audited), kZ95);
  if (t.counted == 0) {
    // Nothing counted: every pass there was, was missed.
    c.true_count = static_cast<double>(t.missed);
    c.recall = Wilson(0.0, static_cast<double>(t.missed), kZ95);
    if (t.missed > 0) c.error = Estimate{-1.0, -1.0, -1.0};
    return c;
  }
  if (!c.precision.value) return c;  // nothing audited: nothing measured
  const double precision = *c.precision.value;
  // The counted crossings that are right: the audited ones marked so, and
  // the unaudited ones at the measured precision.
  const double right = t.right + c.unaudited * precision;
  const double truth = right + static_cast<double>(t.missed);
  c.true_count = truth;
  c.recall = Wilson(right, truth, kZ95);
  if (!(truth > 0.0)) return c;
  c.error.value = static_cast<double>(t.counted) / truth - 1.0;
  const Estimate p = Wilson(static_cast<double>(t.right),
                            static_cast<double>(c.audited), kZ975);
  const Estimate r = Wilson(right, truth, kZ975);
  c.error.low = *r.low / *p.high - 1.0;
  if (*p.low > 0.0) c.error.high = *r.high / *p.low - 1.0;
  return c;
}

}  // namespace kestu_tools
