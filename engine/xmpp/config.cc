#include "engine/xmpp/config.h"

#include <arpa/inet.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace xmpp_engine {
namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

std::string Trim(const std::string& text) {
  const size_t begin = text.find_first_not_of(" \t\r\n");
  if (begin == std::string::npos) return std::string();
  const size_t end = text.find_last_not_of(" \t\r\n");
  return text.substr(begin, end - begin + 1);
}

bool ParseNumber(const std::string& text, long max, long* out) {
  if (text.empty() || text.size() > 10) return false;
  long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value > max) return false;
  *out = value;
  return true;
}

}  // namespace

bool ParseServer(const std::string& text, std::string* host, unsigned short* port) {
  std::string name = text;
  std::string port_text;
  if (!name.empty() && name[0] == '[') {
    const size_t close = name.find(']');
    if (close == std::string::npos) return false;
    if (close + 1 < name.size()) {
      if (name[close + 1] != ':') return false;
      port_text = name.substr(close + 2);
      if (port_text.empty()) return false;
    }
    name = name.substr(1, close - 1);
  } else {
    const size_t colon = name.rfind(':');
    if (colon != std::string::npos && name.find(':') == colon) {
      port_text = name.substr(colon + 1);
      if (port_text.empty()) return false;
      name = name.substr(0, colon);
    }
  }
  if (name.empty()) return false;
  long number = 5222;
  if (!port_text.empty() && (!ParseNumber(port_text, 65535, &number) || number == 0)) return false;
  *host = name;
  *port = static_cast<unsigned short>(number);
  return true;
}

Config ReadConfig(std::string* warning) {
  Config config;
  warning->clear();
  const std::string server = Env("MSGLOGIC_XMPP_SERVER");
  if (!server.empty() && !ParseServer(server, &config.host, &config.port)) {
    *warning += "MSGLOGIC_XMPP_SERVER \"" + server + "\" is not host[:port]; ";
  }
  const std::string domain = Env("MSGLOGIC_XMPP_DOMAIN");
  if (!domain.empty()) config.domain = domain;
  config.accounts_file = Env("MSGLOGIC_XMPP_ACCOUNTS");
  config.has_password = std::getenv("MSGLOGIC_XMPP_PASSWORD") != nullptr;
  config.password = Env("MSGLOGIC_XMPP_PASSWORD");
  const std::string timeout = Env("MSGLOGIC_XMPP_LOGIN_TIMEOUT_MS");
  long ms = 0;
  if (!timeout.empty()) {
    if (ParseNumber(timeout, 600000, &ms) && ms > 0) {
      config.login_timeout_ms = static_cast<int>(ms);
    } else {
      *warning += "MSGLOGIC_XMPP_LOGIN_TIMEOUT_MS \"" + timeout + "\" is not 1-600000; ";
    }
  }
  const std::string resume = Env("MSGLOGIC_XMPP_RESUME_MS");
  if (!resume.empty()) {
    if (ParseNumber(resume, 60000, &ms) && ms >= 0) {
      config.resume_ms = static_cast<int>(ms);
    } else {
      *warning += "MSGLOGIC_XMPP_RESUME_MS \"" + resume + "\" is not 0-60000; ";
    }
  }
  const std::string tls = Env("MSGLOGIC_XMPP_TLS");
  if (tls == "direct") {
    config.tls = TlsMode::kDirect;
  } else if (tls == "off") {
    config.tls = TlsMode::kOff;
  } else if (!tls.empty() && tls != "starttls") {
    // Never a silent step down to something weaker than asked for.
    config.config_error = "MSGLOGIC_XMPP_TLS \"" + tls + "\" is not starttls, direct or off";
    *warning += config.config_error + "; ";
  }
  config.ca_file = Env("MSGLOGIC_XMPP_CA_FILE");
  const std::string pin = Env("MSGLOGIC_XMPP_TLS_PIN");
  if (!pin.empty() && !ParsePin(pin, &config.pin_sha256)) {
    config.config_error = "MSGLOGIC_XMPP_TLS_PIN \"" + pin + "\" is not sha256: and 64 hex digits";
    *warning += config.config_error + "; ";
  }
  if (!warning->empty()) warning->resize(warning->size() - 2);
  return config;
}

