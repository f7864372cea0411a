// nats_server.h — a real nats-server for tests, on a free loopback port, stopped with the test.
#pragma once

#include <string>
#include <vector>

#include "tests/support/child_process.h"

namespace kavitest {

// nats_server_path: the installed nats-server, or "" when there is none (tests then skip).
std::string nats_server_path();
constexpr char NO_NATS_SERVER[] =
    "nats-server is not installed (scripts/install-deps.sh installs it)";

class NatsServer {
  public:
    // start: runs nats-server with `config` (its configuration text, without listen, port and
    // files, which this sets) on a free port of host, through `launcher` (for example
    // ip netns exec NS) when given; true once it serves.
    bool start(const std::string &config = "", const std::string &host = "127.0.0.1",
               const std::vector<std::string> &launcher = {});
    void kill(int sig) { process_.kill(sig); }
    const std::string &url() const { return url_; }          // nats://host:port
    const std::string &route_url() const { return route_; }  // the cluster listener, if any

  private:
    Child process_;
    std::string dir_, url_, route_;
};

// unique_node: a node name no other test run uses.
std::string unique_node(const std::string &stem);

}  // namespace kavitest
