#include "src/driver/kept_state.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <utility>
#include <vector>

#include "src/common/write_all.h"

namespace vostek_kestu {

namespace {

using Entity = ::talvenrook::common::Entity;

constexpr char kConfiguration[] = "configuration.pb";
constexpr char kCommands[] = "commands.txt";
constexpr char kGenerationPrefix[] = "gen-";

std::string Errno(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

bool ReadWholeFile(const std::string& path, std::string* bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream content;
  content << in.rdbuf();
  *bytes = content.str();
  return !in.bad();
}

bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Merges a configuration without models into the kept one.
void MergeKeys(const DriverConfig& update, DriverConfig* kept) {
  auto* properties =
      kept->mutable_kestu_eye_config()->mutable_config()->mutable_properties();
  properties->erase("max_fps");
  for (const auto& [key, value] :
       update.kestu_eye_config().config().properties()) {
    (*properties)[key] = value;
  }
  if (update.delay_between_updates() != 0) {
    kept->set_delay_between_updates(update.delay_between_updates());
  }
  if (update.timeout_after_last_ping() != 0) {
    kept->set_timeout_after_last_ping(update.timeout_after_last_ping());
  }
  kept->set_uuid(update.uuid());
}

}  // namespace

KeptState::KeptState(std::string folder) : folder_(std::move(folder)) {}

bool KeptState::CopyModels(DriverConfig* config, std::string* generation,
                           std::string* error) {
  // A new generation each time: the kept configuration points at the old
  // copies until the new one has been renamed in place.
  int number = 0;
  for (struct stat st; number < 1000000; ++number) {
    *generation = folder_ + "/" + kGenerationPrefix + std::to_string(number);
    if (stat(generation->c_str(), &st) != 0) break;
  }
  if (!MakeFolders(*generation, error)) return false;
  auto* models = config->mutable_kestu_eye_config()->mutable_models();
  for (int i = 0; i < models->size(); ++i) {
    for (const char* part : {"content", "config"}) {
      auto* properties = models->Mutable(i)->mutable_properties();
      auto it = properties->find(part);
      if (it == properties->end() || !it->second.has_entity_value()) continue;
      auto* entries = it->second.mutable_entity_value()->mutable_properties();
      for (auto& [key, value] : *entries) {
        if (!EndsWith(key, "_file") || value.string_value().empty()) continue;
        std::string bytes;
        if (!ReadWholeFile(value.string_value(), &bytes)) {
          *error = "cannot read the model file " + value.string_value();
          return false;
        }
        const std::string copy = *generation + "/" + std::to_string(i) + "-" +
                                 key + "-" + BaseName(value.string_value());
        if (!WriteFileAtomically(copy, bytes, error)) return false;
        value.set_string_value(copy);
      }
    }
  }
  return true;
}

void KeptState::RemoveOtherGenerations(const std::string& keep) const {
  DIR* dir = opendir(folder_.c_str());
  if (dir == nullptr) return;
  std::vector<std::string> old;
  while (dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    const std::string path = folder_ + "/" + name;
    if (name.rfind(kGenerationPrefix, 0) == 0 && path != keep) {
      old.push_back(path);
    }
  }
  closedir(dir);
  for (const std::string& path : old) {
    DIR* files = opendir(path.c_str());
    if (files == nullptr) continue;
    while (dirent* entry = readdir(files)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") unlink((path + "/" + name).c_str());
    }
    closedir(files);
    rmdir(path.c_str());
  }
}

bool KeptState::Keep(const DriverConfig& accepted, std::string* error) {
  if (!MakeFolders(folder_, error)) return false;
  if (!kept_) {
    std::string ignored;
    kept_ = Load(&ignored);
  }
  const bool brings_models = accepted.kestu_eye_config().models_size() > 0;
  DriverConfig next;
  std::string generation;
  if (brings_models || !kept_) {
    next = accepted;
    if (!CopyModels(&next, &generation, error)) return false;
  } else {
    next = *kept_;
    MergeKeys(accepted, &next);
  }
  next.mutable_kestu_eye_config()
      ->mutable_config()
      ->mutable_properties()
      ->erase("recording_options");
  if (!WriteFileAtomically(folder_ + "/" + kConfiguration,
                           next.SerializeAsString(), error)) {
    return false;
  }
  if (!generation.empty()) RemoveOtherGenerations(generation);
  kept_ = std::move(next);
  return true;
}

std::optional<DriverConfig> KeptState::Load(std::string* error) const {
  const std::string path = folder_ + "/" + kConfiguration;
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return std::nullopt;
  std::string bytes;
  DriverConfig config;
  if (!ReadWholeFile(path, &bytes)) {
    *error = Errno("cannot read the kept configuration", path);
    return std::nullopt;
  }
  if (!config.ParseFromString(bytes) || !config.has_kestu_eye_config()) {
    *error = "the kept configuration " + path + " is damaged";
    return std::nullopt;
  }
  return config;
}

bool KeptState::KeepCommands(const CommandState& state, std::string* error) {
  if (!MakeFolders(folder_, error)) return false;
  std::ostringstream text;
  text << "detection_stopped " << (state.detection_stopped ? 1 : 0) << "\n"
       << "streaming " << (state.streaming ? 1 : 0) << "\n";
  return WriteFileAtomically(folder_ + "/" + kCommands, text.str(), error);
}

CommandState KeptState::LoadCommands() const {
  CommandState state;
  std::ifstream in(folder_ + "/" + kCommands);
  std::string key;
  int value = 0;
  while (in >> key >> value) {
    if (key == "detection_stopped") state.detection_stopped = value != 0;
    if (key == "streaming") state.streaming = value != 0;
  }
  return state;
}

}  // namespace vostek_kestu
