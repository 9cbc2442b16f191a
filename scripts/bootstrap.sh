#!/bin/bash
# Installs what the builds and tests need, where missing, and says what it
# did. Run again, it does nothing.
#
#   scripts/bootstrap.sh run    what running the tool under Wine needs:
#                               MinGW-w64, Wine with its 32-bit half, and
#                               qemu-i386 where the kernel runs no 32-bit code
#   scripts/bootstrap.sh test   that, and what every build and test needs
set -euo pipefail

RUN_PACKAGES=(
    cmake make python3
    g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64
    wine wine64
)
TEST_PACKAGES=(
    g++ googletest libgtest-dev libgmock-dev
    clang-14 libclang-rt-14-dev clang-tidy-14 clang-format-14 cppcheck
)
QEMU_I386=/proc/sys/fs/binfmt_misc/qemu-i386
# i386 ELF executables, to be run by qemu-i386. F: the kernel opens the
# interpreter now, so it works in any mount namespace later.
QEMU_I386_ENTRY=':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386:F'

case "${1:-test}" in
run) packages=("${RUN_PACKAGES[@]}") ;;
test) packages=("${RUN_PACKAGES[@]}" "${TEST_PACKAGES[@]}") ;;
*) echo "usage: $0 [run|test]" >&2; exit 2 ;;
esac

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive

installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

fail() {
    echo "bootstrap: $*" >&2
    exit 1
}

install_packages() {
    local missing=() package
    for package in "$@"; do
        installed "$package" || missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return
    echo "bootstrap: installing ${missing[*]}"
    "${sudo[@]}" apt-get update -qq
    "${sudo[@]}" apt-get install -y -qq "${missing[@]}"
}

# 32-bit Wine. Debian's security suite may carry newer amd64 builds of
# libraries whose i386 twins it does not (yet) have, and multiarch wants the
# same version on both: the install then fails in the resolver. The main
# suite and its updates always have both, so the second try takes wine32
# and what it needs from those two alone, pinned above the rest.
install_wine32() {
    installed wine32:i386 && return
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        echo "bootstrap: adding the i386 architecture"
        "${sudo[@]}" dpkg --add-architecture i386
    fi
    "${sudo[@]}" apt-get update -qq ||
        echo "bootstrap: warning: some package indexes failed to download; going on"
    if "${sudo[@]}" apt-get install -y -qq --no-install-recommends wine32:i386; then
        echo "bootstrap: installed wine32:i386 from the configured suites"
        return
    fi
    local uri work
    uri=$(awk '$1 == "URIs:" { print $2; exit }' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
    [ -n "$uri" ] || fail "wine32:i386 did not install, and no Debian URI in /etc/apt/sources.list.d/debian.sources to retry with"
    echo "bootstrap: wine32:i386 did not install; retrying from $uri bookworm and bookworm-updates only"
    work=$(mktemp -d)
    printf 'deb %s bookworm main\ndeb %s bookworm-updates main\n' "$uri" "$uri" >"$work/sources.list"
    printf 'Package: *\nPin: release n=%s\nPin-Priority: 1001\n\n' bookworm bookworm-updates >"$work/preferences"
    local only_main=(-o "Dir::Etc::SourceList=$work/sources.list" -o Dir::Etc::SourceParts=/dev/null
        -o "Dir::Etc::Preferences=$work/preferences" -o Dir::Etc::PreferencesParts=/dev/null)
    local status=0
    "${sudo[@]}" apt-get "${only_main[@]}" update -qq &&
        "${sudo[@]}" apt-get "${only_main[@]}" install -y -qq --allow-downgrades \
            --no-install-recommends wine32:i386 || status=$?
    rm -rf "$work"
    # Back to the machine's own package lists.
    "${sudo[@]}" apt-get update -qq ||
        echo "bootstrap: warning: some package indexes failed to download"
    [ $status -eq 0 ] || fail "wine32:i386 did not install from bookworm and bookworm-updates either"
    echo "bootstrap: installed wine32:i386 from bookworm and bookworm-updates"
}

# The 32-bit loader is an i386 executable. A kernel without 32-bit support
# refuses it ("Exec format error"); binfmt_misc can hand such executables to
# qemu-i386, which emulates the CPU. This lasts until the machine restarts.
runs_i386() {
    QEMU_RESERVED_VA=0x81000000 /usr/lib/wine/wine --version >/dev/null 2>&1
}

enable_i386() {
    runs_i386 && return
    echo "bootstrap: this kernel runs no 32-bit code: registering qemu-i386 for i386 executables"
    install_packages qemu-user
    [ -e /proc/sys/fs/binfmt_misc/register ] ||
        "${sudo[@]}" mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc ||
        fail "cannot mount binfmt_misc, so 32-bit Wine cannot run here"
    if [ -e $QEMU_I386 ]; then
        echo 1 | "${sudo[@]}" tee $QEMU_I386 >/dev/null
    else
        printf '%s' "$QEMU_I386_ENTRY" | "${sudo[@]}" tee /proc/sys/fs/binfmt_misc/register >/dev/null ||
            fail "cannot register qemu-i386 with binfmt_misc"
    fi
    runs_i386 || fail "32-bit Wine does not start, even under qemu-i386"
}

install_packages "${packages[@]}"
install_wine32
enable_i386
