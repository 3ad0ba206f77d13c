#include "vision/config/setup_notes.h"

#include <iostream>

namespace talvenrook_vision {
namespace {

thread_local SetupNotes* collecting = nullptr;

const char* Prefix(NoteLevel level) {
  switch (level) {
    case NoteLevel::kInfo:
      return "INFO: ";
    case NoteLevel::kWarning:
      return "WARNING: ";
    case NoteLevel::kError:
      return "ERROR: ";
  }
  return "";
}

}  // namespace

std::string SetupNote::Line() const { return Prefix(level) + message; }

SetupNotes::Collect::Collect(SetupNotes* notes) : outer_(collecting) {
  collecting = notes;
}

SetupNotes::Collect::~Collect() { collecting = outer_; }

void WriteNote(NoteLevel level, absl::string_view message) {
  SetupNote note{level, std::string(message)};
  std::string line = note.Line();
  line += '\n';
  std::cerr << line << std::flush;
  if (collecting != nullptr) collecting->Add(std::move(note));
}

}  // namespace talvenrook_vision
