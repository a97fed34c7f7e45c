#!/usr/bin/env bash
# Installs, from Debian's packages and only when missing, everything the
# three builds, the tests, the fuzzers and the benchmarks need. 32-bit wine
# (wine32:i386, for the win32 suite) comes only when this machine runs
# 32-bit x86 code; otherwise the reason is written to the file named by
# scripts/wine-run32 --skip-file and the win32 suite skips with it.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  clang libclang-rt-14-dev            # sanitizer and libFuzzer runtimes
  googletest libgtest-dev             # /usr/src/googletest is built for Windows
  libbenchmark-dev libssl-dev         # benchmarks and their reference
  mingw-w64 g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix binutils-mingw-w64-x86-64 binutils-mingw-w64-i686
  wine64                              # runs the win64 suite
  libcurl4-openssl-dev                # libcurl for linux
  zlib1g-dev                          # gzip and deflate bodies decoded (built for Windows from its source)
  libbrotli-dev libzstd-dev           # br and zstd bodies decoded (linux)
  libxxhash-dev                       # the cache entries' body checksum (its header, used inline)
  dpkg-dev                            # unpacks Debian's curl source for the mingw builds
  iproute2                            # network interfaces for the host-identity tests
  openssl                             # the TLS test server (self-signed certificate)
  python3 zip unzip                   # the ctypes example host; scripts/package and its check
  llvm-14 lld-14                      # Zelmo.lib (llvm-dlltool) and its link check (lld-link)
  nginx-light                         # the real server of the download tests (scripts/nginx-fixture)
  curl                                # the curl tool: a reference of the download rows, the relay's self-check
  valgrind                            # memcheck of the command-line host
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The package starts the system's own nginx service when it installs; the
# tests run their own nginx (scripts/nginx-fixture), so the service is stopped.
if [[ " ${missing[*]-} " == *" nginx-light "* ]]; then
  if command -v invoke-rc.d >/dev/null; then
    invoke-rc.d nginx stop >/dev/null 2>&1 || true
  fi
  if [ -f /run/nginx.pid ] && kill -0 "$(cat /run/nginx.pid)" 2>/dev/null; then
    kill -QUIT "$(cat /run/nginx.pid)" || true
  fi
fi

# 32-bit wine for the win32 suite. The probe is a 96-byte i386 ELF program
# that exits with 42 through int 0x80: it runs where the kernel has its
# IA-32 emulation on. Elsewhere nothing i386 is installed and the suite is
# skipped with the reason, unless ZELMO_WIN32_QEMU=1 asks for 32-bit wine
# through qemu-i386 (scripts/qemu-wine32; not reliable enough to be the
# default, see docs/reliability.md, "The 32-bit build under qemu-user"). The
# file named by wine-run32 --qemu-file then says that wine runs that way.
here=$(dirname "$0")
skip=$("$here/wine-run32" --skip-file)
qemu_mode=$("$here/wine-run32" --qemu-file)
mkdir -p "$(dirname "$skip")"
rm -f "$qemu_mode"
probe=$(mktemp)
trap 'rm -f "$probe"' EXIT
printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00\xb8\x01\x00\x00\x00\xbb\x2a\x00\x00\x00\xcd\x80' >"$probe"
chmod +x "$probe"
rc=0
"$probe" 2>/dev/null || rc=$?
if [ "$rc" -ne 42 ] && [ -z "${ZELMO_WIN32_QEMU:-}" ]; then
  echo "this kernel does not run 32-bit x86 programs (probe exit status $rc); 32-bit wine through qemu-i386 (ZELMO_WIN32_QEMU=1) loses test processes at random, see docs/reliability.md, \"The 32-bit build under qemu-user\"" >"$skip"
  echo "win32 suite: skipped, $(cat "$skip")"
  exit 0
fi
if [ -n "${ZELMO_WIN32_QEMU:-}" ]; then
  reason="ZELMO_WIN32_QEMU is set"
  [ "$rc" -ne 42 ] && reason="this kernel does not run 32-bit x86 programs (probe exit status $rc) and ZELMO_WIN32_QEMU is set"
  if ! dpkg-query -W -f='${Status}' qemu-user-static 2>/dev/null | grep -q 'install ok installed'; then
    echo "installing: qemu-user-static (for the win32 suite: $reason)"
    export DEBIAN_FRONTEND=noninteractive
    apt-get install -y -qq --no-install-recommends qemu-user-static >/dev/null ||
      { apt-get update -qq && apt-get install -y -qq --no-install-recommends qemu-user-static >/dev/null; } || true
  fi
  qrc=0; "$here/qemu-wine32" "$probe" 2>/dev/null || qrc=$?
  if [ "$qrc" -ne 42 ]; then
    echo "$reason, but qemu-i386 in a user namespace of its own did not run the probe (exit status $qrc; see docs/reliability.md, \"The 32-bit build under qemu-user\")" >"$skip"
    echo "win32 suite: skipped, $(cat "$skip")"
    exit 0
  fi
  echo "$reason; 32-bit wine runs through qemu-i386 (scripts/qemu-wine32)" >"$qemu_mode"
  echo "win32 suite: $(cat "$qemu_mode")"
fi
if ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'install ok installed'; then
  echo "installing: wine32:i386"
  export DEBIAN_FRONTEND=noninteractive
  if ! { dpkg --add-architecture i386 && apt-get update -qq &&
         apt-get install -y -qq --no-install-recommends wine32:i386 >/dev/null; }; then
    echo "wine32:i386 could not be installed from the package registry" >"$skip"
    echo "win32 suite: skipped, $(cat "$skip")"
    exit 0
  fi
fi
rm -f "$skip"
