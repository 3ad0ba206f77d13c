#ifndef SRC_CHANNELS_CALLBACK_LOG_SINK_H_
#define SRC_CHANNELS_CALLBACK_LOG_SINK_H_

#include <ctime>
#include <functional>
#include <string>

#include <glog/logging.h>

namespace vostek_kestu {

// A log sink that hands every log line to a callback. Each driver owns one
// and registers it with the logging library only while log forwarding is
// enabled; its callback forwards the line to the driver's error channel.
class CallbackLogSink : public google::LogSink {
 public:
  using Callback = std::function<void(
      int severity, const std::string& message, const std::string& full_file,
      const std::string& base_file, int line, const std::tm& time)>;

  explicit CallbackLogSink(Callback callback);
  ~CallbackLogSink() override;

  using google::LogSink::send;
  void send(google::LogSeverity severity, const char* full_filename,
            const char* base_filename, int line, const std::tm* tm_time,
            const char* message, size_t message_len) override;

 private:
  Callback callback_;
};

}  // namespace vostek_kestu

#endif  // SRC_CHANNELS_CALLBACK_LOG_SINK_H_
