#!/usr/bin/env bash
# Prepares a Debian 12 machine (as root) to build and test the project:
# installs the packages and builds, once, the static OpenSSL + libssh2 that the
# Windows build links (and a native libssh2 for host-side tests) into a cache
# outside the checkout (see scripts/lib/deps.sh). Safe to rerun; a warm rerun
# does no apt or build work.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(dirname "$here")
# shellcheck source=scripts/lib/deps.sh
. "$here/lib/deps.sh"

if [ "$(id -u)" -ne 0 ]; then
    echo "setup.sh: must run as root" >&2
    exit 1
fi

export DEBIAN_FRONTEND=noninteractive
# Wait for another apt/dpkg run instead of failing on its lock.
apt_opts=(-q -o DPkg::Lock::Timeout=900)
# Builds below must see only the toolchains named here.
unset CFLAGS CXXFLAGS CPPFLAGS LDFLAGS CC CXX AR RANLIB RC CROSS_COMPILE

packages=(
    mingw-w64 g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix
    binutils-mingw-w64-x86-64 cmake make ninja-build perl dpkg-dev wine64 wine
    fonts-dejavu-core xvfb xauth xdotool imagemagick x11-utils openssh-server
    openssh-client python3 libssl-dev g++ libgtest-dev googletest pkg-config
    ca-certificates sqlite3 sshpass clang-14 libclang-rt-14-dev
    libz-mingw-w64-dev zlib1g-dev libarchive-dev nlohmann-json3-dev locales
    mariadb-server mariadb-client postgresql postgresql-client
    dropbear-bin csh tcsh zsh fish mksh ksh busybox libarchive-tools rsync
    age util-linux restic ccache
)
src_list=/etc/apt/sources.list.d/tesmora-src.sources

log() { echo "setup.sh: $*" >&2; }

missing_packages() {
    local installed
    installed=$(dpkg-query -W -f='${db:Status-Abbrev} ${Package}\n' "${packages[@]}" 2>/dev/null |
        awk '$1 == "ii" { print $2 }')
    local p
    for p in "${packages[@]}"; do
        grep -qxF "$p" <<<"$installed" || echo "$p"
    done
}

# True when some source entry (ours or the admin's) covers trixie sources.
# shellcheck disable=SC2016 # $(...) are apt's format fields
have_trixie_src() {
    apt-get indextargets --no-release-info --format '$(IDENTIFIER) $(RELEASE)' |
        grep -qx 'Sources trixie'
}

# True when the trixie Sources index has actually been downloaded.
# shellcheck disable=SC2016
have_trixie_src_index() {
    apt-get indextargets --format '$(IDENTIFIER) $(CODENAME)' | grep -qx 'Sources trixie'
}

setup_apt() {
    local need_update=0 missing
    if ! have_trixie_src; then
        log "adding deb-src entries for bookworm and trixie"
        cat >"$src_list.tmp" <<'EOF'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm trixie
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
        mv "$src_list.tmp" "$src_list"
        need_update=1
    fi
    missing=$(missing_packages)
    if [ -n "$missing" ] || ! compgen -G '/var/lib/apt/lists/*_Packages*' >/dev/null; then
        need_update=1
    fi
    if [ "$need_update" = 1 ]; then
        apt-get "${apt_opts[@]}" update
    fi
    if [ -n "$missing" ]; then
        # shellcheck disable=SC2086
        apt-get "${apt_opts[@]}" install -y --no-install-recommends $missing
    fi
}

# fetch_source PACKAGE VERSION... : unpacks the first version that downloads
# into the current (empty) directory and echoes that version.
fetch_source() {
    local pkg=$1 v
    shift
    for v in "$@"; do
        log "fetching source $pkg=$v"
        if apt-get "${apt_opts[@]}" source --only-source "$pkg=$v" >&2; then
            echo "$v"
            return 0
        fi
        log "source $pkg=$v did not download, trying the next version"
        find . -mindepth 1 -delete
    done
    log "no source of $pkg could be downloaded (tried: $*)"
    return 1
}

