#!/bin/sh
# Makes sure the machine has what a make target needs, before anything is built. On Debian or Ubuntu the missing
# packages are installed with apt-get (through sudo when not root) after one line naming them; elsewhere the
# command stops with that list.
#   sh scripts/setup.sh build|demo|test|bench|package|package-test
set -eu
target=${1:?usage: setup.sh build|demo|test|bench|package|package-test}

# Each item: the Debian package, and what shows it is there: a command, or for a library its header. A Debian
# package is made by cpack with dpkg-shlibdeps (dpkg-dev) and file; its test adds lintian and man.
case $target in
build | demo) wanted="cmake:cmake g++:g++ nlohmann-json3-dev:nlohmann/json.hpp" ;;
test) wanted="cmake:cmake g++:g++ nlohmann-json3-dev:nlohmann/json.hpp libgtest-dev:gtest/gtest.h srecord:srec_info python3:/usr/bin/python3" ;;
bench) wanted="cmake:cmake g++:g++ nlohmann-json3-dev:nlohmann/json.hpp srecord:srec_info" ;;
package) wanted="cmake:cmake g++:g++ nlohmann-json3-dev:nlohmann/json.hpp dpkg-dev:dpkg-shlibdeps file:file" ;;
package-test) wanted="cmake:cmake g++:g++ nlohmann-json3-dev:nlohmann/json.hpp dpkg-dev:dpkg-shlibdeps file:file lintian:lintian man-db:man" ;;
*) echo "setup: no such target: $target" >&2; exit 2 ;;
esac

have() {
    case $1 in
    */*.h | */*.hpp) [ -e "/usr/include/$1" ] || [ -e "/usr/local/include/$1" ] ;;
    *) command -v "$1" >/dev/null 2>&1 ;;
    esac
}

missing=
for item in $wanted; do
    have "${item#*:}" || missing="$missing ${item%%:*}"
done
[ -z "$missing" ] && exit 0
missing=${missing# }

if ! command -v apt-get >/dev/null 2>&1; then
    echo "make $target needs: $missing (Debian package names); please install them and run it again." >&2
    exit 1
fi
if [ "$(id -u)" -eq 0 ]; then
    sudo=
elif command -v sudo >/dev/null 2>&1; then
    sudo=sudo
else
    echo "make $target needs: $missing; run as root, or install sudo, or install them yourself." >&2
    exit 1
fi
echo "make $target: installing $missing (apt-get${sudo:+ through sudo})"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends $missing >/dev/null
