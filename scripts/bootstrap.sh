#!/bin/bash
# Installs what the builds and tests need, where missing. It first works out
# every change and prints it, and makes none before that; at the end it says
# which changes outlast it besides packages. Run again, it does nothing.
#
#   scripts/bootstrap.sh [--dry-run] run    what running the tool under Wine
#                               needs: MinGW-w64, Wine with its 32-bit half,
#                               and qemu-i386 where the kernel runs no
#                               32-bit code
#   scripts/bootstrap.sh [--dry-run] test   that, and what every build and
#                               test needs
#
# --dry-run prints the changes and makes none. Installing wine32:i386 may
# need other packages downgraded (see install_decision); bootstrap does that
# only with QUELT_ALLOW_DOWNGRADE=1 in the environment.
set -euo pipefail

RUN_PACKAGES=(
    cmake make python3
    g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64
    wine wine64
)
TEST_PACKAGES=(
    g++ googletest libgtest-dev libgmock-dev
    clang-14 libclang-rt-14-dev clang-tidy-14 clang-format-14 cppcheck
    python3-pytest python3-pytest-xdist
)
WINE32_LOADER=/usr/lib/wine/wine
BINFMT=/proc/sys/fs/binfmt_misc
# i386 ELF executables, to be run by qemu-i386. F: the kernel opens the
# interpreter now, so it works in any mount namespace later.
QEMU_I386_ENTRY=':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386:F'
# The smallest i386 program: an ELF header, one loadable segment and
# "xor ebx,ebx; xor eax,eax; inc eax; int 0x80", which is exit(0).
I386_EXIT0='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00'\
'\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00'\
'\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00'\
'\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08'\
'\x5b\x00\x00\x00\x5b\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00'\
'\x31\xdb\x31\xc0\x40\xcd\x80'

say() { echo "bootstrap: $*"; }
fail() {
    echo "bootstrap: $*" >&2
    exit 1
}

# --- Decisions, from the answers of apt and of the kernel -------------------
# tests/bootstrap/decisions_test.sh runs these on recorded answers.

# What to do after "apt-get install": STATUS is apt-get's exit status,
# ANSWER the file with its output (LC_ALL=C), TWINS the amd64 packages
# whose i386 twin is not to be had at their version (see unmatched_twins).
# Multiarch wants a library at one version on both architectures; where the
# configured suites lack the i386 build of an installed amd64 version (the
# security suite may carry the amd64 build first, or a mirror may carry no
# i386 indexes for it) the resolver gives up on the i386 packages. Only that
# is mended by the fallback, which downgrades those libraries to the main
# suite's version. A held lock, a failed download or anything else is
# apt's to explain, and stops bootstrap.
#   prints: ok | fallback | stop
install_decision() {
    local status=$1 answer=$2 twins=$3
    if [ "$status" -eq 0 ]; then
        echo ok
    elif [ -n "$twins" ] &&
        grep -q '^The following packages have unmet dependencies:' "$answer" &&
        grep -Eq '^ *[^ ]+:i386 : |:i386 .* but it is not (installable|going to be installed)' "$answer" &&
        ! grep -v -e 'E: Unable to correct problems, you have held broken packages\.' \
            -e 'E: Error, pkgProblemResolver::Resolve generated breaks' "$answer" | grep -q '^E: '; then
        echo fallback
    else
        echo stop
    fi
}

# The i386 packages that apt's answer says it could not install: the
# candidates for twins that cannot match (whose amd64 side is then checked).
unmet_i386_packages() {
    grep -Eo '[^ (]+:i386 (\([^)]*\) )?but it is not (installable|going to be installed)' "$1" |
        sed 's/:i386 .*//' | sort -u
}

