#!/bin/bash
# Installs what the builds and tests need, where missing, in one apt transaction
# without Recommends, planned on package lists of its own and printed first. It
# takes a package older than apt's candidate, or removes one, only with consent
# (require_consent), and then just what it planned (install_planned). It reads
# apt and dpkg in the C locale. Run again, it does nothing.
#   scripts/bootstrap.sh [--dry-run] run    MinGW-w64, Wine whole with its 32-bit half
#                                           (and qemu-i386 where the kernel runs no 32-bit code)
#   scripts/bootstrap.sh [--dry-run] test   that, and what every build and test needs
set -euo pipefail

# The releases where both README commands have been run on a fresh machine.
PROVEN_RELEASES=(bookworm trixie)
RUN_PACKAGES=(cmake make python3 g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64
    wine wine64 wine64-preloader wine32:i386 wine32-preloader:i386)
# clang, llvm, clang-tidy, clang-format and libclang-rt-dev are the release's default LLVM.
TEST_PACKAGES=(g++ googletest libgtest-dev libgmock-dev clang libclang-rt-dev llvm clang-tidy
    clang-format cppcheck python3-pytest python3-pytest-xdist python3-pytest-rerunfailures)
WINE32_LOADER=/usr/lib/wine/wine
BINFMT=/proc/sys/fs/binfmt_misc
# i386 ELF executables to qemu-i386; F: opened now, it works in any mount namespace.
I386_MAGIC='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
I386_MASK='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
QEMU_I386_ENTRY=":qemu-i386:M::$I386_MAGIC:$I386_MASK:/usr/bin/qemu-i386:F"
# The smallest i386 program: an ELF header, a segment and exit(0) by int 0x80.
I386_EXIT0=f0VMRgEBAQAAAAAAAAAAAAIAAwABAAAAVIAECDQAAAAAAAAAAAAAADQAIAABAAAAAAAAAAEAAAAA
I386_EXIT0+=AAAAAIAECACABAhbAAAAWwAAAAUAAAAAEAAAMdsxwEDNgA==
# apt's environment: the C locale, and the proxies (sudo's env_reset drops them).
apt_env=(LC_ALL=C DEBIAN_FRONTEND=noninteractive)
PROXIES=(http_proxy https_proxy ftp_proxy no_proxy HTTP_PROXY HTTPS_PROXY FTP_PROXY NO_PROXY)
# apt's options for the plan's own package lists, and for the pin (plan_transaction).
lists_options=() pin_options=()

say() { echo "bootstrap: $*"; }
fail() {
    echo "bootstrap: $*" >&2
    said_why=1
    exit 1
}

# --- Decisions on the answers of apt and the kernel (tests/bootstrap/) -------
# apt's resolver giving up; apt 3.0 adds what its own solver found.
GAVE_UP='^E: (Unable to correct problems, you have held broken packages\.'
GAVE_UP+='|Error, pkgProblemResolver::Resolve generated breaks'
GAVE_UP+='|The following information from --solver 3\.0 may provide additional context:)'

# After "apt-get install": STATUS is its exit status, ANSWER its output, HELD
# what in it multiarch holds (a library wanted at one version on both
# architectures, where the suites lack an i386 build), not pinned yet.
#   prints: ok | pin | stop
install_decision() {
    local status=$1 answer=$2 held=$3
    if [ "$status" -eq 0 ]; then
        echo ok
    elif [ -n "$held" ] && grep -q '^The following packages have unmet dependencies:' "$answer" &&
        ! grep '^E: ' "$answer" | grep -Ev "$GAVE_UP" >/dev/null; then
        echo pin
    else
        echo stop
    fi
}

# Whether VERSION, to be installed, is too old for a package that names it with
# KIND (Depends, Breaks, ...) RELATION WANTED: that package needs a newer one.
too_old() {
    case $1$2 in
    *Depends'>=' | *Depends= | Breaks'<<' | Conflicts'<<') dpkg --compare-versions "$3" lt "$4" ;;
    *Depends'>>' | Breaks'<=' | Conflicts'<=') dpkg --compare-versions "$3" le "$4" ;;
    *) return 1 ;;
    esac
}

