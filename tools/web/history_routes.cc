#include "tools/web/history_routes.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "kestu_tools.pb.h"
#include "tools/web/web_util.h"

namespace kestu_tools {
namespace {

constexpr int64_t kMaxBuckets = 100000;
constexpr int kMaxOffsetMinutes = 14 * 60;

int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2 ? 1 : 0;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

// "YYYY-MM-DD[(T| )HH:MM[:SS[.fff]]][Z|(+|-)HH[:]MM]"; without a zone the
// time is `offset` seconds east of UTC.
bool ParseIsoTime(const std::string& text, int64_t offset, int64_t* out) {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, used = 0;
  double second = 0.0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2d%n", &year, &month, &day, &used) !=
          3 ||
      used != 10) {
    return false;
  }
  size_t at = 10;
  if (at < text.size() && (text[at] == 'T' || text[at] == ' ')) {
    int clock_used = 0;
    if (std::sscanf(text.c_str() + at + 1, "%2d:%2d%n", &hour, &minute,
                    &clock_used) != 2 ||
        clock_used != 5) {
      return false;
    }
    at += 6;
    if (at < text.size() && text[at] == ':') {
      char* end = nullptr;
      second = std::strtod(text.c_str() + at + 1, &end);
      if (end == text.c_str() + at + 1) return false;
      at = static_cast<size_t>(end - text.c_str());
    }
  }
  if (at < text.size()) {
    const std::string zone = text.substr(at);
    int zone_hours = 0, zone_minutes = 0;
    if (zone == "Z") {
      offset = 0;
    } else if ((zone[0] == '+' || zone[0] == '-') &&
               (std::sscanf(zone.c_str() + 1, "%2d:%2d", &zone_hours,
                            &zone_minutes) == 2 ||
                std::sscanf(zone.c_str() + 1, "%2d%2d", &zone_hours,
                            &zone_minutes) == 2) &&
               (zone.size() == 6 || zone.size() == 5)) {
      offset =
          (zone[0] == '-' ? -1 : 1) * (zone_hours * 3600 + zone_minutes * 60);
    } else {
      return false;
    }
  }
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 ||
      minute > 59 || !(second >= 0.0 && second < 61.0)) {
    return false;
  }
  const int64_t days = DaysFromCivil(year, month, day);
  // 31 February and the like do not come back as the same date.
  const time_t midnight = static_cast<time_t>(days * 86400);
  std::tm check{};
  gmtime_r(&midnight, &check);
  if (check.tm_mday != day) return false;
  *out = days * 86400 + hour * 3600 + minute * 60 +
         static_cast<int64_t>(std::floor(second)) - offset;
  return true;
}

bool ParseTime(const std::string& text, int64_t offset, int64_t* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  const double seconds = std::strtod(text.c_str(), &end);
  if (*end == '\0' && std::isfinite(seconds) &&
      text.find_first_of("eExXnN") == std::string::npos) {
    if (std::fabs(seconds) > 1e12) return false;
    *out = static_cast<int64_t>(std::floor(seconds));
    return true;
  }
  return ParseIsoTime(text, offset, out);
}

