#!/usr/bin/env bash
# Builds libcurl for Windows with mingw-w64 from Debian's curl source package:
# the release Debian ships as libcurl4-openssl-dev, with Debian's patches,
# Schannel for TLS, HTTP only, and HTTP/2 through nghttp2, built first as a
# static library from Debian's nghttp2 source package (the release of
# libnghttp2-dev) and linked into libcurl.dll, which so needs system DLLs
# only. Beside it zlib, from Debian's zlib source package (the release of
# zlib1g-dev), as a static library for Zelmo.dll itself, which decodes
# gzip and deflate bodies on its own. Installs libcurl.dll, its import
# library libcurl.dll.a, libz.a and the headers into a cache directory
# outside the tree, keyed by the three versions and the architecture, and
# prints that directory's path as its last line. Does nothing when the cache
# is complete.
#   build-curl-mingw.sh x86_64|i686
# Needs root the first time when the machine has no deb-src entry yet.
set -euo pipefail

arch=${1:-}
case "$arch" in
  x86_64|i686) ;;
  *) echo "usage: $0 x86_64|i686" >&2; exit 2 ;;
esac
triple=$arch-w64-mingw32
here=$(cd "$(dirname "$0")" && pwd)
toolchain=$here/../cmake/mingw-$arch.cmake

# The Debian version of a package: installed, else the candidate.
debian_version() {
  local v
  v=$(dpkg-query -W -f='${Version}' "$1" 2>/dev/null || true)
  [ -n "$v" ] || v=$(apt-cache policy "$1" | awk '/Candidate:/ { print $2 }')
  if [ -z "$v" ] || [ "$v" = "(none)" ]; then
    echo "build-curl-mingw: Debian has no $1 here" >&2
    return 1
  fi
  echo "$v"
}

