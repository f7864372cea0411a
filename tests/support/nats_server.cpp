// nats_server.cpp — starting nats-server with a ports file, so the port it chose is known.
#include "tests/support/nats_server.h"

#include <unistd.h>

#include <fstream>

namespace kavitest {

namespace {

// first_url: the first URL listed under key in a ports file ({"nats":["nats://h:p"],...}).
std::string first_url(const std::string &ports, const std::string &key) {
    size_t at = ports.find("\"" + key + "\"");
    if (at == std::string::npos) return "";
    size_t open = ports.find('"', ports.find('[', at) + 1);
    size_t close = ports.find('"', open + 1);
    if (open == std::string::npos || close == std::string::npos) return "";
    return ports.substr(open + 1, close - open - 1);
}

}  // namespace

std::string nats_server_path() {
    for (const char *dir : {"/usr/sbin", "/usr/bin", "/usr/local/bin", "/usr/local/sbin"}) {
        std::string path = std::string(dir) + "/nats-server";
        if (access(path.c_str(), X_OK) == 0) return path;
    }
    return "";
}

bool NatsServer::start(const std::string &config, const std::string &host,
                       const std::vector<std::string> &launcher) {
    dir_ = make_temp_dir();
    std::ofstream(dir_ + "/server.conf") << "host: \"" << host << "\"\nport: -1\n"
                                         << "ports_file_dir: \"" << dir_ << "\"\n"
                                         << "log_file: \"" << dir_ << "/server.log\"\n"
                                         << config << "\n";
    std::vector<std::string> argv = launcher;
    argv.insert(argv.end(), {nats_server_path(), "-c", dir_ + "/server.conf"});
    process_ = Child::spawn(argv);
    // A launcher such as ip netns exec execs the server in its own process.
    std::string ports_file = dir_ + "/nats-server_" + std::to_string(process_.pid()) + ".ports";
    eventually([&] { return !first_url(read_file(ports_file), "nats").empty(); }, 10000);
    std::string ports = read_file(ports_file);
    url_ = first_url(ports, "nats");
    route_ = first_url(ports, "cluster");
    return !url_.empty();
}

std::string unique_node(const std::string &stem) {
    return stem + std::to_string(getpid());
}

}  // namespace kavitest
