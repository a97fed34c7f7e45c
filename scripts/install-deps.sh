#!/usr/bin/env bash
# Installs, from Debian's packages and only when missing, everything the
# three builds, the tests, the fuzzers and the benchmarks need.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  clang libclang-rt-14-dev            # sanitizer and libFuzzer runtimes
  googletest libgtest-dev             # /usr/src/googletest is built for Windows
  libbenchmark-dev libssl-dev         # benchmarks and their reference
  mingw-w64 g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix binutils-mingw-w64-x86-64 binutils-mingw-w64-i686
  wine64                              # runs the win64 suite
  libcurl4-openssl-dev                # libcurl for linux
  dpkg-dev                            # unpacks Debian's curl source for the mingw builds
  iproute2                            # network interfaces for the host-identity tests
  openssl                             # the TLS test server (self-signed certificate)
  python3 zip                         # the ctypes example host; scripts/package
  nginx-light                         # the real server of the download tests (scripts/nginx-fixture)
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
