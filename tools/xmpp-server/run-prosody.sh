#!/usr/bin/env bash
# Runs a Prosody XMPP server for demos and tests: its own configuration and
# data in a folder of its own, loopback only, encryption required (STARTTLS
# on the client port, direct TLS on a second one) with a certificate of a
# test CA made here with openssl, free ports, in the foreground. Users and
# rosters come from users.txt (or --users FILE). Ctrl-C (or SIGTERM) stops
# the server and removes the folder it made.
#
#   tools/xmpp-server/run-prosody.sh [--port N] [--dir DIR] [--users FILE]
#                                    [--cert good|other-ca|wrong-name]
#
# --dir DIR keeps the configuration, data and certificates in DIR (made if
# missing, not removed on exit); the accounts are written afresh each time,
# and without --port the ports of the last run in DIR are used again.
# --cert picks the server's certificate: the test CA's for "localhost"
# (good, the default), another CA's for "localhost", or the test CA's for
# another name. Once the server accepts connections, the script prints how
# to use it and a last line for programs:
#   READY port=N pid=PID dir=DIR direct=M ca=DIR/certs/ca.pem
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
. "$here/common.sh"
users="$here/users.txt"
port=""
dir=""
cert=good
while [ $# -gt 0 ]; do
  case "$1" in
    --port) port="$2"; shift 2 ;;
    --dir) dir="$2"; shift 2 ;;
    --users) users="$2"; shift 2 ;;
    --cert) cert="$2"; shift 2 ;;
    -h|--help) sed -n '2,20p' "$0"; exit 0 ;;
    *) echo "run-prosody.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done

if ! command -v prosody >/dev/null 2>&1; then
  echo "run-prosody.sh: prosody is not installed (Debian: apt-get install prosody)" >&2
  exit 77
fi
if ! command -v openssl >/dev/null 2>&1; then
  echo "run-prosody.sh: openssl is not installed (Debian: apt-get install openssl)" >&2
  exit 77
fi
case "$cert" in good|other-ca|wrong-name) ;; *)
  echo "run-prosody.sh: --cert is good, other-ca or wrong-name" >&2; exit 2 ;;
esac

made_dir=""
if [ -z "$dir" ]; then
  dir="$(mktemp -d "${TMPDIR:-/tmp}/msglogic-prosody.XXXXXX")"
  made_dir="$dir"
fi
mkdir -p "$dir"
dir="$(cd "$dir" && pwd)"

direct=""
if [ -f "$dir/prosody.cfg.lua" ]; then
  # The ports of the last run in this folder, so that a restart serves the
  # clients of the first.
  [ -n "$port" ] || port="$(sed -n 's/^c2s_ports = { \([0-9]*\) }$/\1/p' "$dir/prosody.cfg.lua")"
  direct="$(sed -n 's/^c2s_direct_tls_ports = { \([0-9]*\) }$/\1/p' "$dir/prosody.cfg.lua")"
fi
[ -n "$port" ] || port="$(free_port)"
while [ -z "$direct" ] || [ "$direct" = "$port" ]; do direct="$(free_port)"; done

# The test CA and the server certificates (common.sh). Prosody looks for
# certs/HOST.* by itself, so none of these is named after a host.
certs="$dir/certs"
make_test_certs "$certs"
server_cert="server-$cert"

domain=localhost
data="$dir/data/$domain"
rm -rf "$data"
mkdir -p "$data/accounts" "$data/roster" "$data/vcard"

# A Lua string literal of the text.
lua_str() {
  local s="${1//\\/\\\\}"
  s="${s//\"/\\\"}"
  printf '"%s"' "$s"
}

