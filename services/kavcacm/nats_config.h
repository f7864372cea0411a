// nats_config.h — the settings of the NATS transport, read from the environment once per
// process. Without KAVI_NATS_URL there is no transport and nothing changes for the node.
#pragma once

#include <string>
#include <vector>

namespace kavc {

struct NatsConfig {
    std::vector<std::string> servers;  // KAVI_NATS_URL: comma-separated URLs of one cluster
    std::string user, password;        // KAVI_NATS_USER, KAVI_NATS_PASSWORD
    std::string token;                 // KAVI_NATS_TOKEN
    std::string nkey, nkey_seed_file;  // KAVI_NATS_NKEY (public key), KAVI_NATS_NKEY_SEED
    std::string credentials_file;      // KAVI_NATS_CREDS: a user JWT and seed
    std::string ca_file;               // KAVI_NATS_CA: trusted CAs; implies TLS
    std::string cert_file, key_file;   // KAVI_NATS_CERT, KAVI_NATS_KEY: the client certificate
    bool tls = false;                  // KAVI_NATS_TLS=1, a CA, or a tls:// URL
    std::string binary_address;        // KAVI_NATS_BINARY_NODE: 24 bytes, the first four 0xFF
};

// nats_configured: whether KAVI_NATS_URL is set and not empty.
bool nats_configured();
// nats_config_read: the settings, or an empty string in *error only when they hang together;
// otherwise *error says what is wrong, in words an operator can act on.
NatsConfig nats_config_read(std::string *error);

}  // namespace kavc