# candidate_versions PACKAGE UPSTREAM_GLOB PREFERRED... : the preferred versions
# plus those the index lists matching the glob, newest first, without repeats.
candidate_versions() {
    local pkg=$1 glob=$2
    shift 2
    {
        printf '%s\n' "$@"
        apt-cache showsrc --only-source "$pkg" 2>/dev/null | sed -n 's/^Version: //p'
    } | while read -r v; do
        # shellcheck disable=SC2053 # $glob is a pattern on purpose
        if [[ -n $v && ${v%%-*} == $glob ]]; then echo "$v"; fi
    done | sort -u | sort -rV
}

# The single directory apt-get source unpacked here.
unpacked_dir() {
    find . -mindepth 1 -maxdepth 1 -type d | head -n 1
}

# Rewrites the staging path to the final one in installed text files (cmake and
# pkg-config files name the install prefix).
fix_prefix_paths() {
    local stage=$1 final=$2 f
    # (grep finds nothing in a prefix of libraries and headers only)
    { grep -rlIF "$stage" "$stage" 2>/dev/null || true; } | while read -r f; do
        sed -i "s|$stage|$final|g" "$f"
    done
}

ensure_sources_index() {
    if ! have_trixie_src_index; then
        apt-get "${apt_opts[@]}" update
    fi
}

# The project's own changes to the distribution's libssh2 (scripts/patches/).
apply_libssh2_patches() {
    local patch
    for patch in "$repo"/scripts/patches/libssh2-*.patch; do
        log "applying $(basename "$patch")"
        patch -p1 --forward --batch <"$patch" >&2
    done
}

