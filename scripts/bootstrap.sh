#!/bin/bash
# Installs what the builds and tests need, where missing, in one apt
# transaction. It simulates that transaction first, with package lists of its
# own, prints it, and changes nothing before; at the end it says what lasts
# besides packages. Run again, it does nothing.
#
#   scripts/bootstrap.sh [--dry-run] run    MinGW-w64, Wine and its 32-bit half
#                               (and qemu-i386 where the kernel runs no 32-bit code)
#   scripts/bootstrap.sh [--dry-run] test   that, and what every build and test needs
#
# --dry-run prints the plan and changes nothing (it needs no root). Where
# wine32:i386 needs packages downgraded (see install_decision), it goes on
# only with QUELT_ALLOW_DOWNGRADE=1 in the environment.
set -euo pipefail

RUN_PACKAGES=(cmake make python3 g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64 wine wine64)
TEST_PACKAGES=(g++ googletest libgtest-dev libgmock-dev clang-14 libclang-rt-14-dev llvm-14 clang-tidy-14
    clang-format-14 cppcheck python3-pytest python3-pytest-xdist python3-pytest-rerunfailures)
WINE32_LOADER=/usr/lib/wine/wine
BINFMT=/proc/sys/fs/binfmt_misc
# i386 ELF executables, to be run by qemu-i386. F: the kernel opens the
# interpreter now, so it works in any mount namespace later.
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
# (LC_ALL=C), TWINS the amd64 packages whose i386 twin is not to be had at
# their version (unmatched_twins). Multiarch wants a library at one version
# on both architectures; where the suites lack the i386 build of an amd64
# version (the security suite may carry the amd64 build first) the resolver
# gives up, which calls for the fallback; anything else is apt's to explain.
#   prints: ok | fallback | stop
install_decision() {
    local status=$1 answer=$2 twins=$3
    if [ "$status" -eq 0 ]; then echo ok
    elif [ -n "$twins" ] &&
        grep -q '^The following packages have unmet dependencies:' "$answer" &&
        grep -Eq '^ *[^ ]+:i386 : |:i386 .* but it is not (installable|going to be installed)' "$answer" &&
        ! grep -v -e 'E: Unable to correct problems, you have held broken packages\.' \
            -e 'E: Error, pkgProblemResolver::Resolve generated breaks' "$answer" | grep -q '^E: '; then
        echo fallback
    else echo stop; fi
}

# The i386 packages that apt's answer says it could not install: the
# candidates for twins that cannot match (whose amd64 side is then checked).
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

# --- The machine ------------------------------------------------------------
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
# Runs the tiny i386 program and prints the decision; bash's message (if
# any) and the exit status are left in $work/exec.txt.
probe_i386_exec() {
    local status=0
    base64 -d <<<"$I386_EXIT0" >"$work/i386-exit0" && chmod +x "$work/i386-exit0"
    (export LC_ALL=C; "$work/i386-exit0") >"$work/exec.txt" 2>&1 || status=$?
    echo "exit status $status" >>"$work/exec.txt"
    i386_exec_decision "$status" "$(cat "$work/exec.txt")"
}

