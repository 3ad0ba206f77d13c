#include "tools/mqtt/broker_settings.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace kestu_tools {
namespace {

bool ParsePortNumber(const std::string& text, int* port) {
  if (text.empty() || text.size() > 5) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  *port = std::stoi(text);
  return *port >= 1 && *port <= 65535;
}

}  // namespace

std::string BrokerSettings::Address() const {
  const bool v6 = host.find(':') != std::string::npos;
  return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

bool ParseBrokerAddress(const std::string& text, std::string* host, int* port,
                        std::string* error) {
  std::string port_text;
  if (!text.empty() && text.front() == '[') {
    const size_t close = text.find(']');
    if (close == std::string::npos || close == 1) {
      *error =
          "--broker has an unclosed or empty [address] in \"" + text + "\"";
      return false;
    }
    *host = text.substr(1, close - 1);
    const std::string rest = text.substr(close + 1);
    if (!rest.empty() && rest.front() != ':') {
      *error = "--broker wants [address]:port, got \"" + text + "\"";
      return false;
    }
    port_text = rest.empty() ? "1883" : rest.substr(1);
  } else {
    const size_t colon = text.find(':');
    if (colon != std::string::npos &&
        text.find(':', colon + 1) != std::string::npos) {
      *error =
          "--broker wants an IPv6 address in brackets ([::1]:1883), got \"" +
          text + "\"";
      return false;
    }
    *host = text.substr(0, colon);
    port_text = colon == std::string::npos ? "1883" : text.substr(colon + 1);
  }
  if (host->empty()) {
    *error = "--broker has no host in \"" + text + "\"";
    return false;
  }
  if (!ParsePortNumber(port_text, port)) {
    *error = "--broker has no usable port (1-65535) in \"" + text + "\"";
    return false;
  }
  return true;
}

bool ReadPasswordFile(const std::string& path, std::string* password,
                      std::string* error) {
  std::error_code ignored;
  if (std::filesystem::is_directory(path, ignored)) {
    *error = "cannot read --password_file " + path + ": it is a directory";
    return false;
  }
  std::ifstream in(path);
  if (!in) {
    *error =
        "cannot read --password_file " + path + ": " + std::strerror(errno);
    return false;
  }
  std::string line;
  std::getline(in, line);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.empty()) {
    *error = "--password_file " + path + " has no password on its first line";
    return false;
  }
  *password = line;
  return true;
}

}  // namespace kestu_tools
