#!/usr/bin/env bash
# The Windows builds: cross-compiles everything with MinGW-w64 (posix
# threads), 32-bit (preset mingw32, i686) and then 64-bit (preset mingw64,
# x86_64); for each, checks what msglogicex.dll exports and imports and its
# import library for Microsoft's linker, and runs the test suite under Wine
# without a display (the slow tests too), then compares the INI reading of
# the Linux build with kernel32's (tests/ini). After both it installs them
# into one prefix and builds a host of each word size against that package. Safe to run again on the same machine; runs as root
# or through sudo.
#
#   bash .ci/mingw.sh          both builds, 32-bit first
#   bash .ci/mingw.sh 32       the 32-bit build alone (or 64)
#
# Where the kernel cannot execute 32-bit x86 programs (CONFIG_IA32_EMULATION
# off, or booted with ia32_emulation=0), Wine's 32-bit loader runs under
# qemu-i386 through a binfmt_misc entry this script registers. The qemu-i386
# is Debian 13's (package qemu-user, statically linked, so it runs on Debian
# 12 too): Debian 12's qemu 7.2 spends about a minute of CPU starting each
# Wine process, qemu 10 a fraction of a second. The Wine prefix is created by
# the 64-bit loader, which needs no emulation at all; the 64-bit tests run
# under it directly.
set -euo pipefail
cd "$(dirname "$0")/.."

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

STEP_NAME=""
STEP_START=0
step() {
  if [ -n "$STEP_NAME" ]; then
    printf '=== %s: %ds\n' "$STEP_NAME" $((SECONDS - STEP_START))
  fi
  STEP_NAME="$1"
  STEP_START=$SECONDS
  [ -n "$STEP_NAME" ] && printf '\n=== %s (%s) ===\n' "$STEP_NAME" "$(date +%T)"
  return 0
}
fail() { printf 'mingw.sh: %s\n' "$*" >&2; exit 1; }

QEMU=/usr/local/lib/msglogic-ci/qemu-i386

# Puts Debian 13's qemu-i386 at $QEMU, with an apt configuration of its own
# (lists and cache in a scratch directory, the system's mirror): the
# system's package sources stay as they are.
fetch_qemu() {
  local dir mirror
  dir=$(mktemp -d)
  mirror=$(apt-get indextargets --format '$(REPO_URI) $(RELEASE)' |
    awk '$2 !~ /-/ && !found { print $1; found = 1 }')
  [ -n "$mirror" ] || fail "no Debian mirror configured"
  mkdir -p "$dir/lists/partial" "$dir/cache/archives/partial"
  echo "deb [arch=amd64] $mirror trixie main" >"$dir/sources.list"
  local apt=(apt-get -qq -o Dir::Etc::sourcelist="$dir/sources.list"
    -o Dir::Etc::sourceparts=- -o Dir::State::Lists="$dir/lists"
    -o Dir::Cache="$dir/cache" -o APT::Get::List-Cleanup=0)
  "${apt[@]}" update
  (cd "$dir" && "${apt[@]}" download qemu-user 2>&1 | grep -v unsandboxed || true)
  dpkg-deb -x "$dir"/qemu-user_*.deb "$dir/x"
  $SUDO install -D -m 755 "$dir/x/usr/bin/qemu-i386" "$QEMU"
  rm -rf "$dir"
}

case "${1:-both}" in
  both) BITS=(32 64) ;;
  32 | 64) BITS=("$1") ;;
  *) fail "usage: .ci/mingw.sh [32|64]" ;;
esac

# One Wine prefix for both builds (the test presets name it too).
export WINEPREFIX="$PWD/build/wineprefix"
export WINEDEBUG=-all
# No display, ever: Wine must not reach an X server even if one is around.
unset DISPLAY WAYLAND_DISPLAY

