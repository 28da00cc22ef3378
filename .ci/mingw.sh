#!/usr/bin/env bash
# The 32-bit Windows build: cross-compiles everything with MinGW-w64 (i686,
# posix threads), checks what msglogicex.dll exports and imports, runs the
# test suite under Wine without a display, and compares the INI reading of
# the Linux build with kernel32's (tests/ini). Safe to run again on the same
# machine; runs as root or through sudo.
#
# Where the kernel cannot execute 32-bit x86 programs (CONFIG_IA32_EMULATION
# off, or booted with ia32_emulation=0), Wine's 32-bit loader runs under
# qemu-i386 through a binfmt_misc entry this script registers. The qemu-i386
# is Debian 13's (package qemu-user, statically linked, so it runs on Debian
# 12 too): Debian 12's qemu 7.2 spends about a minute of CPU starting each
# Wine process, qemu 10 a fraction of a second. The Wine prefix is created by
# the 64-bit loader, which needs no emulation at all.
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

BUILD_DIR=build/mingw32
# A Linux build of the INI probe alone, for the comparison with kernel32.
INI_BUILD_DIR=build/mingw32-ini-linux
export WINEPREFIX="$PWD/$BUILD_DIR/wineprefix"
export WINEDEBUG=-all
# No display, ever: Wine must not reach an X server even if one is around.
unset DISPLAY WAYLAND_DISPLAY

step "install packages"
bash .ci/deps.sh mingw32

step "32-bit programs"
BINFMT=/proc/sys/fs/binfmt_misc
if [ ! -e "$BINFMT/qemu-i386" ] && /usr/lib/wine/wine --version >/dev/null 2>&1; then
  echo "the kernel runs 32-bit programs itself"
else
  [ -x "$QEMU" ] || fetch_qemu
  [ -e "$BINFMT/register" ] || $SUDO mount -t binfmt_misc binfmt_misc "$BINFMT"
  if [ -e "$BINFMT/qemu-i386" ] && ! grep -qx "interpreter $QEMU" "$BINFMT/qemu-i386"; then
    echo -1 | $SUDO tee "$BINFMT/qemu-i386" >/dev/null  # someone else's qemu
  fi
  if [ ! -e "$BINFMT/qemu-i386" ]; then
    # ELF, 32-bit, little-endian, executable or shared object, i386. F: the
    # interpreter is opened now, so it works in any mount namespace.
    printf '%s' ":qemu-i386:M::\\x7fELF\\x01\\x01\\x01\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x02\\x00\\x03\\x00:\\xff\\xff\\xff\\xff\\xff\\xfe\\xfe\\x00\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xfe\\xff\\xff\\xff:$QEMU:F" |
      $SUDO tee "$BINFMT/register" >/dev/null
  fi
  echo "32-bit programs run under $("$QEMU" --version | head -n 1)"
fi
/usr/lib/wine/wine --version >/dev/null || fail "cannot run Wine's 32-bit loader"

step "configure (preset mingw32)"
cmake --preset mingw32

step "build"
cmake --build --preset mingw32

step "check msglogicex.dll"
DLL=$(find "$BUILD_DIR" -name msglogicex.dll -not -path '*/CMakeFiles/*' | head -n 1)
[ -n "$DLL" ] || fail "msglogicex.dll was not built"
echo "$DLL"
DUMP=$(i686-w64-mingw32-objdump -p "$DLL")
EXPORTS=$(printf '%s\n' "$DUMP" |
  awk '/^\[Ordinal\/Name Pointer\] Table/ { on = 1; next }
       on && NF == 0 { on = 0 }
       on { print $NF }')
printf 'exports: %s\n' "$(echo $EXPORTS)"
[ "$EXPORTS" = "CreateMsgLogicEx" ] ||
  fail "msglogicex.dll must export exactly CreateMsgLogicEx, undecorated"
IMPORTS=$(printf '%s\n' "$DUMP" | sed -n 's/^[[:space:]]*DLL Name: //p')
printf 'imports: %s\n' "$(echo $IMPORTS)"
for dll in $IMPORTS; do
  case "${dll,,}" in
    kernel32.dll | user32.dll | advapi32.dll | msvcrt.dll | ntdll.dll | \
    gdi32.dll | shell32.dll | ole32.dll | ws2_32.dll | api-ms-win-*.dll | \
    msglogic.dll) ;;
    *) fail "msglogicex.dll imports $dll: only system DLLs and msglogic.dll may be" ;;
  esac
done

# The import library for Microsoft's linker, beside the DLL.
IMPLIB="$BUILD_DIR/bin/msglogicex.lib"
[ -f "$IMPLIB" ] || fail "msglogicex.lib was not made"
llvm-nm "$IMPLIB" | grep -q ' __imp__CreateMsgLogicEx$' ||
  fail "msglogicex.lib does not import CreateMsgLogicEx"
echo "import library: $IMPLIB"

step "Wine prefix"
if [ ! -f "$WINEPREFIX/system.reg" ] || [ ! -d "$WINEPREFIX/drive_c/windows/syswow64" ]; then
  rm -rf "$WINEPREFIX"
  # Neither Mono nor Gecko: nothing here needs them, and their installers
  # would ask on a desktop that is not there.
  WINEDLLOVERRIDES="mscoree,mshtml=" /usr/lib/wine/wine64 wineboot -i
fi
wineserver -w

step "tests under Wine"
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
ctest --preset mingw32
# The thread stress, fault injection and corpus replays ran among them.
grep -a -h -E 'stress: |failed each of|replayed [0-9]+ inputs' \
  "$BUILD_DIR/Testing/Temporary/LastTest.log" | tr -d '\r' || true

step "slow tests under Wine: unloading the DLL right after Release"
ctest --preset mingw32-slow

step "INI files: the Linux reader against kernel32 under Wine"
cmake -S . -B "$INI_BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DMSGLOGIC_WINE_INI_PROBE="$PWD/$BUILD_DIR/bin/ini_probe.exe" >/dev/null
cmake --build "$INI_BUILD_DIR" --target ini_probe
ctest --test-dir "$INI_BUILD_DIR" -R '^ini_wine_differential$' --output-on-failure

step "relay and host latency under Wine (figures only, not judged)"
cmake --build "$BUILD_DIR" --target msglogic_latency_probe
wine "$BUILD_DIR/bin/msglogic_latency_probe.exe" | tr -d '\r' || echo "(the probe did not finish)"

step ""
