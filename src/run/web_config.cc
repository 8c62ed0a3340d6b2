#include "run/web_config.h"

#include <crypt.h>
#include <sys/stat.h>
#include <yaml-cpp/yaml.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>

namespace {

// The whole of a regular file: a folder opens without an error and reads as
// nothing, which would pass for an empty configuration.
bool read_whole(const std::string& path, std::string* text, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  struct stat st;
  if (!in || stat(path.c_str(), &st) != 0) {
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    *error = path + ": not a file";
    return false;
  }
  text->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (in.bad()) {
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

// Names under `node` that are not in `known`, as the first one found.
bool only_known(const YAML::Node& node, const std::set<std::string>& known, const char* where,
                std::string* error) {
  for (const auto& item : node) {
    const std::string key = item.first.as<std::string>();
    if (known.count(key) == 0) {
      *error = std::string("'") + key + "' in " + where + " is not a setting portsift serves";
      return false;
    }
  }
  return true;
}

bool is_bcrypt(const std::string& hash) {
  return hash.size() == 60 && hash[0] == '$' && hash[1] == '2' &&
         (hash[2] == 'a' || hash[2] == 'b' || hash[2] == 'y') && hash[3] == '$';
}

}  // namespace

bool read_web_config(const std::string& path, WebConfig* out, std::string* error) {
  std::string text;
  if (!read_whole(path, &text, error)) return false;
  YAML::Node root;
  try {
    root = YAML::Load(text);
  } catch (const YAML::Exception& e) {
    *error = path + ": not valid YAML: " + e.what();
    return false;
  }
  *out = WebConfig{};
  if (root.IsNull()) return true;  // an empty file: plain HTTP, no authentication
  std::string why;
  try {
    if (!root.IsMap()) {
      *error = path + ": the configuration must be a mapping";
      return false;
    }
    if (!only_known(root, {"tls_server_config", "basic_auth_users"}, "the file", &why)) {
      *error = path + ": " + why;
      return false;
    }
    const std::string folder =
        path.find('/') == std::string::npos ? "." : path.substr(0, path.rfind('/'));
    const auto relative = [&](const std::string& name) {
      return name.empty() || name[0] == '/' ? name : folder + "/" + name;
    };
    if (const YAML::Node tls = root["tls_server_config"]; tls && !tls.IsNull()) {
      if (!only_known(tls, {"cert_file", "key_file", "min_version", "client_auth_type"},
                      "tls_server_config", &why)) {
        *error = path + ": " + why;
        return false;
      }
      const std::string cert = tls["cert_file"] ? tls["cert_file"].as<std::string>() : "";
      const std::string key = tls["key_file"] ? tls["key_file"].as<std::string>() : "";
      if (cert.empty() || key.empty()) {
        *error = path + ": tls_server_config needs cert_file and key_file";
        return false;
      }
      if (!read_whole(relative(cert), &out->cert_pem, error) ||
          !read_whole(relative(key), &out->key_pem, error)) {
        *error = path + ": " + *error;
        return false;
      }
      if (const YAML::Node v = tls["min_version"]; v) {
        const std::string version = v.as<std::string>();
        if (version == "TLS12")
          out->tls_priorities = "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2";
        else if (version == "TLS13")
          out->tls_priorities = "NORMAL:-VERS-ALL:+VERS-TLS1.3";
        else {
          *error = path + ": min_version '" + version + "' is not TLS12 or TLS13";
          return false;
        }
      }
      if (const YAML::Node c = tls["client_auth_type"]; c && c.as<std::string>() != "NoClientCert") {
        *error = path + ": client_auth_type '" + c.as<std::string>() +
                 "' is not served (only NoClientCert)";
        return false;
      }
    }
    if (const YAML::Node users = root["basic_auth_users"]; users && !users.IsNull()) {
      if (!users.IsMap()) {
        *error = path + ": basic_auth_users must map names to bcrypt hashes";
        return false;
      }
      for (const auto& item : users) {
        const std::string name = item.first.as<std::string>();
        const std::string hash = item.second.IsScalar() ? item.second.as<std::string>() : "";
        if (!is_bcrypt(hash)) {
          *error = path + ": the password of '" + name + "' is not a bcrypt hash";
          return false;
        }
        out->users[name] = hash;
      }
    }
  } catch (const YAML::Exception& e) {
    *error = path + ": " + e.what();
    return false;
  }
  return true;
}

bool password_matches(const std::string& hash, const std::string& password) {
  struct crypt_data data;
  std::memset(&data, 0, sizeof data);
  const char* result = crypt_r(password.c_str(), hash.c_str(), &data);
  return result != nullptr && hash == result;
}
