// What a configuration's set-up writes reaches its sender as values: in
// order, each level as its status type, info left out, the lines beyond the
// limit counted; lines written on other threads are not collected.
#include "src/driver/setup_note_sender.h"

#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "vision/config/setup_notes.h"

namespace vostek_kestu {
namespace {

using talvenrook_vision::NoteError;
using talvenrook_vision::NoteInfo;
using talvenrook_vision::NoteWarning;
using talvenrook_vision::SetupNotes;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using Sent = std::pair<SetupNoteSender::Status::MessageType, std::string>;

constexpr auto kError = SetupNoteSender::Status::STATUS_ERROR;
constexpr auto kWarning = SetupNoteSender::Status::STATUS_WARNING;

struct SenderCase {
  const char* name;
  int max_lines;
  std::vector<Sent> expected;
};

class SetupNoteSenderTest : public ::testing::TestWithParam<SenderCase> {};

TEST_P(SetupNoteSenderTest, SendsWhatTheSetUpWroteInOrder) {
  const SenderCase& c = GetParam();
  SetupNotes notes;
  std::vector<Sent> sent;
  SetupNoteSender sender(
      &notes,
      [&](SetupNoteSender::Status::MessageType type, const std::string& line) {
        sent.emplace_back(type, line);
      },
      c.max_lines);
  ::testing::internal::CaptureStderr();
  {
    SetupNotes::Collect collect(&notes);
    NoteInfo("Configuring 2 zones.");
    NoteError("Property B was not found");
    sender.SendNew();  // as before a refusal
    NoteWarning("Area #1 is not a list of at least 3 points");
    {
      // An inner collection takes the lines while it lives.
      SetupNotes inner;
      SetupNotes::Collect nested(&inner);
      NoteWarning("kept by the inner collection");
    }
    std::thread([] { NoteError("written by another thread"); }).join();
    NoteError("Zone definition error");
  }
  NoteWarning("written after the collection");
  sender.Finish();
  const std::string written = ::testing::internal::GetCapturedStderr();
  EXPECT_THAT(sent, ElementsAreArray(c.expected));
  // Every line still goes to standard error as it did.
  EXPECT_THAT(written, HasSubstr("INFO: Configuring 2 zones.\n"
                                 "ERROR: Property B was not found\n"));
  EXPECT_THAT(written, HasSubstr("ERROR: written by another thread\n"));
  EXPECT_THAT(written, HasSubstr("WARNING: written after the collection\n"));
}

INSTANTIATE_TEST_SUITE_P(
    Limits, SetupNoteSenderTest,
    ::testing::Values(
        SenderCase{
            "AllSent",
            50,
            {{kError, "ERROR: Property B was not found"},
             {kWarning, "WARNING: Area #1 is not a list of at least 3 points"},
             {kError, "ERROR: Zone definition error"}}},
        SenderCase{
            "TwoSentOneCounted",
            2,
            {{kError, "ERROR: Property B was not found"},
             {kWarning, "WARNING: Area #1 is not a list of at least 3 points"},
             {kWarning,
              "1 more ERROR and WARNING lines went to standard error "
              "only"}}},
        SenderCase{"NoneSent",
                   0,
                   {{kWarning,
                     "3 more ERROR and WARNING lines went to standard error "
                     "only"}}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vostek_kestu
