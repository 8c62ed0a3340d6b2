// The web configuration of --metrics: TLS and basic authentication, from a file in
// the format of Prometheus's exporter toolkit, so that an operator reuses what the
// other exporters of the host are given.
#pragma once

#include <map>
#include <string>

struct WebConfig {
  // PEM texts; both empty: plain HTTP.
  std::string cert_pem;
  std::string key_pem;
  std::string tls_priorities;  // GnuTLS priorities from min_version; empty: its default
  std::map<std::string, std::string> users;  // name -> bcrypt hash; none: no authentication
};

// Reads
//   tls_server_config:
//     cert_file: server.crt       (relative to the file's folder)
//     key_file: server.key
//     min_version: TLS12          (TLS12 or TLS13; optional)
//     client_auth_type: NoClientCert   (the only one served)
//   basic_auth_users:
//     name: $2y$10$...            (bcrypt)
// False with the reason when the file cannot be read, is not valid YAML, names a key
// portsift does not serve (so that a setting is never silently ignored), a TLS file
// cannot be read, or a hash is not a bcrypt one.
bool read_web_config(const std::string& path, WebConfig* out, std::string* error);

// Whether `password` matches the bcrypt `hash` (the system's crypt(), libxcrypt).
bool password_matches(const std::string& hash, const std::string& password);
