#!/bin/bash
# Installs what the builds and tests need, where missing, in one apt
# transaction without Recommends, simulated with package lists of its own and
# printed before any change; at the end it says what lasts besides packages.
# Run again, it does nothing. A plan that takes packages older than apt's
# candidates (see install_decision) goes on only with QUELT_ALLOW_DOWNGRADE=1
# in the environment; --dry-run prints the plan and changes nothing.
#
#   scripts/bootstrap.sh [--dry-run] run    MinGW-w64, Wine whole with its 32-bit half
#                               (and qemu-i386 where the kernel runs no 32-bit code)
#   scripts/bootstrap.sh [--dry-run] test   that, and what every build and test needs
set -euo pipefail

RUN_PACKAGES=(cmake make python3 g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64 wine wine64
    wine64-preloader wine32:i386 wine32-preloader:i386)
TEST_PACKAGES=(g++ googletest libgtest-dev libgmock-dev clang-14 libclang-rt-14-dev llvm-14 clang-tidy-14
    clang-format-14 cppcheck python3-pytest python3-pytest-xdist python3-pytest-rerunfailures)
WINE32_LOADER=/usr/lib/wine/wine
BINFMT=/proc/sys/fs/binfmt_misc
# i386 ELF executables to qemu-i386; F: opened now, it works in any mount namespace.
QEMU_I386_ENTRY=':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386:F'
# The smallest i386 program, in base64: an ELF header, one loadable segment
# and "xor ebx,ebx; xor eax,eax; inc eax; int 0x80", which is exit(0).
I386_EXIT0=f0VMRgEBAQAAAAAAAAAAAAIAAwABAAAAVIAECDQAAAAAAAAAAAAAADQAIAABAAAAAAAAAAEAAAAAAAAAAIAECACABAhbAAAAWwAAAAUAAAAAEAAAMdsxwEDNgA==
# What apt run through sudo must see as the plan did; sudo's env_reset drops it.
PASSED_TO_APT=(http_proxy https_proxy ftp_proxy no_proxy HTTP_PROXY HTTPS_PROXY FTP_PROXY NO_PROXY)
say() { echo "bootstrap: $*"; }
fail() { echo "bootstrap: $*" >&2; exit 1; }

# --- Decisions on the answers of apt and the kernel (tests/bootstrap/) -------
# After "apt-get install": STATUS is its exit status, ANSWER its output
# (LC_ALL=C), HELD what in it multiarch holds, not pinned yet (unmatched_twins,
# too_new_for_held). Multiarch wants a library at one version on both
# architectures; where the suites lack the i386 build of an amd64 version
# (the security suite may carry the amd64 build first) the resolver gives up,
# which calls for a pin, or a wider one; anything else is apt's to explain.
#   prints: ok | pin | stop
install_decision() {
    local status=$1 answer=$2 held=$3
    if [ "$status" -eq 0 ]; then echo ok
    elif [ -n "$held" ] &&
        grep -q '^The following packages have unmet dependencies:' "$answer" &&
        ! grep -v -e 'E: Unable to correct problems, you have held broken packages\.' \
            -e 'E: Error, pkgProblemResolver::Resolve generated breaks' "$answer" | grep -q '^E: '; then
        echo pin
    else echo stop; fi
}

# The packages of apt's answer that need a newer version of a package than
# the one to be installed, which is held: "X : Depends: Y (>= V) but W is to
# be installed" with W older than V, X with no architecture.
too_new_for_held() {
    awk '/^ [^ ]+ : / { package = $1; sub(/:.*/, "", package) }
        / \([<>=]+ [^)]+\) but [^ ]+ is to be installed$/ {
            v = $0; sub(/.* \([<>=]+ /, "", v); sub(/\).*/, "", v); print package, v, $(NF - 4) }' "$1" |
        while read -r package v w; do ! dpkg --compare-versions "$w" lt "$v" || echo "$package"; done | sort -u
}

# The i386 packages that apt's answer could not install: twins that may not match.
unmet_i386_packages() {
    grep -Eo '[^ (]+:i386 (\([^)]*\) )?but it is not (installable|going to be installed)' "$1" |
        sed 's/:i386 .*//' | sort -u
}

# On i386 executables, from running a tiny one: STATUS and MESSAGE are what
# bash said (LC_ALL=C). Only the kernel's "Exec format error" (ENOEXEC) means
# that it runs no 32-bit code, which qemu-i386 can stand in for.
#   prints: native | qemu | unknown
i386_exec_decision() {
    if [ "$1" -eq 0 ]; then echo native
    elif [[ $2 == *"Exec format error"* ]]; then echo qemu
    else echo unknown; fi
}

