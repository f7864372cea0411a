// nats_transport.cpp — the NATS backend of the transport seam. One connection per process,
// made when a task first needs it. Each task of the process is subscribed under its node's
// subject; a message published there arrives, bytes unchanged, in the task's inbox.
//
// Unreachable is told at once: every command goes out with a reply subject of its own, so a
// server that finds nobody subscribed answers "no responders" there, and the flush that follows
// (a ping the server answers after the message) proves that such an answer arrived before it or
// never will. No message is acknowledged by its receiver: the sender waits for its server only,
// and a reply waits for nothing.
#include <nats/nats.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/platform.h"
#include "services/kavcacm/message.h"
#include "services/kavcacm/names.h"
#include "services/kavcacm/nats_config.h"
#include "services/kavcacm/request.h"
#include "services/kavcacm/subjects.h"
#include "services/kavcacm/transport.h"
#include "services/kavcacm/wake.h"

namespace kavc {

namespace {

constexpr int64_t CONNECT_TIMEOUT_MS = 2000;
constexpr int64_t FLUSH_TIMEOUT_MS = 2000;
constexpr int64_t RECONNECT_WAIT_MS = 100;
constexpr int REPLY_RETRY_MS = 5000;  // how long a reply waits for this side to reconnect
constexpr uint32_t REPLY_RETRY_PAUSE_MS = 100;
// A request to a node's processes ends once none has answered for GATHER_IDLE_MS after the
// first answer; the first may take up to GATHER_LIMIT_MS (a busy machine), as a subject nobody
// serves is told at once by "no responders".
constexpr int64_t GATHER_IDLE_MS = 250;
constexpr int64_t GATHER_LIMIT_MS = 2000;

enum class Delivery { delivered, no_responders, failed };

// A task's subscriptions; freed by the client once the last of its callbacks has returned.
struct TaskSubscription {
    char name[8];
    std::string inbox;
};

struct Connection {
    natsConnection *nc = nullptr;
    std::string node_tok, binary_tok;
    std::string reply_prefix;  // of the reply subjects that learn "no responders"
    std::atomic<uint64_t> last_token{0};
    std::vector<natsSubscription *> node_subs;                     // the node's requests
    std::mutex tasks_lock;                                         // guards tasks
    std::map<std::string, std::vector<natsSubscription *>> tasks;  // by padded name
};

void release(const std::vector<natsSubscription *> &subs) {
    for (natsSubscription *sub : subs) {
        natsSubscription_Unsubscribe(sub);
        natsSubscription_Destroy(sub);
    }
}

std::atomic<uint32_t> lost_connections{0};

void on_disconnected(natsConnection *, void *) {
    ++lost_connections;
}

std::string status_text(natsStatus s) {
    const char *detail = nats_GetLastError(nullptr);
    std::string text = natsStatus_GetText(s);
    if (detail != nullptr && *detail != '\0' && text != detail) text += std::string(": ") + detail;
    return text;
}

// say_once: the one clear line an operator reads when the transport cannot start.
void say_once(const std::string &why) {
    std::string line = "kavcacm: the NATS transport cannot start: " + why;
    std::fprintf(stderr, "%s\n", line.c_str());
    log_failure("nats_connect", VULC_TRANSPORT_FAILED, 0, __LINE__, line.data(), line.size());
}

bool message_for(const char *data, int len, const char task[8]) {
    auto *msg = reinterpret_cast<const unsigned char *>(data);
    if (len < static_cast<int>(VULC_HEADER_LENGTH) || len > static_cast<int>(VULC_MESSAGE_MAX) ||
        !header_consistent(msg, static_cast<size_t>(len))) {
        return false;
    }
    char dest[8];
    canonical_name(data + VULC_HDR_DEST_NAME, dest);
    return std::memcmp(dest, task, 8) == 0;
}

void on_task_message(natsConnection *, natsSubscription *, natsMsg *msg, void *closure) {
    auto *task = static_cast<TaskSubscription *>(closure);
    const char *data = natsMsg_GetData(msg);
    int len = natsMsg_GetDataLength(msg);
    // An empty message only asks whether the task is served; its delivery is the answer.
    if (len == 0) {
    } else if (!message_for(data, len, task->name)) {
        log_failure("nats_receive", VULC_INVALID_REQUEST, static_cast<uint32_t>(len), __LINE__,
                    data, std::min<size_t>(static_cast<size_t>(len), VULC_HEADER_LENGTH));
    } else {
        uint32_t rc = plat::mailslot_write(task->inbox.c_str(), data, static_cast<size_t>(len));
        // Not found: the task stopped meanwhile, as if the message had come a moment later.
        if (rc != plat::OK && rc != plat::ERR_NOT_FOUND) {
            log_failure("nats_receive", VULC_SYSTEM_ERROR, rc, __LINE__, task->name, 8);
        }
    }
    natsMsg_Destroy(msg);
}

void on_task_complete(void *closure) {
    delete static_cast<TaskSubscription *>(closure);
}

void answer(natsConnection *nc, natsMsg *request, const void *data, size_t len) {
    const char *reply = natsMsg_GetReply(request);
    if (reply != nullptr && *reply != '\0')
        natsConnection_Publish(nc, reply, data, static_cast<int>(len));
}

void on_nodes(natsConnection *nc, natsSubscription *, natsMsg *msg, void *) {
    answer(nc, msg, local_node(), 24);
    natsMsg_Destroy(msg);
}

void on_list(natsConnection *nc, natsSubscription *, natsMsg *msg, void *closure) {
    auto *c = static_cast<Connection *>(closure);
    std::string tasks;
    {
        std::lock_guard<std::mutex> hold(c->tasks_lock);
        for (const auto &task : c->tasks) {
            VULC_TASKINFO info = {};
            std::memcpy(info.task, task.first.data(), 8);
            info.pid = plat::process_id();
            tasks.append(reinterpret_cast<const char *>(&info), sizeof info);
        }
    }
    answer(nc, msg, tasks.data(), tasks.size());
    natsMsg_Destroy(msg);
}

// on_shutdown: ends the waits of this process only; every process of the node gets the request.
// The answer leaves before the waits are woken: a woken wait may end the process, and close its
// connection, before an answer sent after it could leave.
void on_shutdown(natsConnection *nc, natsSubscription *, natsMsg *msg, void *) {
    std::string prefix = WAIT_PREFIX + std::to_string(plat::process_id()) + ".";
    std::vector<plat::MailslotInfo> waits;
    if (plat::mailslot_list(prefix.c_str(), &waits) != plat::OK) waits.clear();
    auto ended = static_cast<uint32_t>(waits.size());
    answer(nc, msg, &ended, sizeof ended);
    natsMsg_Destroy(msg);
    for (const plat::MailslotInfo &wait : waits)
        plat::mailslot_write(wait.path.c_str(), WAKE_SHUTDOWN, 8);
}

// configure: the client options from the settings; an error names what the client refused.
natsStatus configure(const NatsConfig &cfg, natsOptions *opts, std::string *error) {
    std::vector<const char *> servers;
    for (const std::string &s : cfg.servers) servers.push_back(s.c_str());
    natsStatus s = natsOptions_SetServers(opts, servers.data(), static_cast<int>(servers.size()));
    // Each publish leaves at once: buffering costs milliseconds per round trip.
    if (s == NATS_OK) s = natsOptions_SetSendAsap(opts, true);
    if (s == NATS_OK) s = natsOptions_SetTimeout(opts, CONNECT_TIMEOUT_MS);
    if (s == NATS_OK) s = natsOptions_SetMaxReconnect(opts, -1);
    if (s == NATS_OK) s = natsOptions_SetReconnectWait(opts, RECONNECT_WAIT_MS);
    if (s == NATS_OK) s = natsOptions_SetDisconnectedCB(opts, on_disconnected, nullptr);
    if (s == NATS_OK)
        s = natsOptions_SetName(opts, ("kavi " + std::string(plat::node_name())).c_str());
    if (s == NATS_OK && !cfg.user.empty())
        s = natsOptions_SetUserInfo(opts, cfg.user.c_str(), cfg.password.c_str());
    if (s == NATS_OK && !cfg.token.empty()) s = natsOptions_SetToken(opts, cfg.token.c_str());
    if (s == NATS_OK && !cfg.nkey.empty())
        s = natsOptions_SetNKeyFromSeed(opts, cfg.nkey.c_str(), cfg.nkey_seed_file.c_str());
    if (s == NATS_OK && !cfg.credentials_file.empty())
        s = natsOptions_SetUserCredentialsFromFiles(opts, cfg.credentials_file.c_str(), nullptr);
    if (s == NATS_OK && cfg.tls) s = natsOptions_SetSecure(opts, true);
    if (s == NATS_OK && !cfg.ca_file.empty()) {
        s = natsOptions_LoadCATrustedCertificates(opts, cfg.ca_file.c_str());
        if (s != NATS_OK) *error = "cannot load the CA file " + cfg.ca_file;
    }
    if (s == NATS_OK && !cfg.cert_file.empty()) {
        s = natsOptions_LoadCertificatesChain(opts, cfg.cert_file.c_str(), cfg.key_file.c_str());
        if (s != NATS_OK) *error = "cannot load the client certificate " + cfg.cert_file;
    }
    if (s != NATS_OK && error->empty()) *error = "the client refused a setting";
    if (s != NATS_OK) *error += " (" + status_text(s) + ")";
    return s;
}

std::string server_list(const NatsConfig &cfg) {
    std::string list;
    for (const std::string &s : cfg.servers) list += (list.empty() ? "" : ",") + s;
    return list;
}

// connect: the process's connection with its node-wide subscriptions, or null and *error.
Connection *connect(std::string *error) {
    NatsConfig cfg = nats_config_read(error);
    if (!error->empty()) return nullptr;
    natsOptions *opts = nullptr;
    natsStatus s = natsOptions_Create(&opts);
    if (s == NATS_OK) s = configure(cfg, opts, error);
    auto c = std::make_unique<Connection>();
    if (s == NATS_OK) {
        s = natsConnection_Connect(&c->nc, opts);
        if (s != NATS_OK)
            *error = "cannot connect to " + server_list(cfg) + " (" + status_text(s) + ")";
    }
    natsOptions_Destroy(opts);
    if (s != NATS_OK) {
        if (error->empty()) *error = status_text(s);
        return nullptr;
    }
    int64_t max_payload = natsConnection_GetMaxPayload(c->nc);
    if (max_payload < static_cast<int64_t>(VULC_MESSAGE_MAX)) {
        *error = "the server's max_payload is " + std::to_string(max_payload) +
                 " bytes; a message of 65535 bytes with its header needs at least 65535";
        natsConnection_Destroy(c->nc);
        return nullptr;
    }
    c->node_tok = node_token(local_node());
    if (!cfg.binary_address.empty()) c->binary_tok = node_token(cfg.binary_address.data());
    natsInbox *inbox = nullptr;
    s = natsInbox_Create(&inbox);
    if (s == NATS_OK) {
        c->reply_prefix = inbox;
        natsInbox_Destroy(inbox);
    }
    auto subscribe = [&](const std::string &subject, natsMsgHandler handler) {
        natsSubscription *sub = nullptr;
        if (s == NATS_OK)
            s = natsConnection_Subscribe(&sub, c->nc, subject.c_str(), handler, c.get());
        if (sub != nullptr) c->node_subs.push_back(sub);
    };
    subscribe(NODES_SUBJECT, on_nodes);
    for (const std::string &tok : {c->node_tok, c->binary_tok}) {
        if (tok.empty()) continue;
        subscribe(list_subject(tok), on_list);
        subscribe(shutdown_subject(tok), on_shutdown);
    }
    if (s == NATS_OK) s = natsConnection_FlushTimeout(c->nc, FLUSH_TIMEOUT_MS);
    if (s != NATS_OK) {
        *error = "cannot subscribe (" + status_text(s) + ")";
        release(c->node_subs);
        natsConnection_Destroy(c->nc);
        return nullptr;
    }
    return c.release();  // lives as long as the process: callbacks may run until it ends
}

// Connected: the connection, or the reason it could not be made, decided once per process.
struct Connected {
    Connection *connection = nullptr;
    std::string error;
};

const Connected &connected();

// close_at_exit: ends the subscriptions of the process and closes the connection, which ends and
// joins the client's threads, before the exit-time cleanup of the TLS library (registered before
// this, so run after it) frees what they use. The library's at-exit answers are registered
// later, so they are sent before. The connection object itself stays: threads of the process
// may still be running and call on it, and find it closed.
void close_at_exit() {
    Connection *c = connected().connection;
    std::map<std::string, std::vector<natsSubscription *>> tasks;
    {
        std::lock_guard<std::mutex> hold(c->tasks_lock);
        tasks.swap(c->tasks);
    }
    for (const auto &task : tasks) release(task.second);
    release(c->node_subs);
    natsConnection_Close(c->nc);
}

const Connected &connected() {
    static const Connected once = [] {
        Connected c;
        c.connection = connect(&c.error);
        if (c.connection == nullptr) say_once(c.error);
        uint32_t rc = c.connection == nullptr ? plat::OK : plat::at_exit(close_at_exit);
        if (rc != plat::OK)
            log_failure("nats_connect", VULC_SYSTEM_ERROR, rc, __LINE__, nullptr, 0);
        return c;
    }();
    return once;
}

// ReplySubject: a reply subject subscribed once and used by one send at a time; only the
// messages of that send name it.
class ReplySubject {
  public:
    // open: subscribes the subject on the connection; false when it cannot be.
    bool open(Connection &c) {
        subject_ = c.reply_prefix + "." + std::to_string(++c.last_token);
        return natsConnection_SubscribeSync(&sub_, c.nc, subject_.c_str()) == NATS_OK;
    }
    const std::string &subject() const { return subject_; }
    // take_answers: how many "no responders" wait here, taken away.
    uint64_t take_answers() {
        uint64_t queued = 0;
        natsSubscription_QueuedMsgs(sub_, &queued);
        for (uint64_t i = 0; i < queued; ++i) {
            natsMsg *msg = nullptr;
            if (natsSubscription_NextMsg(&msg, sub_, 1) == NATS_OK) natsMsg_Destroy(msg);
        }
        return queued;
    }