{
  echo "; Passwords of the local XMPP server's users (MSGLOGIC_XMPP_ACCOUNTS)"
  echo "[accounts]"
} > "$dir/accounts.ini"
summary=""
declare -A roster
while read -r kind a b c _; do
  case "$kind" in
    user)
      printf 'return {\n\t["password"] = %s;\n};\n' "$(lua_str "$b")" > "$data/accounts/$a.dat"
      printf 'return {\n\t["name"] = "vCard";\n\t["attr"] = { ["xmlns"] = "vcard-temp"; };\n' \
        > "$data/vcard/$a.dat"
      printf '\t[1] = { ["name"] = "NICKNAME"; ["attr"] = {}; [1] = %s; };\n};\n' \
        "$(lua_str "$c")" >> "$data/vcard/$a.dat"
      echo "$a=$b" >> "$dir/accounts.ini"
      summary="$summary $a ($c)"
      ;;
    friend)
      roster[$a]="${roster[$a]:-}"$'\t'"[$(lua_str "$b@$domain")] = { [\"subscription\"] = \"both\"; [\"name\"] = $(lua_str "$c"); [\"groups\"] = {}; };"$'\n'
      ;;
    ""|\#*) ;;
    *) echo "run-prosody.sh: $users: unknown line kind $kind" >&2; exit 2 ;;
  esac
done < "$users"
for owner in "${!roster[@]}"; do
  printf 'return {\n\t[false] = { ["version"] = 1; ["pending"] = {}; };\n%s};\n' \
    "${roster[$owner]}" > "$data/roster/$owner.dat"
done

cat > "$dir/prosody.cfg.lua" <<CFG
-- Written by run-prosody.sh: a local server for demos and tests.
run_as_root = true
pidfile = "$dir/prosody.pid"
data_path = "$dir/data"
log = { { levels = { min = "info" }, to = "file", filename = "$dir/prosody.log" } }
interfaces = { "127.0.0.1" }
c2s_ports = { $port }
c2s_direct_tls_ports = { $direct }
c2s_interfaces = { "127.0.0.1" }
c2s_direct_tls_interfaces = { "127.0.0.1" }
s2s_ports = { }
http_ports = { }
https_ports = { }
admin_socket = "$dir/prosody.sock"
modules_enabled = { "roster"; "saslauth"; "tls"; "disco"; "ping"; "vcard"; "posix"; "smacks" }
-- Messages to a user who is not online are kept for the next login
-- (Prosody's offline storage, on by default).
modules_disabled = { "s2s" }
ssl = { certificate = "$certs/$server_cert.pem"; key = "$certs/$server_cert.key" }
c2s_require_encryption = true
allow_unencrypted_plain_auth = false
authentication = "internal_plain"
storage = "internal"
VirtualHost "$domain"
-- In addition to the modules above: each user's rooms (PEP, XEP-0163), sent
-- to contacts whose caps ask for them.
modules_enabled = { "pep" }
CFG

pid=""
cleanup() {
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
    kill -TERM "$pid" 2>/dev/null || true
    kill -CONT "$pid" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
    kill -KILL "$pid" 2>/dev/null || true
  fi
  [ -z "$made_dir" ] || rm -rf "$made_dir"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

prosody --config "$dir/prosody.cfg.lua" -F >"$dir/prosody.out" 2>&1 &
pid=$!

# Ready when the port takes connections (0.1-0.5 s here), 15 s at most.
for _ in $(seq 300); do
  if ! kill -0 "$pid" 2>/dev/null; then
    echo "run-prosody.sh: prosody ended at once; its output:" >&2
    cat "$dir/prosody.out" "$dir/prosody.log" >&2 2>/dev/null || true
    exit 1
  fi
  if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then break; fi
  sleep 0.05
done

cat <<USAGE
Prosody runs on 127.0.0.1:$port (domain $domain), data in $dir.
Users:$summary; passwords in $dir/accounts.ini.
In another terminal, from the top of the source tree:

  export MSGLOGIC_XMPP_SERVER=127.0.0.1:$port MSGLOGIC_XMPP_ACCOUNTS=$dir/accounts.ini
  export MSGLOGIC_XMPP_CA_FILE=$certs/ca.pem
  build/default/bin/xmpp/msglogic-demo --interactive

then "connect 10001" (or 10002, 10003). Ctrl-C here stops the server.
Direct TLS (MSGLOGIC_XMPP_TLS=direct) is on port $direct.
READY port=$port pid=$pid dir=$dir direct=$direct ca=$certs/ca.pem
USAGE
wait "$pid" || true
pid=""
