// send.cpp — `kavi send`: plays the server for one command. It starts a task of its own (not an
// exit), sends the command to an exit, waits for the reply and prints its status and fields.
#include "tools/kavi/send.h"

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "exit/codec.h"
#include "services/kavcacm/kavcacm.h"
#include "tools/kavi/block_fields.h"
#include "tools/kavi/options.h"

namespace kavitool {

namespace {

namespace codec = kavi::codec;

constexpr int EXIT_STATUS_ZERO = EXIT_OK;
constexpr int EXIT_STATUS_OTHER = 1;
constexpr int EXIT_UNREACHABLE = 3;
constexpr int EXIT_NO_REPLY = 4;

const char USAGE[] =
    "usage: kavi send EXIT [--node NODE] [--router] [--set FIELD=VALUE]... [--raw FILE]\n"
    "                 [--function-code N] [--json] [--timeout SECONDS]\n"
    "  Sends one command to the exit EXIT and prints the status and every field of its reply.\n"
    "  --node NODE        the node to send on (default: KAVI_NODE, else the host name);\n"
    "                     with KAVI_NATS_URL set, a node reached through NATS\n"
    "  --set FIELD=VALUE  a parameter block field by name (command_name, display_name,\n"
    "                     exit_timeout, resource_status_ts=2015-03-09T14:05:07.6, ...);\n"
    "                     data fields (user_data, ...) as hexadecimal digits\n"
    "  --router           send to the router KAVIEXIT, which delivers by exit_name\n"
    "  --raw FILE         send FILE's bytes unchanged as the element block\n"
    "  --timeout SECONDS  how long to wait for the reply (default 30)\n"
    "  Exit code: 0 status 0, 1 another status, 2 usage, 3 exit not reachable, 4 no reply.\n";

struct SendOptions {
    std::string exit_name;
    std::string node;  // empty: KAVI_NODE
    bool router = false;
    bool json = false;
    std::string raw_file;
    uint16_t function_code = 0;
    double timeout_s = 30;
    std::vector<std::pair<std::string, std::string>> sets;
};

int usage_error(const std::string &what) {
    fprintf(stderr, "kavi send: %s\n%s", what.c_str(), USAGE);
    return EXIT_USAGE;
}

// parse: 0 and *o, or the exit code of a usage error (already reported).
int parse(int argc, char **argv, SendOptions *o) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        bool has_value = i + 1 < argc;
        if (arg == "--router") {
            o->router = true;
        } else if (arg == "--json") {
            o->json = true;
        } else if (arg == "--help" || arg == "-h") {
            fputs(USAGE, stdout);
            exit(0);
        } else if ((arg == "--node" || arg == "--set" || arg == "--raw" ||
                    arg == "--function-code" || arg == "--timeout") &&
                   !has_value) {
            return usage_error(arg + " needs a value");
        } else if (arg == "--node") {
            o->node = argv[++i];
            if (o->node.empty() || o->node.size() > 24) return usage_error("bad node name");
        } else if (arg == "--set") {
            std::string set = argv[++i];
            size_t eq = set.find('=');
            if (eq == std::string::npos || eq == 0) return usage_error("--set takes FIELD=VALUE");
            o->sets.emplace_back(set.substr(0, eq), set.substr(eq + 1));
        } else if (arg == "--raw") {
            o->raw_file = argv[++i];
        } else if (arg == "--function-code") {
            char *end = nullptr;
            unsigned long code = strtoul(argv[++i], &end, 0);
            if (*end != '\0' || code > UINT16_MAX) return usage_error("bad function code");
            o->function_code = static_cast<uint16_t>(code);
        } else if (arg == "--timeout") {
            char *end = nullptr;
            o->timeout_s = strtod(argv[++i], &end);
            if (*end != '\0' || !std::isfinite(o->timeout_s) || o->timeout_s <= 0 ||
                o->timeout_s > 86400)
                return usage_error("bad time-out");
        } else if (!arg.empty() && arg[0] != '-' && o->exit_name.empty()) {
            o->exit_name = arg;
        } else {
            return usage_error("unexpected argument " + arg);
        }
    }
    if (o->exit_name.empty() || o->exit_name.size() > 8)
        return usage_error("EXIT takes 1 to 8 characters");
    return 0;
}

