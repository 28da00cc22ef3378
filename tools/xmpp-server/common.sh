# Shared by run-prosody.sh and run-ejabberd.sh (sourced, not run): a free
# loopback port, and the test CA with its server certificates.

# A port the kernel hands out as free on 127.0.0.1 (lua-socket comes with
# prosody; python3 is tried when it is missing), else a random high one.
free_port() {
  local p
  p="$(lua5.4 -e 'local s = require("socket").bind("127.0.0.1", 0)
                  local _, p = s:getsockname() s:close() print(p)' 2>/dev/null ||
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])' \
      2>/dev/null || true)"
  [ -n "$p" ] || p=$((20000 + RANDOM % 30000))
  echo "$p"
}

# make_test_certs DIR: the test CA and the server certificates, made once per
# folder (EC keys, quick to make). DIR/ca.pem is what clients trust
# (MSGLOGIC_XMPP_CA_FILE); DIR/other-ca.pem is a CA they do not. The server
# certificates: server-good (localhost, by the test CA), server-other-ca
# (localhost, by the other CA), server-wrong-name (wrong.example, by the test
# CA), each NAME.pem with NAME.key.
make_test_certs() {
  local certs=$1
  mkdir -p "$certs"
  [ -f "$certs/server-good.pem" ] && return 0
  _make_ca() {  # NAME CN
    openssl req -x509 -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
      -keyout "$certs/$1.key" -subj "/CN=$2" -days 30 -sha256 \
      -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign \
      -out "$certs/$1.pem" 2>/dev/null
  }
  _make_cert() {  # NAME CN SAN ISSUER
    local name=$1 cn=$2 san=$3 issuer=$4
    openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
      -keyout "$certs/$name.key" -subj "/CN=$cn" -out "$certs/$name.csr" 2>/dev/null
    printf 'subjectAltName=%s\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' "$san" \
      > "$certs/$name.ext"
    openssl x509 -req -in "$certs/$name.csr" -CA "$certs/$issuer.pem" -CAkey "$certs/$issuer.key" \
      -CAcreateserial -days 30 -sha256 -extfile "$certs/$name.ext" -out "$certs/$name.pem" 2>/dev/null
    rm -f "$certs/$name.csr" "$certs/$name.ext"
  }
  _make_ca ca "msglogicex test CA"
  _make_ca other-ca "some other CA"
  _make_cert server-good localhost "DNS:localhost,IP:127.0.0.1" ca
  _make_cert server-other-ca localhost "DNS:localhost,IP:127.0.0.1" other-ca
  _make_cert server-wrong-name wrong.example "DNS:wrong.example" ca
  chmod 644 "$certs"/*.key  # a server may run as its own user
}
