#!/usr/bin/env bash
# Runs an ejabberd XMPP server for tests and demos, as run-prosody.sh runs
# Prosody and with the same options, users file and last line: its own
# configuration, database and logs in a folder of its own, loopback only,
# encryption required (STARTTLS on the client port, direct TLS on a second
# one) with a certificate of a test CA made with openssl, free ports, in the
# foreground. The Erlang node has a name of its own and keeps its
# distribution on loopback, on a port of its own, without epmd.
#
#   tools/xmpp-server/run-ejabberd.sh [--port N] [--dir DIR] [--users FILE]
#                                     [--cert good|other-ca|wrong-name]
#                                     [--address A] [--dist-port P] [--join NODE]
#
# A cluster node: --address puts the node's ports and its Erlang
# distribution on loopback address A (127.0.0.2, say) and names it
# msglogic-<port>@A; --dist-port gives the distribution's port, which every
# node of a cluster shares (without epmd a node finds another at that port
# of the other's address); --join NODE joins the cluster of a running node,
# which hands over its users, rosters and vCards. A joining node needs the
# test CA of the first: copy its certs/ into the new DIR beforehand.
#
# Last line, once clients can log in:
#   READY port=N pid=PID dir=DIR direct=M ca=DIR/certs/ca.pem node=NODE
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
. "$here/common.sh"
users="$here/users.txt"
port=""
dir=""
cert=good
address=""
dist=""
join=""
while [ $# -gt 0 ]; do
  case "$1" in
    --port) port="$2"; shift 2 ;;
    --dir) dir="$2"; shift 2 ;;
    --users) users="$2"; shift 2 ;;
    --cert) cert="$2"; shift 2 ;;
    --address) address="$2"; shift 2 ;;
    --dist-port) dist="$2"; shift 2 ;;
    --join) join="$2"; shift 2 ;;
    -h|--help) sed -n '2,24p' "$0"; exit 0 ;;
    *) echo "run-ejabberd.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done

ctl=/usr/sbin/ejabberdctl
if [ ! -x "$ctl" ]; then
  echo "run-ejabberd.sh: ejabberd is not installed (Debian: apt-get install ejabberd)" >&2
  exit 77
fi
if ! command -v openssl >/dev/null 2>&1; then
  echo "run-ejabberd.sh: openssl is not installed (Debian: apt-get install openssl)" >&2
  exit 77
fi

made_dir=""
if [ -z "$dir" ]; then
  dir="$(mktemp -d "${TMPDIR:-/tmp}/msglogic-ejabberd.XXXXXX")"
  made_dir="$dir"
fi
mkdir -p "$dir"
dir="$(cd "$dir" && pwd)"

case "$address" in
  "") ;;
  127.*) ;;
  *) echo "run-ejabberd.sh: --address is a loopback address (127.0.0.0/8)" >&2; exit 2 ;;
esac
direct=""
given_dist="$dist"
if [ -f "$dir/ports" ]; then
  # The ports of the last run in this folder, so that a restart serves the
  # clients of the first.
  read -r old_port direct dist < "$dir/ports"
  [ -n "$port" ] || port="$old_port"
  [ -z "$given_dist" ] || dist="$given_dist"
fi
[ -n "$port" ] || port="$(free_port)"
while [ -z "$direct" ] || [ "$direct" = "$port" ]; do direct="$(free_port)"; done
while [ -z "$dist" ] || [ "$dist" = "$port" ] || [ "$dist" = "$direct" ]; do dist="$(free_port)"; done
echo "$port $direct $dist" > "$dir/ports"

certs="$dir/certs"
make_test_certs "$certs"
case "$cert" in good|other-ca|wrong-name) ;; *)
  echo "run-ejabberd.sh: --cert is good, other-ca or wrong-name" >&2; exit 2 ;;
esac
# ejabberd reads certificate and key from one file.
cat "$certs/server-$cert.pem" "$certs/server-$cert.key" > "$certs/ejabberd.pem"

domain=localhost
node="msglogic-$port@localhost"
# A cluster's nodes have long names, with their addresses.
[ -z "$address" ] || node="msglogic-$port@$address"
[ -n "$address" ] || address=127.0.0.1
rm -rf "$dir/database" "$dir/logs"
mkdir -p "$dir/database" "$dir/logs"