void pad(const std::string &text, char *out, size_t width) {
    memset(out, ' ', width);
    for (size_t i = 0; i < text.size() && i < width; ++i)
        out[i] = static_cast<char>(toupper(static_cast<unsigned char>(text[i])));
}

// The client's task: a name of its own on the node, released when it goes.
class ClientTask {
  public:
    ~ClientTask() {
        if (!started_) return;
        VULC_STOPCOM stop{};
        stop.head.length = sizeof stop;
        memcpy(stop.head.task, name_, 8);
        vulcstopcom(&stop);
    }
    // start: 0, or the service's code. An empty mailslot path: the task is no exit.
    uint32_t start() {
        uint32_t rc = VULC_ALREADY_STARTED;
        for (unsigned attempt = 0; attempt < 16 && rc == VULC_ALREADY_STARTED; ++attempt) {
            char name[16];
            snprintf(name, sizeof name, "KV%06X", (getpid() + attempt * 0x10000u) & 0xFFFFFFu);
            memcpy(name_, name, 8);
            VULC_STRTCOM request{};
            request.head.length = sizeof request;
            memcpy(request.head.task, name_, 8);
            rc = vulcstrtcom(&request);
            if (rc == VULC_OK) {
                handle_ = request.receive_handle;
                started_ = true;
            }
        }
        return rc;
    }
    const char *name() const { return name_; }
    VULC_HANDLE handle() const { return handle_; }

  private:
    char name_[8] = {};
    VULC_HANDLE handle_ = 0;
    bool started_ = false;
};

// A buffer of the service, given back when done with.
class Message {
  public:
    Message(const char task[8], uint8_t *bytes, uint32_t length) : bytes_(bytes), length_(length) {
        memcpy(task_, task, 8);
    }
    ~Message() {
        if (bytes_ == nullptr) return;
        VULC_FREEMEM request{};
        request.head.length = sizeof request;
        memcpy(request.head.task, task_, 8);
        request.buffer = bytes_;
        vulcfreemem(&request);
    }
    Message(const Message &) = delete;
    Message &operator=(const Message &) = delete;
    uint8_t *bytes() const { return bytes_; }
    uint32_t length() const { return length_; }

  private:
    char task_[8];
    uint8_t *bytes_;
    uint32_t length_;
};

// element_block: what goes from message offset 112 on; false when it is too long to send.
bool element_block(const SendOptions &o, const OutgoingBlock &out, std::vector<uint8_t> *bytes) {
    if (!o.raw_file.empty()) {
        std::ifstream in(o.raw_file, std::ios::binary);
        if (!in) return false;
        bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        return bytes->size() <= VULC_MESSAGE_MAX - codec::HEADER_SIZE;
    }
    size_t length = 4 + codec::BLOCK_ELEMENT_LENGTH;
    for (const codec::Field &f : codec::FIELDS) {
        if (f.form == codec::FieldForm::text && out.block.*f.text != nullptr)
            length += codec::text_element_length(strlen(out.block.*f.text) + 1);
        if (f.form == codec::FieldForm::data && out.block.*f.data != nullptr)
            length += codec::data_element_length(out.block.*f.length);
    }
    if (length > VULC_MESSAGE_MAX - codec::HEADER_SIZE) return false;
    bytes->assign(length, 0);
    uint8_t *at = bytes->data() + 4;
    at += codec::write_block_element(at, out.block);
    for (size_t i = 0; i < codec::FIELD_COUNT; ++i) {
        const codec::Field &f = codec::FIELDS[i];
        if (f.form == codec::FieldForm::text && out.block.*f.text != nullptr)
            at += codec::write_text_element(at, f.type, out.block.*f.text,
                                            strlen(out.block.*f.text) + 1);
        if (f.form == codec::FieldForm::data && out.block.*f.data != nullptr)
            at += codec::write_data_element(at, f.type, out.block.*f.data,
                                            static_cast<uint16_t>(out.data[i].size()));
    }
    codec::put_u16(bytes->data(), static_cast<uint16_t>(length));
    codec::put_u16(bytes->data() + 2, codec::ELEMENT_BLOCK_TYPE);
    return true;
}