# The upstream release in a Debian version: no epoch, revision or ".dfsg".
upstream_of() {
  local u=${1#*:}
  u=${u%-*}
  echo "${u%.dfsg}"
}

# curl, nghttp2 and zlib as Debian ships them to Linux builds.
debver=$(debian_version libcurl4-openssl-dev) || exit 1
ngdebver=$(debian_version libnghttp2-dev) || exit 1
zdebver=$(debian_version zlib1g-dev) || exit 1
upstream=$(upstream_of "$debver")
ngupstream=$(upstream_of "$ngdebver")
zupstream=$(upstream_of "$zdebver")

cache=${XDG_CACHE_HOME:-$HOME/.cache}/zelmo/curl-$upstream-nghttp2-$ngupstream-zlib-$zupstream-$arch
marker=$cache/.complete
built="curl=$debver nghttp2=$ngdebver zlib=$zdebver"
# The marker is written last and names the Debian versions built, so a
# half-built cache or one from an older Debian revision is built again.
if [ -f "$marker" ] && [ "$(cat "$marker")" = "$built" ]; then
  echo "$cache"
  exit 0
fi

# Adds deb-src entries mirroring the system's own Debian entries (same URIs,
# suites, components and keyring) when apt knows no curl, nghttp2 or zlib
# source yet. Only
# entries for this release's suites are taken, not third-party ones.
sources_known() {
  apt-cache showsrc curl 2>/dev/null | grep -xF "Version: $debver" >/dev/null &&
    apt-cache showsrc nghttp2 2>/dev/null | grep -xF "Version: $ngdebver" >/dev/null &&
    [ -n "$(zlib_sources)" ]
}

# The revisions of zlib's source apt knows for zlib1g-dev's upstream release,
# that of zlib1g-dev first, then the others newest first: an archive may
# serve a security update's binaries but not its source. The marker names
# the revision wanted; the log line the one built.
zlib_sources() {
  local all v
  all=$(apt-cache showsrc zlib 2>/dev/null | awk '/^Version:/ { print $2 }' | sort -u |
    while read -r v; do
      if [ "$(upstream_of "$v")" = "$zupstream" ]; then echo "$v"; fi
    done)
  grep -xF "$zdebver" <<<"$all" || true
  grep -vxF "$zdebver" <<<"$all" | grep . | sort -rV || true
}

ensure_source_entries() {
  sources_known && return 0
  local codename own=/etc/apt/sources.list.d/zelmo-deb-src.sources
  # deb-src entries of the machine's own whose index was never fetched
  if grep -qsE '^[[:space:]]*(deb-src[[:space:]]|Types:.*deb-src)' \
       /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; then
    apt-get update -qq >/dev/null
    sources_known && return 0
  fi
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  [ -n "$codename" ] || { echo "build-curl-mingw: unknown Debian release" >&2; return 1; }
  local files=() f
  for f in /etc/apt/sources.list.d/*.sources; do
    if [ -f "$f" ] && [ "$f" != "$own" ]; then files+=("$f"); fi
  done
  {
    echo "# deb-src entries derived from this machine's Debian entries (build-curl-mingw.sh)"
    # deb822 stanzas of type deb
    [ ${#files[@]} -eq 0 ] || awk -v rel="$codename" '
      function flush() {
        if (types ~ /(^| )deb( |$)/ && suites != "") {
          print "Types: deb-src"; print "URIs: " uris; print "Suites: " suites
          print "Components: " comps
          if (signed != "") print "Signed-By: " signed
          print ""
        }
        types = uris = suites = comps = signed = ""
      }
      function keep(list,   n, i, a, out) {
        n = split(list, a, " "); out = ""
        for (i = 1; i <= n; i++)
          if (a[i] == rel || index(a[i], rel "-") == 1 || index(a[i], rel "/") == 1) out = out (out == "" ? "" : " ") a[i]
        return out
      }
      FNR == 1 { flush() }
      /^[ \t]*#/ { next }
      /^[ \t]*$/ { flush(); next }
      { key = tolower($1); sub(/^[^:]*:[ \t]*/, "") }
      key == "types:" { types = $0 }
      key == "uris:" { uris = $0 }
      key == "suites:" { suites = keep($0) }
      key == "components:" { comps = $0 }
      key == "signed-by:" { signed = $0 }
      key == "enabled:" && tolower($0) == "no" { types = "" }
      END { flush() }' "${files[@]}"
    # one-line entries: "deb [options] URI SUITE COMPONENT..."
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
      if [ -f "$f" ]; then cat "$f"; fi
    done | awk -v rel="$codename" '
      $1 != "deb" { next }
      {
        opts = ""; i = 2
        if ($2 ~ /^\[/) { while (i <= NF) { opts = opts (opts == "" ? "" : " ") $i; if ($i ~ /\]$/) break; i++ }; i++ }
        uri = $i; suite = $(i + 1)
        if (!(suite == rel || index(suite, rel "-") == 1 || index(suite, rel "/") == 1)) next
        comps = ""; for (j = i + 2; j <= NF; j++) comps = comps (comps == "" ? "" : " ") $j
        signed = ""
        if (match(opts, /signed-by=[^ \]]+/)) signed = substr(opts, RSTART + 10, RLENGTH - 10)
        print "Types: deb-src"; print "URIs: " uri; print "Suites: " suite; print "Components: " comps
        if (signed != "") print "Signed-By: " signed
        print ""
      }'
  } >"$own.new"
  if ! grep -q '^Types: deb-src' "$own.new"; then
    rm -f "$own.new"
    echo "build-curl-mingw: no Debian entry for $codename to derive a deb-src entry from" >&2
    return 1
  fi
  mv "$own.new" "$own"
  apt-get update -qq >/dev/null
}

start=$SECONDS
ensure_source_entries

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
apt-get source -qq --download-only "curl=$debver" "nghttp2=$ngdebver" >/dev/null 2>&1 ||
  { echo "build-curl-mingw: apt-get source curl=$debver nghttp2=$ngdebver failed" >&2; exit 1; }
zbuilt=
for v in $(zlib_sources); do
  if apt-get source -qq --download-only "zlib=$v" >/dev/null 2>&1; then zbuilt=$v; break; fi
done
[ -n "$zbuilt" ] || { echo "build-curl-mingw: no source of zlib $zupstream could be fetched" >&2; exit 1; }
# apt has checked the files against the signed archive index.
dpkg-source --no-check -x ./curl_*.dsc src >/dev/null
dpkg-source --no-check -x ./nghttp2_*.dsc nghttp2-src >/dev/null
dpkg-source --no-check -x ./zlib_*.dsc zlib-src >/dev/null

# libnghttp2 alone (no applications, tools, examples or documentation), as a
# static library in the work directory: it ends up inside libcurl.dll. Its
# clock is GetTickCount64, as in an MSVC build: this release fails to link
# when it finds both that and winpthreads' clock_gettime.
cmake -S nghttp2-src -B nghttp2-build -G Ninja --log-level=ERROR -Wno-dev \
  -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_INSTALL_PREFIX="$work/nghttp2" \
  -DCMAKE_INSTALL_LIBDIR=lib \
  -DENABLE_LIB_ONLY=ON \
  -DENABLE_SHARED_LIB=OFF \
  -DENABLE_STATIC_LIB=ON \
  -DENABLE_DOC=OFF \
  -DENABLE_FAILMALLOC=OFF \
  -DBUILD_TESTING=OFF \
  -DWITH_LIBXML2=OFF \
  -DWITH_JEMALLOC=OFF \
  -DHAVE_CLOCK_GETTIME=OFF \
  >"$work/nghttp2-configure.log" 2>&1 || { tail -30 "$work/nghttp2-configure.log" >&2; exit 1; }