# What to do about i386 executables, from running a tiny one: STATUS and
# MESSAGE are what bash said (LC_ALL=C). Only the kernel's "Exec format
# error" (ENOEXEC) means that it runs no 32-bit code, which qemu-i386 can
# stand in for; any other failure (a noexec /tmp, a missing file) says
# nothing about the kernel and registers nothing.
#   prints: native | qemu | unknown
i386_exec_decision() {
    local status=$1 message=$2
    if [ "$status" -eq 0 ]; then
        echo native
    elif [[ $message == *"Exec format error"* ]]; then
        echo qemu
    else
        echo unknown
    fi
}

# The mirror of the Debian suite CODENAME, from apt's sources in either
# format: deb822 stanzas (*.sources) and one-line entries (sources.list,
# *.list). Prints "URI SIGNED-BY" (SIGNED-BY "-" where none is a file) of
# the first source that carries CODENAME itself, or nothing.
debian_mirror() {
    local codename=$1 file
    shift
    for file in "$@"; do
        [ -f "$file" ] || continue
        case $file in
        *.sources)
            awk -v suite="$codename" '
                function done_stanza() {
                    if (types ~ /(^| )deb( |$)/ && suites ~ ("(^| )" suite "( |$)") &&
                        enabled != "no" && uri != "") {
                        print uri, (key ~ /^\// ? key : "-"); found = 1; exit
                    }
                    types = suites = uri = key = enabled = ""
                }
                /^#/ { next }
                /^[ \t]*$/ { done_stanza(); next }
                /^[ \t]/ { next }
                {
                    field = tolower($1); sub(/:$/, "", field)
                    value = $0; sub(/^[^:]*:[ \t]*/, "", value); sub(/[ \t]+$/, "", value)
                    if (field == "types") types = value
                    else if (field == "suites") suites = value
                    else if (field == "uris") { split(value, u, /[ \t]+/); uri = u[1] }
                    else if (field == "signed-by") key = value
                    else if (field == "enabled") enabled = tolower(value)
                }
                END { if (!found) done_stanza() }' "$file"
            ;;
        *)
            awk -v suite="$codename" '
                $1 != "deb" { next }
                {
                    key = "-"; i = 2
                    if ($2 ~ /^\[/) {
                        for (; i <= NF; i++) {
                            if ($i ~ /^\[?signed-by=/) { key = $i; sub(/^\[?signed-by=/, "", key); sub(/\]$/, "", key) }
                            if ($i ~ /\]$/) { i++; break }
                        }
                    }
                    if ($(i + 1) == suite) { print $i, (key ~ /^\// ? key : "-"); exit }
                }' "$file"
            ;;
        esac
    done | head -n 1
}

# The changes in an "apt-get -s install" answer, one a line:
#   install NAME VERSION | upgrade NAME OLD NEW | downgrade NAME OLD NEW | remove NAME OLD
simulated_changes() {
    local word name rest
    local replaced='^\[([^]]+)\] \(([^ ]+)' new='^\(([^ ]+)' removed='^\[([^]]+)\]'
    while read -r word name rest; do
        case $word in
        Inst)
            if [[ $rest =~ $replaced ]]; then
                if dpkg --compare-versions "${BASH_REMATCH[2]}" lt "${BASH_REMATCH[1]}"; then
                    echo "downgrade $name ${BASH_REMATCH[1]} ${BASH_REMATCH[2]}"
                else
                    echo "upgrade $name ${BASH_REMATCH[1]} ${BASH_REMATCH[2]}"
                fi
            elif [[ $rest =~ $new ]]; then
                echo "install $name ${BASH_REMATCH[1]}"
            fi
            ;;
        Remv)
            if [[ $rest =~ $removed ]]; then echo "remove $name ${BASH_REMATCH[1]}"; fi
            ;;
        esac
    done <"$1"
}

# --- The machine -------------------------------------------------------------

installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

# Runs the tiny i386 program and prints the decision; bash's message (if
# any) and the exit status are left in $work/exec.txt.
probe_i386_exec() {
    local program="$work/i386-exit0" status=0
    printf '%b' "$I386_EXIT0" >"$program"
    chmod +x "$program"
    (export LC_ALL=C; "$program") >"$work/exec.txt" 2>&1 || status=$?
    echo "exit status $status" >>"$work/exec.txt"
    i386_exec_decision "$status" "$(cat "$work/exec.txt")"
}

