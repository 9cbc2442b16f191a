#!/bin/bash
# bootstrap's decisions, each fed with answers recorded from apt, bash and
# the kernel on Debian 12 and 13 (answers/ holds apt's longer ones, with the
# mirror's host name replaced by mirror.example), one table row a case.
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
# shellcheck source=SCRIPTDIR/../../scripts/bootstrap.sh
source "$here/../../scripts/bootstrap.sh"
set +e
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0 failed=0
# The recorded answers, and two made from one of them: without apt's heading
# of unmet dependencies, and with an error of another kind.
answers="$work/answers"
cp -r "$here/answers" "$answers"
grep -v '^The following packages have unmet' "$answers/twins.txt" >"$answers/no-heading.txt"
cat "$answers/twins.txt" "$answers/unknown.txt" >"$answers/other-error.txt"

check() { # NAME EXPECTED ACTUAL
    if [ "$2" == "$3" ]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        printf 'FAIL %s\n  expected: %s\n  actual:   %s\n' "$1" "$2" "$3"
    fi
}

# install_decision: STATUS | ANSWER | HELD packages not pinned yet | decision
while IFS='|' read -r name status answer twins expected; do
    check "install_decision $name" "$expected" "$(install_decision "$status" "$answers/$answer" "$twins")"
done <<'EOF'
installed|0|lock.txt||ok
resolver gave up on i386 twins of security builds|100|twins.txt|zlib1g|pin
same answer, but every twin is to be had or pinned|100|twins.txt||stop
libc6-dev and libc6-i386 too new for the libc6 that an earlier pin left|100|held.txt|libc6-dev libc6-i386|pin
apt 3.0 gave up on i386 twins, with its solver's context|100|twins-trixie.txt|libc6|pin
apt 3.0, a twin of a package pinned in an earlier round|100|held-trixie.txt|libde265-0|pin
dpkg frontend lock held|100|lock.txt|zlib1g|stop
a package that no configured suite has|100|unknown.txt|zlib1g|stop
twins, but no heading of unmet dependencies|100|no-heading.txt|zlib1g|stop
twins, and an error of another kind|100|other-error.txt|zlib1g|stop
EOF

# The i386 packages that the resolver named, whose amd64 side is checked.
while IFS='|' read -r answer expected; do
    check "unmet_i386_packages $answer" "$expected" \
        "$(unmet_i386_packages "$answers/$answer" | tr '\n' ' ' | sed 's/ $//')"
done <<'EOF'
twins.txt|libbrotli1 libexpat1 libgd3 libgstreamer-plugins-base1.0-0 liblzma5 libpcre2-8-0 libpng16-16 libsasl2-2 libssh2-1 libssl3 libzstd1 zlib1g
twins-trixie.txt|libavutil59 libc6 libdbus-1-3 libgd3 libgssapi-krb5-2 libssl3t64 libzstd1
EOF

# too_new_for_held: apt's unmet dependencies (\n between) | the packages to pin next
check "too_new_for_held recorded answer" "libc6-dev libc6-i386 " \
    "$(too_new_for_held "$answers/held.txt" | tr '\n' ' ')"
while IFS='|' read -r name lines expected; do
    printf '%b\n' "$lines" >"$work/answer"
    check "too_new_for_held $name" "$expected" "$(too_new_for_held "$work/answer" | tr '\n' ' ')"
done <<'EOF'
lower bounds, i386 named without its architecture| x:i386 : Depends: y:i386 (>= 2.0) but 1.0 is to be installed\n          Depends: z (= 1:1.2) but 1:1.10 is to be installed\n w : Breaks: v (<< 1.1) but 1.0 is to be installed|w x 
newer to be installed, or none| x : Depends: y (<< 2.0) but 3.0 is to be installed\n x : Depends: z (>= 2) but it is not going to be installed|
an OR-group whose first alternative is too old| x : Depends: a (>= 2) but 1 is to be installed or\n              b but it is not installable|x 
strict bound met exactly, or exceeded| x : Depends: y (>> 2) but 2 is to be installed\n z : PreDepends: y (>> 2) but 3 is to be installed|x 
breaks up to the version installed, or below it| x : Breaks: y (<= 2) but 2 is to be installed\n z : Breaks: y (<= 2) but 3 is to be installed|x 
exact version older than to be installed| x : Depends: y (= 1) but 2 is to be installed|
EOF