# Makes sure the kernel, or qemu-i386 through binfmt_misc, runs 32-bit programs.
enable_32bit_programs() {
  local binfmt=/proc/sys/fs/binfmt_misc
  if [ ! -e "$binfmt/qemu-i386" ] && /usr/lib/wine/wine --version >/dev/null 2>&1; then
    echo "the kernel runs 32-bit programs itself"
  else
    [ -x "$QEMU" ] || fetch_qemu
    [ -e "$binfmt/register" ] || $SUDO mount -t binfmt_misc binfmt_misc "$binfmt"
    if [ -e "$binfmt/qemu-i386" ] && ! grep -qx "interpreter $QEMU" "$binfmt/qemu-i386"; then
      echo -1 | $SUDO tee "$binfmt/qemu-i386" >/dev/null  # someone else's qemu
    fi
    if [ ! -e "$binfmt/qemu-i386" ]; then
      # ELF, 32-bit, little-endian, executable or shared object, i386. F: the
      # interpreter is opened now, so it works in any mount namespace.
      printf '%s' ":qemu-i386:M::\\x7fELF\\x01\\x01\\x01\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x02\\x00\\x03\\x00:\\xff\\xff\\xff\\xff\\xff\\xfe\\xfe\\x00\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xfe\\xff\\xff\\xff:$QEMU:F" |
        $SUDO tee "$binfmt/register" >/dev/null
    fi
    echo "32-bit programs run under $("$QEMU" --version | head -n 1)"
  fi
  /usr/lib/wine/wine --version >/dev/null || fail "cannot run Wine's 32-bit loader"
}

# check_dll DLL TRIPLE IMPORT_SYMBOL: one export, CreateMsgLogicEx,
# undecorated; only system DLLs and msglogic.dll imported; msglogicex.lib
# beside it importing the factory.
check_dll() {
  local dll=$1 triple=$2 import_symbol=$3
  echo "$dll"
  local dump exports imports
  dump=$("$triple-objdump" -p "$dll")
  exports=$(printf '%s\n' "$dump" |
    awk '/^\[Ordinal\/Name Pointer\] Table/ { on = 1; next }
         on && NF == 0 { on = 0 }
         on { print $NF }')
  printf 'exports: %s\n' "$(echo $exports)"
  [ "$exports" = "CreateMsgLogicEx" ] ||
    fail "$dll must export exactly CreateMsgLogicEx, undecorated"
  imports=$(printf '%s\n' "$dump" | sed -n 's/^[[:space:]]*DLL Name: //p')
  printf 'imports: %s\n' "$(echo $imports)"
  for import in $imports; do
    case "${import,,}" in
      kernel32.dll | user32.dll | advapi32.dll | msvcrt.dll | ntdll.dll | \
      gdi32.dll | shell32.dll | ole32.dll | ws2_32.dll | api-ms-win-*.dll | \
      msglogic.dll) ;;
      *) fail "$dll imports $import: only system DLLs and msglogic.dll may be" ;;
    esac
  done
  local implib
  implib="$(dirname "$dll")/msglogicex.lib"
  [ -f "$implib" ] || fail "msglogicex.lib was not made"
  llvm-nm "$implib" | grep -q " $import_symbol\$" ||
    fail "msglogicex.lib does not import CreateMsgLogicEx ($import_symbol)"
  echo "import library: $implib"
}

# suite BITS: configure, build, check and test one of the two builds.
suite() {
  local bits=$1 preset=mingw$1 triple import_symbol
  if [ "$bits" = 32 ]; then
    triple=i686-w64-mingw32 import_symbol=__imp__CreateMsgLogicEx
  else
    triple=x86_64-w64-mingw32 import_symbol=__imp_CreateMsgLogicEx
  fi
  step "$bits-bit: configure (preset $preset)"
  cmake --preset "$preset"
  step "$bits-bit: build"
  cmake --build --preset "$preset"
  step "$bits-bit: check msglogicex.dll"
  check_dll "build/$preset/bin/msglogicex.dll" "$triple" "$import_symbol"
  step "$bits-bit: tests under Wine"
  ctest --preset "$preset"
  # The thread stress, fault injection and corpus replays ran among them.
  grep -a -h -E 'stress: |failed each of|replayed [0-9]+ inputs' \
    "build/$preset/Testing/Temporary/LastTest.log" | tr -d '\r' || true
  step "$bits-bit: slow tests under Wine: unloading the DLL right after Release"
  ctest --preset "$preset-slow"
}

