// WebServer: kestu-web's HTTP side.
//
//   GET  /                               the page
//   GET  /api/state                      WebState as JSON
//   POST /api/command                    WebCommand as JSON -> WebCommandAnswer
//   GET  /stream/<process>/<driver>.mjpg streamed JPEGs, multipart/x-mixed-replace
//   GET  /snapshot/<process>/<driver>.jpg the latest JPEG
//   GET  /events                         Server-Sent Events, one WebEvent each
//   GET  /metrics                        Prometheus text format 0.0.4
//   POST /api/browser-report             what a page in a browser reports
//
// <process> is the process's "host:port" (URL-encoded or not), <driver>
// "face", "vehicle" or "crowd".
#ifndef TOOLS_WEB_WEB_SERVER_H_
#define TOOLS_WEB_WEB_SERVER_H_

#include <map>
#include <memory>
#include <string>
#include <thread>

#include <httplib.h>

#include "tools/web/process_link.h"
#include "tools/web/web_hub.h"

namespace kestu_tools {

class WebServer {
 public:
  // Requires: hub and links outlive the server.
  WebServer(WebHub* hub, const std::map<std::string, ProcessLink*>& links);
  ~WebServer();

  // Binds the address; false (with a message) when it cannot.
  bool Bind(const std::string& host, int port, std::string* error);
  // Serves until Stop; returns at once when not bound.
  void Serve();
  void Stop();

 private:
  void Routes();
  void Command(const httplib::Request& request, httplib::Response& response);

  WebHub* hub_;
  std::map<std::string, ProcessLink*> links_;  // by process name
  httplib::Server server_;
  bool bound_ = false;
};

}  // namespace kestu_tools

#endif  // TOOLS_WEB_WEB_SERVER_H_