  private:
    natsSubscription *sub_ = nullptr;
    std::string subject_;
};

// ReplySubjects: the reply subjects not in use. A send takes one and gives it back, so that no
// send, from whichever thread (a thread per command, say), costs a subscription of its own.
class ReplySubjects {
  public:
    std::unique_ptr<ReplySubject> take(Connection &c) {
        {
            std::lock_guard<std::mutex> hold(lock_);
            if (!free_.empty()) {
                std::unique_ptr<ReplySubject> reply = std::move(free_.back());
                free_.pop_back();
                return reply;
            }
        }
        auto reply = std::make_unique<ReplySubject>();
        return reply->open(c) ? std::move(reply) : nullptr;
    }
    void give_back(std::unique_ptr<ReplySubject> reply) {
        std::lock_guard<std::mutex> hold(lock_);
        free_.push_back(std::move(reply));
    }

  private:
    std::mutex lock_;
    std::vector<std::unique_ptr<ReplySubject>> free_;  // subscribed, for the process's life
};

// publish: sends data on subject with a reply subject, which the server answers with "no
// responders" when nobody is subscribed to subject. The flush's ping is answered after that, so
// once it returns the answer is queued or will never come.
Delivery publish(Connection &c, const std::string &subject, const void *data, size_t len,
                 uint32_t *reason) {
    static ReplySubjects &replies = *new ReplySubjects;  // used by threads still running at exit
    natsStatus s = NATS_CONNECTION_DISCONNECTED;
    std::unique_ptr<ReplySubject> reply;
    // While the client reconnects it would only buffer the message: unreachable now.
    if (natsConnection_Status(c.nc) == NATS_CONN_STATUS_CONNECTED &&
        (reply = replies.take(c)) != nullptr) {
        reply->take_answers();  // left by a send whose flush failed
        s = natsConnection_PublishRequest(c.nc, subject.c_str(), reply->subject().c_str(), data,
                                          static_cast<int>(len));
    }
    if (s == NATS_OK) s = natsConnection_FlushTimeout(c.nc, FLUSH_TIMEOUT_MS);
    *reason = static_cast<uint32_t>(s);
    Delivery d = Delivery::failed;
    if (s == NATS_OK)
        d = reply->take_answers() == 0 ? Delivery::delivered : Delivery::no_responders;
    if (d == Delivery::no_responders) *reason = 503;
    if (reply != nullptr) replies.give_back(std::move(reply));
    return d;
}

// gather: every answer to a request on subject, until none has come for a moment after the
// first.
uint32_t gather(const std::string &subject, std::vector<std::string> *answers) {
    Connection *c = connected().connection;
    if (c == nullptr) return VULC_TRANSPORT_FAILED;
    natsInbox *inbox = nullptr;
    natsSubscription *sub = nullptr;
    natsStatus s = natsInbox_Create(&inbox);
    if (s == NATS_OK) s = natsConnection_SubscribeSync(&sub, c->nc, inbox);
    if (s == NATS_OK) s = natsConnection_PublishRequest(c->nc, subject.c_str(), inbox, "", 0);
    if (s == NATS_OK) s = natsConnection_FlushTimeout(c->nc, FLUSH_TIMEOUT_MS);
    uint32_t rc = s == NATS_OK ? VULC_OK : VULC_UNREACHABLE;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(GATHER_LIMIT_MS);
    while (s == NATS_OK && std::chrono::steady_clock::now() < deadline) {
        natsMsg *msg = nullptr;
        int64_t wait_ms = GATHER_IDLE_MS;
        if (answers->empty())
            wait_ms = std::max<int64_t>(1, std::chrono::duration_cast<std::chrono::milliseconds>(
                                               deadline - std::chrono::steady_clock::now())
                                               .count());
        natsStatus next = natsSubscription_NextMsg(&msg, sub, wait_ms);
        // The client hands "no responders" over as this status, the message gone.
        if (next == NATS_NO_RESPONDERS) rc = VULC_UNREACHABLE;
        if (next != NATS_OK) break;
        answers->emplace_back(natsMsg_GetData(msg),
                              static_cast<size_t>(natsMsg_GetDataLength(msg)));
        natsMsg_Destroy(msg);
    }
    natsSubscription_Destroy(sub);
    natsInbox_Destroy(inbox);
    return rc;
}

class NatsTransport final : public Transport {
  public:
    uint32_t send(const char dest_node[24], const char dest_task[8], const unsigned char *msg,
                  size_t len, bool reply, uint32_t *reason) override {
        *reason = 0;
        Connection *c = connected().connection;
        if (c == nullptr) return VULC_UNREACHABLE;
        std::string subject = task_subject(node_token(dest_node), task_token(dest_task));
        if (!reply)
            return publish(*c, subject, msg, len, reason) == Delivery::delivered ? VULC_OK
                                                                                 : VULC_UNREACHABLE;
        // A reply asks the server nothing: a flush per answer would cost the answering thread a
        // round trip to the server, and an origin that lost it with a connection (its own or
        // ours) learns so on its own, from its connection losses or from this task's node (see
        // vulctaskident). Only while this connection reconnects is the reply held back, for a
        // moment: published then, the client would only buffer it.
        auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(REPLY_RETRY_MS);
        natsStatus s = NATS_CONNECTION_DISCONNECTED;
        for (;;) {
            if (natsConnection_Status(c->nc) == NATS_CONN_STATUS_CONNECTED)
                s = natsConnection_Publish(c->nc, subject.c_str(), msg, static_cast<int>(len));
            if (s == NATS_OK || natsConnection_IsClosed(c->nc) ||
                std::chrono::steady_clock::now() >= deadline)
                break;
            plat::sleep_ms(REPLY_RETRY_PAUSE_MS);
        }
        *reason = static_cast<uint32_t>(s);
        return s == NATS_OK ? VULC_OK : VULC_UNREACHABLE;
    }

