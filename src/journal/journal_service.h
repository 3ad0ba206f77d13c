// JournalService: the process's journal port (bind port + 13), a REP socket
// that answers each JournalRequest with a JournalReply from the named
// driver's EventJournal, and the thread that syncs every journal once a
// second.
//
// A request that does not parse, or names a driver without a journal, is
// answered with a reply whose `error` says so.
//
//   JournalService service(60013, "127.0.0.1");
//   service.Add("crowd", journal.get());
//   service.Start();  // false when the port cannot be bound
#ifndef SRC_JOURNAL_JOURNAL_SERVICE_H_
#define SRC_JOURNAL_JOURNAL_SERVICE_H_

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "src/journal/event_journal.h"

namespace vostek_kestu {

class JournalService {
 public:
  static constexpr int kPortOffset = 13;

  JournalService(int port, std::string host);
  ~JournalService();

  // Before Start; the journal must outlive the service.
  void Add(const std::string& driver, EventJournal* journal);
  // Binds the port and starts the threads. False, after logging the
  // endpoint, when it cannot be bound.
  bool Start();
  // Ends the threads after a last sync.
  void Stop();

  // The answer to one request (serialised JournalRequest).
  std::string Answer(const std::string& request) const;

 private:
  void Serve(void* socket);
  void SyncLoop();

  const int port_;
  const std::string host_;
  std::map<std::string, EventJournal*> journals_;
  std::unique_ptr<void, void (*)(void*)> context_;
  std::thread serve_thread_;
  std::thread sync_thread_;
  std::atomic<bool> stopping_{false};
  std::mutex sync_mutex_;
  std::condition_variable sync_wake_;
};

}  // namespace vostek_kestu

#endif  // SRC_JOURNAL_JOURNAL_SERVICE_H_
