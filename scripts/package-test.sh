#!/bin/sh
# The Debian package as a user gets it: build it, check it with lintian, install it, run what it installed,
# remove it cleanly.
#   sh scripts/package-test.sh [build-dir]      (or: make package-test; needs root for dpkg)
set -eu
cd "$(dirname "$0")/.."
build=${1:-build}
rm -f "$build"/vq2dl_*.deb
(cd "$build" && cpack -G DEB) >/dev/null
deb=$(ls "$build"/vq2dl_*.deb)
echo "package-test: $deb"
dpkg-deb --contents "$deb" | awk '{print $6}' | sort

failed=0
check() {
    if eval "$2"; then echo "package-test: ok: $1"; else echo "package-test: FAILED: $1"; failed=1; fi
}

# Debian's own checker: any error fails the stage (warnings are shown).
if ! command -v lintian >/dev/null 2>&1; then
    echo "package-test: lintian is missing (apt-get install lintian)" >&2
    exit 1
fi
lintian --tag-display-limit 0 "$deb" >"$build/lintian.out" 2>&1 || true
cat "$build/lintian.out"
check "lintian reports no error" '! grep -q "^E: " "$build/lintian.out"'

dpkg -i "$deb" >/dev/null
# The banner gives the package's version as major.minor with two digits: 2.0.0 shows as 2.00.
version=$(dpkg-deb -f "$deb" Version)
minor=${version#*.}
banner=$(printf 'Velquin Download %d.%02d' "${version%%.*}" "${minor%%.*}")
status=0
out=$(vq2dl -w -c /nonexistent/port) || status=$?
check "vq2dl runs from /usr/bin, shows the banner and ends with status 2" \
    '[ "$status" -eq 2 ] && [ "$(printf "%s\n" "$out" | head -n 1)" = "$banner" ]'
check "vqu and vqsim are installed" 'command -v vqu >/dev/null && vqsim --help >/dev/null'
for page in vq2dl vqu vqsim; do
    check "man page $page(1) renders" "man -l /usr/share/man/man1/$page.1.gz 2>&1 | grep -q '^NAME'"
done
check "bash completion installed" '[ -f /usr/share/bash-completion/completions/vq2dl ]'
check "vq2dl --version, vqu --version and vqsim --version name the package's version" \
    '[ "$(vq2dl --version)" = "vq2dl $version" ] && [ "$(vqu --version)" = "vqu $version" ] && [ "$(vqsim --version)" = "vqsim $version" ]'
for page in vq2dl vqu vqsim; do
    check "man page $page(1) names the package's version" \
        "zcat /usr/share/man/man1/$page.1.gz | head -n 1 | grep -qF '\"vq2dl $version\"'"
done
check "the README, the events' schema and the samples are in /usr/share/doc/vq2dl" \
    '[ -f /usr/share/doc/vq2dl/README.md ] && [ -f /usr/share/doc/vq2dl/events.schema.json ] && [ -f /usr/share/doc/vq2dl/samples/README.md ] && [ -f /usr/share/doc/vq2dl/samples/velquin2.s19 ] && [ -f /usr/share/doc/vq2dl/samples/vq1-demo.s19 ]'
dpkg -r vq2dl >/dev/null
check "removed cleanly" '! command -v vq2dl >/dev/null && [ ! -e /usr/share/man/man1/vq2dl.1.gz ]'
exit $failed
