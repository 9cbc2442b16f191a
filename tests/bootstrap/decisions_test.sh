#!/bin/bash
# bootstrap's decisions, each fed with answers recorded from apt, bash and
# the kernel on Debian 12 (answers/ holds apt's longer ones, with the
# mirror's host name replaced by mirror.example), one table row a case.
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
# shellcheck source=SCRIPTDIR/../../scripts/bootstrap.sh
source "$here/../../scripts/bootstrap.sh"
set +e
answers="$here/answers"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0 failed=0

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
dpkg frontend lock held|100|lock.txt|zlib1g|stop
mirror unreachable while downloading|100|network.txt|zlib1g|stop
EOF

# The i386 packages that the resolver named, whose amd64 side is checked.
check "unmet_i386_packages" \
    "libbrotli1 libexpat1 libgd3 libgstreamer-plugins-base1.0-0 liblzma5 libpcre2-8-0 libpng16-16 libsasl2-2 libssh2-1 libssl3 libzstd1 zlib1g" \
    "$(unmet_i386_packages "$answers/twins.txt" | tr '\n' ' ' | sed 's/ $//')"

# too_new_for_held: apt's unmet dependencies (\n between) | the packages to pin next
check "too_new_for_held recorded answer" "libc6-dev libc6-i386 " "$(too_new_for_held "$answers/held.txt" | tr '\n' ' ')"
while IFS='|' read -r name lines expected; do
    printf '%b\n' "$lines" >"$work/answer"
    check "too_new_for_held $name" "$expected" "$(too_new_for_held "$work/answer" | tr '\n' ' ')"
done <<'EOF'
lower bounds, i386 named without its architecture| x:i386 : Depends: y:i386 (>= 2.0) but 1.0 is to be installed\n          Depends: z (= 1:1.2) but 1:1.10 is to be installed\n w : Breaks: v (<< 1.1) but 1.0 is to be installed|w x 
newer to be installed, or none| x : Depends: y (<< 2.0) but 3.0 is to be installed\n x : Depends: z (>= 2) but it is not going to be installed|
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

# older_than_candidate: changes | apt's candidates (\n between) | what needs consent
while IFS='|' read -r name changes candidates expected; do
    printf '%b\n' "$changes" >"$work/changes" && printf '%b\n' "$candidates" >"$work/candidates"
    check "older_than_candidate $name" "$expected" "$(older_than_candidate "$work/changes" "$work/candidates" | tr '\n' ';')"
done <<'EOF'
held installs, a downgrade|install libssl3 3.0.20-1~deb12u2\ninstall libssl3:i386 3.0.20-1~deb12u2\ndowngrade zlib1g 1:1.2.13.dfsg-1+deb12u1 1:1.2.13.dfsg-1|libssl3 3.0.22-1~deb12u2\nlibssl3:i386 3.0.20-1~deb12u2\nzlib1g 1:1.2.13.dfsg-1+deb12u1|install libssl3 3.0.20-1~deb12u2 3.0.22-1~deb12u2;downgrade zlib1g 1:1.2.13.dfsg-1+deb12u1 1:1.2.13.dfsg-1 1:1.2.13.dfsg-1+deb12u1;
an upgrade short of the candidate, a removal, no candidate|upgrade bsdutils 1:2.38.1-5 1:2.38.1-5+deb12u3\nremove libfoo1 1.0-1\ninstall cmake 3.25.1-1|bsdutils 1:2.38.1-5+deb12u4|upgrade bsdutils 1:2.38.1-5 1:2.38.1-5+deb12u3 1:2.38.1-5+deb12u4;remove libfoo1 1.0-1;
EOF

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
