// Connect: logs a user in with the saved login of the login file.
#include <cstdio>
#include <string>
#include <vector>

#include "agent/msg_logic_agent.h"
#include "login/ini_file.h"

namespace msglogic {
namespace {

const char kLoginFile[] = ".\\KWPMsg\\loginInfo.ini";
const char kLoginSection[] = "loginInfo";

// Decimal conversion as the C runtime's atoi does it: leading white space
// skipped, an optional sign, digits up to the first other character; no
// digits give 0. Values beyond the 32-bit range are clamped.
int32_t DecimalToInt(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > INT64_C(0x80000000)) value = INT64_C(0x80000000);
  }
  if (negative) value = -value;
  if (value > INT32_MAX) value = INT32_MAX;
  return static_cast<int32_t>(value);
}

// "0X" and each byte of `name` as two upper-case hex digits.
std::string HexName(const std::string& name) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string hex = "0X";
  hex.reserve(2 + 2 * name.size());
  for (unsigned char byte : name) {
    hex.push_back(kDigits[byte >> 4]);
    hex.push_back(kDigits[byte & 0x0F]);
  }
  return hex;
}

}  // namespace

bool CMsgLogicAgent::FindSavedLogin(int32_t userId, int32_t* flag,
                                    std::string* name) {
  CIniFile ini(m_env);
  // A missing file only means that no saved login is found.
  ini.SetFile(kLoginFile);
  std::vector<std::string> keys;
  std::vector<std::string> values;
  ini.GetSection(kLoginSection, keys, values);
  for (size_t i = 0; i < keys.size(); ++i) {
    const std::string& key = keys[i];
    // "id" exactly, letter case included; the first match in file order.
    if (key.size() < 2 || key[0] != 'i' || key[1] != 'd') continue;
    if (DecimalToInt(values[i]) != userId) continue;
    const int32_t n = DecimalToInt(key.substr(2));
    char flag_key[32];
    char name_key[32];
    std::snprintf(flag_key, sizeof flag_key, "flag%d", static_cast<int>(n));
    std::snprintf(name_key, sizeof name_key, "name%d", static_cast<int>(n));
    *flag = DecimalToInt(ini.GetString(kLoginSection, flag_key));
    *name = ini.GetString(kLoginSection, name_key);
    return true;
  }
  return false;
}

// Host thread. Takes m_csMsgLogic alone, once per step; never with another
// agent lock.
int32_t CMsgLogicAgent::Connect(int32_t userId, int32_t param) noexcept {
  Call call(this);
  if (!call) return 4;  // released: there is no engine to log in with
  WriteTrace("CMsgLogicAgent::Connect");

  int32_t flag = -1;
  std::string name;
  std::string hex_name;
  try {
    if (FindSavedLogin(userId, &flag, &name) && flag == 0) hex_name = HexName(name);
  } catch (...) {
    // Memory for reading the login file could not be had: no usable login.
    flag = -1;
  }

  // The engine object: made and attached once, used by every later login.
  // An engine that a reset marked for release is used again, so the release
  // worker never releases an engine this login uses. One the release worker
  // has taken out may still be inside its Release while the next is made
  // here: waiting for that Release would wait for its sink calls, and a host
  // callback in one of them may be waiting for a lock of the host's that
  // this Connect's caller holds.
  {
    LockHolder hold(&m_csMsgLogic);
    if (m_pMsgLogic == nullptr) {
      m_pMsgLogic = m_env->CreateMsgLogic();
      if (m_pMsgLogic == nullptr) return 4;
      m_pMsgLogic->SetSink(&m_Sink);
    }
    m_bReleasePending = false;
  }

  // A login the engine accepts begins a session at that moment, in the same
  // hold of the lock: a loss the engine reports from then on is this
  // login's (see ConnectionLost), and nothing an earlier login learned is
  // seen any more (agent/lifetime.cc).
  int32_t failure;
  bool logged_in;
  uint32_t session = 0;
  if (flag == 0) {
    failure = 1;
    LockHolder hold(&m_csMsgLogic);
    logged_in = m_pMsgLogic != nullptr &&
                m_pMsgLogic->LoginByName(hex_name.c_str(), param) == 2;
    if (logged_in) {
      session = Session() + 1;
      m_nSession.store(session);
      m_pMsgLogic->SetUserId(userId);
    }
  } else if (flag == 1) {
    failure = 2;
    LockHolder hold(&m_csMsgLogic);
    logged_in = m_pMsgLogic != nullptr && m_pMsgLogic->LoginById(userId, param) == 2;
    if (logged_in) {
      session = Session() + 1;
      m_nSession.store(session);
    }
  } else {
    WriteTrace("connect failed:return 3");
    return 3;
  }
  if (!logged_in) {
    WriteTrace(failure == 1 ? "connect failed:return 1" : "connect failed:return 2");
    return failure;
  }
  Tidy();  // the earlier session's state is gone

  {
    LockHolder hold(&m_csMsgLogic);
    if (m_pMsgLogic != nullptr) m_pMsgLogic->Start();
  }

  // Both stamps are in place before the agent counts itself logged in, so
  // the supervision worker never judges this login by older stamps.
  {
    LockHolder hold(&m_csActive);
    m_tLastActive = m_env->Time();
  }
  {
    LockHolder hold(&m_csKeepAlive);
    m_tLastKeepAlive = m_env->Time();
  }

  bool supervise_started;
  bool release_started;
  {
    LockHolder hold(&m_csMsgLogic);
    // A loss of this login reported meanwhile has reset the agent, and may
    // have had the engine released: never count the agent logged in then.
    if (m_pMsgLogic == nullptr || m_nLostSession == session) {
      WriteTrace(failure == 1 ? "connect failed:return 1" : "connect failed:return 2");
      return failure;
    }
    // A later login accepted meanwhile decides the state itself.
    if (Session() == session) {
      m_bReleasePending = false;
      m_bEnable.store(true);
    }
    m_bThreadRun.store(true);  // before the workers start: they end when it is clear
    supervise_started = StartWorker(&m_hSuperviseThread, &SuperviseThreadProc);
    release_started = StartWorker(&m_hReleaseThread, &ReleaseThreadProc);
  }
  if (!supervise_started) WriteTrace("CMsgLogicAgent::Connect:supervise thread not started");
  if (!release_started) WriteTrace("CMsgLogicAgent::Connect:release thread not started");
  WriteTrace("connect suc!");
  return 0;
}

// The worker's call is entered here, while this Connect's own call keeps
// the agent from ending, and taken over by the thread as its first act; a
// thread that cannot start leaves it at once.
bool CMsgLogicAgent::StartWorker(Thread** handle, void (*proc)(void*)) {
  if (*handle != nullptr) return true;
  if (!EnterForWorker()) return false;
  *handle = m_env->StartThread(proc, this);
  if (*handle != nullptr) return true;
  LeaveWorkerCall();  // never the last: this Connect's call is inside
  return false;
}

}  // namespace msglogic
