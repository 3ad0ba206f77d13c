// WebServer: kestu-web's HTTP side.
//
//   GET  /                               the page
//   GET  /api/state                      WebState as JSON
//   POST /api/command                    WebCommand as JSON -> WebCommandAnswer
//   GET  /stream/<process>/<driver>.mjpg streamed JPEGs,
//   multipart/x-mixed-replace GET  /snapshot/<process>/<driver>.jpg the latest
//   JPEG GET  /events                         Server-Sent Events, one WebEvent
//   each GET  /metrics                        Prometheus text format 0.0.4 POST
//   /api/browser-report             what a page in a browser reports GET
//   /chart.js, /editor.js           the page's chart and zone editor the
//   history's and the zone editor's endpoints (HistoryRoutes, EditorRoutes;
//   the history's serve /totals.js, /api/totals and /api/time_zone), and
//   those another part adds with Extend (the audit view, AuditRoutes)
//
// <process> is the process's "host:port" (URL-encoded or not), <driver>
// "face", "vehicle" or "crowd".
#ifndef TOOLS_WEB_WEB_SERVER_H_
#define TOOLS_WEB_WEB_SERVER_H_

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include <httplib.h>

#include "tools/web/driver_configs.h"
#include "tools/web/editor_routes.h"
#include "tools/web/history_routes.h"
#include "tools/web/process_link.h"
#include "tools/web/web_hub.h"
#include "tools/web/what_if.h"

namespace kestu_tools {

class WebServer {
 public:
  // Requires: hub, links, configs and what_if outlive the server; store may
  // be null (no history).
  WebServer(WebHub* hub, const std::map<std::string, ProcessLink*>& links,
            const EventStore* store, DriverConfigs* configs, WhatIf* what_if);
  ~WebServer();

  // Binds the address; false (with a message) when it cannot.
  bool Bind(const std::string& host, int port, std::string* error);
  // Adds routes of another part (the audit view). Requires: before Serve.
  void Extend(const std::function<void(httplib::Server*)>& add) {
    add(&server_);
  }
  // The history's endpoints, to tell them of the site. Requires: before
  // Serve.
  HistoryRoutes* history() { return &history_; }
  // Serves until Stop; returns at once when not bound.
  void Serve();
  void Stop();

 private:
  void Routes();
  void Command(const httplib::Request& request, httplib::Response& response);
  // Sends the request to the driver and waits for its status; the HTTP
  // status of the answer.
  int Send(const std::string& process, const std::string& driver,
           DriverConfig config, kestu::tools::WebCommandAnswer* answer);

  WebHub* hub_;
  std::map<std::string, ProcessLink*> links_;  // by process name
  DriverConfigs* configs_;
  HistoryRoutes history_;
  EditorRoutes editor_;
  httplib::Server server_;
  bool bound_ = false;
};

}  // namespace kestu_tools

#endif  // TOOLS_WEB_WEB_SERVER_H_