# The changes in an "apt-get -s install" answer, one a line:
#   install NAME VERSION | upgrade NAME OLD NEW | downgrade NAME OLD NEW | remove NAME OLD
simulated_changes() {
    local word name rest old new inst='^(\[([^]]+)\] )?\(([^ ]+)' remv='^\[([^]]+)\]'
    while read -r word name rest; do
        if [ "$word" = Remv ] && [[ $rest =~ $remv ]]; then
            echo "remove $name ${BASH_REMATCH[1]}"
        elif [ "$word" = Inst ] && [[ $rest =~ $inst ]]; then
            old=${BASH_REMATCH[2]} new=${BASH_REMATCH[3]}
            if [ -z "$old" ]; then echo "install $name $new"
            elif dpkg --compare-versions "$new" lt "$old"; then echo "downgrade $name $old $new"
            else echo "upgrade $name $old $new"; fi
        fi
    done <"$1"
}

# The changes of CHANGES that take a version older than apt's candidate
# (CANDIDATES: "NAME VERSION" a line), with that candidate, and the removals.
older_than_candidate() {
    local word name old new candidate && declare -A candidates
    while read -r name candidate; do candidates[$name]=$candidate; done <"$2"
    while read -r word name old new; do
        candidate=${candidates[$name]:-}
        [ "$word" != remove ] || { echo "remove $name $old" && continue; }
        [ -z "$candidate" ] || ! dpkg --compare-versions "${new:-$old}" lt "$candidate" ||
            echo "$word $name $old${new:+ $new} $candidate"
    done <"$1"
}

# --- The machine ------------------------------------------------------------
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
# Runs the tiny i386 program: the decision; what bash said in $work/exec.txt.
probe_i386_exec() {
    local status=0
    base64 -d <<<"$I386_EXIT0" >"$work/i386-exit0" && chmod +x "$work/i386-exit0"
    (export LC_ALL=C; "$work/i386-exit0") >"$work/exec.txt" 2>&1 || status=$?
    echo "exit status $status" >>"$work/exec.txt"
    i386_exec_decision "$status" "$(cat "$work/exec.txt")"
}