bool ParsePin(const std::string& text, std::string* hex) {
  static const char kPrefix[] = "sha256:";
  if (text.compare(0, sizeof kPrefix - 1, kPrefix) != 0) return false;
  std::string digits;
  for (size_t i = sizeof kPrefix - 1; i < text.size(); ++i) {
    const char c = text[i];
    if (c == ':') continue;
    if (c >= '0' && c <= '9') {
      digits.push_back(c);
    } else if (c >= 'a' && c <= 'f') {
      digits.push_back(c);
    } else if (c >= 'A' && c <= 'F') {
      digits.push_back(static_cast<char>(c - 'A' + 'a'));
    } else {
      return false;
    }
  }
  if (digits.size() != 64) return false;
  *hex = digits;
  return true;
}

bool IsLoopback(const std::string& host) {
  if (host == "localhost") return true;
  in_addr v4;
  if (inet_pton(AF_INET, host.c_str(), &v4) == 1) {
    return (ntohl(v4.s_addr) >> 24) == 127;
  }
  in6_addr v6;
  if (inet_pton(AF_INET6, host.c_str(), &v6) == 1) {
    if (IN6_IS_ADDR_LOOPBACK(&v6)) return true;
    // ::ffff:127.x.y.z
    return IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127;
  }
  return false;
}

std::string LoginRefusal(const Config& config) {
  if (!config.config_error.empty()) return config.config_error;
  if (config.tls == TlsMode::kOff && !IsLoopback(config.host)) {
    return "MSGLOGIC_XMPP_TLS=off is accepted only for a loopback server address, not " +
           config.host;
  }
  return std::string();
}

bool FindIniValue(const std::string& ini, const std::string& section, const std::string& key,
                  std::string* value) {
  std::istringstream lines(ini);
  std::string line;
  bool in_section = false;
  while (std::getline(lines, line)) {
    const std::string text = Trim(line);
    if (text.empty() || text[0] == ';' || text[0] == '#') continue;
    if (text[0] == '[') {
      const size_t close = text.find(']');
      in_section = close != std::string::npos && Trim(text.substr(1, close - 1)) == section;
      continue;
    }
    if (!in_section) continue;
    const size_t equals = text.find('=');
    if (equals == std::string::npos || Trim(text.substr(0, equals)) != key) continue;
    *value = Trim(text.substr(equals + 1));
    return true;
  }
  return false;
}

bool PasswordFor(const Config& config, const std::string& local_part, std::string* password) {
  if (!config.accounts_file.empty()) {
    std::ifstream file(config.accounts_file, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    if (file && FindIniValue(text.str(), "accounts", local_part, password)) return true;
  }
  if (!config.has_password) return false;
  *password = config.password;
  return true;
}

int32_t IdForJid(const std::string& bare_jid, const std::string& domain) {
  const size_t at = bare_jid.find('@');
  if (at != std::string::npos && bare_jid.compare(at + 1, std::string::npos, domain) == 0) {
    const std::string local = bare_jid.substr(0, at);
    long number = 0;
    if ((local == "0" || (!local.empty() && local[0] != '0')) &&
        ParseNumber(local, 2147483647L, &number)) {
      return static_cast<int32_t>(number);
    }
  }
  return -1;
}

int32_t JidTable::IdOf(const std::string& bare_jid) {
  const auto it = by_jid_.find(bare_jid);
  if (it != by_jid_.end()) return it->second;
  if (by_id_.size() >= capacity_) return -1;
  // Ids are handed out downwards from -2 and never taken back, so none is
  // ever given twice; the capacity keeps them far above INT32_MIN.
  const int32_t id = -2 - static_cast<int32_t>(by_id_.size());
  by_jid_.emplace(bare_jid, id);
  by_id_.emplace(id, bare_jid);
  return id;
}

std::string JidTable::JidOf(int32_t id) const {
  const auto it = by_id_.find(id);
  return it != by_id_.end() ? it->second : std::string();
}

std::string BareJid(const std::string& jid) { return jid.substr(0, jid.find('/')); }

std::string XmlEscape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '\'': out += "&apos;"; break;
      case '"': out += "&quot;"; break;
      default: {
        // XML 1.0 has no other control characters: a stream carrying one
        // would be closed by the server.
        const bool control = static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' &&
                             c != '\r';
        out.push_back(control ? '?' : c);
      }
    }
  }
  return out;
}

}  // namespace xmpp_engine
