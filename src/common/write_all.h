// Writing a whole buffer to a file descriptor.
#ifndef SRC_COMMON_WRITE_ALL_H_
#define SRC_COMMON_WRITE_ALL_H_

#include <string>

namespace vostek_kestu {

// Writes all of `bytes` to `fd`, going on after short writes and
// interruptions; false (errno set) when a write fails.
bool WriteAll(int fd, const std::string& bytes);

}  // namespace vostek_kestu

#endif  // SRC_COMMON_WRITE_ALL_H_
