#include "src/common/write_all.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>

namespace vostek_kestu {

bool WriteAll(int fd, const std::string& bytes) {
  const char* data = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    const ssize_t written = ::write(fd, data, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    left -= static_cast<size_t>(written);
  }
  return true;
}

namespace {

std::string Errno(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

}  // namespace

bool MakeFolders(const std::string& path, std::string* error) {
  std::string partial;
  std::istringstream parts(path);
  if (!path.empty() && path[0] == '/') partial = "/";
  for (std::string part; std::getline(parts, part, '/');) {
    if (part.empty()) continue;
    partial += part + "/";
    if (mkdir(partial.c_str(), 0750) != 0 && errno != EEXIST) {
      *error = Errno("cannot create the folder", partial);
      return false;
    }
  }
  return true;
}

bool WriteFileAtomically(const std::string& path, const std::string& bytes,
                         std::string* error) {
  const std::string temporary = path + ".tmp";
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0640);
  if (fd < 0) {
    *error = Errno("cannot write", temporary);
    return false;
  }
  if (!WriteAll(fd, bytes)) {
    *error = Errno("cannot write", temporary);
    close(fd);
    unlink(temporary.c_str());
    return false;
  }
  if (fsync(fd) != 0 || close(fd) != 0) {
    *error = Errno("cannot sync", temporary);
    unlink(temporary.c_str());
    return false;
  }
  if (rename(temporary.c_str(), path.c_str()) != 0) {
    *error = Errno("cannot rename over", path);
    unlink(temporary.c_str());
    return false;
  }
  const size_t slash = path.rfind('/');
  const std::string folder =
      slash == std::string::npos ? "." : path.substr(0, slash);
  const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY);
  if (dir >= 0) {
    fsync(dir);
    close(dir);
  }
  return true;
}

}  // namespace vostek_kestu