# Users, rosters and vCards as one XEP-0227 file, imported in one command.
xml_text() {
  local s="${1//&/&amp;}"
  s="${s//</&lt;}"
  s="${s//>/&gt;}"
  s="${s//\'/&apos;}"
  printf '%s' "${s//\"/&quot;}"
}
declare -A password nickname roster
order=()
summary=""
while read -r kind a b c _; do
  case "$kind" in
    user) password[$a]="$b"; nickname[$a]="$c"; order+=("$a"); summary="$summary $a ($c)" ;;
    friend)
      roster[$a]="${roster[$a]:-}<item jid='$(xml_text "$b@$domain")' name='$(xml_text "$c")' subscription='both'/>" ;;
    ""|\#*) ;;
    *) echo "run-ejabberd.sh: $users: unknown line kind $kind" >&2; exit 2 ;;
  esac
done < "$users"
{
  echo "<?xml version='1.0' encoding='UTF-8'?>"
  echo "<server-data xmlns='urn:xmpp:pie:0'><host jid='$domain'>"
  for u in "${order[@]}"; do
    echo "<user name='$(xml_text "$u")' password='$(xml_text "${password[$u]}")'>"
    echo "<query xmlns='jabber:iq:roster'>${roster[$u]:-}</query>"
    echo "<vCard xmlns='vcard-temp'><NICKNAME>$(xml_text "${nickname[$u]}")</NICKNAME></vCard>"
    echo "</user>"
  done
  echo "</host></server-data>"
} > "$dir/users.xml"
{
  echo "; Passwords of the local XMPP server's users (MSGLOGIC_XMPP_ACCOUNTS)"
  echo "[accounts]"
  for u in "${order[@]}"; do echo "$u=${password[$u]}"; done
} > "$dir/accounts.ini"

cat > "$dir/ejabberd.yml" <<CFG
# Written by run-ejabberd.sh: a local server for tests and demos.
hosts: ["$domain"]
loglevel: info
certfiles: ["$certs/ejabberd.pem"]
acme:
  auto: false
define_macro: {}
listen:
  - port: $port
    ip: "$address"
    module: ejabberd_c2s
    starttls_required: true
  - port: $direct
    ip: "$address"
    module: ejabberd_c2s
    tls: true
s2s_access: none
auth_method: internal
default_db: mnesia
acl:
  local:
    user_regexp: ""
access_rules:
  local:
    allow: local
api_permissions:
  "console commands":
    from: [ejabberd_ctl]
    who: all
    what: "*"
modules:
  mod_disco: {}
  mod_ping: {}
  mod_roster: {}
  mod_vcard: {}
  mod_admin_extra: {}
  # Messages to a user who is not online are kept for the next login, and
  # each user's rooms are published with PEP (XEP-0163) to contacts whose
  # caps (XEP-0115) ask for them.
  mod_offline: {}
  mod_caps: {}
  mod_pubsub:
    plugins: ["flat", "pep"]
  mod_stream_mgmt: {}
CFG
cat > "$dir/ejabberdctl.cfg" <<CFG
ERLANG_NODE=$node
INET_DIST_INTERFACE=$address
ERL_DIST_PORT=$dist
ERL_EPMD_ADDRESS=$address
CFG
[ ! -f /etc/ejabberd/inetrc ] || cp /etc/ejabberd/inetrc "$dir/inetrc"
# As root, ejabberdctl runs the server as the ejabberd user: the folder is
# its.
if [ "$(id -u)" -eq 0 ]; then chown -R ejabberd: "$dir"; fi

run_ctl() {
  ERL_DIST_PORT=$dist INET_DIST_INTERFACE=$address \
    "$ctl" --config-dir "$dir" --ctl-config "$dir/ejabberdctl.cfg" --config "$dir/ejabberd.yml" \
    --spool "$dir/database" --logs "$dir/logs" --node "$node" "$@"
}

