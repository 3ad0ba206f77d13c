#include "tools/web/history_routes.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "kestu_tools.pb.h"
#include "tools/web/local_counts.h"
#include "tools/web/web_page.h"
#include "tools/web/web_util.h"
#include "tools/web/zone_totals.h"

namespace kestu_tools {
namespace {

constexpr int64_t kMaxBuckets = 100000;
constexpr int kMaxOffsetMinutes = 14 * 60;

// ISO 8601 in a fixed offset; "Z" for UTC.
std::string FormatTime(int64_t epoch, int offset_seconds) {
  if (offset_seconds == 0) {
    const std::string iso = SiteTime().Iso(epoch);
    return iso.substr(0, iso.size() - 6) + "Z";
  }
  return SiteTime::Fixed(offset_seconds).Iso(epoch);
}

// One CSV field: quoted when it holds a separator, a quote or a line
// break; a text that a spreadsheet would take for a formula gets a
// leading apostrophe.
std::string CsvField(const std::string& value) {
  std::string field = value;
  if (!field.empty() &&
      std::string("=+-@\t\r").find(field[0]) != std::string::npos) {
    field = "'" + field;
  }
  if (field.find_first_of(",\"\r\n") == std::string::npos) return field;
  std::string quoted = "\"";
  for (char c : field) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

// The rows as CSV; with `local`, the local start and the zone after the
// columns that were always there.
std::string Csv(const kestu::tools::CountsAnswer& answer, bool local) {
  const bool named = std::any_of(
      answer.rows().begin(), answer.rows().end(),
      [](const auto& row) { return !row.direction_name().empty(); });
  std::string csv = "start,epoch,process,driver,tag,zone,direction,count";
  if (local) csv += ",start_local,time_zone";
  csv += named ? ",direction_name\r\n" : "\r\n";
  for (const auto& row : answer.rows()) {
    csv += row.start() + "," +
           std::to_string(static_cast<int64_t>(row.epoch())) + "," +
           CsvField(row.process()) + "," + CsvField(row.driver()) + "," +
           CsvField(row.tag()) + "," + CsvField(row.zone()) + "," +
           CsvField(row.direction()) + "," + std::to_string(row.count());
    if (local) {
      csv += "," + row.start_local() + "," + CsvField(answer.time_zone());
    }
    if (named) csv += "," + CsvField(row.direction_name());
    csv += "\r\n";
  }
  return csv;
}

// A counts request as read.
struct CountsRequest {
  CountsQuery query;
  BucketUnit unit = BucketUnit::kHour;
  SiteTime zone;           // the buckets' zone
  int offset_seconds = 0;  // utc_offset's, for the rows' start
  bool local = false;      // tz was given
  bool all_buckets = false;
};

// Reads the bucket's zone: tz, utc_offset or UTC.
bool ReadZone(const httplib::Request& request, CountsRequest* read,
              std::string* error) {
  const std::string tz =
      request.has_param("tz") ? request.get_param_value("tz") : "";
  const std::string offset = request.has_param("utc_offset")
                                 ? request.get_param_value("utc_offset")
                                 : "";
  if (!tz.empty() && !offset.empty()) {
    *error =
        "give tz (a named time zone) or utc_offset (a fixed offset), not "
        "both";
    return false;
  }
  if (!tz.empty()) {
    read->local = true;
    return SiteTime::Load(tz, &read->zone, error);
  }
  if (offset.empty()) return true;
  char* end = nullptr;
  const long value = std::strtol(offset.c_str(), &end, 10);
  if (*end != '\0' || value < -kMaxOffsetMinutes || value > kMaxOffsetMinutes) {
    *error = "utc_offset must be minutes east of UTC, from -840 to 840";
    return false;
  }
  read->offset_seconds = static_cast<int>(value) * 60;
  read->zone = SiteTime::Fixed(read->offset_seconds);
  return true;
}

// Reads the request's parameters; false with the reason.
bool ReadQuery(const httplib::Request& request, CountsRequest* read,
               kestu::tools::CountsAnswer* answer, std::string* error) {
  auto param = [&request](const char* name) {
    return request.has_param(name) ? request.get_param_value(name)
                                   : std::string();
  };
  CountsQuery* query = &read->query;
  query->process = param("process");
  query->driver = param("driver");
  query->zone = param("zone");
  query->tag = param("tag");
  read->all_buckets = param("all_buckets") == "1";
  const std::string bucket = param("bucket").empty() ? "hour" : param("bucket");
  int64_t span = 0;
  if (bucket == "minute") {
    read->unit = BucketUnit::kMinute;
    span = 3600;
  } else if (bucket == "hour") {
    read->unit = BucketUnit::kHour;
    span = 86400;
  } else if (bucket == "day") {
    read->unit = BucketUnit::kDay;
    span = 30 * 86400;
  } else {
    *error = "bucket must be minute, hour or day, not \"" + bucket + "\"";
    return false;
  }
  if (!ReadZone(request, read, error)) return false;
  const SiteTime& zone = read->zone;
  answer->set_time_zone(zone.name());
  const int64_t now = static_cast<int64_t>(std::ceil(EpochSeconds()));
  if (!param("last").empty()) {
    char* end = nullptr;
    const long long last = std::strtoll(param("last").c_str(), &end, 10);
    if (*end != '\0' || last < 1 || last > kMaxBuckets) {
      *error = "last must be a number of buckets from 1 to " +
               std::to_string(kMaxBuckets);
      return false;
    }
    if (!param("from").empty() || !param("to").empty()) {
      *error = "give last or from and to, not both";
      return false;
    }
    query->from = BucketsBack(zone, read->unit, now, last);
    query->to = zone.BucketEnd(read->unit, zone.BucketStart(read->unit, now));
  } else {
    query->to = now;
    if (!param("to").empty() && !ParseSiteTime(param("to"), zone, &query->to)) {
      *error =
          "to does not read as seconds since the epoch or an ISO 8601 time: " +
          param("to");
      return false;
    }
    query->from = query->to - span;
    if (!param("from").empty() &&
        !ParseSiteTime(param("from"), zone, &query->from)) {
      *error =
          "from does not read as seconds since the epoch or an ISO 8601 "
          "time: " +
          param("from");
      return false;
    }
  }
  if (query->from >= query->to) {
    *error = "from must be before to";
    return false;
  }
  if ((query->to - query->from) / NominalSeconds(read->unit) > kMaxBuckets) {
    *error = "the range holds more than " + std::to_string(kMaxBuckets) +
             " buckets; choose a larger bucket or a shorter range";
    return false;
  }
  answer->set_bucket(bucket);
  answer->set_from(static_cast<double>(query->from));
  answer->set_to(static_cast<double>(query->to));
  answer->set_utc_offset_minutes(read->offset_seconds / 60);
  return true;
}

}  // namespace

void HistoryRoutes::Register(httplib::Server* server) {
  server->Get("/api/counts", [this](const httplib::Request& request,
                                    httplib::Response& response) {
    Counts(request, response, false);
  });
  server->Get("/api/counts.csv", [this](const httplib::Request& request,
                                        httplib::Response& response) {
    Counts(request, response, true);
  });
  server->Get("/api/totals", [this](const httplib::Request& request,
                                    httplib::Response& response) {
    Totals(request, response);
  });
  server->Get("/api/time_zone", [this](const httplib::Request&,
                                       httplib::Response& response) {
    const auto now = static_cast<int64_t>(EpochSeconds());
    response.set_content(Json(SiteZoneAt(site_.time, site_.source, now), true),
                         "application/json");
  });
  server->Get("/totals.js",
              [this](const httplib::Request&, httplib::Response& response) {
                kestu::tools::SiteTimeZone zone;
                zone.set_time_zone(site_.time.name());
                response.set_content("window.kestuSiteZone = " + Json(zone) +
                                         ";\n" + WebTotalsScript(),
                                     "text/javascript; charset=utf-8");
              });
}

void HistoryRoutes::Counts(const httplib::Request& request,
                           httplib::Response& response, bool csv) const {
  kestu::tools::CountsAnswer answer;
  CountsRequest read;
  std::string error;
  std::vector<int64_t> bounds;
  std::vector<CountBucket> buckets;
  if (store_ == nullptr) {
    response.status = 503;
    error = "kestu-web keeps no history (it was started with --database=)";
  } else if (!ReadQuery(request, &read, &answer, &error) ||
             !LocalBuckets(read.zone, read.unit, read.query.from, read.query.to,
                           kMaxBuckets, &bounds, &error)) {
    response.status = 400;
  } else if (!CountLocal(*store_, read.query, bounds, &buckets, &error)) {
    response.status = 500;
  }
  if (!error.empty()) {
    answer.set_error(error);
  }
  for (const CountBucket& bucket : buckets) {
    auto* row = answer.add_rows();
    row->set_start(FormatTime(bucket.start, read.offset_seconds));
    row->set_epoch(static_cast<double>(bucket.start));
    row->set_process(bucket.process);
    row->set_driver(bucket.driver);
    row->set_tag(bucket.tag);
    row->set_zone(bucket.zone);
    row->set_direction(bucket.direction);
    row->set_count(static_cast<int32_t>(bucket.count));
    row->set_start_local(read.zone.Iso(bucket.start));
    if (site_.direction_name && !bucket.direction.empty()) {
      row->set_direction_name(site_.direction_name(
          bucket.process, bucket.driver, bucket.zone, bucket.direction));
    }
  }
  if (read.all_buckets && error.empty()) {
    for (size_t i = 0; i + 1 < bounds.size(); ++i) {
      auto* span = answer.add_buckets();
      span->set_epoch(static_cast<double>(bounds[i]));
      span->set_end(static_cast<double>(bounds[i + 1]));
      span->set_start_local(read.zone.Iso(bounds[i]));
    }
  }
  if (csv && error.empty()) {
    response.set_header("Content-Disposition",
                        "attachment; filename=\"counts.csv\"");
    response.set_content(Csv(answer, read.local), "text/csv; charset=utf-8");
    return;
  }
  response.set_content(Json(answer, true), "application/json");
}

void HistoryRoutes::Totals(const httplib::Request& request,
                           httplib::Response& response) const {
  kestu::tools::TotalsAnswer answer;
  TotalsRequest totals;
  totals.process =
      request.has_param("process") ? request.get_param_value("process") : "";
  totals.driver =
      request.has_param("driver") ? request.get_param_value("driver") : "";
  totals.now = static_cast<int64_t>(EpochSeconds());
  totals.retention_days = site_.retention_days;
  *answer.mutable_time_zone() =
      SiteZoneAt(site_.time, site_.source, totals.now);
  std::string error;
  if (store_ == nullptr) {
    response.status = 503;
    error = "kestu-web keeps no history (it was started with --database=)";
  } else if (totals.process.empty()) {
    response.status = 400;
    error = "name the process (process=host:port)";
  } else if (!ZoneTotals(*store_, site_.first_seen, site_.time, totals, &answer,
                         &error)) {
    response.status = 500;
  }
  if (!error.empty()) answer.set_error(error);
  response.set_content(Json(answer, true), "application/json");
}

}  // namespace kestu_tools