# The packages of apt's ANSWER that need a newer version of a package than the
# one to be installed, which is held ("X : Depends: Y (>= V) but W is to be
# installed", W older than V), without architecture. An OR-group ends its lines
# in " or"; the next alternative names no kind.
too_new_for_held() {
    local package kind relation wanted version
    awk '/^ [^ ]+ : / { package = $1; sub(/:.*/, "", package) }
        match($0, / [A-Z][A-Za-z-]+: /) { kind = substr($0, RSTART + 1, RLENGTH - 3) }
        / \([<>=]+ [^)]+\) but [^ ]+ is to be installed( or)?$/ {
            sub(/ or$/, ""); gsub(/[()]/, "")
            print package, kind, $(NF - 7), $(NF - 6), $(NF - 4) }' "$1" |
        while read -r package kind relation wanted version; do
            ! too_old "$kind" "$relation" "$version" "$wanted" || echo "$package"
        done | sort -u
}

# The i386 packages that apt's answer could not install: twins that may not match.
unmet_i386_packages() {
    grep -Eo '[^ (]+:i386 (\([^)]*\) )?but it is not (installable|going to be installed)' "$1" |
        sed 's/:i386 .*//' | sort -u
}

# On a tiny i386 program's run: STATUS and what bash said (LC_ALL=C). Only
# "Exec format error" (ENOEXEC) means a kernel without 32-bit code.
#   prints: native | qemu | unknown
i386_exec_decision() {
    case $1:$2 in
    0:*) echo native ;;
    *"Exec format error"*) echo qemu ;;
    *) echo unknown ;;
    esac
}

# The changes of an "apt-get -s install" answer: install NAME VERSION, upgrade
# NAME OLD NEW, downgrade NAME OLD NEW or remove NAME OLD, one a line.
simulated_changes() {
    local word name rest old new inst='^(\[([^]]+)\] )?\(([^ ]+)' remv='^\[([^]]+)\]'
    while read -r word name rest; do
        if [ "$word" = Remv ] && [[ $rest =~ $remv ]]; then
            echo "remove $name ${BASH_REMATCH[1]}"
        elif [ "$word" = Inst ] && [[ $rest =~ $inst ]]; then
            old=${BASH_REMATCH[2]}
            new=${BASH_REMATCH[3]}
            if [ -z "$old" ]; then
                echo "install $name $new"
            elif dpkg --compare-versions "$new" lt "$old"; then
                echo "downgrade $name $old $new"
            else
                echo "upgrade $name $old $new"
            fi
        fi
    done <"$1"
}

# The changes of CHANGES that need consent, as printed, with apt's CANDIDATES
# (candidates_of; "unknown" where none is named): every removal and downgrade,
# and every install or upgrade older than the candidate.
older_than_candidate() {
    local word name old new candidate
    local -A candidates=()
    while read -r name candidate; do
        candidates[$name]=$candidate
    done <"$2"
    while read -r word name old new; do
        candidate=${candidates[$name]:-unknown}
        if [ "$word" = remove ]; then
            echo "    remove $name $old"
        elif [ "$word" = downgrade ] || [ "$candidate" = unknown ] ||
            dpkg --compare-versions "${new:-$old}" lt "$candidate"; then
            echo "    $word $name $old${new:+ -> $new} (apt's candidate $candidate)"
        fi
    done <"$1"
}

# Each change that the plan (PLANNED) and apt's answer NOW do not share; fails if none.
differs_from_plan() {
    { diff <(sort "$1") <(sort "$2") || true; } |
        sed -n 's/^< /    planned: /p; s/^> /    now: /p' | grep .
}