# The packages of apt's ANSWER whose amd64 side, at the version installed
# (or else its candidate), has no i386 build in the plan's lists.
unmatched_twins() {
    local name version
    for name in $(unmet_i386_packages "$1"); do
        version=$(apt-cache "${plan[@]}" policy "$name:$native" 2>/dev/null | awk '
            ($1 == "Installed:" || $1 == "Candidate:") && $2 != "(none)" { print $2; exit }')
        [ -z "$version" ] || apt-cache "${plan[@]}" policy "$name:i386" 2>/dev/null |
            awk -v v="$version" '$1 == v || ($1 == "***" && $2 == v) { found = 1 } END { exit !found }' ||
            echo "$name"
    done
}

# apt-get as the person who runs bootstrap (the plan) or as root (changes).
user_apt() { env "${apt_env[@]}" apt-get "$@"; }
root_apt() { "${as_root[@]}" env "${apt_env[@]}" apt-get "$@"; }
lasts() { changed+=("$1"); lasting+=("$1"); } # a change that outlasts bootstrap, besides packages
so_far() { local IFS=';'; if [ ${#changed[@]} -eq 0 ]; then echo "nothing was changed"; else echo "changed so far:${changed[*]/#/ }"; fi; }

# apt-get update by WHO (user or root), or stop; --error-on=any: on any failed download.
apt_update() {
    local who=$1 && shift
    "${who}_apt" -q "$@" update --error-on=any >"$work/update.txt" 2>&1 && return
    grep -E '^(E|W|Err):' "$work/update.txt" >&2 || cat "$work/update.txt" >&2
    fail "apt-get update failed (apt's messages above); $(so_far)"
}

simulate() { # the transaction on the plan's lists: apt's answer, and $status
    status=0 && user_apt -s --no-install-recommends "${plan[@]}" "$@" install "${packages[@]}" >"$work/answer.txt" 2>&1 || status=$?
}
refused() {
    grep -E '^(E:|W:|N:| )|unmet dependencies' "$work/answer.txt" >&2 || cat "$work/answer.txt" >&2
    fail "apt cannot install ${packages[*]}$1 (apt's answer above); nothing was changed"
}

# The plan: the transaction simulated with i386 an architecture already, on
# the machine's dpkg status; its changes in $work/changes, those that need
# consent in $work/consent. Where multiarch holds packages, again with them
# pinned at Debian's main suite and its updates, while apt names more.
plan_transaction() {
    local round held names
    say "reading the package lists of the configured suites into $work (the machine's own are left as they are)"
    mkdir -p "$work/lists/partial" "$work/cache/archives/partial"
    # apt downloads as the user _apt, which must be able to write there.
    [ "$(id -u)" -ne 0 ] || ! id _apt >/dev/null 2>&1 ||
        { chmod go+x "$work" && chown _apt "$work/lists/partial" "$work/cache/archives/partial"; }
    plan=(-o "Dir::State::Lists=$work/lists" -o "Dir::Cache=$work/cache"
        -o "APT::Architectures::=$native" -o APT::Architectures::=i386)
    apt_update user "${plan[@]}"
    for round in 1 2 3 4 5 6; do
        simulate "${pin[@]}"
        held=$({ unmatched_twins "$work/answer.txt"; too_new_for_held "$work/answer.txt"; } | sort -u | comm -23 - "$work/pinned")
        case $(install_decision "$status" "$work/answer.txt" "$held") in
        ok) break ;;
        stop) refused "${pin[*]:+ with $(wc -l <"$work/pinned") packages pinned}" ;;
        esac
        sort -u -o "$work/pinned" - "$work/pinned" <<<"$held"
        names=$(sed 's/$/:any/' "$work/pinned" | paste -s -d' ')
        printf 'Package: %s\nPin: release o=Debian,n=%s\nPin-Priority: 1001\n\n' \
            "$names" "$codename" "$names" "$codename-updates" >"$work/preferences"
        pin=(-o "Dir::Etc::Preferences=$work/preferences" --allow-downgrades)
    done
    [ "$status" -eq 0 ] || refused " with $(wc -l <"$work/pinned") packages pinned, after $round rounds"
    simulated_changes "$work/answer.txt" >"$work/changes"
    [ ${#pin[@]} -eq 0 ] || awk '$1 != "remove" { print $2 }' "$work/changes" | xargs apt-cache "${plan[@]}" policy |
        awk '/^[^ ].*:$/ { name = substr($0, 1, length($0) - 1) } $1 == "Candidate:" { print name, $2 }' >"$work/candidates"
    older_than_candidate "$work/changes" "$work/candidates" >"$work/consent"
}

# The changes that need consent as printed, with apt's candidates (unpinned).
listed() {
    awk '$1 == "remove" { print "    remove " $2 " " $3 }
        $1 == "install" { print "    install " $2 " " $3 " (apt'\''s candidate " $4 ")" }
        $1 ~ /grade$/ { print "    " $1 " " $2 " " $3 " -> " $4 " (apt'\''s candidate " $5 ")" }' "$1"
}
print_plan() {
    [ $add_i386 -eq 0 ] || echo "    add the architecture i386 (dpkg --add-architecture i386)"
    [ ! -s "$work/pinned" ] || { echo "    with these packages pinned at Debian's $codename and $codename-updates, as multiarch holds them:"
        paste -s -d' ' "$work/pinned" | fmt -w 74 | sed 's/^/      /'; }
    if [ ${#packages[@]} -gt 0 ]; then
        echo "    apt-get update; apt-get install --no-install-recommends ${packages[*]}; apt works that out as:"
        echo "    install $(grep -c '^install ' "$work/changes") packages:"
        awk '$1 == "install" { print $2 "=" $3 }' "$work/changes" | fmt -w 74 | sed 's/^/      /'
        awk '$1 == "upgrade" { print "    upgrade " $2 " " $3 " -> " $4 }' "$work/changes"
    fi
    [ ${#binfmt[@]} -eq 0 ] || echo "    write to ${binfmt[0]}, until the machine restarts: ${binfmt[1]}"
}

# The packages taken older than apt's candidates, and the removals; then
# stops (a dry run only says so) unless the person agreed to them.
require_consent() {
    [ -s "$work/consent" ] || return 0
    say "these packages come at versions older than apt's candidates, without their fixes, as multiarch holds them there, or go:" >&2
    listed "$work/consent" >&2
    [ "${QUELT_ALLOW_DOWNGRADE:-}" != 1 ] || { say "QUELT_ALLOW_DOWNGRADE=1: going on with them"; return 0; }
    [ "$1" -eq 0 ] || { say "without QUELT_ALLOW_DOWNGRADE=1 in the environment it would stop before them"; return 0; }
    fail "stopped before changing anything; to agree, run again with QUELT_ALLOW_DOWNGRADE=1 in the environment."
}

check_wine32() { # 32-bit Wine starts, or its message, and stop
    local out
    ! installed wine32:i386 || out=$("$WINE32_LOADER" --version 2>&1) ||
        fail "32-bit Wine does not start: $WINE32_LOADER --version said: $out; $(so_far)"
}

# The changes as planned, each told in so_far's message should a later one fail.
make_changes() {
    if [ $add_i386 -eq 1 ]; then
        "${as_root[@]}" dpkg --add-architecture i386 || fail "dpkg --add-architecture i386 failed; $(so_far)"
        lasts "the architecture i386 added"
    fi
    if [ ${#packages[@]} -gt 0 ]; then
        apt_update root
        changed+=("the machine's package lists updated")
        status=0
        root_apt -q -y --no-install-recommends "${pin[@]}" install "${packages[@]}" 2>&1 | tee "$work/install.txt" || status=${PIPESTATUS[0]}
        [ "$status" -eq 0 ] || { echo "bootstrap: apt's errors:" >&2
            grep -E '^(E: |W: |dpkg: error)' "$work/install.txt" >&2 || tail -n 5 "$work/install.txt" >&2
            fail "apt-get install failed, and apt may have changed packages before it stopped; to mend, run as root: apt-get -f install; $(so_far)"; }
        changed+=("${packages[*]} installed")
    fi
    if [ ${#binfmt[@]} -gt 0 ]; then
        if [ ! -e $BINFMT/register ]; then
            "${as_root[@]}" mount -t binfmt_misc binfmt_misc $BINFMT || fail "cannot mount binfmt_misc; $(so_far)"
            lasts "binfmt_misc mounted on $BINFMT (until the machine restarts)"
        fi
        printf '%s' "${binfmt[1]}" | "${as_root[@]}" tee "${binfmt[0]}" >/dev/null ||
            fail "cannot write to ${binfmt[0]}; $(so_far)"
        lasts "binfmt_misc ${binfmt[2]} (until the machine restarts)"
    fi
    check_wine32
}

main() {
    local dry_run=0 kind=test arg id codename var package wanted=("${RUN_PACKAGES[@]}")
    for arg; do case $arg in --dry-run) dry_run=1 ;; run | test) kind=$arg ;; *) fail "usage: $0 [--dry-run] [run|test]" ;; esac; done
    # shellcheck disable=SC1091 # the machine's, read as it is
    read -r id codename < <(. /etc/os-release && echo "${ID:-none} ${VERSION_CODENAME:-}") || true
    [ "${id:-}" = debian ] && [ -n "${codename:-}" ] ||
        fail "this is not a Debian release (ID ${id:-unknown} in /etc/os-release), and bootstrap knows only Debian's packages"
    native=$(dpkg --print-architecture)
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    changed=() lasting=() pin=() binfmt=() packages=() add_i386=0 as_root=()
    [ "$(id -u)" -eq 0 ] || as_root=(sudo)
    apt_env=(LC_ALL=C DEBIAN_FRONTEND=noninteractive)
    for var in "${PASSED_TO_APT[@]}"; do [ -z "${!var:-}" ] || apt_env+=("$var=${!var}"); done
    # What is missing.
    [ "$kind" = run ] || wanted+=("${TEST_PACKAGES[@]}")
    for package in "${wanted[@]}"; do installed "$package" || packages+=("$package"); done
    [[ " ${packages[*]}" != *:i386* ]] || dpkg --print-foreign-architectures | grep -qx i386 || add_i386=1
    case $(probe_i386_exec) in
    qemu)
        installed qemu-user || packages+=(qemu-user)
        binfmt=("$BINFMT/register" "$QEMU_I386_ENTRY" "entry qemu-i386 registered")
        [ ! -e $BINFMT/qemu-i386 ] || binfmt=("$BINFMT/qemu-i386" 1 "entry qemu-i386 enabled")
        ;;
    unknown) say "cannot tell whether this kernel runs i386 programs, so qemu-i386 is left alone: running one said:"
        sed 's/^/    /' "$work/exec.txt" ;;
    esac
    if [ ${#packages[@]} -eq 0 ] && [ ${#binfmt[@]} -eq 0 ]; then
        say "nothing to do" && [ $dry_run -eq 1 ] || check_wine32
        exit 0
    fi
    if [ $dry_run -eq 0 ] && [ ${#as_root[@]} -gt 0 ]; then
        command -v sudo >/dev/null || fail "this user is not root and there is no sudo: run as root, or install sudo"
        sudo -v || fail "sudo refused: run as root, or as a user whom sudo lets run apt-get"
    fi

    touch "$work/changes" "$work/pinned" "$work/candidates" "$work/consent"
    [ ${#packages[@]} -eq 0 ] || plan_transaction
    say "the changes$([ $dry_run -eq 0 ] || echo " it would make"):" && print_plan
    require_consent $dry_run
    [ $dry_run -eq 0 ] || { say "dry run: nothing was changed"; exit 0; }
    make_changes

    say "done; installed, with what they need: ${packages[*]:-nothing}"
    [ ${#lasting[@]} -gt 0 ] || [ -s "$work/consent" ] || return 0
    say "what lasts besides the installed packages:"
    [ ${#lasting[@]} -eq 0 ] || printf '    %s\n' "${lasting[@]}"
    listed "$work/consent"
    say "README.md, \"Undoing the set-up\", says how to take these back."
}

# Sourced by the tests for the decisions above; run, it does the work.
[ "${BASH_SOURCE[0]}" != "$0" ] || main "$@"
