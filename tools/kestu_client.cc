// kestu-client: a command-line client of a running kestu-vision process.
//
//   kestu-client info
//   kestu-client ping DRIVER
//   kestu-client send DRIVER FILE          (.textproto/.txtpb text, .pb binary)
//   kestu-client action DRIVER NAME [--data FILE]
//   kestu-client listen DRIVER [--count N] [--duration_ms MS]
//   kestu-client stream --out DIR [--count N] [--duration_ms MS]
//
// DRIVER is face, vehicle or crowd. The process is given --timeout_ms to
// answer; send and action then wait --send_timeout_ms (30 s) for the
// driver's answer, as a configuration may open a camera or load models
// first. Exit status: 0 on success, 1 when the process does not answer in
// time or the command line is wrong, 2 when the driver answered with an
// error status.
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include <gflags/gflags.h>
#include <google/protobuf/text_format.h>

#include "tools/driver_client.h"

DEFINE_string(host, "127.0.0.1", "Host of the kestu-vision process");
DEFINE_uint32(bind_port, 60000, "Base port of the kestu-vision process");
DEFINE_uint32(streaming_port, 59999, "Streaming port of the process");
DEFINE_int32(timeout_ms, 3000,
             "How long to wait for the process to answer (info, ping, and "
             "the ping and connection of send/action)");
DEFINE_int32(send_timeout_ms, 30000,
             "send/action: how long to wait for the driver's answer (a "
             "configuration that opens a camera or loads models takes "
             "seconds)");
DEFINE_string(data, "",
              "action: file with the action_data Entity "
              "(.textproto/.txtpb text, .pb binary)");
DEFINE_string(uuid, "", "send/action: uuid of the message (new if empty)");
DEFINE_bool(wait, true, "send/action: wait for the driver's status answer");
DEFINE_string(out, "", "stream: directory for the JPEG files");
DEFINE_int32(count, 0,
             "listen/stream: stop after this many messages (0: never)");
DEFINE_int32(duration_ms, 0, "listen/stream: stop after this time (0: never)");
DEFINE_int32(ping_interval_ms, 1000, "listen: interval between pings");