# The packages of apt's ANSWER whose amd64 side, at the version installed
# (or else to be installed), has no i386 build in the package lists as seen
# with the apt options that follow: "NAME VERSION (installed)" or "NAME
# VERSION (to be installed)" a line.
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

# Sets state_opts: apt with package lists and caches of its own under
# $work/NAME, so that the machine's lists and caches stay as they are.
temp_state() {
    local dir="$work/$1"
    mkdir -p "$dir/lists/partial" "$dir/cache/archives/partial"
    # apt downloads as the user _apt, which must be able to write there.
    if [ "$(id -u)" -eq 0 ] && id _apt >/dev/null 2>&1; then
        chmod go+x "$work"
        chown _apt "$dir/lists/partial" "$dir/cache/archives/partial"
    fi
    state_opts=(-o "Dir::State::Lists=$dir/lists" -o "Dir::Cache=$dir/cache")
}

# Sets main_only: apt options for the fallback's sources, the main suite of
# this release and its updates from the machine's Debian mirror, pinned
# above the installed versions so that apt may go back to them.
prepare_main_only() {
    [ ${#main_only[@]} -eq 0 ] || return 0
    local dir="$work/main-only" mirror uri key options=""
    mirror=$(debian_mirror "$codename" /etc/apt/sources.list \
        /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources)
    [ -n "$mirror" ] || fail "no source of Debian's $codename in /etc/apt/sources.list or /etc/apt/sources.list.d/ to take wine32:i386 from"
    read -r uri key <<<"$mirror"
    [ "$key" = - ] || options="[signed-by=$key] "
    mkdir -p "$dir/parts"
    printf 'deb %s%s %s main\n' "$options" "$uri" "$codename" "$options" "$uri" "$codename-updates" \
        >"$dir/sources.list"
    printf 'Package: *\nPin: release n=%s\nPin-Priority: 1001\n\n' "$codename" "$codename-updates" \
        >"$dir/preferences"
    main_only=(-o "Dir::Etc::SourceList=$dir/sources.list" -o "Dir::Etc::SourceParts=$dir/parts"
        -o "Dir::Etc::Preferences=$dir/preferences" -o "Dir::Etc::PreferencesParts=$dir/parts")
    fallback_from="$uri $codename and $codename-updates"
}

# What is done so far, for the messages of a stop.
so_far() {
    if [ ${#changed[@]} -eq 0 ]; then
        echo "nothing was changed"
    else
        echo "changed so far: ${changed[*]}"
    fi
}

# apt-get update with the given options; on failure apt's messages, and stop.
apt_update() {
    # Without --error-on=any, an index that failed to download is only a
    # warning, and apt-get goes on with old lists or none.
    if ! "${sudo[@]}" env LC_ALL=C apt-get -q "$@" update --error-on=any >"$work/update.txt" 2>&1; then
        grep -E '^(E|W|Err):' "$work/update.txt" >&2 || cat "$work/update.txt" >&2
        fail "apt-get update failed (apt's messages above); $(so_far)"
    fi
}

# apt-get update into a temporary state, as the user who runs bootstrap:
# the plan needs no root.
plan_update() {
    local sudo=()
    apt_update "$@"
}

# apt-get install for real, its output shown and kept in $work/answer.txt;
# returns apt-get's status.
apt_install() {
    local status=0
    "${sudo[@]}" env LC_ALL=C apt-get -q -y "$@" 2>&1 | tee "$work/answer.txt" || status=${PIPESTATUS[0]}
    return "$status"
}

# Carries a simulated install into $work/status, the dpkg status that the
# next simulation starts from, so that the plan's steps build on each other
# as the real ones will. The options are those of the simulation.
advance_status() {
    local answer=$1
    shift
    # NAME:ARCH=VERSION of each package installed, upgraded or downgraded
    # ("Inst NAME [OLD] (NEW RELEASE... [ARCH]) ..."), and NAME:ARCH of
    # each one replaced or removed.
    local versions gone
    versions=$(awk '$1 == "Inst" {
            group = $0; sub(/^[^(]*\(/, "", group); sub(/\).*$/, "", group)
            split(group, word, " "); arch = group; sub(/^.*\[/, "", arch); sub(/\]$/, "", arch)
            name = $2; sub(/:.*/, "", name)
            print name ":" arch "=" word[1] }' "$answer")
    gone=$(awk -v native="$native" '$1 == "Remv" {
            if ($2 ~ /:/) print $2; else print $2 ":" native "\n" $2 ":all" }' "$answer"
        cut -d= -f1 <<<"$versions")
    {
        awk -v gone="$gone" '
            BEGIN { RS = ""; ORS = "\n\n"; n = split(gone, g, "\n"); for (i = 1; i <= n; i++) drop[g[i]] = 1 }
            {
                package = $0; sub(/^Package: /, "", package); sub(/\n.*/, "", package)
                arch = $0; sub(/^(.*\n)?Architecture: /, "", arch); sub(/\n.*/, "", arch)
                if (!((package ":" arch) in drop)) print
            }' "$work/status"
        # shellcheck disable=SC2086 # one NAME:ARCH=VERSION a word
        [ -z "$versions" ] || apt-cache "$@" show $versions 2>/dev/null |
            awk 'BEGIN { RS = ""; ORS = "\n\n" } { sub(/\n/, "\nStatus: install ok installed\n"); print }'
    } >"$work/status.next"
    mv "$work/status.next" "$work/status"
}

# Prints $work/changes: the packages installed as NAME=VERSION, and each
# upgrade, downgrade or removal on a line of its own.
print_changes() {
    [ -s "$work/changes" ] || return 0
    echo "    the packages, as apt works them out:"
    local count
    count=$(grep -c '^install ' "$work/changes" || true)
    if [ "$count" -gt 0 ]; then
        echo "    install $count packages:"
        awk '$1 == "install" { print $2 "=" $3 }' "$work/changes" | fmt -w 74 | sed 's/^/      /'
    fi
    awk '$1 == "upgrade" { print "    upgrade   " $2 " " $3 " -> " $4 }
        $1 == "downgrade" { print "    DOWNGRADE " $2 " " $3 " -> " $4 }
        $1 == "remove" { print "    REMOVE    " $2 " " $3 }' "$work/changes"
}

# The downgrades and removals of the file given ("downgrade NAME OLD NEW",
# "remove NAME OLD"), one a line, as the person reads them.
print_consent_list() {
    awk '$1 == "downgrade" { print "    " $2 " " $3 " -> " $4 } $1 == "remove" { print "    remove " $2 " " $3 }' "$1"
}

# Stops unless the person agreed to the downgrades and removals listed in
# the file given.
require_consent() {
    [ -s "$1" ] || return 0
    if [ "${QUELT_ALLOW_DOWNGRADE:-}" = 1 ]; then
        say "with QUELT_ALLOW_DOWNGRADE=1, downgrading or removing for wine32:i386:"
        print_consent_list "$1"
        return 0
    fi
    {
        say "wine32:i386 needs these packages downgraded or removed:"
        print_consent_list "$1"
        say "the older versions lack the security suite's fixes. Stopped before installing anything; $(so_far)."
        say "to agree, run again with QUELT_ALLOW_DOWNGRADE=1 in the environment."
    } >&2
    exit 1
}

# Simulates step WHAT, installing PACKAGES (after "--", with the apt
# options before it) on $work/status, and notes its changes. Prints apt's
# answer and stops unless apt said yes, except where WHAT is "wine32" and
# the answer calls for the fallback: then sets fallback=1.
simulate() {
    local what=$1 opts=() status=0 twins decision
    shift
    while [ "$1" != -- ]; do opts+=("$1"); shift; done
    shift
    opts+=(-o "Dir::State::status=$work/status")
    LC_ALL=C apt-get -s "${opts[@]}" install "$@" >"$work/answer.txt" 2>&1 || status=$?
    twins=$(unmatched_twins "$work/answer.txt" "${opts[@]}")
    decision=$(install_decision "$status" "$work/answer.txt" "$twins")
    [ "$what" = wine32 ] || [ "$decision" != fallback ] || decision=stop
    case $decision in
    ok)
        # Each step starts where the one before ends, so that a package
        # installed by one and downgraded by the next shows in both.
        simulated_changes "$work/answer.txt" >>"$work/changes"
        advance_status "$work/answer.txt" "${opts[@]}"
        ;;
    fallback)
        fallback=1
        echo "$twins" >"$work/twins"
        ;;
    stop)
        grep -E '^(E:|W:|N:| )|unmet dependencies' "$work/answer.txt" >&2 || cat "$work/answer.txt" >&2
        fail "apt cannot install $* (apt's answer above); nothing was changed"
        ;;
    esac
}

# 32-bit Wine's own answer: it starts, or its message, and stop.
check_wine32() {
    installed wine32:i386 || return 0
    local out
    if ! out=$(QEMU_RESERVED_VA=0x81000000 "$WINE32_LOADER" --version 2>&1); then
        fail "32-bit Wine does not start: $WINE32_LOADER --version said: $out; $(so_far)"
    fi
}

# wine32:i386 for real: from the configured suites, or, where apt's answer
# calls for it, by the fallback, with the person's consent.
install_wine32() {
    local status=0 twins decision
    apt_install install --no-install-recommends wine32:i386 || status=$?
    twins=$(unmatched_twins "$work/answer.txt")
    decision=$(install_decision "$status" "$work/answer.txt" "$twins")
    case $decision in
    ok) return ;;
    stop) fail "apt-get install wine32:i386 failed (apt's answer above); $(so_far)" ;;
    esac
    say "the configured suites have no i386 build of these amd64 versions:"
    printf '%s\n' "$twins" | sed 's/^/    /'
    prepare_main_only
    say "taking wine32:i386 from $fallback_from alone"
    temp_state main-only
    local opts=("${state_opts[@]}" "${main_only[@]}")
    apt_update "${opts[@]}"
    if ! LC_ALL=C apt-get -s "${opts[@]}" install --allow-downgrades --no-install-recommends wine32:i386 \
        >"$work/answer.txt" 2>&1; then
        cat "$work/answer.txt" >&2
        fail "apt cannot install wine32:i386 from $fallback_from either (apt's answer above); $(so_far)"
    fi
    simulated_changes "$work/answer.txt" | grep -E '^(downgrade|remove) ' >"$work/consent" || true
    require_consent "$work/consent"
    apt_install "${opts[@]}" install --allow-downgrades --no-install-recommends wine32:i386 ||
        fail "apt-get install wine32:i386 from $fallback_from failed (apt's answer above); $(so_far)"
    cp "$work/consent" "$work/downgraded"
}

