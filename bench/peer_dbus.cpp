// peer_dbus.cpp — the D-Bus peer: a method call with an 800-byte array through a private
// dbus-daemon started here, to a server in a child process that answers with B's reply size;
// both ends on sd-bus.
#include <fcntl.h>
#include <unistd.h>

#include "bench/baseline.h"
#include "bench/bench_util.h"
#include "bench/peer.h"

#if KAVIBENCH_HAVE_SDBUS
#include <systemd/sd-bus.h>

namespace kavibench {
namespace {

constexpr char DAEMON[] = "/usr/bin/dbus-daemon";
constexpr char SERVICE[] = "org.kavibench.Echo";
constexpr char OBJECT[] = "/org/kavibench/Echo";
constexpr uint64_t LIMIT_US = 10'000'000;

// connect: a client of the bus at address, retried while the daemon may still be starting.
sd_bus *connect(const std::string &address) {
    for (int tries = 0; tries < 500; ++tries) {
        sd_bus *bus = nullptr;
        if (sd_bus_new(&bus) >= 0 && sd_bus_set_address(bus, address.c_str()) >= 0 &&
            sd_bus_set_bus_client(bus, 1) >= 0 && sd_bus_start(bus) >= 0)
            return bus;
        sd_bus_unref(bus);
        usleep(10000);
    }
    return nullptr;
}

int echo(sd_bus_message *call, void *, sd_bus_error *) {
    static const char reply[BASELINE_REPLY] = {};
    const void *request = nullptr;
    size_t size = 0;
    int rc = sd_bus_message_read_array(call, 'y', &request, &size);
    sd_bus_message *answer = nullptr;
    if (rc >= 0) rc = sd_bus_message_new_method_return(call, &answer);
    if (rc >= 0) rc = sd_bus_message_append_array(answer, 'y', reply, sizeof reply);
    if (rc >= 0) rc = sd_bus_send(nullptr, answer, nullptr);
    sd_bus_message_unref(answer);
    return rc;
}

const sd_bus_vtable ECHO[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Echo", "ay", "ay", echo, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END,
};

int serve(const std::string &address) {
    sd_bus *bus = connect(address);
    if (bus == nullptr ||
        sd_bus_add_object_vtable(bus, nullptr, OBJECT, SERVICE, ECHO, nullptr) < 0 ||
        sd_bus_request_name(bus, SERVICE, 0) < 0)
        return 1;
    for (;;) {
        int rc = sd_bus_process(bus, nullptr);
        if (rc < 0) return 1;
        if (rc == 0 && sd_bus_wait(bus, UINT64_MAX) < 0) return 1;
    }
}

int run_daemon(const std::string &address) {
    std::string listen = "--address=" + address;
    // It complains, harmlessly, when it may not raise its file limit.
    int null = open("/dev/null", O_WRONLY);
    if (null >= 0) dup2(null, STDERR_FILENO);
    execl(DAEMON, DAEMON, "--session", "--nofork", "--nopidfile", listen.c_str(), nullptr);
    return 127;
}

class DbusPeer : public PeerRoundTrip {
  public:
    explicit DbusPeer(const std::string &address)
        : daemon_([address] { return run_daemon(address); }),
          server_([address] { return serve(address); }),
          bus_(connect(address)) {}

    ~DbusPeer() override { sd_bus_flush_close_unref(bus_); }

    bool round_trip() override {
        sd_bus_message *call = nullptr, *answer = nullptr;
        const void *reply = nullptr;
        size_t size = 0;
        bool ok =
            bus_ != nullptr &&
            sd_bus_message_new_method_call(bus_, &call, SERVICE, OBJECT, SERVICE, "Echo") >= 0 &&
            sd_bus_message_append_array(call, 'y', request_, sizeof request_) >= 0 &&
            sd_bus_call(bus_, call, LIMIT_US, nullptr, &answer) >= 0 &&
            sd_bus_message_read_array(answer, 'y', &reply, &size) >= 0 && size == BASELINE_REPLY;
        sd_bus_message_unref(call);
        sd_bus_message_unref(answer);
        return ok;
    }

  private:
    ChildProcess daemon_;
    ChildProcess server_;
    sd_bus *bus_;
    char request_[BASELINE_REQUEST] = {};
};

}  // namespace

std::unique_ptr<PeerRoundTrip> dbus_peer(std::string *missing) {
    if (access(DAEMON, X_OK) != 0) {
        *missing = "dbus-daemon is not installed";
        return nullptr;
    }
    auto peer =
        std::make_unique<DbusPeer>("unix:abstract=kavibench/" + std::to_string(getpid()) + "/dbus");
    // The server may not own its name yet: its first calls find no one to answer them.
    for (int tries = 0; tries < 500; ++tries) {
        if (peer->round_trip()) return peer;
        usleep(10000);
    }
    *missing = "the D-Bus call failed";
    return nullptr;
}

}  // namespace kavibench

#else

std::unique_ptr<kavibench::PeerRoundTrip> kavibench::dbus_peer(std::string *missing) {
    *missing = "not built: libsystemd-dev is not installed";
    return nullptr;
}

#endif