namespace kestu_tools {
namespace {

using Clock = std::chrono::steady_clock;
namespace pb = google::protobuf;

int Fail(const std::string& message) {
  std::cerr << "kestu-client: " << message << std::endl;
  return 1;
}

bool EndsWith(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() &&
         s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Reads a message from a text-format (.textproto/.txtpb/.pbtxt) or binary
// (.pb) file.
bool ReadMessageFile(const std::string& path, pb::Message* message,
                     std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot open " + path;
    return false;
  }
  std::ostringstream contents;
  contents << in.rdbuf();
  bool ok;
  if (EndsWith(path, ".textproto") || EndsWith(path, ".txtpb") ||
      EndsWith(path, ".pbtxt")) {
    ok = pb::TextFormat::ParseFromString(contents.str(), message);
  } else if (EndsWith(path, ".pb")) {
    ok = message->ParseFromString(contents.str());
  } else {
    *error = path + ": use .textproto, .txtpb or .pb";
    return false;
  }
  if (!ok) *error = path + " does not parse as " + message->GetTypeName();
  return ok;
}

std::string ToText(const pb::Message& message) {
  pb::TextFormat::Printer printer;
  printer.SetTruncateStringFieldLongerThan(64);
  std::string text;
  printer.PrintToString(message, &text);
  return text;
}

int DriverBasePort(const std::string& driver) {
  const int offset = DriverPortOffset(driver);
  return offset == 0 ? 0 : static_cast<int>(FLAGS_bind_port) + offset;
}

Millis Timeout() { return Millis(FLAGS_timeout_ms); }

int Info(zmq::context_t& context) {
  auto info = QueryDriverInfo(context, FLAGS_host,
                              static_cast<int>(FLAGS_bind_port), Timeout());
  if (!info) {
    return Fail("no answer from " + Endpoint(FLAGS_host, FLAGS_bind_port) +
                " within " + std::to_string(FLAGS_timeout_ms) + " ms");
  }
  std::cout << ToText(*info);
  return 0;
}

int Ping(zmq::context_t& context, const std::string& driver) {
  DriverClient client(context, FLAGS_host, DriverBasePort(driver));
  const auto start = Clock::now();
  if (!client.Ping(Timeout())) {
    return Fail(driver + " driver did not answer the ping on " +
                Endpoint(FLAGS_host, client.base_port() + 1) + " within " +
                std::to_string(FLAGS_timeout_ms) + " ms");
  }
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(
      Clock::now() - start);
  std::cout << "pong from " << driver << " driver in " << us.count() << " us"
            << std::endl;
  return 0;
}

// The statuses that answer a configuration or an action; the driver's
// warnings about it come on the way.
bool IsAnswer(const Status& status) {
  switch (status.type()) {
    case Status::CONFIG_RECEIVED:
    case Status::COMMAND_EXECUTED:
    case Status::STATUS_ERROR:
    case Status::STATUS_CRITICAL:
      return true;
    default:
      return false;
  }
}

constexpr Millis kWaitPingPeriod(1000);

// Pings, pushes the configuration and, unless --nowait, prints the status
// answering its uuid (CONFIG_RECEIVED, or COMMAND_EXECUTED for an action, or
// an error), waiting --send_timeout_ms for it.
int SendConfig(zmq::context_t& context, const std::string& driver,
               DriverConfig config) {
  // A message without a configuration is an action (the driver answers
  // COMMAND_EXECUTED).
  const bool action = !config.kestu_eye_config().has_config();
  if (config.uuid().empty()) {
    config.set_uuid(FLAGS_uuid.empty() ? NewUuid() : FLAGS_uuid);
  }
  DriverClient client(context, FLAGS_host, DriverBasePort(driver));
  Subscriber status(context, client.StatusEndpoint(), Timeout());
  if (!client.Ping(Timeout()) || !status.connected()) {
    return Fail(driver + " driver does not answer on " +
                Endpoint(FLAGS_host, client.base_port()) + ".." +
                std::to_string(client.base_port() + 3));
  }
  if (!client.Push(config, Timeout())) {
    return Fail("could not send the configuration to the " + driver +
                " driver");
  }
  std::cout << "sent " << config.uuid() << std::endl;
  if (!FLAGS_wait) return 0;
  const auto deadline = Clock::now() + Millis(FLAGS_send_timeout_ms);
  // The driver is pinged while the answer is awaited: a driver that runs
  // only while a client pings it goes on with the configuration (a camera
  // may take seconds to open).
  auto next_ping = Clock::now() + kWaitPingPeriod;
  while (Clock::now() < deadline) {
    if (Clock::now() >= next_ping) {
      client.Ping(kWaitPingPeriod);
      next_ping = Clock::now() + kWaitPingPeriod;
    }
    const auto until = std::min(deadline, next_ping);
    auto left = std::chrono::duration_cast<Millis>(until - Clock::now());
    auto answer = ReceiveStatus(status, std::max(left, Millis(1)));
    if (!answer) continue;
    // Statuses without a uuid (camera connected, log lines) and the
    // driver's warnings about this configuration come on the way and are
    // shown; the answer is the one that carries our uuid.
    if (answer->uuid().empty()) {
      std::cout << "status {\n" << ToText(*answer) << "}\n" << std::flush;
      continue;
    }
    if (answer->uuid() != config.uuid()) continue;
    if (!IsAnswer(*answer)) {
      std::cout << "status {\n" << ToText(*answer) << "}\n" << std::flush;
      continue;
    }
    std::cout << ToText(*answer);
    const bool error = answer->type() == Status::STATUS_ERROR ||
                       answer->type() == Status::STATUS_CRITICAL;
    return error ? 2 : 0;
  }
  return Fail(driver + " driver: no " +
              (action ? "COMMAND_EXECUTED" : "CONFIG_RECEIVED") +
              " or STATUS_ERROR for " + config.uuid() + " within " +
              std::to_string(FLAGS_send_timeout_ms) + " ms");
}

int Send(zmq::context_t& context, const std::string& driver,
         const std::string& file) {
  DriverConfig config;
  std::string error;
  if (!ReadMessageFile(file, &config, &error)) return Fail(error);
  return SendConfig(context, driver, config);
}

int Action(zmq::context_t& context, const std::string& driver,
           const std::string& name) {
  talvenrook::kestu::v1::kestueye::EnumKestuAction action;
  if (!talvenrook::kestu::v1::kestueye::EnumKestuAction_Parse(name, &action)) {
    return Fail("unknown action " + name + " (for example GET_VERSION)");
  }
  DriverConfig config;
  auto* eye = config.mutable_kestu_eye_config();
  eye->set_action(action);
  std::string error;
  if (!FLAGS_data.empty() &&
      !ReadMessageFile(FLAGS_data, eye->mutable_action_data(), &error)) {
    return Fail(error);
  }
  return SendConfig(context, driver, config);
}

bool TimeIsUp(Clock::time_point start) {
  return FLAGS_duration_ms > 0 &&
         Clock::now() - start >= Millis(FLAGS_duration_ms);
}

// Prints every Status and result of a driver, pinging it meanwhile so that
// it keeps running.
int Listen(zmq::context_t& context, const std::string& driver) {
  DriverClient client(context, FLAGS_host, DriverBasePort(driver));
  Subscriber status(context, client.StatusEndpoint(), Timeout());
  Subscriber data(context, client.DataEndpoint(), Timeout());
  if (!client.Ping(Timeout())) {
    return Fail(driver + " driver did not answer the ping within " +
                std::to_string(FLAGS_timeout_ms) + " ms");
  }
  const auto start = Clock::now();
  auto next_ping = start + Millis(FLAGS_ping_interval_ms);
  int received = 0;
  while (!TimeIsUp(start) && (FLAGS_count == 0 || received < FLAGS_count)) {
    zmq::pollitem_t items[] = {{status.socket().handle(), 0, ZMQ_POLLIN, 0},
                               {data.socket().handle(), 0, ZMQ_POLLIN, 0}};
    zmq::poll(items, 2, Millis(100));
    if (items[0].revents & ZMQ_POLLIN) {
      if (auto answer = ReceiveStatus(status, Millis(0))) {
        std::cout << "status {\n" << ToText(*answer) << "}\n" << std::flush;
        ++received;
      }
    }
    if (items[1].revents & ZMQ_POLLIN) {
      if (auto bytes = data.Receive(Millis(0))) {
        VisionResult result;
        if (result.ParseFromString(*bytes)) {
          std::cout << "result {\n" << ToText(result) << "}\n" << std::flush;
        } else {
          std::cout << "data: " << bytes->size() << " bytes\n" << std::flush;
        }
        ++received;
      }
    }
    if (Clock::now() >= next_ping) {
      if (!client.Ping(Timeout())) {
        std::cerr << "kestu-client: " << driver
                  << " driver stopped answering pings" << std::endl;
      }
      next_ping = Clock::now() + Millis(FLAGS_ping_interval_ms);
    }
  }
  return 0;
}

// Writes the JPEG of every streamed result as DIR/frame_NNNNNN.jpg.
int Stream(zmq::context_t& context) {
  if (FLAGS_out.empty()) return Fail("stream needs --out DIR");
  mkdir(FLAGS_out.c_str(), 0755);
  Subscriber stream(context, Endpoint(FLAGS_host, FLAGS_streaming_port),
                    Timeout());
  if (!stream.connected()) {
    return Fail("no streaming channel on " +
                Endpoint(FLAGS_host, FLAGS_streaming_port));
  }
  const auto start = Clock::now();
  int written = 0;
  while (!TimeIsUp(start) && (FLAGS_count == 0 || written < FLAGS_count)) {
    auto bytes = stream.Receive(Millis(100));
    if (!bytes) continue;
    VisionResult result;
    if (!result.ParseFromString(*bytes)) continue;
    const std::string& jpeg = result.result_image().image();
    if (jpeg.empty()) continue;
    char name[32];
    std::snprintf(name, sizeof(name), "/frame_%06d.jpg", written);
    std::ofstream(FLAGS_out + name, std::ios::binary) << jpeg;
    std::cout << FLAGS_out << name << " (" << result.rect_detection_size()
              << " detections, " << result.vision_event_size() << " events)"
              << std::endl;
    ++written;
  }
  return 0;
}

int Usage() {
  std::cerr << gflags::ProgramUsage() << std::endl;
  return 1;
}

int Run(const std::vector<std::string>& args) {
  if (args.empty()) return Usage();
  zmq::context_t context(1);
  const std::string& command = args[0];
  if (command == "info" && args.size() == 1) return Info(context);
  if (command == "stream" && args.size() == 1) return Stream(context);
  if (args.size() < 2) return Usage();
  if (DriverPortOffset(args[1]) == 0) {
    return Fail("unknown driver " + args[1] + " (face, vehicle or crowd)");
  }
  if (command == "ping" && args.size() == 2) return Ping(context, args[1]);
  if (command == "listen" && args.size() == 2) return Listen(context, args[1]);
  if (command == "send" && args.size() == 3) {
    return Send(context, args[1], args[2]);
  }
  if (command == "action" && args.size() == 3) {
    return Action(context, args[1], args[2]);
  }
  return Usage();
}

}  // namespace
}  // namespace kestu_tools

int main(int argc, char** argv) {
  gflags::SetUsageMessage(
      "kestu-client info | ping DRIVER | send DRIVER FILE | "
      "action DRIVER NAME [--data FILE] | listen DRIVER | stream --out DIR\n"
      "DRIVER is face, vehicle or crowd.");
  gflags::ParseCommandLineFlags(&argc, &argv, true);
  return kestu_tools::Run(std::vector<std::string>(argv + 1, argv + argc));
}
