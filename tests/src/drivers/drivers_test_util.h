// Clips and configurations for the crowd and vehicle driver tests: frame
// ranges of the bundled clips written with OpenCV, and the sample
// configurations of samples/ with their paths made absolute.
#ifndef TESTS_SRC_DRIVERS_DRIVERS_TEST_UTIL_H_
#define TESTS_SRC_DRIVERS_DRIVERS_TEST_UTIL_H_

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

#include <google/protobuf/text_format.h>
#include <gtest/gtest.h>
#include <opencv2/videoio.hpp>

#include "talvenrook/kestu/v1/driver.pb.h"
#include "tests/testing/test_util.h"

namespace vostek_kestu {

using DriverConfig = ::talvenrook::kestu::v1::driver::DriverConfig;

// The people clip (installed with Debian's opencv-doc by
// scripts/install-deps) and the road clip bundled under samples/.
inline const char kPeopleClip[] =
    "/usr/share/doc/opencv-doc/examples/data/vtest.avi";
inline std::string RoadClip() {
  return std::string(KESTU_SOURCE_DIR) + "/samples/videos/road_motorway.avi";
}

// The excerpts this process wrote; removed when it ends.
inline std::set<std::string>* Excerpts() {
  static std::set<std::string>* paths = [] {
    auto* created = new std::set<std::string>();
    std::atexit([] {
      for (const std::string& p : *Excerpts()) std::remove(p.c_str());
    });
    return created;
  }();
  return paths;
}

// Frames [first, last] of a clip, written once per process as an MJPG clip
// at the clip's frame rate; an empty path when the clip cannot be read.
// The file is written under a temporary name and renamed when complete, and
// removed when the process ends: a file left by an earlier process with the
// same id is never taken for this one's.
inline std::string Excerpt(const std::string& clip, int first, int last,
                           const std::string& name) {
  std::set<std::string>* written = Excerpts();
  const std::string path =
      "/tmp/kestu-drivers-" + std::to_string(getpid()) + "-" + name + ".avi";
  if (written->count(path) > 0) return path;
  cv::VideoCapture in(clip);
  if (!in.isOpened()) return "";
  const double fps = in.get(cv::CAP_PROP_FPS);
  const std::string partial = path + ".part.avi";
  cv::VideoWriter out;
  cv::Mat frame;
  for (int i = 0; i <= last && in.read(frame); ++i) {
    if (i < first) continue;
    if (!out.isOpened()) {
      out.open(partial, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), fps,
               frame.size());
      out.set(cv::VIDEOWRITER_PROP_QUALITY, 95);
    }
    out.write(frame);
  }
  if (!out.isOpened()) return "";
  out.release();
  if (std::rename(partial.c_str(), path.c_str()) != 0) return "";
  written->insert(path);
  return path;
}

inline void SetProperty(::talvenrook::common::Entity* map,
                        const std::string& key, const std::string& value) {
  (*map->mutable_properties())[key].set_string_value(value);
}

// A sample configuration of samples/ reading `source`, without its
// recording, with its model files given by absolute paths.
inline DriverConfig SampleConfig(const std::string& sample,
                                 const std::string& source) {
  DriverConfig config;
  const std::string text = kestu_testing::ReadFile(
      std::string(KESTU_SOURCE_DIR) + "/samples/" + sample);
  EXPECT_TRUE(google::protobuf::TextFormat::ParseFromString(text, &config))
      << sample;
  auto* eye = config.mutable_kestu_eye_config();
  SetProperty(eye->mutable_config(), "source", source);
  eye->mutable_config()->mutable_properties()->erase("recording_options");
  for (auto& model : *eye->mutable_models()) {
    auto* content =
        (*model.mutable_properties())["content"].mutable_entity_value();
    for (const char* key : {"prototxt_file", "caffemodel_file"}) {
      auto it = content->mutable_properties()->find(key);
      if (it == content->mutable_properties()->end()) continue;
      it->second.set_string_value(std::string(KESTU_SOURCE_DIR) + "/" +
                                  it->second.string_value());
    }
  }
  return config;
}

}  // namespace vostek_kestu

#endif  // TESTS_SRC_DRIVERS_DRIVERS_TEST_UTIL_H_
