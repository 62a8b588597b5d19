#!/bin/sh
# Builds the Debian package with cpack and checks it as a system would see it:
# its control fields and dependencies, its file list (dpkg-deb -c), the shlibs
# entry other packages depend through, and that a host builds against the
# unpacked tree through pkg-config.
#
# Environment: BUILD_DIR SOURCE_DIR LIBDIR INCLUDEDIR BINDIR HAS_CLI CC
# CONSUMER_FLAGS PROJECT_VERSION.
set -eu

. "$(dirname "$0")/lib.sh"

work=$(mktemp -d "${TMPDIR:-/tmp}/tarnwick-deb.XXXXXX")
trap 'rm -rf "$work"' EXIT

cpack -G DEB --config "$BUILD_DIR/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; fail "cpack -G DEB failed"; }
set -- "$work"/out/*.deb
[ $# -eq 1 ] && [ -f "$1" ] || fail "expected exactly one .deb, found: $*"
deb=$1
arch=$(dpkg --print-architecture)
[ "$(basename "$deb")" = "tarnwick_${PROJECT_VERSION}_${arch}.deb" ] ||
  fail "unexpected package file name $(basename "$deb")"

step "control fields"
[ "$(dpkg-deb -f "$deb" Package)" = tarnwick ] || fail "package name"
[ "$(dpkg-deb -f "$deb" Version)" = "$PROJECT_VERSION" ] || fail "package version"
[ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || fail "architecture"
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for runtime in libc6 libstdc++6 libgcc-s1; do
  case ", $depends," in
    *", $runtime "* | *", $runtime,"*) ;;
    *) fail "Depends lacks $runtime" ;;
  esac
done

step "file list"
# dpkg-deb -c prints "mode owner size date time path[ -> target]".
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { $1 = $2 = $3 = $4 = $5 = ""; sub(/^ +/, ""); print }' |
  sed 's|^\./usr/||' | normalise_listing >"$work/actual"
expected_files >"$work/expected"
diff -u "$work/expected" "$work/actual" || fail "the package's files differ from the expected list"

step "shlibs and loader cache"
mkdir "$work/control"
dpkg-deb -e "$deb" "$work/control"
grep -Eq "^libtarnwick 0 tarnwick( |$)" "$work/control/shlibs" ||
  fail "no shlibs entry for libtarnwick.so.0"
grep -q ldconfig "$work/control/postinst" || fail "postinst does not refresh the loader cache"

step "unpacked tree"
dpkg-deb -x "$deb" "$work/root"
root=$work/root/usr
check_library_links "$root/$LIBDIR"
check_no_build_paths "$work/root"
if file -L "$root/$LIBDIR/libtarnwick.so.0" | grep -q "not stripped"; then
  fail "the packaged library is not stripped"
fi
PKG_CONFIG_PATH="$root/$LIBDIR/pkgconfig"
export PKG_CONFIG_PATH
# shellcheck disable=SC2046,SC2086 # the flags are meant to split
"$CC" $CONSUMER_FLAGS -DEXPECTED_VERSION="\"$PROJECT_VERSION\"" \
  "$SOURCE_DIR/packaging/tests/consumer/consumer.c" $(pkg-config --cflags --libs tarnwick) \
  -o "$work/consumer"
LD_LIBRARY_PATH="$root/$LIBDIR" "$work/consumer"

echo "deb: all checks passed"