struct Sent {
    uint32_t message_id;
    uint32_t correlation;
};

// send: 0 and what identifies the command's reply, or the exit code of a failure (reported).
int send(const SendOptions &o, const ClientTask &task, const std::vector<uint8_t> &elements,
         const char node[24], Sent *sent) {
    VULC_ALCMEM alloc{};
    alloc.head.length = sizeof alloc;
    memcpy(alloc.head.task, task.name(), 8);
    alloc.size = static_cast<uint32_t>(codec::HEADER_SIZE + elements.size());
    if (vulcalcmem(&alloc) != VULC_OK) {
        fprintf(stderr, "kavi send: no message buffer (code %u)\n", alloc.head.rc);
        return EXIT_UNREACHABLE;
    }
    Message message(task.name(), static_cast<uint8_t *>(alloc.buffer), alloc.size);
    if (!elements.empty())
        memcpy(message.bytes() + codec::HEADER_SIZE, elements.data(), elements.size());

    VULC_SNDDATA request{};
    request.head.length = sizeof request;
    memcpy(request.head.task, task.name(), 8);
    pad(o.router ? "KAVIEXIT" : o.exit_name, request.dest_app, sizeof request.dest_app);
    memcpy(request.dest_node, node, sizeof request.dest_node);
    request.send_length = message.length();
    request.buffer = message.bytes();
    request.function_code = o.function_code;
    uint32_t rc = vulcsnddata(&request);
    if (rc != VULC_OK) {
        if (rc == VULC_UNREACHABLE || rc == VULC_NOT_STARTED)
            fprintf(stderr, "kavi send: exit %s is not reachable\n", o.exit_name.c_str());
        else
            fprintf(stderr, "kavi send: the send failed with code %u (reason %u)\n", rc,
                    request.head.reason);
        return EXIT_UNREACHABLE;
    }
    // The service wrote the header into the buffer; a reply carries its message id back.
    sent->message_id = codec::get_u32(message.bytes() + VULC_HDR_MESSAGE_ID);
    sent->correlation = elements.size() >= 4 + codec::BLOCK_ELEMENT_LENGTH
                            ? codec::correlation_in_wire(elements.data() + 8)
                            : 0;
    return 0;
}

struct Reply {
    bool has_status = false;
    uint16_t status = 0;
    uint32_t correlation = 0;
    bool has_block = false;
    _VULE_PARAMETERS32 block{};
    bool malformed = false;
};

Reply read_reply(const uint8_t *msg, uint32_t length) {
    Reply r;
    r.malformed = !codec::header_valid(codec::read_header(msg), length);
    if (r.malformed) return r;
    codec::ElementReader reader(msg, length);
    codec::Element e;
    while (reader.next(&e)) {
        if (e.type == codec::TYPE_BLOCK && !r.has_block) {
            codec::decode_block(e.body, &r.block);
            r.has_block = true;
        } else if (e.type == codec::TYPE_STATUS) {
            r.has_status = true;
            r.status = codec::status_code_of(e);
            r.correlation = codec::status_correlation_of(e);
        } else if (const codec::Field *f = codec::field_for_type(e.type); f && r.has_block) {
            codec::set_field(&r.block, *f, e);
        }
    }
    r.malformed = reader.error() != codec::ElementError::none || !r.has_status;
    return r;
}

// A reply carries the command's message id back; a status reply sent from a buffer of its own
// (a process ending with the command active) carries at least its correlation.
bool answers(const uint8_t *msg, uint32_t length, const Sent &sent) {
    if (length < codec::FIRST_ELEMENT_OFFSET) return false;
    if (codec::get_u32(msg + VULC_HDR_MESSAGE_ID) == sent.message_id) return true;
    Reply r = read_reply(msg, length);
    return r.has_status && r.correlation == sent.correlation;
}

