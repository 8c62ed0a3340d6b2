// The web configuration of --metrics: what is accepted, and that everything else is
// refused with a reason (a setting silently ignored would serve without the TLS or
// the password its operator asked for).
#include "run/web_config.h"

#include <gtest/gtest.h>

#include <fstream>
#include <ostream>
#include <string>

#include "testlib/runner.h"

namespace {

// A syntactically valid bcrypt hash (of "x", cost 4).
constexpr char HASH[] = "$2b$04$3lwctyEhs8FqJt.aqLsFYOp3qJgocK7n.B6PRrwrj8vo2qwIo5BxW";

struct ConfigCase {
  const char* name;
  std::string text;
  const char* error;  // nullptr: accepted; otherwise a part of the reason
};

void PrintTo(const ConfigCase& c, std::ostream* os) { *os << c.name; }

const ConfigCase CASES[] = {
    {"Empty", "", nullptr},
    {"OnlyComments", "# nothing yet\n", nullptr},
    {"Users", std::string("basic_auth_users:\n  alice: ") + HASH + "\n  bob: '" + HASH + "'\n",
     nullptr},
    {"Tls", "tls_server_config:\n  cert_file: c.pem\n  key_file: k.pem\n", nullptr},
    {"TlsAbsolutePaths", "tls_server_config:\n  cert_file: DIR/c.pem\n  key_file: DIR/k.pem\n",
     nullptr},
    {"TlsMinimum", "tls_server_config:\n  cert_file: c.pem\n  key_file: k.pem\n  min_version: TLS12\n",
     nullptr},
    {"NoClientCert", "tls_server_config:\n  cert_file: c.pem\n  key_file: k.pem\n"
                     "  client_auth_type: NoClientCert\n", nullptr},
    {"NotYaml", "basic_auth_users: [\n", "not valid YAML"},
    {"NotAMapping", "- a\n- b\n", "must be a mapping"},
    {"UnknownTopKey", "http_server_config:\n  http2: true\n", "'http_server_config' in the file"},
    {"UnknownTlsKey", "tls_server_config:\n  cert_file: c.pem\n  key_file: k.pem\n  cipher_suites: []\n",
     "'cipher_suites' in tls_server_config"},
    {"CertWithoutKey", "tls_server_config:\n  cert_file: c.pem\n", "needs cert_file and key_file"},
    {"MissingCertFile", "tls_server_config:\n  cert_file: none.pem\n  key_file: k.pem\n",
     "none.pem: No such file or directory"},
    {"CertIsAFolder", "tls_server_config:\n  cert_file: .\n  key_file: k.pem\n", "not a file"},
    {"OldTls", "tls_server_config:\n  cert_file: c.pem\n  key_file: k.pem\n  min_version: TLS10\n",
     "min_version 'TLS10'"},
    {"ClientCerts", "tls_server_config:\n  cert_file: c.pem\n  key_file: k.pem\n"
                    "  client_auth_type: RequireAndVerifyClientCert\n", "is not served"},
    {"PlainPassword", "basic_auth_users:\n  alice: hunter2\n", "'alice' is not a bcrypt hash"},
    {"Md5Crypt", "basic_auth_users:\n  alice: $1$salt$qJH7.N4xYta3aEG/dfqo/0\n", "not a bcrypt"},
    {"UsersNotAMap", "basic_auth_users:\n  - alice\n", "must map names to bcrypt hashes"},
    {"UserWithMap", "basic_auth_users:\n  alice:\n    hash: x\n", "alice"},
};

class WebConfigFiles : public ::testing::TestWithParam<ConfigCase> {};

TEST_P(WebConfigFiles, AreReadOrRefusedWithTheReason) {
  const ConfigCase& c = GetParam();
  const std::string dir = testlib::scratch_dir();
  std::ofstream(dir + "/c.pem") << "CERT";
  std::ofstream(dir + "/k.pem") << "KEY";
  std::string text = c.text;
  for (size_t at; (at = text.find("DIR")) != std::string::npos;) text.replace(at, 3, dir);
  const std::string path = dir + "/web.yml";
  std::ofstream(path) << text;
  WebConfig web;
  std::string error;
  const bool ok = read_web_config(path, &web, &error);
  if (c.error == nullptr) {
    EXPECT_TRUE(ok) << error;
  } else {
    EXPECT_FALSE(ok);
    EXPECT_EQ(error.rfind(path + ": ", 0), 0u) << error;  // the file is named first
    EXPECT_NE(error.find(c.error), std::string::npos) << error;
  }
}

INSTANTIATE_TEST_SUITE_P(WebConfig, WebConfigFiles, ::testing::ValuesIn(CASES),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(WebConfig, HoldsTheFilesAndUsersItNames) {
  const std::string dir = testlib::scratch_dir();
  std::ofstream(dir + "/c.pem") << "CERT";
  std::ofstream(dir + "/k.pem") << "KEY";
  std::ofstream(dir + "/web.yml") << "tls_server_config:\n  cert_file: c.pem\n  key_file: k.pem\n"
                                     "  min_version: TLS13\nbasic_auth_users:\n  alice: "
                                  << HASH << "\n";
  WebConfig web;
  std::string error;
  ASSERT_TRUE(read_web_config(dir + "/web.yml", &web, &error)) << error;
  EXPECT_EQ(web.cert_pem, "CERT");
  EXPECT_EQ(web.key_pem, "KEY");
  EXPECT_EQ(web.tls_priorities, "NORMAL:-VERS-ALL:+VERS-TLS1.3");
  ASSERT_EQ(web.users.size(), 1u);
  EXPECT_TRUE(password_matches(web.users["alice"], "x"));
  EXPECT_FALSE(password_matches(web.users["alice"], "y"));
  EXPECT_FALSE(password_matches(web.users["alice"], ""));
}

TEST(WebConfig, MissingFileIsRefused) {
  WebConfig web;
  std::string error;
  EXPECT_FALSE(read_web_config("/nonexistent/web.yml", &web, &error));
  EXPECT_EQ(error, "/nonexistent/web.yml: No such file or directory");
}

}  // namespace
