// send.cpp — `kavi send`: plays the server for one command. It starts a task of its own (not an
// exit), sends the command to an exit, waits for the reply and prints what was sent and what came
// back: the fields set, then the status and the fields the exit changed (or all, or JSON).
#include "tools/kavi/send.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "exit/codec.h"
#include "tools/kavi/block_fields.h"
#include "tools/kavi/client.h"
#include "tools/kavi/json_in.h"

namespace kavitool {

namespace {

namespace codec = kavi::codec;

constexpr int EXIT_STATUS_ZERO = EXIT_OK;
constexpr int EXIT_STATUS_OTHER = 1;
constexpr int EXIT_UNREACHABLE = 3;
constexpr int EXIT_NO_REPLY = 4;

constexpr OptionSpec OPTIONS[] = {
    {"set", "FIELD=VALUE",
     "set a parameter block field by name: command_name,\n"
     "display_name, exit_timeout, resource_status_ts=\n"
     "2015-03-09T14:05:07.6, ...; data fields (user_data, ...)\n"
     "as hexadecimal digits. Repeat for more fields"},
    {"json-in", "FILE",
     "set the fields of a JSON object read from FILE (- for\n"
     "standard input), such as --json printed; --set applies\n"
     "after it"},
    {"raw", "FILE", "send FILE's bytes unchanged as the element block"},
    {"router", nullptr, "send to the router KAVIEXIT, which delivers by exit_name"},
    {"function-code", "N", "the header's function code (default 0, a command)"},
    {"timeout", "SECONDS", "how long to wait for the reply (default 30)"},
    {"all", nullptr, "print every field of the reply, not only those the exit changed"},
    {"json", nullptr, "print the reply as one JSON object: status, then every field"},
    NODE_OPTION,
};

struct SendOptions {
    std::string exit_name;
    bool router = false;
    std::string raw_file;
    uint16_t function_code = 0;
    double timeout_s = 30;
};

// read_options: 0 and *o, or the exit code of a usage error (reported).
int read_options(const Args &args, SendOptions *o) {
    o->exit_name = args.operand();
    for (char &c : o->exit_name) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    if (o->exit_name.size() > 8)
        return usage_error(SEND_SPEC, "EXIT takes 1 to 8 characters, not " + args.operand());
    o->router = args.has("router");
    o->raw_file = args.value("raw");
    if (args.has("function-code")) {
        char *end = nullptr;
        std::string text = args.value("function-code");
        unsigned long code = strtoul(text.c_str(), &end, 0);
        if (*end != '\0' || code > UINT16_MAX)
            return usage_error(SEND_SPEC, "--function-code takes 0 to 65535, not " + text);
        o->function_code = static_cast<uint16_t>(code);
    }
    if (args.has("timeout")) {
        char *end = nullptr;
        std::string text = args.value("timeout");
        o->timeout_s = strtod(text.c_str(), &end);
        if (*end != '\0' || !std::isfinite(o->timeout_s) || o->timeout_s <= 0 ||
            o->timeout_s > 86400)
            return usage_error(SEND_SPEC, "--timeout takes seconds above 0, not " + text);
    }
    return 0;
}

bool read_all(const std::string &path, std::string *out) {
    if (path == "-") {
        out->assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
        return true;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

// fill_block: the block from --json-in and --set; 0, or the exit code of a usage error.
int fill_block(const Args &args, const SendOptions &o, OutgoingBlock *out) {
    std::string error;
    if (args.has("json-in")) {
        std::string path = args.value("json-in"), json;
        std::vector<std::pair<std::string, std::string>> fields;
        if (!read_all(path, &json)) return usage_error(SEND_SPEC, "cannot read " + path);
        if (!read_json_fields(json, &fields, &error))
            return usage_error(SEND_SPEC, "--json-in " + path + ": " + error);
        // A reply's status is not a field; the exit and correlation are this command's own.
        for (const auto &[field, value] : fields) {
            if (field == "status") continue;
            if (!set_field(out, field, value, &error))
                return usage_error(SEND_SPEC, "--json-in " + path + ": " + field + " " + error);
        }
    }
    pad(o.exit_name, out->block.exit_name, 8);
    out->block.exit_name[8] = '\0';
    codec::set_correlation(&out->block, static_cast<uint32_t>(getpid() & 0xFFFF) << 16);
    for (const std::string &set : args.values("set")) {
        size_t eq = set.find('=');
        if (eq == std::string::npos || eq == 0)
            return usage_error(SEND_SPEC, "--set takes FIELD=VALUE, not " + set);
        std::string field = set.substr(0, eq);
        if (!set_field(out, field, set.substr(eq + 1), &error))
            return usage_error(SEND_SPEC, "--set " + field + ": " + error);
    }
    return 0;
}

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
bool answers(const Message &message, const Sent &sent, uint32_t correlation) {
    if (message.length() < codec::FIRST_ELEMENT_OFFSET) return false;
    if (is_reply_to(message, sent)) return true;
    Reply r = read_reply(message.bytes(), message.length());
    return r.has_status && r.correlation == correlation;
}

// The fields of `block` that differ from those of `base`, as printed.
std::vector<PrintedField> differing(const _VULE_PARAMETERS32 &block,
                                    const _VULE_PARAMETERS32 &base) {
    std::vector<PrintedField> now = print_fields(block), before = print_fields(base), out;
    for (size_t i = 0; i < now.size(); ++i)
        if (now[i].text != before[i].text) out.push_back(now[i]);
    return out;
}

void print_sent(const SendOptions &o, const OutgoingBlock &out, size_t bytes,
                const ClientTask &task) {
    std::printf("sent to %s on node %s%s: %zu bytes\n", o.exit_name.c_str(),
                task.node_name().c_str(), o.router ? " through KAVIEXIT" : "",
                codec::HEADER_SIZE + bytes);
    if (!o.raw_file.empty()) {
        std::printf("  (the element block of %s)\n", o.raw_file.c_str());
        return;
    }
    for (const PrintedField &f : differing(out.block, _VULE_PARAMETERS32{}))
        if (f.name != "exit_name" && f.name != "correlation_id")
            std::printf("  %s: %s\n", f.name.c_str(), f.text.c_str());
}

void print_reply(const Reply &r, uint32_t length, double ms, bool all,
                 const _VULE_PARAMETERS32 &sent) {
    std::printf("status: %u (0x%04X)\nreply: %u bytes in %.1f ms\n", r.status, r.status, length,
                ms);
    if (!r.has_block) {
        std::printf("(no parameter block)\n");
        return;
    }
    std::vector<PrintedField> fields = all ? print_fields(r.block) : differing(r.block, sent);
    if (!all)
        std::printf("changed by the exit: %zu field%s\n", fields.size(),
                    fields.size() == 1 ? "" : "s");
    for (const PrintedField &f : fields) std::printf("  %s: %s\n", f.name.c_str(), f.text.c_str());
}

void print_json(const Reply &r) {
    std::vector<PrintedField> fields;
    if (r.has_block) fields = print_fields(r.block);
    std::printf("{\n  \"status\": %u", r.status);
    for (const PrintedField &f : fields)
        std::printf(",\n  \"%s\": %s", f.name.c_str(), f.json.c_str());
    std::printf("\n}\n");
}

}  // namespace

const CommandSpec SEND_SPEC = {
    "send",
    "EXIT",
    "the exit to send the command to (1 to 8 characters)",
    false,
    "send one command to an exit and print its reply",
    "Sends one command to the exit EXIT, waits for its reply and prints the fields sent, the\n"
    "status and the fields the exit changed. The block starts zeroed; exit_name is EXIT.\n",
    OPTIONS,
    "Exit codes: 0 status 0, 1 another status or a malformed reply, 2 usage error,\n"
    "3 the exit is not reachable, 4 no reply within the time-out.\n",
};

int send_command(const Args &args) {
    SendOptions o;
    if (int rc = read_options(args, &o); rc != 0) return rc;
    if (!use_node(args.value("node"))) return EXIT_USAGE;
    OutgoingBlock out;
    if (int rc = fill_block(args, o, &out); rc != 0) return rc;
    std::vector<uint8_t> elements;
    if (!element_block(o, out, &elements))
        return usage_error(SEND_SPEC, o.raw_file.empty()
                                          ? "the command is too long"
                                          : "cannot read " + o.raw_file + ", or it is too long");

    ClientTask task;
    if (uint32_t rc = task.start(args.value("node")); rc != VULC_OK) {
        std::fprintf(stderr, "kavi send: cannot start a task on the node (code %u)\n", rc);
        return EXIT_UNREACHABLE;
    }
    bool json = args.has("json");
    Sent sent{};
    uint32_t reason = 0;
    uint32_t rc = send_elements(task, o.router ? "KAVIEXIT" : o.exit_name, elements,
                                o.function_code, &sent, &reason);
    if (rc == VULC_UNREACHABLE || rc == VULC_NOT_STARTED) {
        std::fprintf(stderr, "kavi send: %s\n",
                     not_reachable(o.router ? "KAVIEXIT" : o.exit_name, task).c_str());
        return EXIT_UNREACHABLE;
    }
    if (rc != VULC_OK) {
        std::fprintf(stderr, "kavi send: the send failed with code %u (reason %u)\n", rc, reason);
        return EXIT_UNREACHABLE;
    }
    if (!json) print_sent(o, out, elements.size(), task);
    uint32_t correlation = elements.size() >= 4 + codec::BLOCK_ELEMENT_LENGTH
                               ? codec::correlation_in_wire(elements.data() + 8)
                               : 0;
    std::optional<Message> message;
    Awaited awaited = await_message(
        task, o.timeout_s, [&](const Message &m) { return answers(m, sent, correlation); },
        &message, &rc);
    if (awaited == Awaited::failed) {
        std::fprintf(stderr, "kavi send: receive failed with code %u\n", rc);
        return EXIT_NO_REPLY;
    }
    if (awaited == Awaited::timeout) {
        std::fflush(stdout);
        std::fprintf(stderr, "kavi send: no reply from %s within %g s\n", o.exit_name.c_str(),
                     o.timeout_s);
        return EXIT_NO_REPLY;
    }
    double ms = std::chrono::duration<double, std::milli>(Clock::now() - sent.at).count();
    Reply r = read_reply(message->bytes(), message->length());
    if (r.malformed) {
        std::fflush(stdout);
        std::fprintf(stderr, "kavi send: the reply (%u bytes) is malformed\n", message->length());
        return EXIT_STATUS_OTHER;
    }
    if (json)
        print_json(r);
    else
        print_reply(r, message->length(), ms, args.has("all"), out.block);
    return r.status == 0 ? EXIT_STATUS_ZERO : EXIT_STATUS_OTHER;
}

}  // namespace kavitool
