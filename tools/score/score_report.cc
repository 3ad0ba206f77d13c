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
  return out.str();
}

}  // namespace kestu_tools