# i386_exec_decision: STATUS | what bash said (LC_ALL=C) | decision
while IFS='|' read -r name status message expected; do
    check "i386_exec_decision $name" "$expected" "$(i386_exec_decision "$status" "$message")"
done <<'EOF'
ran|0||native
kernel without 32-bit support (ENOEXEC)|126|bash: line 1: /tmp/tmp.x/i386-exit0: cannot execute binary file: Exec format error|qemu
/tmp mounted noexec|126|bash: line 1: /tmp/tmp.x/i386-exit0: Permission denied|unknown
binfmt entry whose qemu-i386 lacks its libraries|127|/usr/bin/qemu-i386: error while loading shared libraries: libcapstone.so.4: cannot open shared object file: No such file or directory|unknown
EOF

# simulated_changes: apt-get -s lines (\n between) | the changes
while IFS='|' read -r name lines expected; do
    printf '%b\n' "$lines" >"$work/simulation"
    check "simulated_changes $name" "$expected" "$(simulated_changes "$work/simulation" | tr '\n' ';')"
done <<'EOF'
downgrade, new i386 twin|Inst zlib1g [1:1.2.13.dfsg-1+deb12u1] (1:1.2.13.dfsg-1 Debian:12.15/oldstable [amd64]) []\nInst zlib1g:i386 (1:1.2.13.dfsg-1 Debian:12.15/oldstable [i386]) []\nConf zlib1g:i386 (1:1.2.13.dfsg-1 Debian:12.15/oldstable [i386])|downgrade zlib1g 1:1.2.13.dfsg-1+deb12u1 1:1.2.13.dfsg-1;install zlib1g:i386 1:1.2.13.dfsg-1;
upgrade, removal|Inst apt [2.6.1] (2.6.2 Debian-Security:12/oldstable-security [amd64])\nRemv libfoo1 [1.0-1]|upgrade apt 2.6.1 2.6.2;remove libfoo1 1.0-1;
EOF

# candidates_of, through an apt-cache that answers as apt does: in German
# where the locale is German, or always in German.
mkdir "$work/bin"
while IFS='|' read -r name choice expected; do
    printf '#!/bin/sh\n%s\n' "$choice" >"$work/bin/apt-cache"
    chmod +x "$work/bin/apt-cache"
    check "candidates_of $name" "$expected" \
        "$(PATH="$work/bin:$PATH" LANG=de_DE.UTF-8 candidates_of libc6 make | tr '\n' ';')"
done <<EOF
asked in C from a German locale|if [ "\$LC_ALL" = C ]; then cat $answers/policy.txt; else cat $answers/policy-de.txt; fi|libc6 2.36-9+deb12u15;make 4.3-4.1;
a German answer names no candidate|cat $answers/policy-de.txt|
EOF

# older_than_candidate: changes | apt's candidates (\n between) | what needs consent, as printed
while IFS='|' read -r name changes candidates expected; do
    printf '%b\n' "$changes" >"$work/changes" && printf '%b' "$candidates" >"$work/candidates"
    check "older_than_candidate $name" "$expected" "$(older_than_candidate "$work/changes" "$work/candidates" | tr '\n' ';')"