std::string FormatTime(int64_t epoch, int64_t offset) {
  const time_t local = static_cast<time_t>(epoch + offset);
  std::tm parts{};
  gmtime_r(&local, &parts);
  char text[40];
  std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%S", &parts);
  std::string result = text;
  if (offset == 0) return result + "Z";
  const int64_t minutes = std::llabs(offset) / 60;
  char zone[8];
  std::snprintf(zone, sizeof(zone), "%c%02d:%02d", offset < 0 ? '-' : '+',
                static_cast<int>(minutes / 60), static_cast<int>(minutes % 60));
  return result + zone;
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

std::string Csv(const kestu::tools::CountsAnswer& answer) {
  std::string csv = "start,epoch,process,driver,tag,zone,direction,count\r\n";
  for (const auto& row : answer.rows()) {
    csv +=
        row.start() + "," + std::to_string(static_cast<int64_t>(row.epoch())) +
        "," + CsvField(row.process()) + "," + CsvField(row.driver()) + "," +
        CsvField(row.tag()) + "," + CsvField(row.zone()) + "," +
        CsvField(row.direction()) + "," + std::to_string(row.count()) + "\r\n";
  }
  return csv;
}

// Reads the request's parameters into the query; false with the reason.
bool ReadQuery(const httplib::Request& request, CountsQuery* query,
               kestu::tools::CountsAnswer* answer, std::string* error) {
  auto param = [&request](const char* name) {
    return request.has_param(name) ? request.get_param_value(name)
                                   : std::string();
  };
  query->process = param("process");
  query->driver = param("driver");
  query->zone = param("zone");
  query->tag = param("tag");
  const std::string bucket = param("bucket").empty() ? "hour" : param("bucket");
  int64_t span = 0;
  if (bucket == "minute") {
    query->bucket_seconds = 60;
    span = 3600;
  } else if (bucket == "hour") {
    query->bucket_seconds = 3600;
    span = 86400;
  } else if (bucket == "day") {
    query->bucket_seconds = 86400;
    span = 30 * 86400;
  } else {
    *error = "bucket must be minute, hour or day, not \"" + bucket + "\"";
    return false;
  }
  int offset_minutes = 0;
  if (!param("utc_offset").empty()) {
    char* end = nullptr;
    const long value = std::strtol(param("utc_offset").c_str(), &end, 10);
    if (*end != '\0' || value < -kMaxOffsetMinutes ||
        value > kMaxOffsetMinutes) {
      *error = "utc_offset must be minutes east of UTC, from -840 to 840";
      return false;
    }
    offset_minutes = static_cast<int>(value);
  }
  query->utc_offset_seconds = offset_minutes * 60;
  query->to = static_cast<int64_t>(std::ceil(EpochSeconds()));
  if (!param("to").empty() &&
      !ParseTime(param("to"), query->utc_offset_seconds, &query->to)) {
    *error =
        "to does not read as seconds since the epoch or an ISO 8601 time: " +
        param("to");
    return false;
  }
  query->from = query->to - span;
  if (!param("from").empty() &&
      !ParseTime(param("from"), query->utc_offset_seconds, &query->from)) {
    *error =
        "from does not read as seconds since the epoch or an ISO 8601 "
        "time: " +
        param("from");
    return false;
  }
  if (query->from >= query->to) {
    *error = "from must be before to";
    return false;
  }
  if ((query->to - query->from) / query->bucket_seconds > kMaxBuckets) {
    *error = "the range holds more than " + std::to_string(kMaxBuckets) +
             " buckets; choose a larger bucket or a shorter range";
    return false;
  }
  answer->set_bucket(bucket);
  answer->set_from(static_cast<double>(query->from));
  answer->set_to(static_cast<double>(query->to));
  answer->set_utc_offset_minutes(offset_minutes);
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
}

void HistoryRoutes::Counts(const httplib::Request& request,
                           httplib::Response& response, bool csv) const {
  kestu::tools::CountsAnswer answer;
  CountsQuery query;
  std::string error;
  std::vector<CountBucket> buckets;
  if (store_ == nullptr) {
    response.status = 503;
    error = "kestu-web keeps no history (it was started with --database=)";
  } else if (!ReadQuery(request, &query, &answer, &error)) {
    response.status = 400;
  } else if (!store_->Counts(query, &buckets, &error)) {
    response.status = 500;
  }
  if (!error.empty()) {
    answer.set_error(error);
  }
  for (const CountBucket& bucket : buckets) {
    auto* row = answer.add_rows();
    row->set_start(FormatTime(bucket.start, query.utc_offset_seconds));
    row->set_epoch(static_cast<double>(bucket.start));
    row->set_process(bucket.process);
    row->set_driver(bucket.driver);
    row->set_tag(bucket.tag);
    row->set_zone(bucket.zone);
    row->set_direction(bucket.direction);
    row->set_count(static_cast<int32_t>(bucket.count));
  }
  if (csv && error.empty()) {
    response.set_header("Content-Disposition",
                        "attachment; filename=\"counts.csv\"");
    response.set_content(Csv(answer), "text/csv; charset=utf-8");
    return;
  }
  response.set_content(Json(answer, true), "application/json");
}

}  // namespace kestu_tools