cmake --build nghttp2-build --target nghttp2_static >"$work/nghttp2-build.log" 2>&1 ||
  { tail -30 "$work/nghttp2-build.log" >&2; exit 1; }
cmake --install nghttp2-build >/dev/null
[ -f "$work/nghttp2/lib/libnghttp2.a" ] ||
  { echo "build-curl-mingw: libnghttp2.a was not installed" >&2; exit 1; }

# NGHTTP2_STATICLIB: nghttp2.h declares its functions for a static library,
# not as imports from a DLL. HAS_ALPN: this curl release offers ALPN through
# Schannel only when built by MSVC 2013 or later, for want of the SDK 8.1
# declarations, which mingw-w64 has had since its version 9; without ALPN no
# https connection would ever speak HTTP/2. libcurl itself still does
# without ALPN on Windows older than 8.1 and under Wine.
rm -rf "$cache"
cmake -S src -B build -G Ninja --log-level=ERROR -Wno-dev \
  -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_INSTALL_PREFIX="$cache" \
  -DBUILD_SHARED_LIBS=ON \
  -DBUILD_CURL_EXE=OFF \
  -DBUILD_TESTING=OFF \
  -DHTTP_ONLY=ON \
  -DCURL_USE_SCHANNEL=ON \
  -DCURL_USE_OPENSSL=OFF \
  -DCURL_USE_LIBSSH2=OFF \
  -DCURL_USE_LIBPSL=OFF \
  -DCURL_ZLIB=OFF \
  -DCURL_BROTLI=OFF \
  -DCURL_ZSTD=OFF \
  -DUSE_NGHTTP2=ON \
  -DNGHTTP2_INCLUDE_DIR="$work/nghttp2/include" \
  -DNGHTTP2_LIBRARY="$work/nghttp2/lib/libnghttp2.a" \
  -DCMAKE_C_FLAGS="-DNGHTTP2_STATICLIB -DHAS_ALPN=1" \
  -DUSE_LIBIDN2=OFF \
  -DENABLE_MANUAL=OFF \
  -DCURL_DISABLE_LDAP=ON \
  -DCMAKE_SHARED_LINKER_FLAGS="-static-libgcc -static" \
  >"$work/configure.log" 2>&1 || { tail -30 "$work/configure.log" >&2; exit 1; }
cmake --build build >"$work/build.log" 2>&1 || { tail -30 "$work/build.log" >&2; exit 1; }
cmake --install build >/dev/null

# zlib as a static library with its two headers: its library sources
# compiled as its own makefiles do (Debian's source has no Windows makefile).
mkdir zlib-build
for f in adler32 compress crc32 deflate gzclose gzlib gzread gzwrite infback inffast inflate inftrees trees uncompr zutil; do
  "$triple-gcc" -O2 -c "zlib-src/$f.c" -o "zlib-build/$f.o" >>"$work/zlib-build.log" 2>&1 ||
    { tail -30 "$work/zlib-build.log" >&2; exit 1; }
done
"$triple-ar" rcs "$cache/lib/libz.a" zlib-build/*.o
install -m 644 zlib-src/zlib.h zlib-src/zconf.h "$cache/include/"

for f in bin/libcurl.dll lib/libcurl.dll.a include/curl/curl.h lib/libz.a include/zlib.h; do
  [ -f "$cache/$f" ] || { echo "build-curl-mingw: $f was not installed" >&2; exit 1; }
done
grep -q '^supported_features=.*HTTP2' "$cache/lib/pkgconfig/libcurl.pc" ||
  { echo "build-curl-mingw: libcurl was built without HTTP/2" >&2; exit 1; }
# Only the system's DLLs beside it: no libnghttp2, libgcc or libwinpthread.
imports=$("$triple-objdump" -p "$cache/bin/libcurl.dll" | awk '/DLL Name:/ { print $3 }')
if grep -qiE '^lib' <<<"$imports"; then
  echo "build-curl-mingw: libcurl.dll imports" $imports >&2
  exit 1
fi
echo "$built" >"$marker"
echo "built libcurl $debver with nghttp2 $ngdebver, and zlib $zbuilt, for $triple (Schannel, HTTP only, HTTP/2) in $((SECONDS - start)) s into $cache" >&2
echo "$cache"
