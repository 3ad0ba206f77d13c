// The test programs' child processes: what they report, and that none
// outlives the test program that started it.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/testing/test_util.h"

namespace kestu_testing {
namespace {

using std::chrono::milliseconds;

struct RunCase {
  const char* name;
  std::string binary;
  std::vector<std::string> args;
  bool started;
  int status;
  std::string out;
  std::string err;
};

class ChildRunTest : public ::testing::TestWithParam<RunCase> {};

TEST_P(ChildRunTest, ReportsWhatTheChildDid) {
  const RunCase& c = GetParam();
  ChildProcess child(c.binary, c.args);
  EXPECT_EQ(child.pid() > 0, c.started);
  EXPECT_EQ(child.Wait(milliseconds(10000)), c.status);
  EXPECT_EQ(child.Stdout(), c.out);
  EXPECT_EQ(child.Stderr(), c.err);
  EXPECT_FALSE(child.Running());
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, ChildRunTest,
    ::testing::Values(RunCase{"ExitAndOutputs",
                              "/bin/sh",
                              {"-c", "echo out; echo err >&2; exit 3"},
                              true,
                              3,
                              "out\n",
                              "err\n"},
                      RunCase{
                          "NoStandardInput", "/bin/cat", {}, true, 0, "", ""},
                      RunCase{"KilledBySignal",
                              "/bin/sh",
                              {"-c", "kill -TERM $$"},
                              true,
                              128 + SIGTERM,
                              "",
                              ""},
                      RunCase{"NoSuchBinary",
                              "/nonexistent/kestu-binary",
                              {},
                              false,
                              -1,
                              "",
                              ""}),
    [](const auto& info) { return std::string(info.param.name); });

// The child has its output files as 1 and 2, and no other copy of them.
TEST(ChildProcessTest, OutputFilesOnlyAsStandardOutputAndError) {
  ChildProcess child("/bin/sh", {"-c", "ls -l /proc/$$/fd"});
  ASSERT_EQ(child.Wait(milliseconds(10000)), 0) << child.Stderr();
  const std::string listing = child.Stdout();
  size_t copies = 0;
  for (size_t at = listing.find("/tmp/kestu-test-"); at != std::string::npos;
       at = listing.find("/tmp/kestu-test-", at + 1)) {
    ++copies;
  }
  EXPECT_EQ(copies, 2u) << listing;
}

// Whether a process is gone (or only a zombie waiting for its reaper).
bool Gone(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return true;
  const size_t state = line.rfind(") ");
  return state != std::string::npos && line[state + 2] == 'Z';
}

// A test program killed from outside takes its children with it.
TEST(ChildProcessTest, DiesWithTheTestProgram) {
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  const pid_t program = fork();
  ASSERT_GE(program, 0);
  if (program == 0) {
    close(pipe_fds[0]);
    ChildProcess server("/bin/sleep", {"60"});
    const pid_t pid = server.pid();
    if (write(pipe_fds[1], &pid, sizeof(pid)) != sizeof(pid)) _exit(1);
    pause();
    _exit(0);
  }
  close(pipe_fds[1]);
  pid_t server = -1;
  ASSERT_EQ(read(pipe_fds[0], &server, sizeof(server)),
            static_cast<ssize_t>(sizeof(server)));
  close(pipe_fds[0]);
  ASSERT_GT(server, 0);
  EXPECT_FALSE(Gone(server));

  ASSERT_EQ(kill(program, SIGKILL), 0);
  ASSERT_EQ(waitpid(program, nullptr, 0), program);
  EXPECT_TRUE(PollUntil([&] { return Gone(server); }, milliseconds(10000)));
  if (!Gone(server)) kill(server, SIGKILL);
}

}  // namespace
}  // namespace kestu_testing
