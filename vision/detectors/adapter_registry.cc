#include "vision/detectors/adapter_registry.h"

#include <map>
#include <mutex>
#include <utility>
#include <vector>

namespace talvenrook_vision {
namespace {

struct Registry {
  std::mutex mutex;
  std::map<std::string, AdapterCreator> creators;  // guarded by mutex
};

Registry& GetRegistry() {
  static Registry* registry = new Registry();
  return *registry;
}

}  // namespace

void RegisterAdapterCreator(const std::string& name, AdapterCreator creator) {
  Registry& registry = GetRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  registry.creators[name] = std::move(creator);
}

void ClearAdapterCreators() {
  Registry& registry = GetRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  registry.creators.clear();
}

std::unique_ptr<DetectorAdapter> CreateAdapter(const KestuEyeConfig& config,
                                               const Entity& model) {
  std::vector<AdapterCreator> creators;
  {
    Registry& registry = GetRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    for (const auto& entry : registry.creators)
      creators.push_back(entry.second);
  }
  // Creators load networks; they run without the lock.
  for (const AdapterCreator& creator : creators) {
    std::unique_ptr<DetectorAdapter> adapter = creator(config, model);
    if (adapter) return adapter;
  }
  return nullptr;
}

}  // namespace talvenrook_vision
