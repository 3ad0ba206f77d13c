// Reading a process's event journal whole, as a consumer would, for tests
// that compare it with what was published, stored and sent on.
#ifndef TESTS_TESTING_JOURNAL_READER_H_
#define TESTS_TESTING_JOURNAL_READER_H_

#include <optional>
#include <string>
#include <vector>

#include <zmq.hpp>

#include "tools/web/process_link.h"

namespace kestu_testing {

using JournalReply = ::talvenrook::kestu::v1::journal::JournalReply;
using JournalRequest = ::talvenrook::kestu::v1::journal::JournalRequest;

// One question to the journal port; nullopt when it does not answer.
inline std::optional<JournalReply> AskJournal(zmq::context_t& context, int port,
                                              const JournalRequest& request) {
  kestu_tools::JournalClient client(&context, "127.0.0.1", port);
  return client.Fetch(request);
}

// Every result the driver's journal holds, page by page; `last` (when
// given) receives the last reply.
inline std::vector<::talvenrook::vision::v1::VisionResult> ReadWholeJournal(
    zmq::context_t& context, int port, const std::string& driver,
    JournalReply* last = nullptr) {
  std::vector<::talvenrook::vision::v1::VisionResult> held;
  JournalRequest request;
  request.set_driver(driver);
  for (int page = 0; page < 100000; ++page) {
    const std::optional<JournalReply> reply =
        AskJournal(context, port, request);
    if (!reply) break;
    if (last != nullptr) *last = *reply;
    if (reply->result_size() == 0) break;
    for (const auto& result : reply->result()) held.push_back(result);
    request.set_after_sequence(held.back().sequence());
  }
  return held;
}

}  // namespace kestu_testing

#endif  // TESTS_TESTING_JOURNAL_READER_H_