main() {
    local dry_run=0 kind=test
    while [ $# -gt 0 ]; do
        case $1 in
        --dry-run) dry_run=1 ;;
        run | test) kind=$1 ;;
        *) echo "usage: $0 [--dry-run] [run|test]" >&2; exit 2 ;;
        esac
        shift
    done
    local packages=("${RUN_PACKAGES[@]}")
    [ "$kind" = run ] || packages+=("${TEST_PACKAGES[@]}")

    sudo=()
    [ "$(id -u)" -eq 0 ] || [ $dry_run -eq 1 ] || sudo=(sudo)
    export DEBIAN_FRONTEND=noninteractive
    # shellcheck disable=SC1091 # the machine's, read as it is
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    [ -n "$codename" ] || fail "no VERSION_CODENAME in /etc/os-release"
    native=$(dpkg --print-architecture)
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    changed=()
    main_only=()

    # What is missing.
    local missing=() package wine32=0 add_i386=0 binfmt_action="" qemu=()
    for package in "${packages[@]}"; do
        installed "$package" || missing+=("$package")
    done
    installed wine32:i386 || wine32=1
    if [ $wine32 -eq 1 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
        add_i386=1
    fi
    case $(probe_i386_exec) in
    qemu)
        installed qemu-user || qemu=(qemu-user)
        if [ -e $BINFMT/qemu-i386 ]; then binfmt_action=enable; else binfmt_action=register; fi
        ;;
    unknown)
        say "cannot tell whether this kernel runs i386 programs, so qemu-i386 is left alone: running one said:"
        sed 's/^/    /' "$work/exec.txt"
        ;;
    esac
    if [ ${#missing[@]} -eq 0 ] && [ $wine32 -eq 0 ] && [ ${#qemu[@]} -eq 0 ] && [ -z "$binfmt_action" ]; then
        say "nothing to do"
        [ $dry_run -eq 1 ] || check_wine32
        exit 0
    fi

    # The plan, worked out with package lists of its own and a copy of the
    # dpkg status that each simulated step carries forward: nothing changes
    # before it is printed, and nothing at all if apt or the person says no.
    # The amd64 packages come first, with what they recommend, while i386 is
    # not yet an architecture: wine64 recommends wine32, which is to come
    # without what it recommends (unless i386 is there already: then
    # "wine32:i386-" keeps it out of that step).
    local arches=(-o "APT::Architectures::=$native" -o APT::Architectures::=i386) fallback=0
    local amd64_arches=("${arches[@]}") no_wine32=()
    [ $add_i386 -eq 0 ] || amd64_arches=(-o "APT::Architectures::=$native")
    [ $add_i386 -eq 1 ] || [ $wine32 -eq 0 ] || no_wine32=(wine32:i386-)
    cp /var/lib/dpkg/status "$work/status"
    if [ ${#missing[@]} -gt 0 ] || [ $wine32 -eq 1 ] || [ ${#qemu[@]} -gt 0 ]; then
        say "reading the package lists of the configured suites into $work (the machine's own are left as they are)"
        temp_state plan
        local plan=("${state_opts[@]}")
        plan_update "${plan[@]}" "${arches[@]}"
        [ ${#missing[@]} -eq 0 ] || simulate amd64 "${plan[@]}" "${amd64_arches[@]}" -- "${missing[@]}" "${no_wine32[@]}"
        [ ${#qemu[@]} -eq 0 ] || simulate qemu "${plan[@]}" "${amd64_arches[@]}" -- --no-install-recommends "${qemu[@]}"
    fi
    if [ $wine32 -eq 1 ]; then
        simulate wine32 "${plan[@]}" "${arches[@]}" -- --no-install-recommends wine32:i386
        if [ $fallback -eq 1 ]; then
            prepare_main_only
            temp_state plan-main-only
            plan_update "${state_opts[@]}" "${arches[@]}" "${main_only[@]}"
            simulate fallback "${state_opts[@]}" "${arches[@]}" "${main_only[@]}" -- \
                --allow-downgrades --no-install-recommends wine32:i386
        fi
    fi

    if [ $dry_run -eq 1 ]; then say "the changes it would make:"; else say "the changes:"; fi
    [ ${#missing[@]} -eq 0 ] || echo "    install ${missing[*]}, with what they need and recommend"
    [ ${#qemu[@]} -eq 0 ] || echo "    install qemu-user, with what it needs"
    case $binfmt_action in
    register)
        echo "    register qemu-i386 with binfmt_misc for i386 programs, until the machine restarts:"
        echo "      $QEMU_I386_ENTRY"
        ;;
    enable)
        echo "    enable the binfmt_misc entry qemu-i386 (echo 1 > $BINFMT/qemu-i386), until the machine restarts"
        ;;
    esac
    [ $add_i386 -eq 0 ] || echo "    add the architecture i386 (dpkg --add-architecture i386)"
    [ $wine32 -eq 0 ] || echo "    install wine32:i386, with what it needs"
    if [ $fallback -eq 1 ]; then
        echo "    the configured suites have no i386 build of these amd64 versions, which"
        echo "    wine32:i386 needs on both architectures:"
        sed 's/^/      /' "$work/twins"
        echo "    so wine32:i386 comes from $fallback_from"
        echo "    alone, pinned above the installed versions"
    fi
    print_changes
    grep -E '^(downgrade|remove) ' "$work/changes" >"$work/consent" 2>/dev/null || true
    if [ $dry_run -eq 1 ]; then
        if [ -s "$work/consent" ] && [ "${QUELT_ALLOW_DOWNGRADE:-}" != 1 ]; then
            say "it would stop before the downgrades without QUELT_ALLOW_DOWNGRADE=1 in the environment"
        fi
        say "dry run: nothing was changed"
        exit 0
    fi
    require_consent "$work/consent"

    # The changes, in the order of the plan.
    if [ ${#missing[@]} -gt 0 ] || [ ${#qemu[@]} -gt 0 ]; then
        apt_update
        if [ ${#missing[@]} -gt 0 ]; then
            apt_install install "${missing[@]}" "${no_wine32[@]}" ||
                fail "apt-get install failed (apt's answer above); $(so_far)"
        fi
        if [ ${#qemu[@]} -gt 0 ]; then
            apt_install install --no-install-recommends "${qemu[@]}" ||
                fail "apt-get install failed (apt's answer above); $(so_far)"
        fi
    fi
    case $binfmt_action in
    register)
        if [ ! -e $BINFMT/register ]; then
            "${sudo[@]}" mount -t binfmt_misc binfmt_misc $BINFMT ||
                fail "cannot mount binfmt_misc, so i386 programs cannot run here; $(so_far)"
            changed+=("binfmt_misc mounted on $BINFMT (until the machine restarts)")
        fi
        printf '%s' "$QEMU_I386_ENTRY" | "${sudo[@]}" tee $BINFMT/register >/dev/null ||
            fail "cannot register qemu-i386 with binfmt_misc; $(so_far)"
        changed+=("binfmt_misc entry qemu-i386 registered (until the machine restarts)")
        ;;
    enable)
        echo 1 | "${sudo[@]}" tee $BINFMT/qemu-i386 >/dev/null ||
            fail "cannot enable $BINFMT/qemu-i386; $(so_far)"
        changed+=("binfmt_misc entry qemu-i386 enabled (until the machine restarts)")
        ;;
    esac
    if [ $wine32 -eq 1 ]; then
        if [ $add_i386 -eq 1 ]; then
            "${sudo[@]}" dpkg --add-architecture i386 || fail "dpkg --add-architecture i386 failed; $(so_far)"
            changed+=("the architecture i386 added")
        fi
        apt_update
        install_wine32
    fi
    check_wine32

    local installed=("${missing[@]}" "${qemu[@]}")
    [ $wine32 -eq 0 ] || installed+=(wine32:i386)
    if [ ${#installed[@]} -gt 0 ]; then
        say "done; installed, with what they need: ${installed[*]}"
    else
        say "done; no package installed"
    fi
    if [ ${#changed[@]} -gt 0 ] || [ -s "$work/downgraded" ]; then
        say "what lasts besides the installed packages:"
        [ ${#changed[@]} -eq 0 ] || printf '    %s\n' "${changed[@]}"
        if [ -s "$work/downgraded" ]; then
            awk '$1 == "downgrade" { print "    " $2 " downgraded from " $3 " to " $4 }
                $1 == "remove" { print "    " $2 " " $3 " removed" }' "$work/downgraded"
        fi
        say "README.md, \"Undoing the set-up\", says how to take these back."
    fi
}

# Sourced by the tests for the decisions above; run, it does the work.
if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    main "$@"
fi
