// SetupNoteSender: hands the warnings and errors a configuration's set-up
// wrote (kept as SetupNotes) to the client who sent it, in the order they
// were written and before the configuration's own outcome.
//
//   SetupNotes notes;
//   SetupNoteSender sender(&notes, send, 50);
//   { SetupNotes::Collect collect(&notes); ...set up...; }
//   sender.Finish();        // before the outcome: what is new, then the
//                           // count of the lines not sent, if any
//
// Info lines stay on standard error. Beyond `max_lines`, lines are counted
// and Finish reports how many went to standard error only.
#ifndef SRC_DRIVER_SETUP_NOTE_SENDER_H_
#define SRC_DRIVER_SETUP_NOTE_SENDER_H_

#include <cstddef>
#include <functional>
#include <string>

#include "talvenrook/kestu/v1/driver.pb.h"
#include "vision/config/setup_notes.h"

namespace vostek_kestu {

class SetupNoteSender {
 public:
  using Status = ::talvenrook::kestu::v1::driver::Status;
  using Send = std::function<void(Status::MessageType, const std::string&)>;

  // Requires: `notes` outlives the sender.
  SetupNoteSender(const talvenrook_vision::SetupNotes* notes, Send send,
                  int max_lines);

  // Sends the warnings and errors written since the last call.
  void SendNew();
  // SendNew, then the number of lines withheld since the last Finish, if
  // any.
  void Finish();

 private:
  const talvenrook_vision::SetupNotes* notes_;
  Send send_;
  int max_lines_;
  size_t seen_ = 0;
  int sent_ = 0;
  int withheld_ = 0;
};

}  // namespace vostek_kestu

#endif  // SRC_DRIVER_SETUP_NOTE_SENDER_H_
