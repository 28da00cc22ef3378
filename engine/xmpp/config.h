// The XMPP engine's settings and the small pieces of text handling it
// needs: where the server is, which passwords to use, how user ids and JIDs
// map to each other, and XML escaping for the stanzas it writes.
#ifndef MSGLOGIC_ENGINE_XMPP_CONFIG_H_
#define MSGLOGIC_ENGINE_XMPP_CONFIG_H_

#include <stdint.h>

#include <string>

namespace xmpp_engine {

struct Config {
  std::string host = "127.0.0.1";  // MSGLOGIC_XMPP_SERVER, host[:port]
  unsigned short port = 5222;
  std::string domain = "localhost";  // MSGLOGIC_XMPP_DOMAIN
  std::string accounts_file;         // MSGLOGIC_XMPP_ACCOUNTS
  std::string password;              // MSGLOGIC_XMPP_PASSWORD
  bool has_password = false;
  int login_timeout_ms = 5000;  // MSGLOGIC_XMPP_LOGIN_TIMEOUT_MS
};

// The settings from the environment. Values that cannot be read keep their
// defaults; *warning then says which (empty when all is well).
Config ReadConfig(std::string* warning);

// "host", "host:port", "[v6]:port" -> host and port. False when the port is
// not a number from 1 to 65535 or the host is empty.
bool ParseServer(const std::string& text, std::string* host, unsigned short* port);

// The value of `key` in section `section` of an INI text: lines "key=value",
// section names in brackets, ';' and '#' comment lines, blanks around names
// and values dropped, the first matching line wins. False when absent.
bool FindIniValue(const std::string& ini, const std::string& section, const std::string& key,
                  std::string* value);

// The password of the account `local_part`: its entry in the accounts file,
// else MSGLOGIC_XMPP_PASSWORD. False when neither has one.
bool PasswordFor(const Config& config, const std::string& local_part, std::string* password);

// The user id of a bare JID on `domain`: the local part when it is a
// decimal number that fits an int32 (no sign, no leading zeros) and the
// domain is ours; any other JID gets a stable negative id below -1 taken
// from a hash of the bare JID.
int32_t IdForJid(const std::string& bare_jid, const std::string& domain);

// "user@domain/resource" -> "user@domain".
std::string BareJid(const std::string& jid);

// The text with &, <, >, ' and " written as XML entities.
std::string XmlEscape(const std::string& text);

}  // namespace xmpp_engine

#endif  // MSGLOGIC_ENGINE_XMPP_CONFIG_H_
