#include "tools/web/audit_routes.h"

#include <algorithm>
#include <cmath>
#include <set>
#include <string>
#include <vector>

#include <absl/time/time.h>
#include <google/protobuf/struct.pb.h>

#include "tools/driver_client.h"
#include "tools/web/audit_figures.h"
#include "tools/web/web_util.h"

namespace kestu_tools {
namespace {

using google::protobuf::Struct;
using google::protobuf::Value;

constexpr double kDefaultWindow = 3600.0;
constexpr size_t kMaxNote = 500;
constexpr char kDirections[][9] = {"FORWARD", "BACKWARD"};

Value Number(double number) {
  Value v;
  v.set_number_value(number);
  return v;
}
Value Text(const std::string& text) {
  Value v;
  v.set_string_value(text);
  return v;
}
Value Null() {
  Value v;
  v.set_null_value(google::protobuf::NULL_VALUE);
  return v;
}
Value Optional(const std::optional<double>& number) {
  return number ? Number(*number) : Null();
}
Value Object(Struct object) {
  Value v;
  *v.mutable_struct_value() = std::move(object);
  return v;
}

void Answer(httplib::Response& response, int status, const Struct& body) {
  response.status = status;
  response.set_content(Json(body), "application/json");
}

void Fail(httplib::Response& response, int status, const std::string& error) {
  Struct body;
  (*body.mutable_fields())["error"] = Text(error);
  Answer(response, status, body);
}

// Seconds since the epoch, an RFC 3339 time, or a local time in `zone`.
bool ParseTime(const std::string& text, const absl::TimeZone* zone, double* out,
               std::string* error) {
  char* end = nullptr;
  const double seconds = std::strtod(text.c_str(), &end);
  if (!text.empty() && *end == '\0' &&
      text.find_first_of("xXnN") == std::string::npos) {
    if (!std::isfinite(seconds) || std::fabs(seconds) > 1e12) {
      *error = "the time " + text + " is out of range";
      return false;
    }
    *out = seconds;
    return true;
  }
  absl::Time time;
  std::string reason;
  if (absl::ParseTime(absl::RFC3339_full, text, &time, &reason)) {
    *out = absl::ToDoubleSeconds(time - absl::UnixEpoch());
    return true;
  }
  if (zone != nullptr) {
    for (const char* format : {"%Y-%m-%dT%H:%M:%E*S", "%Y-%m-%dT%H:%M"}) {
      if (absl::ParseTime(format, text, *zone, &time, &reason)) {
        *out = absl::ToDoubleSeconds(time - absl::UnixEpoch());
        return true;
      }
    }
  }
  *error = "the time \"" + text +
           "\" is neither seconds since the epoch nor an RFC 3339 time" +
           (zone != nullptr ? " nor a local time YYYY-MM-DDTHH:MM[:SS]"
                            : " (a local time needs tz=<zone name>)");
  return false;
}

bool KnownDriver(const std::string& driver) {
  const auto& keys = DriverKeys();
  return std::find(keys.begin(), keys.end(), driver) != keys.end();
}

bool ReadWindow(const httplib::Request& q, AuditWindow* w, std::string* error) {
  w->process = q.get_param_value("process");
  w->driver = q.get_param_value("driver");
  w->zone = q.get_param_value("zone");
  if (w->process.empty() || !KnownDriver(w->driver)) {
    *error = "process and driver (face, vehicle or crowd) are required";
    return false;
  }
  absl::TimeZone zone;
  const bool zoned = q.has_param("tz");
  if (zoned && !absl::LoadTimeZone(q.get_param_value("tz"), &zone)) {
    *error = "unknown time zone \"" + q.get_param_value("tz") +
             "\": not an IANA name of the system's time zone data";
    return false;
  }
  w->to = EpochSeconds();
  if (q.has_param("to") && !ParseTime(q.get_param_value("to"),
                                      zoned ? &zone : nullptr, &w->to, error)) {
    return false;
  }
  w->from = w->to - kDefaultWindow;
  if (q.has_param("from") &&
      !ParseTime(q.get_param_value("from"), zoned ? &zone : nullptr, &w->from,
                 error)) {
    return false;
  }
  if (!(w->from < w->to)) {
    *error = "from must come before to";
    return false;
  }
  return true;
}

Value EstimateValue(const Estimate& e) {
  Struct s;
  (*s.mutable_fields())["value"] = Optional(e.value);
  (*s.mutable_fields())["low"] = Optional(e.low);
  (*s.mutable_fields())["high"] = Optional(e.high);
  return Object(std::move(s));
}

Value Figures(const std::string& zone, const std::string& direction,
              const LineDirection& line) {
  const CountError error = MeasureCountError(line.tally);
  Struct s;
  auto& f = *s.mutable_fields();
  f["zone"] = Text(zone);
  f["direction"] = Text(direction);
  f["directionName"] = Text(line.direction_name);
  f["counted"] = Number(static_cast<double>(line.tally.counted));
  f["audited"] = Number(static_cast<double>(error.audited));
  f["unaudited"] = Number(static_cast<double>(error.unaudited));
  f["right"] = Number(static_cast<double>(line.tally.right));
  f["wrong"] = Number(static_cast<double>(line.tally.wrong));
  f["missed"] = Number(static_cast<double>(line.tally.missed));
  f["true"] = Optional(error.true_count);
  f["precision"] = EstimateValue(error.precision);
  f["recall"] = EstimateValue(error.recall);
  f["countError"] = EstimateValue(error.error);
  return Object(std::move(s));
}

// What each figure is, for whoever reads the JSON.
Value About() {
  Struct s;
  auto& f = *s.mutable_fields();
  f["counted"] = Text("zone exits the line published in the window");
  f["audited"] = Text("counted crossings marked right or wrong");
  f["unaudited"] = Text("counted crossings not marked (counted - audited)");
  f["right"] = Text("crossings marked right: a person passed that way");
  f["wrong"] = Text("crossings marked wrong: no such pass");
  f["missed"] = Text("passes the operator added that the line did not count");
  f["true"] = Text(
      "passes that happened: right + missed, with the unaudited crossings "
      "taken as right at the measured precision");
  f["precision"] = Text("right / (right + wrong), 95 % Wilson score interval");
  f["recall"] = Text("right / true, 95 % Wilson score interval");
  f["countError"] = Text(
      "(counted - true) / true: above 0 the line over-counts; interval from "
      "97.5 % Wilson intervals of recall and precision (recall / precision "
      "- 1), together 95 % or more; a bound is null where the data leave it "
      "open");
  return Object(std::move(s));
}

}  // namespace

void AuditRoutes::Register(httplib::Server* server) {
  server->Get("/audit", [](const httplib::Request&, httplib::Response& r) {
    r.set_content(WebAuditPage(), "text/html; charset=utf-8");
  });
  server->Get("/api/audit", [this](const httplib::Request& q,
                                   httplib::Response& r) { Audit(q, r); });
  server->Post("/api/audit/marks",
               [this](const httplib::Request& q, httplib::Response& r) {
                 PostMark(q, r);
               });
  server->Post("/api/audit/missed",
               [this](const httplib::Request& q, httplib::Response& r) {
                 PostMissed(q, r);
               });
  server->Delete(R"(/api/audit/missed/(\d+))",
                 [this](const httplib::Request& q, httplib::Response& r) {
                   DeleteMissed(q, r);
                 });
  server->Get(
      "/api/snapshots", [this](const httplib::Request&, httplib::Response& r) {
        Struct s;
        auto& f = *s.mutable_fields();
        f["on"].set_bool_value(files_ != nullptr);
        f["days"] = Number(files_ != nullptr ? files_->days() : 0);
        f["maxMb"] =
            Number(files_ != nullptr ? files_->max_bytes() / 1048576.0 : 0);
        Answer(r, 200, s);
      });
  server->Get(R"(/snapshots/(\d{1,18})\.jpg)",
              [this](const httplib::Request& q, httplib::Response& r) {
                ServeSnapshot(std::stoll(q.matches[1]), r);
              });
  server->Get(R"(/snapshot-of/([0-9a-f-]{1,64})/(\d{1,4})\.jpg)",
              [this](const httplib::Request& q, httplib::Response& r) {
                const int64_t id =
                    taker_ == nullptr
                        ? 0
                        : taker_->SnapshotId(q.matches[1],
                                             std::stoi(q.matches[2]));
                if (id == 0) return Fail(r, 404, "no snapshot (yet)");
                ServeSnapshot(id, r);
              });
}

std::string AuditRoutes::NoSnapshot(double time) const {
  if (files_ == nullptr) {
    return "snapshots are off (kestu-web runs without --snapshot_days)";
  }
  if (time < EpochSeconds() - files_->days() * 86400.0) {
    return "older than --snapshot_days (" + std::to_string(files_->days()) +
           "): its snapshot was removed";
  }
  return "no streamed frame of this crossing reached kestu-web (or its "
         "snapshot was removed to keep within --snapshot_max_mb)";
}

void AuditRoutes::ServeSnapshot(int64_t id, httplib::Response& response) {
  double time = 0.0;
  std::optional<std::string> jpeg;
  if (files_ != nullptr && store_ != nullptr && store_->ExitTime(id, &time)) {
    jpeg = files_->Read(id, time);
  }
  if (!jpeg)
    return Fail(response, 404,
                "no snapshot of the zone exit " + std::to_string(id));
  response.set_header("Cache-Control", "max-age=86400");
  response.set_content(*jpeg, "image/jpeg");
}

void AuditRoutes::Audit(const httplib::Request& request,
                        httplib::Response& response) {
  if (store_ == nullptr)
    return Fail(response, 503, "kestu-web keeps no history");
  AuditWindow window;
  std::string error;
  if (!ReadWindow(request, &window, &error)) return Fail(response, 400, error);
  std::vector<AuditCrossing> crossings;
  std::vector<MissedPass> missed;
  std::vector<std::string> lines;
  AuditTallies tallies;
  bool more = false;
  if (!store_->Crossings(window, &crossings, &more, &error) ||
      !store_->Missed(window, &missed, &error) ||
      !store_->Tallies(window, &tallies, &error) ||
      !store_->Lines(window.process, window.driver, &lines, &error)) {
    return Fail(response, 500, error);
  }
  Struct body;
  auto& f = *body.mutable_fields();
  f["process"] = Text(window.process);
  f["driver"] = Text(window.driver);
  f["zone"] = Text(window.zone);
  f["from"] = Number(window.from);
  f["to"] = Number(window.to);
  f["snapshots"].set_bool_value(files_ != nullptr);
  f["more"].set_bool_value(more);
  for (const std::string& line : lines) {
    *f["lines"].mutable_list_value()->add_values() = Text(line);
  }
  f["lines"].mutable_list_value();
  auto* list = f["crossings"].mutable_list_value();
  for (const AuditCrossing& c : crossings) {
    Struct s;
    auto& g = *s.mutable_fields();
    g["id"] = Number(static_cast<double>(c.id));
    g["time"] = Number(c.time);
    g["zone"] = Text(c.zone);
    g["direction"] = Text(c.direction);
    g["directionName"] = Text(c.direction_name);
    g["trackingId"] = Number(static_cast<double>(c.tracking_id));
    g["type"] = Text(c.type);
    g["mark"] = Text(c.verdict);
    if (files_ != nullptr && files_->Has(c.id, c.time)) {
      g["snapshot"] = Text("/snapshots/" + std::to_string(c.id) + ".jpg");
    } else {
      g["snapshot"] = Null();
      g["noSnapshot"] = Text(NoSnapshot(c.time));
    }
    *list->add_values() = Object(std::move(s));
  }
  auto* passes = f["missed"].mutable_list_value();
  for (const MissedPass& p : missed) {
    Struct s;
    auto& g = *s.mutable_fields();
    g["id"] = Number(static_cast<double>(p.id));
    g["time"] = Number(p.time);
    g["zone"] = Text(p.zone);
    g["direction"] = Text(p.direction);
    g["note"] = Text(p.note);
    *passes->add_values() = Object(std::move(s));
  }
  // Both directions of every line with crossings or missed passes.
  std::set<std::string> zones;
  for (const auto& [key, line] : tallies) zones.insert(key.first);
  auto* figures = f["figures"].mutable_list_value();
  for (const std::string& zone : zones) {
    for (const char* direction : kDirections) {
      *figures->add_values() =
          Figures(zone, direction, tallies[{zone, direction}]);
    }
  }
  f["about"] = About();
  Answer(response, 200, body);
}

void AuditRoutes::PostMark(const httplib::Request& request,
                           httplib::Response& response) {
  if (store_ == nullptr)
    return Fail(response, 503, "kestu-web keeps no history");
  Struct in;
  if (!ParseJson(request.body, &in)) {
    return Fail(response, 400, "the body is not a JSON object");
  }
  const auto& f = in.fields();
  const auto id = f.find("id");
  const auto verdict = f.find("verdict");
  if (id == f.end() || !id->second.has_number_value() ||
      id->second.number_value() < 1 || id->second.number_value() > 1e15 ||
      std::floor(id->second.number_value()) != id->second.number_value()) {
    return Fail(response, 400, "\"id\" must be the id of a zone exit");
  }
  if (verdict == f.end() || !verdict->second.has_string_value() ||
      (verdict->second.string_value() != "right" &&
       verdict->second.string_value() != "wrong" &&
       !verdict->second.string_value().empty())) {
    return Fail(response, 400,
                "\"verdict\" must be \"right\", \"wrong\" or \"\" (no mark)");
  }
  bool unknown = false;
  std::string error;
  if (!store_->Mark(static_cast<int64_t>(id->second.number_value()),
                    verdict->second.string_value(), &unknown, &error)) {
    return Fail(response, unknown ? 404 : 500, error);
  }
  Struct out;
  (*out.mutable_fields())["ok"].set_bool_value(true);
  Answer(response, 200, out);
}

void AuditRoutes::PostMissed(const httplib::Request& request,
                             httplib::Response& response) {
  if (store_ == nullptr)
    return Fail(response, 503, "kestu-web keeps no history");
  Struct in;
  if (!ParseJson(request.body, &in)) {
    return Fail(response, 400, "the body is not a JSON object");
  }
  const auto& f = in.fields();
  auto text = [&f](const char* key) {
    const auto it = f.find(key);
    return it != f.end() && it->second.has_string_value()
               ? it->second.string_value()
               : std::string();
  };
  MissedPass pass;
  pass.process = text("process");
  pass.driver = text("driver");
  pass.zone = text("zone");
  pass.direction = text("direction");
  pass.note = text("note");
  std::string error;
  const auto time = f.find("time");
  if (pass.process.empty() || !KnownDriver(pass.driver)) {
    error = "\"process\" and \"driver\" (face, vehicle or crowd) are required";
  } else if (pass.zone.empty()) {
    error = "\"zone\" must name the line";
  } else if (pass.direction != "FORWARD" && pass.direction != "BACKWARD") {
    error = "\"direction\" must be \"FORWARD\" or \"BACKWARD\"";
  } else if (pass.note.size() > kMaxNote) {
    error = "\"note\" is longer than " + std::to_string(kMaxNote) + " bytes";
  } else if (time == f.end() || !(time->second.has_number_value() ||
                                  time->second.has_string_value())) {
    error = "\"time\" (seconds since the epoch or RFC 3339) is required";
  } else if (time->second.has_number_value()) {
    pass.time = time->second.number_value();
    if (!(pass.time > 0.0 && pass.time < 1e12)) {
      error = "\"time\" is out of range";
    }
  } else {
    absl::TimeZone zone;
    const std::string tz = text("tz");
    if (!tz.empty() && !absl::LoadTimeZone(tz, &zone)) {
      error = "unknown time zone \"" + tz +
              "\": not an IANA name of the system's time zone data";
    } else {
      ParseTime(time->second.string_value(), tz.empty() ? nullptr : &zone,
                &pass.time, &error);
    }
  }
  if (!error.empty()) return Fail(response, 400, error);
  int64_t id = 0;
  if (!store_->AddMissed(pass, &id, &error)) return Fail(response, 500, error);
  Struct out;
  (*out.mutable_fields())["id"] = Number(static_cast<double>(id));
  Answer(response, 200, out);
}

void AuditRoutes::DeleteMissed(const httplib::Request& request,
                               httplib::Response& response) {
  if (store_ == nullptr)
    return Fail(response, 503, "kestu-web keeps no history");
  bool unknown = false;
  std::string error;
  int64_t id = 0;
  try {
    id = std::stoll(request.matches[1]);
  } catch (const std::exception&) {
    return Fail(response, 400, "not an id");
  }
  if (!store_->RemoveMissed(id, &unknown, &error)) {
    return Fail(response, unknown ? 404 : 500, error);
  }
  Struct out;
  (*out.mutable_fields())["ok"].set_bool_value(true);
  Answer(response, 200, out);
}

}  // namespace kestu_tools
