#include "src/channels/callback_log_sink.h"

#include <utility>

namespace vostek_kestu {

CallbackLogSink::CallbackLogSink(Callback callback)
    : callback_(std::move(callback)) {}

CallbackLogSink::~CallbackLogSink() = default;

void CallbackLogSink::send(google::LogSeverity severity,
                           const char* full_filename, const char* base_filename,
                           int line, const std::tm* tm_time,
                           const char* message, size_t message_len) {
  callback_(static_cast<int>(severity), std::string(message, message_len),
            std::string(full_filename ? full_filename : ""),
            std::string(base_filename ? base_filename : ""), line,
            tm_time ? *tm_time : std::tm{});
}

}  // namespace vostek_kestu