    uint32_t served(const char node[24], const char task[8]) override {
        Connection *c = connected().connection;
        if (c == nullptr) return VULC_UNREACHABLE;
        uint32_t reason = 0;
        switch (publish(*c, task_subject(node_token(node), task_token(task)), "", 0, &reason)) {
            case Delivery::delivered:
                return VULC_OK;
            case Delivery::no_responders:
                return VULC_NOT_STARTED;
            case Delivery::failed:
                break;
        }
        return VULC_UNREACHABLE;
    }

    uint32_t attach(const char task[8], uint32_t *reason) override {
        *reason = 0;
        const Connected &state = connected();
        Connection *c = state.connection;
        if (c == nullptr) return VULC_TRANSPORT_FAILED;
        char name[8];
        canonical_name(task, name);
        std::vector<natsSubscription *> subs;
        natsStatus s = NATS_OK;
        for (const std::string &tok : {c->node_tok, c->binary_tok}) {
            if (tok.empty() || s != NATS_OK) continue;
            auto *closure = new TaskSubscription;
            std::memcpy(closure->name, name, 8);
            closure->inbox = inbox_path(name);
            natsSubscription *sub = nullptr;
            s = natsConnection_Subscribe(&sub, c->nc, task_subject(tok, task_token(name)).c_str(),
                                         on_task_message, closure);
            if (s == NATS_OK) s = natsSubscription_SetOnCompleteCB(sub, on_task_complete, closure);
            if (sub == nullptr) delete closure;
            if (sub != nullptr) subs.push_back(sub);
        }
        // Once started, the task is reachable: the server knows of it before the call returns.
        if (s == NATS_OK) s = natsConnection_FlushTimeout(c->nc, FLUSH_TIMEOUT_MS);
        if (s != NATS_OK) {
            *reason = static_cast<uint32_t>(s);
            release(subs);
            return VULC_UNREACHABLE;
        }
        std::lock_guard<std::mutex> hold(c->tasks_lock);
        c->tasks[std::string(name, 8)] = std::move(subs);
        return VULC_OK;
    }

