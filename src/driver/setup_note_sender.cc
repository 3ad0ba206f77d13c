#include "src/driver/setup_note_sender.h"

#include <utility>

namespace vostek_kestu {

using talvenrook_vision::NoteLevel;
using talvenrook_vision::SetupNote;

SetupNoteSender::SetupNoteSender(const talvenrook_vision::SetupNotes* notes,
                                 Send send, int max_lines)
    : notes_(notes), send_(std::move(send)), max_lines_(max_lines) {}

void SetupNoteSender::SendNew() {
  const auto& notes = notes_->notes();
  for (; seen_ < notes.size(); ++seen_) {
    const SetupNote& note = notes[seen_];
    if (note.level == NoteLevel::kInfo) continue;
    if (sent_ >= max_lines_) {
      ++withheld_;
      continue;
    }
    ++sent_;
    send_(note.level == NoteLevel::kError ? Status::STATUS_ERROR
                                          : Status::STATUS_WARNING,
          note.Line());
  }
}

void SetupNoteSender::Finish() {
  SendNew();
  if (withheld_ == 0) return;
  send_(Status::STATUS_WARNING,
        std::to_string(withheld_) +
            " more ERROR and WARNING lines went to standard error only");
  withheld_ = 0;
}

}  // namespace vostek_kestu
