#!/usr/bin/env bash
# Builds libcurl for Windows with mingw-w64 from Debian's curl source package:
# the release Debian ships as libcurl4-openssl-dev, with Debian's patches,
# Schannel for TLS, HTTP only, no other dependencies. Installs libcurl.dll,
# its import library libcurl.dll.a and the headers into a cache directory
# outside the tree, keyed by version and architecture, and prints that
# directory's path as its last line. Does nothing when the cache is complete.
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

# The Debian version of libcurl4-openssl-dev: installed, else the candidate.
debver=$(dpkg-query -W -f='${Version}' libcurl4-openssl-dev 2>/dev/null || true)
[ -n "$debver" ] || debver=$(apt-cache policy libcurl4-openssl-dev | awk '/Candidate:/ { print $2 }')
if [ -z "$debver" ] || [ "$debver" = "(none)" ]; then
  echo "build-curl-mingw: Debian has no libcurl4-openssl-dev here" >&2
  exit 1
fi
upstream=${debver#*:}
upstream=${upstream%-*}

cache=${XDG_CACHE_HOME:-$HOME/.cache}/zelmo/curl-$upstream-$arch
marker=$cache/.complete
# The marker is written last and names the Debian version built, so a
# half-built cache or one from an older Debian revision is built again.
if [ -f "$marker" ] && [ "$(cat "$marker")" = "$debver" ]; then
  echo "$cache"
  exit 0
fi

# Adds deb-src entries mirroring the system's own Debian entries (same URIs,
# suites, components and keyring) when apt knows no curl source yet. Only
# entries for this release's suites are taken, not third-party ones.
curl_source_known() {
  apt-cache showsrc curl 2>/dev/null | grep -xF "Version: $debver" >/dev/null
}

ensure_source_entries() {
  curl_source_known && return 0
  local codename own=/etc/apt/sources.list.d/zelmo-deb-src.sources
  # deb-src entries of the machine's own whose index was never fetched
  if grep -qsE '^[[:space:]]*(deb-src[[:space:]]|Types:.*deb-src)' \
       /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; then
    apt-get update -qq >/dev/null
    curl_source_known && return 0
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
apt-get source -qq --download-only "curl=$debver" >/dev/null 2>&1 ||
  { echo "build-curl-mingw: apt-get source curl=$debver failed" >&2; exit 1; }
# apt has checked the files against the signed archive index.
dpkg-source --no-check -x ./curl_*.dsc src >/dev/null

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
  -DUSE_NGHTTP2=OFF \
  -DUSE_LIBIDN2=OFF \
  -DENABLE_MANUAL=OFF \
  -DCURL_DISABLE_LDAP=ON \
  -DCMAKE_SHARED_LINKER_FLAGS="-static-libgcc -static" \
  >"$work/configure.log" 2>&1 || { tail -30 "$work/configure.log" >&2; exit 1; }
cmake --build build >"$work/build.log" 2>&1 || { tail -30 "$work/build.log" >&2; exit 1; }
cmake --install build >/dev/null

for f in bin/libcurl.dll lib/libcurl.dll.a include/curl/curl.h; do
  [ -f "$cache/$f" ] || { echo "build-curl-mingw: $f was not installed" >&2; exit 1; }
done
echo "$debver" >"$marker"
echo "built libcurl $debver for $triple (Schannel, HTTP only) in $((SECONDS - start)) s into $cache" >&2
echo "$cache"