    void detach(const char task[8]) override {
        Connection *c = connected().connection;
        if (c == nullptr) return;
        char name[8];
        canonical_name(task, name);
        std::vector<natsSubscription *> subs;
        {
            std::lock_guard<std::mutex> hold(c->tasks_lock);
            auto it = c->tasks.find(std::string(name, 8));
            if (it == c->tasks.end()) return;
            subs = std::move(it->second);
            c->tasks.erase(it);
        }
        release(subs);
        // Gone from the server before the stop returns, so that a probe tells it at once.
        natsConnection_FlushTimeout(c->nc, FLUSH_TIMEOUT_MS);
    }

    uint32_t lost_connections() override { return kavc::lost_connections.load(); }

    uint32_t list_tasks(const char node[24], std::vector<VULC_TASKINFO> *out) override {
        std::vector<std::string> answers;
        uint32_t rc = gather(list_subject(node_token(node)), &answers);
        for (const std::string &a : answers) {
            for (size_t at = 0; at + sizeof(VULC_TASKINFO) <= a.size();
                 at += sizeof(VULC_TASKINFO)) {
                VULC_TASKINFO info;
                std::memcpy(&info, a.data() + at, sizeof info);
                if (task_name_ok(info.task)) out->push_back(info);
            }
        }
        return rc;
    }

    uint32_t shutdown(const char node[24], uint32_t *ended) override {
        std::vector<std::string> answers;
        uint32_t rc = gather(shutdown_subject(node_token(node)), &answers);
        *ended = 0;
        for (const std::string &a : answers) {
            uint32_t n = 0;
            if (a.size() == sizeof n) std::memcpy(&n, a.data(), sizeof n);
            *ended += n;
        }
        return rc;
    }

    uint32_t nodes(std::vector<std::string> *out) override {
        std::vector<std::string> answers;
        uint32_t rc = gather(NODES_SUBJECT, &answers);
        for (const std::string &a : answers) {
            if (a.size() == 24 && std::find(out->begin(), out->end(), a) == out->end())
                out->push_back(a);
        }
        std::sort(out->begin(), out->end());
        return rc == VULC_UNREACHABLE ? VULC_OK : rc;  // no process answering: no nodes
    }
};

}  // namespace

Transport &nats_transport() {
    static NatsTransport *transport = new NatsTransport;
    return *transport;
}

}  // namespace kavc
