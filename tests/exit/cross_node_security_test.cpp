// cross_node_security_test.cpp — nodes on a NATS server that requires a password and TLS under a
// CA the test makes: nodes with the right settings talk; a node with a wrong password or without
// the CA cannot start its exits, and says why once.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "kaviexit.h"
#include "tests/support/child_process.h"
#include "tests/support/nats_server.h"

namespace {

using namespace kavitest;

uint32_t KAVI_CALL never_called(_VULE_PARAMETERS32 *) {
    return 0;
}

// make_certificates: a CA, and a server certificate it signed for 127.0.0.1, in dir.
bool make_certificates(const std::string &dir) {
    std::ofstream(dir + "/ext") << "subjectAltName=IP:127.0.0.1,DNS:localhost\n";
    std::string key = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
    std::string commands =
        "cd " + dir + " && openssl req -x509" + key +
        " -keyout ca.key -out ca.pem -days 1 -subj /CN=kavi-test-ca && openssl req" + key +
        " -keyout server.key -out server.csr -subj /CN=localhost && openssl x509 -req -in "
        "server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out server.pem -days 1 -extfile ext";
    return std::system(("(" + commands + ") >/dev/null 2>&1").c_str()) == 0;
}

// exit_program: the test exit on a node of its own with the settings given; what it printed
// and said (standard error) go to files in dir.
Child exit_program(const std::string &dir, const std::string &node,
                   const std::vector<std::string> &settings) {
    std::vector<std::string> env = settings;
    env.push_back("KAVI_NODE=" + node);
    env.push_back("KAVZ_ERRLOG=" + dir + "/" + node + ".errlog");
    return Child::spawn({"/bin/sh", "-c", "exec \"$0\" TEXIT 1 2>\"$1\"",
                         executable_dir() + "/kavi_test_exit", dir + "/" + node + ".said"},
                        env, dir + "/" + node + ".out");
}

}  // namespace

TEST(CrossNodeSecurity, OnlyNodesWithTheCredentialsAndTheCaTalk) {
    if (nats_server_path().empty()) GTEST_SKIP() << NO_NATS_SERVER;
    std::string dir = make_temp_dir();
    ASSERT_TRUE(make_certificates(dir)) << "openssl could not make the test CA";
    NatsServer server;
    ASSERT_TRUE(server.start("tls { cert_file: \"" + dir + "/server.pem\", key_file: \"" + dir +
                             "/server.key\" }\nauthorization { user: kavi, password: s3cret }"));
    std::vector<std::string> right = {"KAVI_NATS_URL=" + server.url(), "KAVI_NATS_USER=kavi",
                                      "KAVI_NATS_PASSWORD=s3cret",
                                      "KAVI_NATS_CA=" + dir + "/ca.pem"};
    std::string there = unique_node("B");
    Child target = exit_program(dir, there, right);
    ASSERT_TRUE(eventually(
        [&] {
            return read_file(dir + "/" + there + ".out").find("registered") != std::string::npos;
        },
        10000))
        << read_file(dir + "/" + there + ".said");

    // A node with a wrong password, and one that does not trust the server's CA.
    std::vector<std::string> wrong = right, untrusting = right;
    wrong[2] = "KAVI_NATS_PASSWORD=guess";
    untrusting.pop_back();
    untrusting.push_back("KAVI_NATS_TLS=1");
    for (const auto &[node, settings, why] :
         {std::tuple{unique_node("WRONG"), wrong, std::string("Authorization Violation")},
          std::tuple{unique_node("NOCA"), untrusting, std::string("SSL")}}) {
        Child refused = exit_program(dir, node, settings);
        EXPECT_EQ(refused.wait(15000), 1);  // KaviInit failed: the exit never started
        std::string said = read_file(dir + "/" + node + ".said");
        EXPECT_NE(said.find("the NATS transport cannot start"), std::string::npos) << said;
        EXPECT_NE(said.find(why), std::string::npos) << said;
        EXPECT_EQ(said.find("the NATS transport cannot start"),
                  said.rfind("the NATS transport cannot start"))
            << said;
    }

    // This node, with the right settings, reaches the target.
    setenv("KAVI_NODE", unique_node("A").c_str(), 1);
    for (const std::string &setting : right) {
        size_t eq = setting.find('=');
        setenv(setting.substr(0, eq).c_str(), setting.substr(eq + 1).c_str(), 1);
    }
    ASSERT_EQ(KaviInit("CALLER", never_called, 1), VULE_OK);
    char name[16] = "STATUS", text[16] = "42";
    _VULE_PARAMETERS32 b{};
    b.command_name = name;
    b.command_string = text;
    EXPECT_EQ(KaviSend("CALLER  ", "TEXIT", there.c_str(), &b), 42u);
    KaviTerminate("CALLER  ");
}
