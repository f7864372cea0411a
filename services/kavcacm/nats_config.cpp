// nats_config.cpp — reading and checking the NATS settings.
#include "services/kavcacm/nats_config.h"

#include "platform/platform.h"

namespace kavc {

namespace {

std::string env(const char *name) {
    std::string value;
    return plat::env_get(name, &value) ? value : std::string();
}

std::vector<std::string> split_list(const std::string &list) {
    std::vector<std::string> items;
    size_t start = 0;
    for (;;) {
        size_t comma = list.find(',', start);
        std::string item = list.substr(start, comma - start);
        size_t first = item.find_first_not_of(" \t");
        size_t last = item.find_last_not_of(" \t");
        items.push_back(first == std::string::npos ? "" : item.substr(first, last - first + 1));
        if (comma == std::string::npos) return items;
        start = comma + 1;
    }
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// binary_address: 48 hexadecimal digits whose first eight are F, as 24 bytes; empty otherwise.
std::string binary_address(const std::string &hex) {
    if (hex.size() != 48) return "";
    std::string bytes;
    for (size_t i = 0; i < hex.size(); i += 2) {
        int high = hex_digit(hex[i]), low = hex_digit(hex[i + 1]);
        if (high < 0 || low < 0) return "";
        bytes += static_cast<char>(high << 4 | low);
    }
    return bytes.compare(0, 4, "\xFF\xFF\xFF\xFF") == 0 ? bytes : "";
}

}  // namespace

bool nats_configured() {
    return !env("KAVI_NATS_URL").empty();
}

NatsConfig nats_config_read(std::string *error) {
    NatsConfig c;
    error->clear();
    for (const std::string &url : split_list(env("KAVI_NATS_URL"))) {
        if (url.empty()) {
            *error = "KAVI_NATS_URL holds an empty server in its list";
            return c;
        }
        if (url.rfind("tls://", 0) == 0) c.tls = true;
        c.servers.push_back(url);
    }
    c.user = env("KAVI_NATS_USER");
    c.password = env("KAVI_NATS_PASSWORD");
    c.token = env("KAVI_NATS_TOKEN");
    c.nkey = env("KAVI_NATS_NKEY");
    c.nkey_seed_file = env("KAVI_NATS_NKEY_SEED");
    c.credentials_file = env("KAVI_NATS_CREDS");
    c.ca_file = env("KAVI_NATS_CA");
    c.cert_file = env("KAVI_NATS_CERT");
    c.key_file = env("KAVI_NATS_KEY");
    std::string tls = env("KAVI_NATS_TLS");
    std::string binary = env("KAVI_NATS_BINARY_NODE");

    int methods =
        !c.user.empty() + !c.token.empty() + !c.nkey.empty() + !c.credentials_file.empty();
    if (c.user.empty() != c.password.empty()) {
        *error = "KAVI_NATS_USER and KAVI_NATS_PASSWORD go together: one of them is missing";
    } else if (c.nkey.empty() != c.nkey_seed_file.empty()) {
        *error = "KAVI_NATS_NKEY and KAVI_NATS_NKEY_SEED go together: one of them is missing";
    } else if (methods > 1) {
        *error =
            "more than one way to authenticate is set: choose one of KAVI_NATS_USER, "
            "KAVI_NATS_TOKEN, KAVI_NATS_NKEY and KAVI_NATS_CREDS";
    } else if (c.cert_file.empty() != c.key_file.empty()) {
        *error = "KAVI_NATS_CERT and KAVI_NATS_KEY go together: one of them is missing";
    } else if (!tls.empty() && tls != "0" && tls != "1") {
        *error = "KAVI_NATS_TLS must be 0 or 1, not \"" + tls + "\"";
    } else if (!binary.empty() && (c.binary_address = binary_address(binary)).empty()) {
        *error = "KAVI_NATS_BINARY_NODE must be 48 hexadecimal digits beginning with FFFFFFFF";
    }
    c.tls = c.tls || tls == "1" || !c.ca_file.empty() || !c.cert_file.empty();
    return c;
}

}  // namespace kavc
