// A fixture for the command-line tools' tests: writes input files under the
// test's temporary directory and runs the tool as a child process, keeping
// what it printed.
#ifndef TESTS_TOOLS_TOOL_COMMAND_TEST_H_
#define TESTS_TOOLS_TOOL_COMMAND_TEST_H_

#include <chrono>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tests/testing/test_util.h"

namespace kestu_tools {

class ToolCommandTest : public ::testing::Test {
 protected:
  // `binary` is the tool's path; files are named `prefix` + their name.
  ToolCommandTest(std::string binary, std::string prefix)
      : binary_(std::move(binary)), prefix_(std::move(prefix)) {}

  std::string Write(const std::string& name, const std::string& bytes) {
    const std::string path = ::testing::TempDir() + prefix_ + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }
  // The exit status (-1 when the tool did not end within 10 s).
  int Run(const std::vector<std::string>& args) {
    kestu_testing::ChildProcess child(binary_, args);
    const int status = child.Wait(std::chrono::milliseconds(10000));
    out_ = child.Stdout();
    err_ = child.Stderr();
    return status;
  }

  std::string out_, err_;

 private:
  const std::string binary_;
  const std::string prefix_;
};

}  // namespace kestu_tools

#endif  // TESTS_TOOLS_TOOL_COMMAND_TEST_H_
