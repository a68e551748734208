#!/bin/bash
# windows-deps.sh - cross-build static 64-bit Windows dependencies on Debian 12
# (bookworm) with MinGW-w64, using only Debian's package registry:
#   * binary packages (toolchain, wine, nlohmann-json, googletest sources) via apt-get
#   * Debian SOURCE packages for zstd, libarchive and curl (bookworm) and OpenSSL 3.5
#     (trixie: bookworm's 3.0 has no ML-DSA, which the installer must verify).
#
# Steps 1 (toolchain + wine) and 2 (static libraries into $PREFIX).
# Idempotent: every step leaves a stamp file and is skipped if its stamp and
# outputs exist.  Delete $ROOT/stamps/<step> (or the whole $ROOT) to redo it.
#
# Usage:   sudo scripts/windows-deps.sh            (needs root for apt-get)
# Env:     WINCROSS_ROOT (default ~/.cache/tovra-win64), JOBS (default nproc),
#          WITH_GTEST=0 to skip GoogleTest, SRCPARTS/SRCLISTS to reuse an
#          existing deb-src configuration.
set -euo pipefail

ROOT=${WINCROSS_ROOT:-${XDG_CACHE_HOME:-$HOME/.cache}/tovra-win64}
PREFIX=$ROOT/prefix
SRC=$ROOT/src
BUILD=$ROOT/build
LOGS=$ROOT/logs
STAMPS=$ROOT/stamps
JOBS=${JOBS:-$(nproc)}
WITH_GTEST=${WITH_GTEST:-1}
TOOLCHAIN=$ROOT/mingw64-toolchain.cmake
export WINEPREFIX=${WINEPREFIX:-$ROOT/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
export DEBIAN_FRONTEND=noninteractive

# Debian source package versions (bookworm / bookworm-security; OpenSSL from trixie).
# deb.debian.org only keeps the newest version of each suite, so if a pinned
# version has been superseded the newest available one is used instead and
# logged in $LOGS/versions.txt.
ZSTD_V=${ZSTD_V:-1.5.4+dfsg2-5}
OPENSSL_V=${OPENSSL_V:-3.5.7-1~deb13u2}
LIBARCHIVE_V=${LIBARCHIVE_V:-3.6.2-1+deb12u5}
CURL_V=${CURL_V:-7.88.1-10+deb12u15}

APT_PKGS="g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix wine64 wine
          nlohmann-json3-dev googletest cmake ninja-build make perl dpkg-dev xz-utils"

mkdir -p "$PREFIX/include" "$PREFIX/lib" "$SRC" "$BUILD" "$LOGS" "$STAMPS"
TIMINGS=$LOGS/timings.txt

log() { printf '[build-deps %(%H:%M:%S)T] %s\n' -1 "$*"; }
done_p() { [ -f "$STAMPS/$1" ]; }
# run_step NAME FUNCTION: run FUNCTION unless stamped, log output and wall time
run_step() {
  local name=$1 fn=$2 t0 t1
  if done_p "$name"; then log "skip $name (stamp present)"; return 0; fi
  log "start $name (log: $LOGS/$name.log)"
  t0=$(date +%s)
  # subshell outside any if/&&/|| so that errexit really applies inside it
  set +e
  ( set -euo pipefail; "$fn" ) > "$LOGS/$name.log" 2>&1
  local rc=$?
  set -e
  if [ $rc -ne 0 ]; then
    log "FAILED $name (rc=$rc); last lines of $LOGS/$name.log:"; tail -n 30 "$LOGS/$name.log"; exit 1
  fi
  t1=$(date +%s)
  echo "$name $((t1 - t0))s" | tee -a "$TIMINGS"
  date -Is > "$STAMPS/$name"
}

# ----------------------------------------------------------------- step 1
step_apt() {
  local missing=()
  for p in $APT_PKGS; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    apt-get update
    apt-get install -y --no-install-recommends "${missing[@]}"
  fi
  # Prefer the POSIX-threads variant (std::thread/std::mutex via winpthreads).
  update-alternatives --set x86_64-w64-mingw32-gcc /usr/bin/x86_64-w64-mingw32-gcc-posix
  update-alternatives --set x86_64-w64-mingw32-g++ /usr/bin/x86_64-w64-mingw32-g++-posix
  dpkg-query -W -f='${Package} ${Version}\n' $APT_PKGS binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev libwine \
    | tee "$LOGS/apt-versions.txt"
}

step_toolchain() {
  cat > "$TOOLCHAIN" <<EOF
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER   x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER  x86_64-w64-mingw32-windres)
set(CMAKE_AR     /usr/bin/x86_64-w64-mingw32-ar     CACHE FILEPATH "")
set(CMAKE_RANLIB /usr/bin/x86_64-w64-mingw32-ranlib CACHE FILEPATH "")
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 $PREFIX)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# lets ctest / gtest_discover_tests run the .exe files through Wine
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/wine)
EOF
  # nlohmann-json is header-only; copy it so the host /usr/include never ends
  # up on the MinGW include path (that breaks: bits/wordsize.h etc.).
  rm -rf "$PREFIX/include/nlohmann"
  cp -r /usr/include/nlohmann "$PREFIX/include/"
}

