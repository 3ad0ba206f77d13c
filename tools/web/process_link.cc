#include "tools/web/process_link.h"

#include <chrono>
#include <memory>
#include <vector>

#include "tools/web/journal_follower.h"

namespace kestu_tools {
namespace {

constexpr Millis kInfoTimeout(1000);
constexpr auto kInfoPeriod = std::chrono::seconds(3);
constexpr Millis kPollPeriod(200);
constexpr Millis kPingTimeout(1000);
constexpr auto kPingPeriod = std::chrono::milliseconds(500);
constexpr Millis kPushTimeout(2000);
// Streamed frames are large; a slow reader keeps only the newest few.
constexpr int kStreamHighWaterMark = 4;
constexpr Millis kJournalTimeout(2000);
// How often a journal is asked for what did not come live, and how long a
// journal that did not answer is left alone.
constexpr auto kCatchUpPeriod = std::chrono::seconds(3);
constexpr auto kJournalRetry = std::chrono::seconds(3);

bool ParsePort(const std::string& text, int* port) {
  if (text.empty() || text.size() > 5) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  *port = std::stoi(text);
  return *port >= 1 && *port <= 65535;
}

zmq::socket_t Subscribe(zmq::context_t& context, const std::string& endpoint,
                        int high_water_mark) {
  zmq::socket_t socket(context, zmq::socket_type::sub);
  socket.set(zmq::sockopt::linger, 0);
  if (high_water_mark > 0) socket.set(zmq::sockopt::rcvhwm, high_water_mark);
  socket.set(zmq::sockopt::subscribe, "");
  socket.connect(endpoint);
  return socket;
}

}  // namespace

bool ParseProcessAddress(const std::string& text, ProcessAddress* address,
                         std::string* error) {
  std::string main = text;
  std::string streaming;
  if (const size_t slash = text.find('/'); slash != std::string::npos) {
    main = text.substr(0, slash);
    streaming = text.substr(slash + 1);
  }
  const size_t colon = main.rfind(':');
  if (colon == std::string::npos || colon == 0) {
    *error = "--process wants host:port[/streaming_port], got \"" + text + "\"";
    return false;
  }
  address->host = main.substr(0, colon);
  if (!ParsePort(main.substr(colon + 1), &address->bind_port) ||
      address->bind_port + kJournalPortOffset > 65535) {
    *error = "--process has no usable port in \"" + text + "\"";
    return false;
  }
  address->streaming_port = address->bind_port - 1;
  if (!streaming.empty() && !ParsePort(streaming, &address->streaming_port)) {
    *error = "--process has no usable streaming port in \"" + text + "\"";
    return false;
  }
  address->name = main;
  return true;
}

std::vector<std::string> TakeProcessArguments(int* argc, char** argv) {
  std::vector<std::string> processes;
  int kept = 1;
  for (int i = 1; i < *argc; ++i) {
    const std::string arg = argv[i];
    for (const std::string prefix : {"--process=", "-process="}) {
      if (arg.rfind(prefix, 0) == 0) {
        processes.push_back(arg.substr(prefix.size()));
        goto next;
      }
    }
    if ((arg == "--process" || arg == "-process") && i + 1 < *argc) {
      processes.push_back(argv[++i]);
      continue;
    }
    argv[kept++] = argv[i];
  next:;
  }
  *argc = kept;
  return processes;
}

ProcessLink::ProcessLink(ProcessListener* hub, ProcessAddress address)
    : hub_(hub), address_(std::move(address)) {
  hub_->AddProcess(address_.name, address_.host, address_.bind_port,
                   address_.streaming_port);
}

ProcessLink::~ProcessLink() { Stop(); }

void ProcessLink::Start() {
  link_thread_ = std::thread(&ProcessLink::Run, this);
  control_thread_ = std::thread(&ProcessLink::Control, this);
}

void ProcessLink::Stop() {
  stopping_ = true;
  if (link_thread_.joinable()) link_thread_.join();
  if (control_thread_.joinable()) control_thread_.join();
  std::lock_guard<std::mutex> lock(push_mutex_);
  pushers_.clear();
}

bool ProcessLink::QueryInfo() {
  auto info = QueryDriverInfo(context_, address_.host, address_.bind_port,
                              kInfoTimeout);
  if (info) {
    // Named before they are shown as reachable.
    for (const auto& driver : info->info()) {
      const int offset = driver.base_port() - address_.bind_port;
      for (const std::string& key : DriverKeys()) {
        if (DriverPortOffset(key) == offset) {
          hub_->SetDriverName(address_.name, key, driver.driver_name());
          hub_->OnDriverInfo(address_.name, key, driver);
        }
      }
    }
  }
  hub_->SetReachable(address_.name, info.has_value());
  return info.has_value();
}

void ProcessLink::Run() {
  // The subscriptions are made once; ZeroMQ reconnects them whenever the
  // process is (again) there.
  struct Channel {
    zmq::socket_t socket;
    std::string driver;  // empty: the streaming port
    bool status = false;
  };
  std::vector<Channel> channels;
  for (const std::string& key : DriverKeys()) {
    const int base = address_.bind_port + DriverPortOffset(key);
    channels.push_back(
        {Subscribe(context_, Endpoint(address_.host, base + 2), 0), key, true});
    channels.push_back(
        {Subscribe(context_, Endpoint(address_.host, base + 3), 0), key,
         false});
  }
  if (address_.streaming_port > 0) {
    channels.push_back(
        {Subscribe(context_, Endpoint(address_.host, address_.streaming_port),
                   kStreamHighWaterMark),
         "", false});
  }
  std::vector<zmq::pollitem_t> items;
  for (Channel& channel : channels) {
    items.push_back({channel.socket.handle(), 0, ZMQ_POLLIN, 0});
  }
  JournalClient journal(&context_, address_.host,
                        address_.bind_port + kJournalPortOffset);
  std::map<std::string, std::unique_ptr<JournalFollower>> followers;
  for (const std::string& key : DriverKeys()) {
    followers[key] = std::make_unique<JournalFollower>(
        hub_, address_.name, key,
        [&journal](const JournalFollower::JournalRequest& request) {
          return journal.Fetch(request);
        });
  }
  auto next_catch_up = std::chrono::steady_clock::now();
  while (!stopping_) {
    if (std::chrono::steady_clock::now() >= next_catch_up) {
      for (auto& [key, follower] : followers) {
        if (follower->FollowsJournal()) follower->CatchUp();
      }
      next_catch_up = std::chrono::steady_clock::now() + kCatchUpPeriod;
    }
    zmq::poll(items.data(), items.size(), kPollPeriod);
    for (size_t i = 0; i < channels.size(); ++i) {
      if (!(items[i].revents & ZMQ_POLLIN)) continue;
      zmq::message_t message;
      while (channels[i].socket.recv(message, zmq::recv_flags::dontwait)) {
        const Channel& channel = channels[i];
        if (channel.status) {
          Status status;
          if (status.ParseFromArray(message.data(), message.size())) {
            hub_->OnStatus(address_.name, channel.driver, status);
          }
        } else {
          VisionResult result;
          if (!result.ParseFromArray(message.data(), message.size())) continue;
          if (channel.driver.empty()) {
            hub_->OnStream(address_.name, result);
          } else {
            followers[channel.driver]->OnLive(result);
          }
        }
      }
    }
  }
}

JournalClient::JournalClient(zmq::context_t* context, std::string host,
                             int port)
    : context_(context), host_(std::move(host)), port_(port) {}

JournalClient::~JournalClient() = default;

std::optional<JournalClient::JournalReply> JournalClient::Fetch(
    const JournalRequest& request) {
  const auto now = std::chrono::steady_clock::now();
  if (now < quiet_until_) return std::nullopt;
  if (!socket_) {
    socket_ = std::make_unique<zmq::socket_t>(*context_, zmq::socket_type::req);
    socket_->set(zmq::sockopt::linger, 0);
    socket_->set(zmq::sockopt::rcvtimeo,
                 static_cast<int>(kJournalTimeout.count()));
    socket_->set(zmq::sockopt::sndtimeo,
                 static_cast<int>(kJournalTimeout.count()));
    socket_->connect(Endpoint(host_, port_));
  }
  JournalReply reply;
  zmq::message_t answer;
  const std::string bytes = request.SerializeAsString();
  bool answered = false;
  try {
    answered =
        socket_->send(zmq::buffer(bytes), zmq::send_flags::none) &&
        socket_->recv(answer, zmq::recv_flags::none) &&
        reply.ParseFromArray(answer.data(), static_cast<int>(answer.size()));
  } catch (const zmq::error_t&) {
    answered = false;
  }
  if (!answered) {
    // A request socket left waiting for its answer cannot ask again.
    socket_.reset();
    quiet_until_ = std::chrono::steady_clock::now() + kJournalRetry;
    return std::nullopt;
  }
  return reply;
}

void ProcessLink::Control() {
  std::map<std::string, std::unique_ptr<DriverClient>> pingers;
  auto next_query = std::chrono::steady_clock::now();
  while (!stopping_) {
    const auto round = std::chrono::steady_clock::now();
    if (round >= next_query) {
      QueryInfo();
      next_query = std::chrono::steady_clock::now() + kInfoPeriod;
    }
    for (const std::string& key : DriverKeys()) {
      if (!hub_->IsControlled(address_.name, key)) continue;
      auto& pinger = pingers[key];
      if (!pinger) {
        pinger = std::make_unique<DriverClient>(
            context_, address_.host,
            address_.bind_port + DriverPortOffset(key));
      }
      if (pinger->Ping(kPingTimeout)) hub_->OnPingAnswered(address_.name, key);
    }
    while (!stopping_ &&
           std::chrono::steady_clock::now() - round < kPingPeriod) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
}

bool ProcessLink::Send(const std::string& driver, const DriverConfig& config) {
  if (DriverPortOffset(driver) == 0) return false;
  hub_->SetControlled(address_.name, driver);
  std::lock_guard<std::mutex> lock(push_mutex_);
  auto& pusher = pushers_[driver];
  if (!pusher) {
    pusher = std::make_unique<DriverClient>(
        context_, address_.host, address_.bind_port + DriverPortOffset(driver));
  }
  return pusher->Push(config, kPushTimeout);
}

}  // namespace kestu_tools
