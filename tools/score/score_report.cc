#include "tools/score/score_report.h"

#include <iomanip>
#include <sstream>

namespace kestu_tools {
namespace {

// One "  name   value" line of the table.
template <typename T>
void Row(std::ostringstream& out, const char* name, T value) {
  out << "  " << std::left << std::setw(20) << name << std::right
      << std::setw(9) << value << "\n";
}

void ZoneRow(std::ostringstream& out, const kestu::tools::ZonePassReport& zone,
             const char* direction, int64_t truth, int64_t run,
             int64_t difference) {
  out << std::left << std::setw(6) << zone.zone_id() << std::setw(20)
      << zone.zone_name() << std::setw(10) << direction << std::right
      << std::setw(7) << truth << std::setw(7) << run << std::setw(13)
      << std::showpos << difference << std::noshowpos << "\n";
}

const char* DirectionName(int direction) {
  return direction == ::talvenrook::vision::v1::BACKWARD ? "backward"
                                                         : "forward";
}

void ZoneColumns(std::ostringstream& out, int zone_id, const std::string& name,
                 int direction) {
  out << std::left << std::setw(6) << zone_id << std::setw(20) << name
      << std::setw(10) << DirectionName(direction) << std::right;
}

// "a-b" of frames, or of seconds when the frame rate is known.
std::string Span(double first, double last, int precision) {
  std::ostringstream span;
  span << std::fixed << std::setprecision(precision) << first << "-" << last;
  return span.str();
}

void PassMatches(std::ostringstream& out,
                 const kestu::tools::ScoreReport& report) {
  out << "Pass matching (one to one, at most " << report.pass_tolerance_frames()
      << " frames apart)\n"
      << std::left << std::setw(36) << "zone  name                direction"
      << std::right << std::setw(6) << "truth" << std::setw(6) << "run"
      << std::setw(8) << "matched" << std::setw(7) << "false" << std::setw(7)
      << "missed" << std::setw(10) << "precision" << std::setw(8) << "recall"
      << std::setw(7) << "F1" << std::setw(8) << "delay" << std::setw(7)
      << "worst"
      << "\n";
  for (const auto& match : report.pass_matches()) {
    ZoneColumns(out, match.zone_id(), match.zone_name(), match.direction());
    out << std::setw(6) << match.truth_passes() << std::setw(6)
        << match.run_passes() << std::setw(8) << match.matched() << std::setw(7)
        << match.false_passes() << std::setw(7) << match.missed_passes()
        << std::setw(10) << match.precision() << std::setw(8) << match.recall()
        << std::setw(7) << match.f1() << std::setw(8) << std::setprecision(1)
        << std::showpos << match.mean_delay_frames() << std::noshowpos
        << std::setw(7) << match.worst_delay_frames() << std::setprecision(3)
        << "\n";
  }
  out << "(delay: mean frames from the truth's pass to the run's, late "
         "positive; worst: the farthest match)\n";
}

// Relative figures are "-" where no window holds a truth pass.
std::string Relative(bool has, double value) {
  if (!has) return "-";
  std::ostringstream text;
  text << std::fixed << std::setprecision(3) << value;
  return text.str();
}

void CountErrors(std::ostringstream& out,
                 const kestu::tools::ScoreReport& report) {
  const double fps = report.fps();
  out << "Count error per window of " << std::setprecision(1)
      << report.window_frames() << " frames";
  if (fps > 0.0) out << " (" << report.window_frames() / fps << " s)";
  out << std::setprecision(3) << "\n"
      << std::left << std::setw(36) << "zone  name                direction"
      << std::right << std::setw(8) << "windows" << std::setw(10) << "no truth"
      << std::setw(10) << "mean |e|" << std::setw(10) << "worst |e|"
      << std::setw(8) << "window" << std::setw(10) << "mean rel"
      << std::setw(10) << "worst rel" << std::setw(11) << "pooled rel"
      << "\n";
  for (const auto& error : report.count_errors()) {
    ZoneColumns(out, error.zone_id(), error.zone_name(), error.direction());
    out << std::setw(8) << error.windows() << std::setw(10)
        << error.windows_without_truth() << std::setw(10)
        << error.mean_absolute_error() << std::setw(10)
        << error.worst_absolute_error() << std::setw(8) << error.worst_window()
        << std::setw(10)
        << Relative(error.has_mean_relative_error(),
                    error.mean_relative_error())
        << std::setw(10)
        << Relative(error.has_worst_relative_error(),
                    error.worst_relative_error())
        << std::setw(11)
        << Relative(error.has_pooled_relative_error(),
                    error.pooled_relative_error())
        << "\n";
  }
  out << "(e = run - truth per window; rel = |e| / truth over the windows "
         "with a truth pass; pooled rel = sum |e| / all truth passes)\n"
      << std::left << std::setw(36) << "zone  name                direction"
      << std::right << std::setw(7) << "window" << std::setw(14)
      << (fps > 0.0 ? "seconds" : "frames") << std::setw(7) << "truth"
      << std::setw(6) << "run" << std::setw(6) << "e" << std::setw(8) << "rel"
      << "\n";
  for (const auto& error : report.count_errors()) {
    for (int w = 0; w < error.window_counts_size(); ++w) {
      const kestu::tools::WindowCount& window = error.window_counts(w);
      ZoneColumns(out, error.zone_id(), error.zone_name(), error.direction());
      const std::string span =
          fps > 0.0 ? Span((window.first_frame() - 1) / fps,
                           window.last_frame() / fps, 1)
                    : Span(window.first_frame(), window.last_frame(), 0);
      out << std::setw(7) << w << std::setw(14) << span << std::setw(7)
          << window.truth() << std::setw(6) << window.run() << std::setw(6)
          << std::showpos << window.error() << std::noshowpos << std::setw(8)
          << Relative(window.has_relative_error(), window.relative_error())
          << "\n";
    }
  }
}

}  // namespace

kestu::tools::ScoreReport MakeScoreReport(const ScoreSummary& summary,
                                          const ScoreOptions& options) {
  kestu::tools::ScoreReport report;
  report.set_iou_threshold(options.iou_threshold);
  report.set_ignore_zero_confidence(options.ignore_zero_confidence);
  report.set_frames(summary.frames);
  report.set_truth_identities(summary.truth_identities);
  report.set_result_tracks(summary.result_tracks);
  kestu::tools::ClearMotReport* clear = report.mutable_clear_mot();
  clear->set_mota(summary.clear.mota);
  clear->set_motp(summary.clear.motp);
  clear->set_truth_boxes(summary.clear.truth_boxes);
  clear->set_result_boxes(summary.clear.result_boxes);
  clear->set_matches(summary.clear.matches);
  clear->set_false_positives(summary.clear.false_positives);
  clear->set_misses(summary.clear.misses);
  clear->set_identity_switches(summary.clear.identity_switches);
  kestu::tools::IdentityReport* identity = report.mutable_identity();
  identity->set_idf1(summary.identity.idf1);
  identity->set_idp(summary.identity.idp);
  identity->set_idr(summary.identity.idr);
  identity->set_idtp(summary.identity.idtp);
  identity->set_idfp(summary.identity.idfp);
  identity->set_idfn(summary.identity.idfn);
  return report;
}

std::string FormatScoreTable(const kestu::tools::ScoreReport& report) {
  std::ostringstream out;
  out << std::fixed << std::setprecision(3);
  out << report.frames() << " frames, " << report.truth_identities()
      << " truth identities, " << report.result_tracks()
      << " result tracks (IoU >= " << report.iou_threshold() << ")\n";
  const kestu::tools::ClearMotReport& clear = report.clear_mot();
  out << "CLEAR-MOT\n";
  Row(out, "MOTA", clear.mota());
  Row(out, "MOTP", clear.motp());
  Row(out, "truth boxes", clear.truth_boxes());
  Row(out, "result boxes", clear.result_boxes());
  Row(out, "matches", clear.matches());
  Row(out, "false positives", clear.false_positives());
  Row(out, "misses", clear.misses());
  Row(out, "identity switches", clear.identity_switches());
  const kestu::tools::IdentityReport& identity = report.identity();
  out << "Identity\n";
  Row(out, "IDF1", identity.idf1());
  Row(out, "IDP", identity.idp());
  Row(out, "IDR", identity.idr());
  if (report.zones_size() > 0) {
    out << "Zone passes\n"
        << std::left << std::setw(6) << "zone" << std::setw(20) << "name"
        << std::setw(10) << "direction" << std::right << std::setw(7) << "truth"
        << std::setw(7) << "run" << std::setw(13) << "run - truth"
        << "\n";
    for (const auto& zone : report.zones()) {
      ZoneRow(out, zone, "forward", zone.truth_forward(), zone.run_forward(),
              zone.forward_difference());
      ZoneRow(out, zone, "backward", zone.truth_backward(), zone.run_backward(),
              zone.backward_difference());
    }
  }
  if (report.pass_matches_size() > 0) PassMatches(out, report);
  if (report.count_errors_size() > 0) CountErrors(out, report);
  return out.str();
}

}  // namespace kestu_tools
