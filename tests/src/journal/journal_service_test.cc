// The journal port over real sockets: what a consumer asks and is told.
#include "src/journal/journal_service.h"

#include <cstdlib>
#include <optional>
#include <string>

#include <gtest/gtest.h>
#include <zmq.hpp>

#include "tests/testing/test_util.h"
#include "tools/driver_client.h"

namespace vostek_kestu {
namespace {

using JournalRequest = ::talvenrook::kestu::v1::journal::JournalRequest;
using ::talvenrook::vision::v1::VisionResult;

class JournalServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char folder[] = "/tmp/kestu-journal-service-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    root_ = folder;
    JournalOptions options;
    options.folder = root_ + "/crowd";
    options.max_read = 4;
    std::string error;
    journal_ = EventJournal::Open(options, &error);
    ASSERT_NE(journal_, nullptr) << error;
    for (int i = 0; i < 10; ++i) {
      VisionResult result;
      result.set_uuid("r" + std::to_string(i + 1));
      ASSERT_TRUE(journal_->Append(&result, &error));
    }
    // A port for each test: ctest runs them side by side.
    const std::string name =
        ::testing::UnitTest::GetInstance()->current_test_info()->name();
    port_ = kestu_testing::PortBlock(343) +
            (name.rfind("RequestThatIsNotOne", 0) == 0 ? 1 : 0);
    service_ = std::make_unique<JournalService>(port_, "127.0.0.1");
    service_->Add("crowd", journal_.get());
    ASSERT_TRUE(service_->Start());
  }
  void TearDown() override {
    service_.reset();
    journal_.reset();
    std::system(("rm -rf " + root_).c_str());
  }

  std::optional<JournalReply> Ask(const std::string& bytes) {
    zmq::socket_t socket(context_, zmq::socket_type::req);
    socket.set(zmq::sockopt::linger, 0);
    socket.set(zmq::sockopt::rcvtimeo, 5000);
    socket.connect("tcp://127.0.0.1:" + std::to_string(port_));
    socket.send(zmq::buffer(bytes), zmq::send_flags::none);
    zmq::message_t answer;
    if (!socket.recv(answer, zmq::recv_flags::none)) return std::nullopt;
    JournalReply reply;
    if (!reply.ParseFromArray(answer.data(), static_cast<int>(answer.size())))
      return std::nullopt;
    return reply;
  }

  std::string root_;
  int port_ = 0;
  zmq::context_t context_{1};
  std::unique_ptr<EventJournal> journal_;
  std::unique_ptr<JournalService> service_;
};

TEST_F(JournalServiceTest, AnswersEachRequestFromTheNamedDriversJournal) {
  struct Case {
    std::string name;
    std::string driver;
    uint64_t after;
    uint32_t max;
    bool position_only;
    std::string error;  // a part of it
    std::vector<std::string> uuids;
  };
  const std::vector<Case> cases = {
      {"first page, bounded by the process",
       "crowd",
       0,
       0,
       false,
       "",
       {"r1", "r2", "r3", "r4"}},
      {"a smaller page", "crowd", 5, 2, false, "", {"r6", "r7"}},
      {"the end", "crowd", 8, 0, false, "", {"r9", "r10"}},
      {"nothing after the last", "crowd", 10, 0, false, "", {}},
      {"the position only", "crowd", 0, 0, true, "", {}},
      {"a driver without a journal",
       "face",
       0,
       0,
       false,
       "No event journal for the driver \"face\"",
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    JournalRequest request;
    request.set_driver(c.driver);
    request.set_after_sequence(c.after);
    request.set_max_results(c.max);
    request.set_position_only(c.position_only);
    const auto reply = Ask(request.SerializeAsString());
    ASSERT_TRUE(reply);
    EXPECT_NE(reply->error().find(c.error), std::string::npos)
        << reply->error();
    if (!c.error.empty()) continue;
    std::vector<std::string> uuids;
    for (const auto& result : reply->result()) uuids.push_back(result.uuid());
    EXPECT_EQ(uuids, c.uuids);
    EXPECT_EQ(reply->journal_id(), journal_->id());
    EXPECT_EQ(reply->last_sequence(), 10u);
    EXPECT_EQ(reply->first_sequence(), 1u);
  }
}

TEST_F(JournalServiceTest, RequestThatIsNotOneIsAnsweredWithAnError) {
  const auto reply = Ask("\xff\xff\xff not a request");
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->error(), "The request is not a JournalRequest");
  // The port still answers.
  JournalRequest request;
  request.set_driver("crowd");
  const auto next = Ask(request.SerializeAsString());
  ASSERT_TRUE(next);
  EXPECT_TRUE(next->error().empty());
}

}  // namespace
}  // namespace vostek_kestu