void print(const Reply &r, uint32_t length, bool json) {
    std::vector<PrintedField> fields;
    if (r.has_block) fields = print_fields(r.block);
    if (json) {
        printf("{\n  \"status\": %u", r.status);
        for (const PrintedField &f : fields)
            printf(",\n  \"%s\": %s", f.name.c_str(), f.json.c_str());
        printf("\n}\n");
        return;
    }
    printf("status: %u (0x%04X)\nreply: %u bytes\n", r.status, r.status, length);
    if (!r.has_block) printf("(no parameter block)\n");
    for (const PrintedField &f : fields) printf("%s: %s\n", f.name.c_str(), f.text.c_str());
}

// await_reply: the exit code after printing the reply, or EXIT_NO_REPLY at the time-out.
int await_reply(const SendOptions &o, const ClientTask &task, const Sent &sent) {
    using clock = std::chrono::steady_clock;
    auto deadline = clock::now() + std::chrono::duration<double>(o.timeout_s);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now());
        if (left.count() <= 0) break;
        VULC_SOCWAIT wait{};
        wait.length = sizeof wait;
        wait.timeout_ms = static_cast<int32_t>(left.count());
        wait.wait_handle = task.handle();
        if (vulcsocwait(&wait) == VULC_SEM_TIMEOUT) break;
        uint32_t length = 0;
        void *buffer = nullptr;
        VULC_RCVDATA receive{};
        receive.head.length = sizeof receive;
        memcpy(receive.head.task, task.name(), 8);
        receive.receive_handle = task.handle();
        receive.wait_handle = task.handle();
        receive.length_out = &length;
        receive.buffer_out = &buffer;
        uint32_t rc = vulcrcvdata(&receive);
        if (rc == VULC_NO_DATA) continue;
        if (rc != VULC_OK) {
            fprintf(stderr, "kavi send: receive failed with code %u\n", rc);
            return EXIT_NO_REPLY;
        }
        Message message(task.name(), static_cast<uint8_t *>(buffer), length);
        if (!answers(message.bytes(), length, sent)) continue;
        Reply r = read_reply(message.bytes(), length);
        if (r.malformed) {
            fprintf(stderr, "kavi send: the reply (%u bytes) is malformed\n", length);
            return EXIT_STATUS_OTHER;
        }
        print(r, length, o.json);
        return r.status == 0 ? EXIT_STATUS_ZERO : EXIT_STATUS_OTHER;
    }
    fprintf(stderr, "kavi send: no reply from %s within %g s\n", o.exit_name.c_str(), o.timeout_s);
    return EXIT_NO_REPLY;
}

}  // namespace

int send_command(int argc, char **argv) {
    SendOptions o;
    if (int rc = parse(argc, argv, &o); rc != 0) return rc;
    use_node(o.node);
    OutgoingBlock out;
    std::string error;
    pad(o.exit_name, out.block.exit_name, 8);
    codec::set_correlation(&out.block, static_cast<uint32_t>(getpid() & 0xFFFF) << 16);
    for (const auto &[field, value] : o.sets)
        if (!set_field(&out, field, value, &error)) return usage_error(field + " " + error);
    std::vector<uint8_t> elements;
    if (!element_block(o, out, &elements))
        return usage_error(o.raw_file.empty()
                               ? "the command is too long"
                               : "cannot read " + o.raw_file + ", or it is too long");

    ClientTask task;
    if (uint32_t rc = task.start(); rc != VULC_OK) {
        fprintf(stderr, "kavi send: cannot start a task on the node (code %u)\n", rc);
        return EXIT_UNREACHABLE;
    }
    // Without a distributed transport --node joins the node; with one, it names the destination.
    VULC_CHECKTASK check{};
    check.head.length = sizeof check;
    memcpy(check.head.task, task.name(), 8);
    vulcchecktask(&check);
    std::string remote = remote_node(o.node);
    if (!remote.empty()) memcpy(check.node, remote.data(), sizeof check.node);
    Sent sent{};
    if (int rc = send(o, task, elements, check.node, &sent); rc != 0) return rc;
    return await_reply(o, task, sent);
}

}  // namespace kavitool
