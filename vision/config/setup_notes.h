// The "INFO: ", "WARNING: " and "ERROR: " lines the vision library writes
// about what it was given (a key out of bounds, a zone it cannot use, a
// model it falls back from), as values.
//
// Every line is written to standard error where it happens, as it always
// was. While a SetupNotes::Collect is alive on a thread, the lines written
// on that thread are also kept in its notes, so that whoever applies a
// configuration can hand them to the client who sent it:
//
//   SetupNotes notes;
//   {
//     SetupNotes::Collect collect(&notes);
//     status = pipeline.Setup(config);
//   }
//   for (const SetupNote& note : notes.notes()) Send(note.Line());
//
// Collections nest: the innermost one keeps the lines.
#ifndef VISION_CONFIG_SETUP_NOTES_H_
#define VISION_CONFIG_SETUP_NOTES_H_

#include <string>
#include <vector>

#include "absl/strings/string_view.h"

namespace talvenrook_vision {

enum class NoteLevel { kInfo, kWarning, kError };

struct SetupNote {
  NoteLevel level;
  std::string message;  // without the level's prefix

  // "WARNING: " + message, as written.
  std::string Line() const;
};

class SetupNotes {
 public:
  // Keeps the lines written on the constructing thread in `notes` until it
  // goes. Requires: `notes` outlives it; destroyed on the same thread.
  class Collect {
   public:
    explicit Collect(SetupNotes* notes);
    ~Collect();
    Collect(const Collect&) = delete;
    Collect& operator=(const Collect&) = delete;

   private:
    SetupNotes* outer_;
  };

  const std::vector<SetupNote>& notes() const { return notes_; }
  void Add(SetupNote note) { notes_.push_back(std::move(note)); }

 private:
  std::vector<SetupNote> notes_;
};

// Writes "<LEVEL>: message" and a newline to standard error in one piece,
// and keeps it in the notes collected on this thread, if any.
void WriteNote(NoteLevel level, absl::string_view message);
inline void NoteInfo(absl::string_view message) {
  WriteNote(NoteLevel::kInfo, message);
}
inline void NoteWarning(absl::string_view message) {
  WriteNote(NoteLevel::kWarning, message);
}
inline void NoteError(absl::string_view message) {
  WriteNote(NoteLevel::kError, message);
}

}  // namespace talvenrook_vision

#endif  // VISION_CONFIG_SETUP_NOTES_H_
