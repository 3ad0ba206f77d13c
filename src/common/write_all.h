// Writing a whole buffer to a file descriptor, and a whole file in place.
#ifndef SRC_COMMON_WRITE_ALL_H_
#define SRC_COMMON_WRITE_ALL_H_

#include <string>

namespace vostek_kestu {

// Writes all of `bytes` to `fd`, going on after short writes and
// interruptions; false (errno set) when a write fails.
bool WriteAll(int fd, const std::string& bytes);

// Creates `path` and the folders above it that are missing; false with a
// reason.
bool MakeFolders(const std::string& path, std::string* error);

// Writes `bytes` to `path` through a temporary file that is synced and
// renamed over it; the folder is synced too. False with a reason.
bool WriteFileAtomically(const std::string& path, const std::string& bytes,
                         std::string* error);

}  // namespace vostek_kestu

#endif  // SRC_COMMON_WRITE_ALL_H_
