#include "src/journal/journal_service.h"

#include <zmq.h>

#include <chrono>
#include <utility>

#include <glog/logging.h>

namespace vostek_kestu {
namespace {

using JournalRequest = ::talvenrook::kestu::v1::journal::JournalRequest;

constexpr int kPollMs = 200;
constexpr auto kSyncPeriod = std::chrono::seconds(1);
// A journal that cannot be written says so at most this often.
constexpr auto kErrorLogPeriod = std::chrono::minutes(1);

}  // namespace

JournalService::JournalService(int port, std::string host)
    : port_(port),
      host_(std::move(host)),
      context_(nullptr, [](void* context) { zmq_ctx_term(context); }) {}

JournalService::~JournalService() { Stop(); }

void JournalService::Add(const std::string& driver, EventJournal* journal) {
  journals_[driver] = journal;
}

bool JournalService::Start() {
  context_.reset(zmq_ctx_new());
  void* socket = zmq_socket(context_.get(), ZMQ_REP);
  const int linger = 0;
  zmq_setsockopt(socket, ZMQ_LINGER, &linger, sizeof(linger));
  const int64_t max_request = 64 * 1024;
  zmq_setsockopt(socket, ZMQ_MAXMSGSIZE, &max_request, sizeof(max_request));
  const std::string endpoint = "tcp://" + host_ + ":" + std::to_string(port_);
  if (zmq_bind(socket, endpoint.c_str()) != 0) {
    LOG(ERROR) << "Cannot bind the journal port " << endpoint << ": "
               << zmq_strerror(zmq_errno());
    zmq_close(socket);
    context_.reset();
    return false;
  }
  LOG(INFO) << "Event journal on port " << port_ << ".";
  serve_thread_ = std::thread(&JournalService::Serve, this, socket);
  sync_thread_ = std::thread(&JournalService::SyncLoop, this);
  return true;
}

void JournalService::Stop() {
  stopping_ = true;
  sync_wake_.notify_all();
  if (serve_thread_.joinable()) serve_thread_.join();
  if (sync_thread_.joinable()) sync_thread_.join();
  context_.reset();
}

std::string JournalService::Answer(const std::string& bytes) const {
  JournalRequest request;
  JournalReply reply;
  if (!request.ParseFromString(bytes)) {
    reply.set_error("The request is not a JournalRequest");
    return reply.SerializeAsString();
  }
  const auto found = journals_.find(request.driver());
  if (found == journals_.end()) {
    reply.set_error("No event journal for the driver \"" + request.driver() +
                    "\"");
    return reply.SerializeAsString();
  }
  return found->second
      ->Read(request.after_sequence(), request.max_results(),
             request.position_only())
      .SerializeAsString();
}

void JournalService::Serve(void* socket) {
  while (!stopping_) {
    zmq_pollitem_t item = {socket, 0, ZMQ_POLLIN, 0};
    if (zmq_poll(&item, 1, kPollMs) <= 0) continue;
    zmq_msg_t message;
    zmq_msg_init(&message);
    if (zmq_msg_recv(&message, socket, ZMQ_DONTWAIT) < 0) {
      zmq_msg_close(&message);
      continue;
    }
    const std::string request(static_cast<const char*>(zmq_msg_data(&message)),
                              zmq_msg_size(&message));
    zmq_msg_close(&message);
    const std::string reply = Answer(request);
    if (zmq_send(socket, reply.data(), reply.size(), 0) < 0) {
      LOG(WARNING) << "Could not answer a journal request: "
                   << zmq_strerror(zmq_errno());
    }
  }
  zmq_close(socket);
}

void JournalService::SyncLoop() {
  std::map<std::string, std::chrono::steady_clock::time_point> logged;
  std::unique_lock<std::mutex> lock(sync_mutex_);
  for (;;) {
    sync_wake_.wait_for(lock, kSyncPeriod, [this] { return stopping_.load(); });
    for (const auto& [driver, journal] : journals_) {
      std::string error;
      if (journal->Sync(&error)) continue;
      const auto now = std::chrono::steady_clock::now();
      auto& last = logged[driver];
      if (last.time_since_epoch().count() != 0 &&
          now - last < kErrorLogPeriod) {
        continue;
      }
      last = now;
      LOG(ERROR) << "The event journal of the " << driver
                 << " driver could not be synced: " << error;
    }
    if (stopping_) return;
  }
}

}  // namespace vostek_kestu
