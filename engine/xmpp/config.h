// The XMPP engine's settings and the small pieces of text handling it
// needs: where the server is, which passwords to use, how user ids and JIDs
// map to each other, and XML escaping for the stanzas it writes.
#ifndef MSGLOGIC_ENGINE_XMPP_CONFIG_H_
#define MSGLOGIC_ENGINE_XMPP_CONFIG_H_

#include <stdint.h>

#include <map>
#include <string>

namespace xmpp_engine {

// How the connection is protected (MSGLOGIC_XMPP_TLS).
enum class TlsMode {
  kStartTls,  // "starttls": STARTTLS, and no login without it
  kDirect,    // "direct": TLS from the first byte (XEP-0368 ports such as 5223)
  kOff,       // "off": clear text, to a loopback address only
};

struct Config {
  std::string host = "127.0.0.1";  // MSGLOGIC_XMPP_SERVER, host[:port]
  unsigned short port = 5222;
  std::string domain = "localhost";  // MSGLOGIC_XMPP_DOMAIN
  std::string accounts_file;         // MSGLOGIC_XMPP_ACCOUNTS
  std::string password;              // MSGLOGIC_XMPP_PASSWORD
  bool has_password = false;
  int login_timeout_ms = 5000;  // MSGLOGIC_XMPP_LOGIN_TIMEOUT_MS
  // How long after a dropped connection the engine tries to resume the
  // stream before it reports the loss; 0: never resumes.
  int resume_ms = 5000;  // MSGLOGIC_XMPP_RESUME_MS
  TlsMode tls = TlsMode::kStartTls;  // MSGLOGIC_XMPP_TLS
  std::string ca_file;               // MSGLOGIC_XMPP_CA_FILE: PEM, trusted CAs
  // MSGLOGIC_XMPP_TLS_PIN=sha256:<hex>: the SHA-256 of the one server
  // certificate accepted, as 64 lower-case hex digits (empty: no pin).
  std::string pin_sha256;
  // A setting that makes every login fail (say, an unreadable pin), with
  // the reason; empty when logins may go ahead.
  std::string config_error;
};

// "sha256:AB:cd..." or "sha256:abcd..." -> 64 lower-case hex digits. False
// for anything else.
bool ParsePin(const std::string& text, std::string* hex);

// True for a literal loopback address (127.0.0.0/8, ::1) and "localhost".
bool IsLoopback(const std::string& host);

// Why a login must not go ahead with `config`, or empty: a clear-text mode
// to an address that is not loopback, or a setting that could not be read.
std::string LoginRefusal(const Config& config);

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

// The user id of a bare JID on `domain` when it has one of its own: the
// local part when it is a decimal number that fits an int32 (no sign, no
// leading zeros) and the domain is ours. Any other JID gets -1 here; the
// engine then hands it an id of its own below -1 (JidTable).
int32_t IdForJid(const std::string& bare_jid, const std::string& domain);

// The ids of JIDs that have none of their own: -2, -3, ... in order of
// first sight. An id, once given, stays with its JID for the table's life
// and is never given to another; when `capacity` JIDs hold ids, new JIDs
// get none (-1).
class JidTable {
 public:
  explicit JidTable(size_t capacity) : capacity_(capacity) {}
  // The id of `bare_jid`, given now if it has none and there is room; -1
  // when the table is full.
  int32_t IdOf(const std::string& bare_jid);
  // The JID of an id given by this table, or empty.
  std::string JidOf(int32_t id) const;
  size_t size() const { return by_id_.size(); }

 private:
  size_t capacity_;
  std::map<std::string, int32_t> by_jid_;
  std::map<int32_t, std::string> by_id_;
};

// "user@domain/resource" -> "user@domain".
std::string BareJid(const std::string& jid);

// The text with &, <, >, ' and " written as XML entities.
std::string XmlEscape(const std::string& text);

}  // namespace xmpp_engine

#endif  // MSGLOGIC_ENGINE_XMPP_CONFIG_H_