step_wineprefix() {
  # Headless: no display needed for console programs. Skip mono/gecko prompts.
  WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i
  wineserver -w
}

# ----------------------------------------------------------------- sources
APT_SRC_OPTS=()
# setup_deb_src RELEASE: a private deb-src configuration per release (bookworm or trixie), so
# "newest" never crosses releases and the host's apt configuration stays untouched.
setup_deb_src() {
  local release=$1
  if [ -n "${SRCPARTS:-}" ] && [ -d "${SRCPARTS}" ] && [ "$release" = bookworm ]; then
    APT_SRC_OPTS=(-o "Dir::Etc::SourceParts=$SRCPARTS" -o "Dir::State::Lists=${SRCLISTS:?}")
    return
  fi
  local parts=$ROOT/apt-src/$release/sources.list.d lists=$ROOT/apt-src/$release/lists
  APT_SRC_OPTS=(-o "Dir::Etc::SourceParts=$parts" -o "Dir::State::Lists=$lists"
                -o "Dir::Etc::SourceList=/dev/null")
  if [ ! -f "$parts/debian-src.sources" ]; then
    mkdir -p "$parts" "$lists/partial"
    cat > "$parts/debian-src.sources" <<EOF
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: $release $release-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: $release-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
  fi
  if ! ls "$lists"/*Sources* >/dev/null 2>&1; then
    apt-get "${APT_SRC_OPTS[@]}" update
  fi
}

# fetch_src PKG VERSION DIR [RELEASE]: download a Debian source package of RELEASE (default
# bookworm) and unpack it (with Debian patches applied) into $SRC/DIR.
fetch_src() {
  local pkg=$1 ver=$2 dir=$3 release=${4:-bookworm}
  [ -d "$SRC/$dir" ] && return 0
  setup_deb_src "$release"
  mkdir -p "$SRC/dl/$release" && cd "$SRC/dl/$release"
  if ! apt-get "${APT_SRC_OPTS[@]}" source --download-only "$pkg=$ver"; then
    # The index can list a version before (or after) the pool holds its files, so try every
    # listed version, newest first, until one downloads.
    echo "pinned $pkg=$ver not available, trying the listed versions" >&2
    local v
    ver=
    for v in $(apt-cache "${APT_SRC_OPTS[@]}" showsrc "$pkg" | sed -n 's/^Version: //p' | sort -rV -u); do
      if apt-get "${APT_SRC_OPTS[@]}" source --download-only "$pkg=$v"; then ver=$v; break; fi
    done
    [ -n "$ver" ] || { echo "no version of $pkg could be downloaded" >&2; return 1; }
  fi
  dpkg-source -x "${pkg}_${ver//[0-9]:/}.dsc" "$SRC/$dir"
  echo "$pkg $ver" >> "$LOGS/versions.txt"
}

# ----------------------------------------------------------------- step 2
step_zstd() {
  fetch_src libzstd "$ZSTD_V" zstd
  rm -rf "$BUILD/zstd"
  cmake -S "$SRC/zstd/build/cmake" -B "$BUILD/zstd" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$PREFIX" \
    -DZSTD_BUILD_PROGRAMS=OFF -DZSTD_BUILD_SHARED=OFF -DZSTD_BUILD_STATIC=ON -DZSTD_BUILD_TESTS=OFF \
    -DZSTD_BUILD_CONTRIB=OFF -DZSTD_MULTITHREAD_SUPPORT=OFF -DZSTD_LEGACY_SUPPORT=OFF
  cmake --build "$BUILD/zstd" -j"$JOBS"
  cmake --install "$BUILD/zstd"
  test -f "$PREFIX/lib/libzstd.a"
}

step_openssl() {
  fetch_src openssl "$OPENSSL_V" openssl35 trixie
  rm -rf "$BUILD/openssl" && mkdir -p "$BUILD/openssl" && cd "$BUILD/openssl"
  # libcrypto only is needed; libssl is built too (OpenSSL can't skip it
  # via Configure) but `build_libs` skips apps, tests and docs.
  # Baked-in run-time paths: by default OPENSSLDIR/ENGINESDIR/MODULESDIR would
  # be the build prefix (the build prefix), which on Windows resolves to
  # C:\tmp\... on the current drive - a directory any user can create.
  # Configure can't take a Windows path (it prepends the prefix to "C:/..."),
  # so override the make variables instead (only used in LIB_CPPFLAGS and by
  # install_ssldirs, which is not run).  Admin-writable locations only.
  # no-autoload-config: never read openssl.cnf implicitly.
  # no-dso/no-module/no-engine: never load DLLs (providers/engines) at runtime.
  local dirs=("OPENSSLDIR=C:/Program Files/Common Files/SSL"
              "ENGINESDIR=C:/Program Files/Common Files/SSL/engines-3"
              "MODULESDIR=C:/Program Files/Common Files/SSL/ossl-modules")
  "$SRC/openssl35/Configure" mingw64 --cross-compile-prefix=x86_64-w64-mingw32- \
    --prefix="$PREFIX" --libdir=lib \
    no-shared no-tests no-autoload-config no-module no-legacy no-engine no-dso \
    no-comp no-dtls no-ssl3 no-srp no-idea no-mdc2 no-rc2 no-rc4 no-rc5 no-bf no-cast no-camellia \
    no-seed no-aria no-sm2 no-sm3 no-sm4 no-whirlpool no-ocsp no-ts no-ct no-srtp no-gost no-cmp \
    no-async no-ui-console no-scrypt no-siv no-ocb no-cms no-des no-dsa no-md4 no-rmd160 \
    no-quic no-docs
  make -j"$JOBS" build_libs "${dirs[@]}"
  make install_dev "${dirs[@]}"
  test -f "$PREFIX/lib/libcrypto.a"
  # ML-DSA arrived in 3.5.
  grep -Eq '# *define OPENSSL_VERSION_MINOR +([5-9]|[1-9][0-9])$' "$PREFIX/include/openssl/opensslv.h"
}

step_libarchive() {
  fetch_src libarchive "$LIBARCHIVE_V" libarchive
  rm -rf "$BUILD/libarchive"
  # Only the reader/writer core: no compression, crypto, xml, acl, xattr, iconv.
  # POSIX_REGEX_LIB=NONE works around 3.6.2's "libgcc not found" fatal error
  # when ENABLE_LIBGCC=OFF.
  cmake -S "$SRC/libarchive" -B "$BUILD/libarchive" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$PREFIX" \
    -DENABLE_MBEDTLS=OFF -DENABLE_NETTLE=OFF -DENABLE_OPENSSL=OFF -DENABLE_LIBB2=OFF -DENABLE_LZ4=OFF \
    -DENABLE_LZO=OFF -DENABLE_LZMA=OFF -DENABLE_ZSTD=OFF -DENABLE_ZLIB=OFF -DENABLE_BZip2=OFF \
    -DENABLE_LIBXML2=OFF -DENABLE_EXPAT=OFF -DENABLE_PCREPOSIX=OFF -DENABLE_LIBGCC=OFF \
    -DPOSIX_REGEX_LIB=NONE -DENABLE_CNG=OFF -DENABLE_TAR=OFF -DENABLE_CPIO=OFF -DENABLE_CAT=OFF \
    -DENABLE_XATTR=OFF -DENABLE_ACL=OFF -DENABLE_ICONV=OFF -DENABLE_TEST=OFF -DENABLE_WERROR=OFF
  # 3.6.2 always defines a shared and a static target compiled separately;
  # build just the static one and install it by hand.
  cmake --build "$BUILD/libarchive" -j"$JOBS" --target archive_static
  install -m644 "$BUILD/libarchive/libarchive/libarchive_static.a" "$PREFIX/lib/libarchive.a"
  install -m644 "$SRC/libarchive/libarchive/archive.h" "$SRC/libarchive/libarchive/archive_entry.h" "$PREFIX/include/"
  # consumers must compile with -DLIBARCHIVE_STATIC
}

step_curl() {
  fetch_src curl "$CURL_V" curl
  rm -rf "$BUILD/curl"
  local d=() p
  for p in DICT FILE FTP GOPHER HTTP IMAP LDAP LDAPS MQTT POP3 RTSP SMB SMTP TELNET TFTP ALTSVC COOKIES \
           CRYPTO_AUTH DOH HSTS HTTP_AUTH MIME NETRC NTLM PROXY GETOPTIONS LIBCURL_OPTION PARSEDATE \
           PROGRESS_METER SHUFFLE_DNS SOCKETPAIR VERBOSE_STRINGS; do
    d+=("-DCURL_DISABLE_$p=ON")
  done
  # URL API only: no protocols, no TLS, no compression, no IDN/PSL/SSH.
  # NB: with no protocol built in, curl_url_set() rejects "https://..." with
  # CURLUE_UNSUPPORTED_SCHEME unless CURLU_NON_SUPPORT_SCHEME is passed.
  cmake -S "$SRC/curl" -B "$BUILD/curl" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$PREFIX" \
    -DBUILD_CURL_EXE=OFF -DBUILD_SHARED_LIBS=OFF -DBUILD_TESTING=OFF -DENABLE_MANUAL=OFF \
    -DCURL_ENABLE_SSL=OFF -DCURL_USE_OPENSSL=OFF -DCURL_USE_SCHANNEL=OFF -DCURL_WINDOWS_SSPI=OFF \
    -DCURL_USE_LIBPSL=OFF -DCURL_USE_LIBSSH2=OFF -DCURL_USE_LIBSSH=OFF -DUSE_LIBIDN2=OFF -DUSE_WIN32_IDN=OFF \
    -DUSE_NGHTTP2=OFF -DCURL_ZLIB=OFF -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF -DENABLE_UNIX_SOCKETS=OFF \
    -DENABLE_THREADED_RESOLVER=OFF -DUSE_WIN32_LDAP=OFF -DPICKY_COMPILER=OFF "${d[@]}"
  cmake --build "$BUILD/curl" -j"$JOBS"
  cmake --install "$BUILD/curl"
  test -f "$PREFIX/lib/libcurl.a"
  # consumers must compile with -DCURL_STATICLIB (CURL::libcurl sets it)
}

step_gtest() {
  rm -rf "$BUILD/gtest"
  cmake -S /usr/src/googletest -B "$BUILD/gtest" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$PREFIX" \
    -DBUILD_SHARED_LIBS=OFF -DBUILD_GMOCK=ON -DINSTALL_GTEST=ON
  cmake --build "$BUILD/gtest" -j"$JOBS"
  cmake --install "$BUILD/gtest"
}

T0=$(date +%s)
echo "=== run $(date -Is) JOBS=$JOBS" >> "$TIMINGS"
run_step 1-apt        step_apt
run_step 1-toolchain  step_toolchain
run_step 1-wineprefix step_wineprefix
run_step 2-zstd       step_zstd
run_step 2-openssl35  step_openssl
run_step 2-libarchive step_libarchive
run_step 2-curl       step_curl
[ "$WITH_GTEST" = 1 ] && run_step 2-gtest step_gtest
echo "total $(( $(date +%s) - T0 ))s" | tee -a "$TIMINGS"
log "done; prefix: $PREFIX ($(du -sh "$PREFIX" | cut -f1))"