# The packages of apt's ANSWER whose amd64 side, at the version installed
# (or else to be installed), has no i386 build in the lists seen with the
# apt options that follow: "NAME VERSION (installed|to be installed)".
unmatched_twins() {
    local answer=$1 name version
    shift
    for name in $(unmet_i386_packages "$answer"); do
        version=$(apt-cache "$@" policy "$name:$native" 2>/dev/null | awk '
            $1 == "Installed:" && $2 != "(none)" { print $2 " (installed)"; exit }
            $1 == "Candidate:" && $2 != "(none)" { print $2 " (to be installed)"; exit }')
        [ -n "$version" ] || continue
        apt-cache "$@" policy "$name:i386" 2>/dev/null |
            awk -v v="${version%% *}" '$1 == v || ($1 == "***" && $2 == v) { found = 1 } END { exit !found }' ||
            echo "$name $version"
    done
}

# apt-get as the person who runs bootstrap (the plan) or as root (changes).
user_apt() { env "${apt_env[@]}" apt-get "$@"; }
root_apt() { "${as_root[@]}" env "${apt_env[@]}" apt-get "$@"; }
# A change that outlasts bootstrap, besides the packages.
lasts() { changed+=("$1"); lasting+=("$1"); }
so_far() { local IFS=';'; if [ ${#changed[@]} -eq 0 ]; then echo "nothing was changed"; else echo "changed so far:${changed[*]/#/ }"; fi; }

# apt-get update by WHO (user or root) with the options given, or stop. Without
# --error-on=any a failed index download is only a warning, and apt goes on.
apt_update() {
    local who=$1 && shift
    "${who}_apt" -q "$@" update --error-on=any >"$work/update.txt" 2>&1 && return
    grep -E '^(E|W|Err):' "$work/update.txt" >&2 || cat "$work/update.txt" >&2
    fail "apt-get update failed (apt's messages above); $(so_far)"
}

# The transaction simulated on the plan's lists with the options given:
# apt's answer in $work/answer.txt, its exit status in $status.
simulate() {
    status=0
    user_apt -s "${plan[@]}" "$@" install "${packages[@]}" >"$work/answer.txt" 2>&1 || status=$?
}
refused() {
    grep -E '^(E:|W:|N:| )|unmet dependencies' "$work/answer.txt" >&2 || cat "$work/answer.txt" >&2
    fail "apt cannot install ${packages[*]}$1 (apt's answer above); nothing was changed"
}

# The plan: the transaction simulated with i386 an architecture already,
# on the machine's dpkg status; its changes in $work/changes. Where the suites
# lack i386 twins, again with Debian's main suite and its updates pinned above
# the installed versions, over the machine's sources, which all give way.
plan_transaction() {
    say "reading the package lists of the configured suites into $work (the machine's own are left as they are)"
    mkdir -p "$work/lists/partial" "$work/cache/archives/partial"
    # apt downloads as the user _apt, which must be able to write there.
    [ "$(id -u)" -ne 0 ] || ! id _apt >/dev/null 2>&1 ||
        { chmod go+x "$work" && chown _apt "$work/lists/partial" "$work/cache/archives/partial"; }
    plan=(-o "Dir::State::Lists=$work/lists" -o "Dir::Cache=$work/cache"
        -o "APT::Architectures::=$native" -o APT::Architectures::=i386)
    apt_update user "${plan[@]}"
    simulate
    twins=$(unmatched_twins "$work/answer.txt" "${plan[@]}")
    case $(install_decision "$status" "$work/answer.txt" "$twins") in
    stop) refused "" ;;
    fallback)
        printf 'Package: *\nPin: release o=Debian,n=%s\nPin-Priority: 1001\n\n' \
            "$codename" "$codename-updates" >"$work/preferences"
        pin=(-o "Dir::Etc::Preferences=$work/preferences" --allow-downgrades)
        simulate "${pin[@]}"
        [ "$status" -eq 0 ] || refused " with Debian's $codename and $codename-updates pinned either"
        ;;
    esac
    simulated_changes "$work/answer.txt" >"$work/changes"
}

# The plan as printed; listed gives the upgrades, downgrades and removals.
listed() {
    awk '$1 == "upgrade" || $1 == "downgrade" { print "    " $1 " " $2 " " $3 " -> " $4 }
        $1 == "remove" { print "    remove " $2 " " $3 }' "$1"
}
print_plan() {
    [ $add_i386 -eq 0 ] || echo "    add the architecture i386 (dpkg --add-architecture i386)"
    if [ ${#pin[@]} -gt 0 ]; then
        echo "    with Debian's $codename and $codename-updates pinned above the installed versions,"
        echo "    as the configured suites lack the i386 twins of:"; sed 's/^/      /' <<<"$twins"
    fi
    if [ ${#packages[@]} -gt 0 ]; then
        echo "    apt-get update; apt-get install ${packages[*]}; apt works that out as:"
        echo "    install $(grep -c '^install ' "$work/changes") packages:"
        awk '$1 == "install" { print $2 "=" $3 }' "$work/changes" | fmt -w 74 | sed 's/^/      /'
        listed "$work/changes"
    fi
    [ ${#binfmt[@]} -eq 0 ] || echo "    write to ${binfmt[0]}, until the machine restarts: ${binfmt[1]}"
}

# Stops unless the person agreed to the downgrades and removals in the plan.
require_consent() {
    grep -E '^(downgrade|remove) ' "$work/changes" >"$work/consent" || return 0
    [ "${QUELT_ALLOW_DOWNGRADE:-}" != 1 ] || { say "QUELT_ALLOW_DOWNGRADE=1: going on with these downgrades and removals"; return 0; }
    say "wine32:i386 needs these packages downgraded or removed, to versions without the security suite's fixes:" >&2
    listed "$work/consent" >&2
    fail "stopped before changing anything; to agree, run again with QUELT_ALLOW_DOWNGRADE=1 in the environment."
}

# 32-bit Wine's own answer: it starts, or its message, and stop.
check_wine32() {
    local out
    ! installed wine32:i386 || out=$(QEMU_RESERVED_VA=0x81000000 "$WINE32_LOADER" --version 2>&1) ||
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
        root_apt -q -y "${pin[@]}" install "${packages[@]}" 2>&1 | tee "$work/install.txt" || status=${PIPESTATUS[0]}
        if [ "$status" -ne 0 ]; then
            echo "bootstrap: apt's errors:" >&2
            grep -E '^(E: |W: |dpkg: error)' "$work/install.txt" >&2 || tail -n 5 "$work/install.txt" >&2
            fail "apt-get install failed, and apt may have changed packages before it stopped; to mend, run as root: apt-get -f install; $(so_far)"
        fi
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
    for arg; do
        case $arg in --dry-run) dry_run=1 ;; run | test) kind=$arg ;; *) fail "usage: $0 [--dry-run] [run|test]" ;; esac
    done
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
    if ! installed wine32:i386; then
        packages+=(wine32:i386)
        dpkg --print-foreign-architectures | grep -qx i386 || add_i386=1
    fi
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

    touch "$work/changes"
    [ ${#packages[@]} -eq 0 ] || plan_transaction
    if [ $dry_run -eq 1 ]; then say "the changes it would make:"; else say "the changes:"; fi
    print_plan
    if [ $dry_run -eq 1 ]; then
        ! grep -Eq '^(downgrade|remove) ' "$work/changes" || [ "${QUELT_ALLOW_DOWNGRADE:-}" = 1 ] ||
            say "it would stop before the downgrades without QUELT_ALLOW_DOWNGRADE=1 in the environment"
        say "dry run: nothing was changed"
        exit 0
    fi
    require_consent
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