# The changes that need consent (CONSENT), printed; then it stops before any
# change, unless the person agreed to them or DRY_RUN is 1.
require_consent() {
    local consent=$1 dry_run=$2
    [ -s "$consent" ] || return 0
    say "these packages come at versions older than apt's candidates, without their fixes," \
        "as multiarch holds them there, or go:" >&2
    cat "$consent" >&2
    if [ "${QUELT_ALLOW_DOWNGRADE:-}" = 1 ]; then
        say "QUELT_ALLOW_DOWNGRADE=1: going on with them"
    elif [ "$dry_run" -eq 1 ]; then
        say "without QUELT_ALLOW_DOWNGRADE=1 in the environment it would stop before them"
    else
        fail "stopped before changing anything; to agree, run again with" \
            "QUELT_ALLOW_DOWNGRADE=1 in the environment."
    fi
}

# --- The machine ------------------------------------------------------------
installed() { LC_ALL=C dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'ok installed'; }
# apt as the person who runs bootstrap, on the plan's lists, or as root.
user_apt() { env "${apt_env[@]}" apt-get "${lists_options[@]}" "$@"; }
user_apt_cache() { env "${apt_env[@]}" apt-cache "${lists_options[@]}" "$@"; }
root_apt() { "${as_root[@]}" env "${apt_env[@]}" apt-get "$@"; }
# "NAME VERSION": apt's candidates of PACKAGES on the plan's lists, without the pin.
candidates_of() {
    user_apt_cache policy "$@" | awk '/^[^ ].*:$/ { name = substr($0, 1, length($0) - 1) }
        $1 == "Candidate:" { print name, $2 }'
}