done <<'EOF'
held installs, a downgrade|install libssl3 3.0.20-1~deb12u2\ninstall libssl3:i386 3.0.20-1~deb12u2\ndowngrade zlib1g 1:1.2.13.dfsg-1+deb12u1 1:1.2.13.dfsg-1|libssl3 3.0.22-1~deb12u2\nlibssl3:i386 3.0.20-1~deb12u2\nzlib1g 1:1.2.13.dfsg-1+deb12u1\n|    install libssl3 3.0.20-1~deb12u2 (apt's candidate 3.0.22-1~deb12u2);    downgrade zlib1g 1:1.2.13.dfsg-1+deb12u1 -> 1:1.2.13.dfsg-1 (apt's candidate 1:1.2.13.dfsg-1+deb12u1);
an upgrade short of the candidate, a removal, one at its candidate|upgrade bsdutils 1:2.38.1-5 1:2.38.1-5+deb12u3\nremove libfoo1 1.0-1\ninstall cmake 3.25.1-1|bsdutils 1:2.38.1-5+deb12u4\ncmake 3.25.1-1\n|    upgrade bsdutils 1:2.38.1-5 -> 1:2.38.1-5+deb12u3 (apt's candidate 1:2.38.1-5+deb12u4);    remove libfoo1 1.0-1;
a downgrade to apt's candidate|downgrade foo 2.0 1.0|foo 1.0\n|    downgrade foo 2.0 -> 1.0 (apt's candidate 1.0);
no candidate read, as from a German answer|install cmake 3.25.1-1\ndowngrade zlib1g 1:1.2.13.dfsg-1+deb12u1 1:1.2.13.dfsg-1||    install cmake 3.25.1-1 (apt's candidate unknown);    downgrade zlib1g 1:1.2.13.dfsg-1+deb12u1 -> 1:1.2.13.dfsg-1 (apt's candidate unknown);
EOF

# require_consent: QUELT_ALLOW_DOWNGRADE | dry run | changes to consent to | its last line, exit status
while IFS='|' read -r name allow dry_run consent expected; do
    printf '%b' "$consent" >"$work/consent"
    check "require_consent $name" "$expected" "$( (QUELT_ALLOW_DOWNGRADE=$allow \
        require_consent "$work/consent" "$dry_run" 2>&1) | tail -n 1 | tr '\n' ';'
        echo "status ${PIPESTATUS[0]}")"
done <<'EOF'
nothing to agree to||0||status 0
a downgrade, not agreed to||0|    downgrade zlib1g 2 -> 1 (apt's candidate 2)\n|bootstrap: stopped before changing anything; to agree, run again with QUELT_ALLOW_DOWNGRADE=1 in the environment.;status 1
agreed to|1|0|    remove libfoo1 1.0-1\n|bootstrap: QUELT_ALLOW_DOWNGRADE=1: going on with them;status 0
agreement not in the words asked for|yes|0|    remove libfoo1 1.0-1\n|bootstrap: stopped before changing anything; to agree, run again with QUELT_ALLOW_DOWNGRADE=1 in the environment.;status 1
a dry run, not agreed to||1|    remove libfoo1 1.0-1\n|bootstrap: without QUELT_ALLOW_DOWNGRADE=1 in the environment it would stop before them;status 0
EOF
printf '    downgrade zlib1g 2 -> 1 (apt'\''s candidate 2)\n' >"$work/consent"
check "require_consent lists the changes" "    downgrade zlib1g 2 -> 1 (apt's candidate 2)" \
    "$(require_consent "$work/consent" 1 2>&1 | grep '^    ')"

# differs_from_plan: the plan's changes | apt's as root now (\n between) | what differs
while IFS='|' read -r name planned now expected; do
    printf '%b\n' "$planned" >"$work/planned" && printf '%b\n' "$now" >"$work/now"
    check "differs_from_plan $name" "$expected" \
        "$(differs_from_plan "$work/planned" "$work/now" | tr '\n' ';'; echo "status ${PIPESTATUS[0]}")"
done <<'EOF'
the same changes, listed otherwise|install a 1\nupgrade b 1 2|upgrade b 1 2\ninstall a 1|status 1
a newer version in the lists now|install a 1\nupgrade b 1 2|install a 1.1\nupgrade b 1 2|    planned: install a 1;    now: install a 1.1;status 0
a removal not planned|install a 1|install a 1\nremove c 3|    now: remove c 3;status 0
EOF

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
