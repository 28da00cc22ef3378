#!/usr/bin/env bash
# The Debian packages each build preset needs, in one place: the configure
# step (cmake/dependencies.cmake), .ci/run and .ci/mingw.sh all install
# through this script, and the requirements list of doc/building.md is checked
# against it (tests/deps).
#
#   .ci/deps.sh PRESET...           install what these presets need and is missing
#   .ci/deps.sh --missing PRESET... print the missing packages, one line; exit 1 if any
#   .ci/deps.sh --list PRESET...    print every package of these presets, one a line
#
# PRESET is a configure preset of CMakePresets.json (default, asan, tsan,
# fuzz, bench, mingw32, mingw64) or `all`. Installing needs root or sudo;
# nothing is fetched when everything is there already.
set -euo pipefail

# What every preset builds with (a fresh Debian 12 of the project's kind has
# these, but a bare one may not).
base=(cmake ninja-build g++ binutils)
# The default build: GoogleTest/GoogleMock for the tests, nlohmann/json for
# the stand-in engine's scenarios, libstrophe for the XMPP engine, and
# Prosody and ejabberd, the servers its tests run against (with openssl for
# their test certificates).
default=(libgtest-dev libgmock-dev nlohmann-json3-dev libstrophe-dev prosody lua-socket ejabberd openssl)
# clang with its sanitizer and libFuzzer runtime.
clang=(clang libclang-rt-14-dev llvm)
bench=(libbenchmark-dev)
# The 32-bit Windows build: MinGW-w64 (posix threads), GoogleTest's sources
# for the cross build, Wine for 32-bit programs (architecture i386); clang
# and lld for the programs built in Microsoft's ABI.
mingw32=(g++-mingw-w64-i686-posix googletest wine wine32:i386 wine64 clang lld llvm)
# The 64-bit Windows build: the same for x86_64; Wine's 64-bit loader alone.
mingw64=(g++-mingw-w64-x86-64-posix googletest wine wine64 clang lld llvm)

packages_of() {
  case "$1" in
    default) echo "${base[@]} ${default[@]}" ;;
    asan | tsan) echo "${base[@]} ${default[@]} ${clang[@]}" ;;
    fuzz) echo "${base[@]} ${default[@]} ${clang[@]}" ;;
    bench) echo "${base[@]} ${default[@]} ${bench[@]}" ;;
    mingw32) echo "${base[@]} ${default[@]} ${mingw32[@]}" ;;
    mingw64) echo "${base[@]} ${default[@]} ${mingw64[@]}" ;;
    all) echo "${base[@]} ${default[@]} ${clang[@]} ${bench[@]} ${mingw32[@]} ${mingw64[@]}" ;;
    *) echo "deps.sh: unknown preset '$1' (default, asan, tsan, fuzz, bench, mingw32, mingw64, all)" >&2
       return 2 ;;
  esac
}

installed() {
  [ "$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null)" = "install ok installed" ]
}

mode=install
case "${1:-}" in
  --missing) mode=missing; shift ;;
  --list) mode=list; shift ;;
  -h | --help) sed -n '2,14p' "$0"; exit 0 ;;
esac
[ $# -gt 0 ] || { echo "usage: .ci/deps.sh [--missing|--list] PRESET..." >&2; exit 2; }

wanted=()
for preset in "$@"; do
  list=$(packages_of "$preset") || exit 2
  for p in $list; do
    case " ${wanted[*]:-} " in *" $p "*) ;; *) wanted+=("$p") ;; esac
  done
done

if [ "$mode" = list ]; then
  printf '%s\n' "${wanted[@]}"
  exit 0
fi

missing=()
for p in "${wanted[@]}"; do
  installed "$p" || missing+=("$p")
done
if [ "$mode" = missing ]; then
  [ ${#missing[@]} -eq 0 ] && exit 0
  echo "${missing[*]}"
  exit 1
fi
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  if sudo -n true 2>/dev/null; then
    SUDO="sudo -n"
  else
    echo "deps.sh: missing ${missing[*]}: run 'sudo bash .ci/deps.sh $*'" >&2
    exit 1
  fi
fi
echo "deps.sh: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
case " ${missing[*]} " in
  *":i386 "*)
    dpkg --print-foreign-architectures | grep -qx i386 || $SUDO dpkg --add-architecture i386 ;;
esac
$SUDO apt-get update -qq
# Prosody's and ejabberd's packages would start the system's own server;
# the tests start theirs, on ports of their own, so keep services from
# starting while installing (policy-rc.d answers "not allowed"), unless one
# is in place. ejabberd's installation may also start Erlang's port mapper
# (epmd, on every interface): it is kept to loopback, and stopped again
# when it was not running before.
policy=/usr/sbin/policy-rc.d
made_policy=""
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' | $SUDO tee "$policy" >/dev/null
  $SUDO chmod 755 "$policy"
  made_policy=1
fi
epmd_before=""
pgrep -x epmd >/dev/null 2>&1 && epmd_before=1
rc=0
$SUDO env ERL_EPMD_ADDRESS=127.0.0.1 apt-get install -y -qq --no-install-recommends "${missing[@]}" \
  >/dev/null || rc=$?
[ -n "$made_policy" ] && $SUDO rm -f "$policy"
if [ -z "$epmd_before" ] && command -v epmd >/dev/null 2>&1 && pgrep -x epmd >/dev/null 2>&1; then
  $SUDO epmd -kill >/dev/null 2>&1 || true
fi
if [ $rc -ne 0 ]; then
  echo "deps.sh: apt-get install failed ($rc) for: ${missing[*]}" >&2
  exit $rc
fi
still=()
for p in "${missing[@]}"; do installed "$p" || still+=("$p"); done
if [ ${#still[@]} -ne 0 ]; then
  echo "deps.sh: still missing after install: ${still[*]}" >&2
  exit 1
fi
