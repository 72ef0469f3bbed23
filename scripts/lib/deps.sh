# shellcheck shell=bash
# Where the prebuilt third-party libraries live. Source this file; it only
# defines variables and functions and never builds or installs anything.
#
#   . scripts/lib/deps.sh
#   mingw=$(tesmora_mingw_prefix)    # static libcrypto + libssh2 for Windows
#   native=$(tesmora_native_prefix)  # static libssh2 (-fPIC) for the host
#   archive=$(tesmora_mingw_archive_prefix)  # static libarchive for Windows
#
# scripts/setup.sh builds them. A prefix is complete when it holds a STAMP file
# (tesmora_prefix_ready); it is renamed into place only after a full build.
#
# Cache key: the key must be known without downloading any source, so it names
# the OpenSSL series (not the exact Debian revision, which the archive keeps
# replacing), the libssh2 upstream version, the GCC version and a short hash of
# the compiler's --version output, the build options, the libssh2 patches and
# TESMORA_DEPS_REV.
# The exact Debian source versions used are recorded in the prefix's STAMP.
# Bump TESMORA_DEPS_REV when the build recipe in setup.sh changes.

: "${TESMORA_CACHE:=/var/cache/tesmora-build}"
export TESMORA_CACHE

export TESMORA_MINGW_CC=x86_64-w64-mingw32-gcc-posix
export TESMORA_MINGW_CXX=x86_64-w64-mingw32-g++-posix

TESMORA_DEPS_REV=1

# Debian source versions to try, newest first; setup.sh also tries any other
# matching version that `apt-cache showsrc` lists. 3.5.9-1~deb13u1 is in the
# index but its files answered 404 when last tried.
TESMORA_OPENSSL_SERIES=3.5
# shellcheck disable=SC2034 # used by setup.sh
TESMORA_OPENSSL_VERSIONS="3.5.9-1~deb13u1 3.5.7-1~deb13u2"
TESMORA_LIBSSH2_UPSTREAM=1.11.1
# shellcheck disable=SC2034
TESMORA_LIBSSH2_VERSIONS="1.11.1-1+deb13u2"
# libarchive reads the tar stream of the archives (zlib, from Debian's MinGW
# package, checks the gzip members); only its tar reader is used.
TESMORA_LIBARCHIVE_UPSTREAM=3.7.4
# shellcheck disable=SC2034
TESMORA_LIBARCHIVE_VERSIONS="3.7.4-4+deb13u1"

# Static libcrypto only, trimmed to what libssh2 uses: a full OpenSSL 3.5 build
# for MinGW costs twice the time. no-bf/no-cast/no-rc4 also stop libssh2 from
# offering ciphers that no-legacy would make fail at run time.
# no-autoload-config: the exe must never read a config file. scrypt stays:
# age passphrase files are sealed with it.
TESMORA_OPENSSL_OPTIONS="no-shared no-tests no-module no-legacy no-dso no-engine
 no-ui-console no-autoload-config no-bf no-cast no-rc4 no-idea no-seed no-md4
 no-mdc2 no-whirlpool no-rc2 no-rc5 no-sm2 no-sm3 no-sm4 no-aria no-camellia
 no-cms no-cmp no-ts no-ocsp no-ct no-srp no-http no-winstore no-ec2m no-gost
 no-comp no-quic no-dtls no-ssl no-tls"

# Echoes the first 8 hex digits of the SHA-256 of its arguments and stdin.
_tesmora_hash() {
    { printf '%s\n' "$@"; cat; } | sha256sum | cut -c1-8
}

# Echoes "gccMAJOR-HASH" for a compiler command ("nocc" if it is missing);
# the hash covers its --version output, TESMORA_DEPS_REV and any further args.
_tesmora_cc_tag() {
    local cc=$1 ver
    shift
    if ! ver=$("$cc" --version 2>/dev/null); then
        echo nocc
        return
    fi
    # major version: "12" for gcc, "12-posix" for the MinGW posix compiler
    printf 'gcc%s-%s\n' "$("$cc" -dumpfullversion 2>/dev/null | cut -d. -f1)" \
        "$(printf '%s\n' "$ver" | _tesmora_hash "$TESMORA_DEPS_REV" "$@")"
}

# The project's patches to libssh2 (scripts/patches/), as one text: a changed
# patch is a new cache entry.
_tesmora_libssh2_patches() {
    cat "$(dirname "${BASH_SOURCE[0]}")"/../patches/libssh2-*.patch 2>/dev/null | sha256sum | cut -c1-8
}

tesmora_mingw_prefix() {
    echo "$TESMORA_CACHE/mingw-openssl-$TESMORA_OPENSSL_SERIES-libssh2-$TESMORA_LIBSSH2_UPSTREAM-$(_tesmora_cc_tag "$TESMORA_MINGW_CC" "$TESMORA_OPENSSL_OPTIONS" "$(_tesmora_libssh2_patches)")"
}

tesmora_mingw_archive_prefix() {
    echo "$TESMORA_CACHE/mingw-libarchive-$TESMORA_LIBARCHIVE_UPSTREAM-$(_tesmora_cc_tag "$TESMORA_MINGW_CC")"
}

tesmora_native_prefix() {
    echo "$TESMORA_CACHE/native-libssh2-$TESMORA_LIBSSH2_UPSTREAM-$(_tesmora_cc_tag gcc "$(_tesmora_libssh2_patches)")"
}

# True when the prefix given was built completely.
tesmora_prefix_ready() {
    [ -f "$1/STAMP" ]
}

# Our own objects are cached too, outside the checkout, so a checkout built
# again compiles only what changed. Paths stay absolute: tests find their
# golden files beside their own source.
# Appends the CMake arguments to the array named generator.
tesmora_use_compiler_cache() {
    command -v ccache >/dev/null || return 0
    export CCACHE_DIR="$TESMORA_CACHE/ccache"
    export CCACHE_MAXSIZE=5G
    generator+=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
}
