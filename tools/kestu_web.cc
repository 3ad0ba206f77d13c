// kestu-web: a web page, an MJPEG stream, Server-Sent Events and Prometheus
// metrics over one or more running kestu-vision processes.
//
//   kestu-web --process 127.0.0.1:60000 [--process host:port[/stream]...]
//             [--http_port 8080] [--http_host 127.0.0.1]
//
// It joins each process as a client (driver information, status, data and
// streaming subscriptions); it pings a driver only after the page sent it a
// configuration or a command. A process that does not answer shows as not
// reachable and is retried; kestu-web never ends because one went away.
// SIGINT or SIGTERM stops it.
#include <signal.h>

#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gflags/gflags.h>

#include "tools/web/process_link.h"
#include "tools/web/web_hub.h"
#include "tools/web/web_server.h"

DEFINE_int32(http_port, 8080, "Port of the web page and its endpoints");
DEFINE_string(http_host, "127.0.0.1",
              "Address to serve on (0.0.0.0 for every interface)");

int main(int argc, char** argv) {
  gflags::SetUsageMessage(
      "kestu-web --process host:port[/streaming_port] [--process ...] "
      "[--http_port 8080]");
  std::vector<std::string> arguments =
      kestu_tools::TakeProcessArguments(&argc, argv);
  gflags::ParseCommandLineFlags(&argc, &argv, true);
  if (arguments.empty()) arguments.push_back("127.0.0.1:60000");

  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);  // for every thread

  kestu_tools::WebHub hub;
  std::vector<std::unique_ptr<kestu_tools::ProcessLink>> links;
  std::map<std::string, kestu_tools::ProcessLink*> by_name;
  for (const std::string& text : arguments) {
    kestu_tools::ProcessAddress address;
    std::string error;
    if (!kestu_tools::ParseProcessAddress(text, &address, &error)) {
      std::cerr << "kestu-web: " << error << std::endl;
      return 1;
    }
    if (by_name.count(address.name) > 0) continue;
    links.push_back(std::make_unique<kestu_tools::ProcessLink>(&hub, address));
    by_name[address.name] = links.back().get();
  }
  kestu_tools::WebServer server(&hub, by_name);
  std::string error;
  if (!server.Bind(FLAGS_http_host, FLAGS_http_port, &error)) {
    std::cerr << "kestu-web: " << error << std::endl;
    return 1;
  }
  for (auto& link : links) link->Start();
  std::thread stopper([&] {
    int signal_number = 0;
    sigwait(&stop_signals, &signal_number);
    server.Stop();
  });
  stopper.detach();
  std::cerr << "kestu-web: serving http://" << FLAGS_http_host << ":"
            << FLAGS_http_port << "/ for " << links.size() << " process"
            << (links.size() == 1 ? "" : "es") << std::endl;
  server.Serve();
  for (auto& link : links) link->Stop();
  return 0;
}