# ini_differential BITS: a Linux build of the INI probe alone, compared with
# kernel32's reading through that Windows build's probe under Wine.
ini_differential() {
  local linux_dir=build/mingw32-ini-linux
  step "$1-bit: INI files: the Linux reader against kernel32 under Wine"
  cmake -S . -B "$linux_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DMSGLOGIC_WINE_INI_PROBE="$PWD/build/mingw$1/bin/ini_probe.exe" >/dev/null
  cmake --build "$linux_dir" --target ini_probe
  ctest --test-dir "$linux_dir" -R '^ini_wine_differential$' --output-on-failure
}

# Both builds installed into one prefix (bin/x64 and lib/x64 beside bin/x86
# and lib/x86): each build's package test installs into it and builds its
# host against it, the 64-bit one first, so the 32-bit host finds its own
# build among the two. Before the 32-bit build is there, a 32-bit host
# project must be told that the package lacks it.
package_both() {
  step "one package, both builds: each host finds its own"
  export MSGLOGIC_PACKAGE_PREFIX="$PWD/build/windows-package"
  rm -rf "$MSGLOGIC_PACKAGE_PREFIX"
  ctest --preset mingw64 -R '^package_test$'
  local out
  if out=$(cmake -S tests/package/host -B build/windows-package-host32 -G Ninja \
      -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchains/mingw32.cmake" \
      -Dmsglogicex_DIR="$MSGLOGIC_PACKAGE_PREFIX/lib/cmake/msglogicex" 2>&1); then
    fail "a 32-bit host found a package that holds the 64-bit build only"
  fi
  grep -q "holds no x86 build" <<<"$out" || fail "no reason given for the missing x86 build: $out"
  echo "a 32-bit host is told: the package holds no x86 build"
  rm -rf build/windows-package-host32
  ctest --preset mingw32 -R '^package_test$'
  ls "$MSGLOGIC_PACKAGE_PREFIX/bin" "$MSGLOGIC_PACKAGE_PREFIX/lib"
  unset MSGLOGIC_PACKAGE_PREFIX
}

step "install packages"
bash .ci/deps.sh "${BITS[@]/#/mingw}"

WANT_32=""
if [[ " ${BITS[*]} " == *" 32 "* ]]; then
  WANT_32=1
  step "32-bit programs"
  enable_32bit_programs
fi

step "Wine prefix"
# A prefix for 32-bit programs as well has syswow64 (the 64-bit loader makes
# it when Wine's 32-bit half is installed).
if [ ! -f "$WINEPREFIX/system.reg" ] ||
  { [ -n "$WANT_32" ] && [ ! -d "$WINEPREFIX/drive_c/windows/syswow64" ]; }; then
  rm -rf "$WINEPREFIX"
  mkdir -p "$(dirname "$WINEPREFIX")"
  # Neither Mono nor Gecko: nothing here needs them, and their installers
  # would ask on a desktop that is not there.
  WINEDLLOVERRIDES="mscoree,mshtml=" /usr/lib/wine/wine64 wineboot -i
fi
wineserver -w
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT

for bits in "${BITS[@]}"; do
  suite "$bits"
  ini_differential "$bits"
done
if [ ${#BITS[@]} -eq 2 ]; then package_both; fi

for bits in "${BITS[@]}"; do
  step "relay and host latency under Wine, ${bits}-bit (figures only, not judged)"
  cmake --build "build/mingw$bits" --target msglogic_latency_probe
  loader=wine; [ "$bits" = 64 ] && loader=/usr/lib/wine/wine64
  "$loader" "build/mingw$bits/bin/msglogic_latency_probe.exe" | tr -d '\r' || echo "(the probe did not finish)"
done

step ""