# The packages of apt's ANSWER whose amd64 side, at the version installed (or
# else its candidate), has no i386 build in the plan's lists.
unmatched_twins() {
    local name version
    for name in $(unmet_i386_packages "$1"); do
        version=$(user_apt_cache policy "$name:$native" | awk '$2 != "(none)" && !version &&
            ($1 == "Installed:" || $1 == "Candidate:") { version = $2 } END { print version }')
        [ -n "$version" ] || continue
        user_apt_cache policy "$name:i386" | awk -v version="$version" '
            $1 == version || ($1 == "***" && $2 == version) { found = 1 }
            END { exit !found }' || echo "$name"
    done
}

# Runs the tiny i386 program: the decision; what bash said in $work/exec.txt.
probe_i386_exec() {
    local status=0
    base64 -d <<<"$I386_EXIT0" >"$work/i386-exit0"
    chmod +x "$work/i386-exit0"
    (export LC_ALL=C && "$work/i386-exit0") >"$work/exec.txt" 2>&1 || status=$?
    echo "exit status $status" >>"$work/exec.txt"
    i386_exec_decision "$status" "$(cat "$work/exec.txt")"
}

# A change that outlasts bootstrap, besides packages.
lasts() { changed+=("$1") && lasting+=("$1"); }
so_far() {
    local IFS=';'
    [ ${#changed[@]} -gt 0 ] || { echo "nothing was changed" && return; }
    echo "changed so far:${changed[*]/#/ }"
}

# The lines of apt's ANSWER that PATTERN picks (else its last ones); then stops with WHY.
apt_failed() {
    grep -E "$2" "$1" >&2 || tail -n 20 "$1" >&2
    fail "$3; $(so_far)"
}

# apt-get update by WHO (user or root), or stop; --error-on=any: on any failed download.
apt_update() {
    "${1}_apt" -q update --error-on=any >"$work/update.txt" 2>&1 ||
        apt_failed "$work/update.txt" '^(E|W|Err):' "apt-get update failed (apt's messages above)"
}

# The transaction of PACKAGES simulated by WHO (user or root), with the pin;
# apt's answer in ANSWER, and its exit status.
simulate() {
    "${1}_apt" -s --no-install-recommends "${pin_options[@]}" install "${@:3}" >"$2" 2>&1
}

# apt's ANSWER, which refused PACKAGES, shown; then it stops, saying so and WHEN.
refused() {
    local pinned=''
    [ ! -s "$work/pinned" ] || pinned=" with $(wc -l <"$work/pinned") packages pinned"
    apt_failed "$1" '^(E:|W:|N:| )|unmet dependencies' \
        "apt cannot install ${*:3}$pinned$2 (apt's answer above)"
}

# The source packages of PACKAGES, as the plan's lists name them.
sources_of() {
    user_apt_cache show --no-all-versions "$@" | awk '/^Package: / { source = $2 }
        /^Source: / { source = $2 } /^$/ && source { print source; source = "" }' | sort -u
}

# The pin, at Debian's main suite of CODENAME and its updates, of the packages in
# $work/pinned (on both architectures), over the installed versions, and of the
# other packages of their sources, which come from there unless installed newer
# (multiarch holds a source's libraries at one version). Before the machine's own
# preferences, which still rule every other package.
write_pin() {
    local codename=$1 held names sources preferences=''
    names=$(sed 's/$/:any/' "$work/pinned" | paste -s -d' ')
    mapfile -t held <"$work/pinned"
    sources=$(sources_of "${held[@]}" | sed 's/^/src:/; s/$/:any/' | paste -s -d' ')
    eval "$(LC_ALL=C apt-config shell preferences Dir::Etc::Preferences/f)"
    {
        printf 'Package: %s\nPin: release o=Debian,n=%s\nPin-Priority: %s\n\n' \
            "$names" "$codename" 1001 "$names" "$codename-updates" 1001 \
            "$sources" "$codename" 990 "$sources" "$codename-updates" 990
        [ ! -f "$preferences" ] || cat "$preferences"
    } >"$work/preferences"
    pin_options=(-o "Dir::Etc::Preferences=$work/preferences" --allow-downgrades)
}

# The plan: PACKAGES simulated on lists of its own, with i386 an architecture,
# on the machine's dpkg status; where multiarch holds packages, again with them
# pinned (write_pin) while apt names more. Its changes in $work/changes, those
# that need consent in $work/consent.
plan_transaction() {
    local codename=$1 round status held taken
    shift
    say "reading the package lists of the configured suites into $work" \
        "(the machine's own are left as they are)"
    mkdir -p "$work/lists/partial" "$work/cache/archives/partial"
    # apt downloads as the user _apt, which must be able to write there.
    if [ "$(id -u)" -eq 0 ] && id _apt >/dev/null 2>&1; then
        chmod go+x "$work"
        chown _apt "$work/lists/partial" "$work/cache/archives/partial"
    fi
    lists_options=(-o "Dir::State::Lists=$work/lists" -o "Dir::Cache=$work/cache"
        -o "APT::Architectures::=$native" -o APT::Architectures::=i386)
    apt_update user
    for round in 1 2 3 4 5 6 7 8 9 10; do
        status=0
        simulate user "$work/answer.txt" "$@" || status=$?
        held=$({ unmatched_twins "$work/answer.txt" && too_new_for_held "$work/answer.txt"; } |
            sort -u | comm -23 - "$work/pinned")
        case $(install_decision "$status" "$work/answer.txt" "$held") in
        ok) break ;;
        stop) refused "$work/answer.txt" "" "$@" ;;
        esac
        sort -u -o "$work/pinned" - "$work/pinned" <<<"$held"
        write_pin "$codename"
    done
    [ "$status" -eq 0 ] || refused "$work/answer.txt" ", after $round rounds" "$@"
    simulated_changes "$work/answer.txt" >"$work/changes"
    mapfile -t taken < <(awk '$1 != "remove" { print $2 }' "$work/changes")
    [ ${#taken[@]} -eq 0 ] || candidates_of "${taken[@]}" >"$work/candidates"
    older_than_candidate "$work/changes" "$work/candidates" >"$work/consent"
}

print_plan() {
    local codename=$1 add_i386=$2
    shift 2
    [ "$add_i386" -eq 0 ] || echo "    add the architecture i386 (dpkg --add-architecture i386)"
    if [ -s "$work/pinned" ]; then
        echo "    with these packages, and the rest of their source packages, pinned at" \
            "Debian's $codename and $codename-updates, as multiarch holds them:"
        paste -s -d' ' "$work/pinned" | fmt -w 74 | sed 's/^/      /'
    fi
    if [ $# -gt 0 ]; then
        echo "    apt-get update; apt-get install --no-install-recommends $*;" \
            "apt works that out as:"
        echo "    install $(grep -c '^install ' "$work/changes") packages:"
        awk '$1 == "install" { print $2 "=" $3 }' "$work/changes" | fmt -w 74 | sed 's/^/      /'
        awk '$1 ~ /grade$/ { print "    " $1 " " $2 " " $3 " -> " $4 }
            $1 == "remove" { print "    remove " $2 " " $3 }' "$work/changes"
    fi
    [ ${#binfmt[@]} -eq 0 ] ||
        echo "    write to ${binfmt[0]} until the machine restarts: ${binfmt[1]}"
}

check_wine32() { # 32-bit Wine starts, or its message, and stop
    local said
    ! installed wine32:i386 || said=$("$WINE32_LOADER" --version 2>&1) ||
        fail "32-bit Wine does not start: $WINE32_LOADER --version said: $said; $(so_far)"
}

# The real transaction of PACKAGES, held to the plan: apt asked again as root on
# the machine's updated lists; it installs only what the plan printed, at the
# printed versions, and removes nothing that the plan did not list.
install_planned() {
    local status=0 no_remove=()
    apt_update root
    changed+=("the machine's package lists updated")
    simulate root "$work/real-answer.txt" "$@" || status=$?
    [ "$status" -eq 0 ] || refused "$work/real-answer.txt" " as root" "$@"
    simulated_changes "$work/real-answer.txt" >"$work/real-changes"
    ! differs_from_plan "$work/changes" "$work/real-changes" >&2 ||
        fail "apt as root would do otherwise than planned (above: the suites changed since);" \
            "no package was changed; run bootstrap again for a new plan; $(so_far)"
    grep -q '^remove ' "$work/changes" || no_remove=(--no-remove)
    root_apt -q -y --no-install-recommends "${no_remove[@]}" "${pin_options[@]}" install "$@" 2>&1 |
        tee "$work/install.txt" || status=${PIPESTATUS[0]}
    [ "$status" -eq 0 ] || apt_failed "$work/install.txt" '^(E: |W: |dpkg: error)' \
        "apt-get install failed (above), maybe after changing packages: as root, apt-get -f install"
    changed+=("$* installed")
}

# The changes as planned, each told in so_far's message should a later one fail.
make_changes() {
    local add_i386=$1
    shift
    if [ "$add_i386" -eq 1 ]; then
        "${as_root[@]}" dpkg --add-architecture i386
        lasts "the architecture i386 added"
    fi
    [ $# -eq 0 ] || install_planned "$@"
    if [ ${#binfmt[@]} -gt 0 ]; then
        if [ ! -e $BINFMT/register ]; then
            "${as_root[@]}" mount -t binfmt_misc binfmt_misc $BINFMT
            lasts "binfmt_misc mounted on $BINFMT (until the machine restarts)"
        fi
        printf '%s' "${binfmt[1]}" | "${as_root[@]}" tee "${binfmt[0]}" >/dev/null
        lasts "binfmt_misc ${binfmt[2]} (until the machine restarts)"
    fi
    check_wine32
}

# Where a command failed that no check above expected, bootstrap still says so.
stopped_without_saying() {
    [ "$1" -eq 0 ] || [ -n "${said_why:-}" ] ||
        echo "bootstrap: stopped by a command that failed in $failed_at (status $1;" \
            "its own message, if any, above); $(so_far)" >&2
}

# Shared by the functions above: work, native, as_root, binfmt, changed, lasting.
main() {
    local dry_run=0 kind id codename var package add_i386=0
    local wanted=("${RUN_PACKAGES[@]}") packages=()
    [ "${1:-}" != --dry-run ] || { dry_run=1 && shift; }
    kind=${1:-test}
    [[ $# -le 1 && $kind =~ ^(run|test)$ ]] || fail "usage: $0 [--dry-run] [run|test]"
    changed=() lasting=() binfmt=() as_root=() failed_at=''
    set -E
    trap 'failed_at="${FUNCNAME[0]:-main}, line $LINENO of $0"' ERR
    trap 'stopped_without_saying $?; rm -rf "${work:-}"' EXIT
    # shellcheck disable=SC1091 # the machine's, read as it is
    read -r id codename < <(. /etc/os-release && echo "${ID:-none} ${VERSION_CODENAME:-}") || true
    [[ ${id:-} == debian && -n ${codename:-} ]] ||
        fail "this is not a Debian release (ID ${id:-unknown} in /etc/os-release)," \
            "and bootstrap knows only Debian's packages"
    [[ " ${PROVEN_RELEASES[*]} " == *" $codename "* ]] ||
        say "proven on Debian ${PROVEN_RELEASES[*]} only, not on $codename: it goes on the same" \
            "way, with $codename's own packages of the same names, which may not do" >&2
    native=$(dpkg --print-architecture)
    work=$(mktemp -d)
    [ "$(id -u)" -eq 0 ] || as_root=(sudo)
    for var in "${PROXIES[@]}"; do
        [ -z "${!var:-}" ] || apt_env+=("$var=${!var}")
    done
    [ "$kind" = run ] || wanted+=("${TEST_PACKAGES[@]}")
    for package in "${wanted[@]}"; do
        installed "$package" || packages+=("$package")
    done
    [[ " ${packages[*]}" != *:i386* ]] || dpkg --print-foreign-architectures | grep -qx i386 ||
        add_i386=1
    case $(probe_i386_exec) in
    qemu)
        installed qemu-user || packages+=(qemu-user)
        binfmt=("$BINFMT/register" "$QEMU_I386_ENTRY" "entry qemu-i386 registered")
        [ ! -e $BINFMT/qemu-i386 ] || binfmt=("$BINFMT/qemu-i386" 1 "entry qemu-i386 enabled")
        ;;
    unknown)
        say "cannot tell whether this kernel runs i386 programs, so qemu-i386 is left alone;" \
            "running one said:"
        sed 's/^/    /' "$work/exec.txt"
        ;;
    esac
    if [ ${#packages[@]} -eq 0 ] && [ ${#binfmt[@]} -eq 0 ]; then
        say "nothing to do"
        [ $dry_run -eq 1 ] || check_wine32
        exit 0
    fi
    if [ $dry_run -eq 0 ] && [ ${#as_root[@]} -gt 0 ]; then
        command -v sudo >/dev/null ||
            fail "this user is not root and there is no sudo: run as root, or install sudo"
        sudo -v || fail "sudo refused: run as root, or as a user whom sudo lets run apt-get"
    fi

    touch "$work/changes" "$work/pinned" "$work/candidates" "$work/consent"
    [ ${#packages[@]} -eq 0 ] || plan_transaction "$codename" "${packages[@]}"
    say "the changes$([ $dry_run -eq 0 ] || echo " it would make"):"
    print_plan "$codename" "$add_i386" "${packages[@]}"
    require_consent "$work/consent" "$dry_run"
    [ $dry_run -eq 0 ] || { say "dry run: nothing was changed" && exit 0; }
    make_changes "$add_i386" "${packages[@]}"

    say "done; installed, with what they need: ${packages[*]:-nothing}"
    [ ${#lasting[@]} -gt 0 ] || [ -s "$work/consent" ] || return 0
    say "what lasts besides the installed packages:"
    [ ${#lasting[@]} -eq 0 ] || printf '    %s\n' "${lasting[@]}"
    cat "$work/consent"
    say "README.md, \"Undoing the set-up\", says how to take these back."
}

# Sourced by the tests for the decisions above; run, it does the work.
[ "${BASH_SOURCE[0]}" != "$0" ] || main "$@"