starter=""
pid=""
cleanup() {
  local beam="$pid"
  # (The walk from our child fails once a signal to the whole process
  # group, a Ctrl-C say, has ended `su` in between.)
  [ -n "$beam" ] || beam="$(server_pid || true)"
  if [ -n "$beam" ]; then
    # Nothing of it is kept (the database is made afresh at each start):
    # no need for a graceful stop.
    kill -KILL "$beam" 2>/dev/null || true
    for _ in $(seq 100); do kill -0 "$beam" 2>/dev/null || break; sleep 0.05; done
  fi
  [ -z "$starter" ] || wait "$starter" 2>/dev/null || true
  [ -z "$made_dir" ] || rm -rf "$made_dir"
}
# The Erlang VM under the process we started (ejabberdctl, su, sh, beam).
server_pid() {
  [ -n "$starter" ] || return 1
  local queue=("$starter") p kids
  while [ ${#queue[@]} -gt 0 ]; do
    p=${queue[0]}
    queue=("${queue[@]:1}")
    if [ "$(cat "/proc/$p/comm" 2>/dev/null)" = "beam.smp" ]; then echo "$p"; return 0; fi
    kids="$(cat /proc/"$p"/task/*/children 2>/dev/null || true)"
    for k in $kids; do queue+=("$k"); done
  done
  return 1
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

run_ctl foreground >"$dir/ejabberd.out" 2>&1 &
starter=$!

# Up when the client port takes connections (ejabberd opens it once its
# database and modules are ready); then the users go in. 30 s at most.
up=""
for _ in $(seq 600); do
  if ! kill -0 "$starter" 2>/dev/null; then break; fi
  if (exec 3<>"/dev/tcp/$address/$port") 2>/dev/null; then up=1; break; fi
  sleep 0.05
done
if [ -z "$up" ]; then
  echo "run-ejabberd.sh: ejabberd did not come up; its output:" >&2
  cat "$dir/ejabberd.out" "$dir/logs/ejabberd.log" >&2 2>/dev/null || true
  exit 1
fi
if [ -n "$join" ]; then
  # The cluster's database, users included, replaces this node's own;
  # ejabberd restarts on this node meanwhile. Up again once it lists both
  # nodes and its client port takes connections again (30 s at most).
  if ! run_ctl join_cluster "$join" >"$dir/join.out" 2>&1; then
    echo "run-ejabberd.sh: joining $join failed:" >&2
    cat "$dir/join.out" >&2
    exit 1
  fi
  up=""
  for _ in $(seq 600); do
    if ! kill -0 "$starter" 2>/dev/null; then break; fi
    if run_ctl list_cluster 2>/dev/null | grep -q "$join" &&
       (exec 3<>"/dev/tcp/$address/$port") 2>/dev/null; then
      up=1
      break
    fi
    sleep 0.05
  done
  if [ -z "$up" ]; then
    echo "run-ejabberd.sh: ejabberd did not come back after joining $join; its output:" >&2
    cat "$dir/join.out" "$dir/ejabberd.out" "$dir/logs/ejabberd.log" >&2 2>/dev/null || true
    exit 1
  fi
elif ! run_ctl import_piefxis "$dir/users.xml" >"$dir/import.out" 2>&1; then
  echo "run-ejabberd.sh: importing the users failed:" >&2
  cat "$dir/import.out" >&2
  exit 1
fi
pid="$(server_pid)"

cat <<USAGE
ejabberd runs on $address:$port (domain $domain), data in $dir.
Users:$summary; passwords in $dir/accounts.ini.
In another terminal, from the top of the source tree:

  export MSGLOGIC_XMPP_SERVER=$address:$port MSGLOGIC_XMPP_ACCOUNTS=$dir/accounts.ini
  export MSGLOGIC_XMPP_CA_FILE=$certs/ca.pem
  build/default/bin/xmpp/msglogic-demo --interactive

then "connect 10001" (or 10002, 10003). Ctrl-C here stops the server.
Direct TLS (MSGLOGIC_XMPP_TLS=direct) is on port $direct.
READY port=$port pid=$pid dir=$dir direct=$direct ca=$certs/ca.pem node=$node
USAGE
wait "$starter" || true
starter=""