build_mingw() {
    local final=$1 stage=$2 work=$3 ossl_ver ssh_ver
    ensure_sources_index

    mkdir -p "$work/openssl" "$work/libssh2" "$stage/include/openssl" "$stage/lib"
    # shellcheck disable=SC2046,SC2086
    ossl_ver=$(cd "$work/openssl" && fetch_source openssl \
        $(candidate_versions openssl "$TESMORA_OPENSSL_SERIES.*" $TESMORA_OPENSSL_VERSIONS))
    # shellcheck disable=SC2046,SC2086
    ssh_ver=$(cd "$work/libssh2" && fetch_source libssh2 \
        $(candidate_versions libssh2 "$TESMORA_LIBSSH2_UPSTREAM" $TESMORA_LIBSSH2_VERSIONS))

    log "building OpenSSL $ossl_ver for MinGW (several minutes)"
    (
        cd "$work/openssl/$(cd "$work/openssl" && unpacked_dir)"
        # CC is appended to the cross prefix: x86_64-w64-mingw32-gcc-posix.
        # The prefix is only baked into unused default paths; we copy files.
        # shellcheck disable=SC2086
        CC=gcc-posix CXX=g++-posix ./Configure mingw64 $TESMORA_OPENSSL_OPTIONS \
            --cross-compile-prefix=x86_64-w64-mingw32- --prefix="$final" --libdir=lib
        make -j"$(nproc)" build_generated
        make -j"$(nproc)" libcrypto.a
        cp include/openssl/*.h "$stage/include/openssl/"
        cp libcrypto.a "$stage/lib/"
    )

    log "building libssh2 $ssh_ver for MinGW"
    (
        cd "$work/libssh2/$(cd "$work/libssh2" && unpacked_dir)"
        apply_libssh2_patches
        cmake -S . -B build-mingw -G Ninja \
            -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64-x86_64.cmake" \
            -DTESMORA_MINGW_PREFIX="$stage" \
            -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$stage" \
            -DCRYPTO_BACKEND=OpenSSL -DBUILD_SHARED_LIBS=OFF -DBUILD_STATIC_LIBS=ON \
            -DBUILD_EXAMPLES=OFF -DBUILD_TESTING=OFF -DENABLE_ZLIB_COMPRESSION=OFF \
            -DOPENSSL_USE_STATIC_LIBS=TRUE -DOPENSSL_ROOT_DIR="$stage" \
            -DOPENSSL_INCLUDE_DIR="$stage/include" \
            -DOPENSSL_CRYPTO_LIBRARY="$stage/lib/libcrypto.a" \
            -DLIB_EAY="$stage/lib/libcrypto.a"
        cmake --build build-mingw
        cmake --install build-mingw
    )
    # (no grep -q: its early exit would fail the pipe under pipefail)
    x86_64-w64-mingw32-nm "$stage/lib/libssh2.a" | grep ' T libssh2_session_handshake$'

    cat >"$stage/STAMP" <<EOF
openssl $ossl_ver (Debian source, static libcrypto only)
libssh2 $ssh_ver (Debian source, static; patches: $(cd "$repo/scripts/patches" && echo libssh2-*.patch))
compiler $($TESMORA_MINGW_CC --version | head -n 1)
openssl-options $(tr -s ' \n' '  ' <<<"$TESMORA_OPENSSL_OPTIONS")
deps-rev $TESMORA_DEPS_REV
built $(date -u +%Y-%m-%dT%H:%M:%SZ)
EOF
}

build_native() {
    local final=$1 stage=$2 work=$3 ssh_ver
    ensure_sources_index

    mkdir -p "$work/libssh2"
    # shellcheck disable=SC2046,SC2086
    ssh_ver=$(cd "$work/libssh2" && fetch_source libssh2 \
        $(candidate_versions libssh2 "$TESMORA_LIBSSH2_UPSTREAM" $TESMORA_LIBSSH2_VERSIONS))

    log "building libssh2 $ssh_ver natively"
    (
        cd "$work/libssh2/$(cd "$work/libssh2" && unpacked_dir)"
        apply_libssh2_patches
        # PIC so sanitizer, fuzzer and shared builds can link it too.
        cmake -S . -B build-native -G Ninja \
            -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$stage" \
            -DCMAKE_POSITION_INDEPENDENT_CODE=ON \
            -DCRYPTO_BACKEND=OpenSSL -DBUILD_SHARED_LIBS=OFF -DBUILD_STATIC_LIBS=ON \
            -DBUILD_EXAMPLES=OFF -DBUILD_TESTING=OFF -DENABLE_ZLIB_COMPRESSION=OFF
        cmake --build build-native
        cmake --install build-native
    )
    nm "$stage/lib/libssh2.a" | grep ' T libssh2_session_handshake$'

    cat >"$stage/STAMP" <<EOF
libssh2 $ssh_ver (Debian source, static, PIC, system OpenSSL $(dpkg-query -W -f='${Version}' libssl-dev); patches: $(cd "$repo/scripts/patches" && echo libssh2-*.patch))
compiler $(gcc --version | head -n 1)
deps-rev $TESMORA_DEPS_REV
built $(date -u +%Y-%m-%dT%H:%M:%SZ)
EOF
}

build_mingw_archive() {
    local final=$1 stage=$2 work=$3 version
    ensure_sources_index

    mkdir -p "$work/libarchive"
    # shellcheck disable=SC2046,SC2086
    version=$(cd "$work/libarchive" && fetch_source libarchive \
        $(candidate_versions libarchive "$TESMORA_LIBARCHIVE_UPSTREAM" $TESMORA_LIBARCHIVE_VERSIONS))

    log "building libarchive $version for MinGW"
    (
        cd "$work/libarchive/$(cd "$work/libarchive" && unpacked_dir)"
        # Only the reader's core is needed: no tools, codecs, crypto or ACLs.
        local off=() option
        for option in TAR CPIO CAT UNZIP TEST OPENSSL MBEDTLS NETTLE LIBB2 LZ4 LZO LZMA ZSTD BZip2 LIBXML2 \
            EXPAT PCREPOSIX PCRE2POSIX CNG ICONV ACL XATTR WIN32_XMLLITE; do
            off+=("-DENABLE_$option=OFF")
        done
        cmake -S . -B build-mingw -G Ninja \
            -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64-x86_64.cmake" \
            -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$stage" \
            -DBUILD_SHARED_LIBS=OFF "${off[@]}" \
            -DZLIB_LIBRARY=/usr/x86_64-w64-mingw32/lib/libz.a -DZLIB_INCLUDE_DIR=/usr/x86_64-w64-mingw32/include
        cmake --build build-mingw --target archive_static
        mkdir -p "$stage/lib" "$stage/include"
        cp "$(find build-mingw -name 'libarchive*.a' | head -n 1)" "$stage/lib/libarchive.a"
        cp libarchive/archive.h libarchive/archive_entry.h "$stage/include/"
    )
    x86_64-w64-mingw32-nm "$stage/lib/libarchive.a" | grep ' T archive_read_next_header$'

    cat >"$stage/STAMP" <<EOF
libarchive $version (Debian source, static, tar reader core)
compiler $($TESMORA_MINGW_CC --version | head -n 1)
deps-rev $TESMORA_DEPS_REV
built $(date -u +%Y-%m-%dT%H:%M:%SZ)
EOF
}

# ensure_prefix FINAL BUILD_FUNCTION : builds into a staging folder beside FINAL
# and renames it into place, so FINAL is either absent or complete. The build's
# output goes to a log that ends up in FINAL/build.log.
ensure_prefix() {
    local final=$1 build=$2 name stage work
    tesmora_prefix_ready "$final" && return 0
    name=$(basename "$final")
    stage="$TESMORA_CACHE/.stage-$name-$$"
    work="$TESMORA_CACHE/.work-$name-$$"
    build_log="$TESMORA_CACHE/.log-$name-$$"
    rm -rf "$stage" "$work"
    mkdir -p "$stage" "$work"
    log "building $name (log: $build_log)"
    # A subshell, not "|| handler": set -e must stay in force inside the build.
    ("$build" "$final" "$stage" "$work" >"$build_log" 2>&1)
    fix_prefix_paths "$stage" "$final"
    mv "$build_log" "$stage/build.log"
    build_log=
    rm -rf "$final" # an incomplete leftover without STAMP
    mv "$stage" "$final"
    rm -rf "$work"
    log "ready: $final"
}

on_exit() {
    local rc=$?
    rm -rf "$TESMORA_CACHE"/.stage-*-$$ "$TESMORA_CACHE"/.work-*-$$
    if [ "$rc" -ne 0 ] && [ -n "$build_log" ] && [ -f "$build_log" ]; then
        tail -n 40 "$build_log" >&2
        log "build failed; full log: $build_log"
    fi
}

setup_apt
# The unit tests also run under Wine as a Russian Windows; Wine needs the
# matching Unix locale to map Cyrillic file names.
if ! locale -a 2>/dev/null | grep -qx 'ru_RU.utf8'; then
    localedef -i ru_RU -f UTF-8 ru_RU.UTF-8
fi
# Installing csh makes BSD csh /bin/csh; put tcsh, the usual Linux csh, back.
# The test accounts name /bin/bsd-csh and /bin/tcsh themselves.
if [ "$(readlink -f /bin/csh)" != "$(readlink -f /bin/tcsh)" ]; then
    update-alternatives --set csh /bin/tcsh
fi

mingw_prefix=$(tesmora_mingw_prefix)
native_prefix=$(tesmora_native_prefix)
archive_prefix=$(tesmora_mingw_archive_prefix)
if tesmora_prefix_ready "$mingw_prefix" && tesmora_prefix_ready "$native_prefix" &&
    tesmora_prefix_ready "$archive_prefix"; then
    exit 0
fi

mkdir -p "$TESMORA_CACHE"
# One builder at a time; a second run waits here, then finds the prefixes ready.
exec 9>"$TESMORA_CACHE/.lock"
flock 9
# Holding the lock, any staging or work folder is a leftover of a killed run.
rm -rf "$TESMORA_CACHE"/.stage-* "$TESMORA_CACHE"/.work-* "$TESMORA_CACHE"/.log-*
build_log=
trap on_exit EXIT

ensure_prefix "$mingw_prefix" build_mingw
ensure_prefix "$native_prefix" build_native
ensure_prefix "$archive_prefix" build_mingw_archive
