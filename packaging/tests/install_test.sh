#!/bin/sh
# Installs the build into a temporary prefix, moves the prefix elsewhere (an
# installed tree must not remember where it was built or installed), then
# checks what is there and builds hosts against it, C and C++: through the
# CMake package and through pkg-config.
#
# Environment: BUILD_DIR SOURCE_DIR LIBDIR INCLUDEDIR BINDIR HAS_CLI CC CXX
# CONSUMER_FLAGS (extra compile and link flags, for sanitizer builds).
set -eu

. "$(dirname "$0")/lib.sh"

work=$(mktemp -d "${TMPDIR:-/tmp}/tarnwick-install.XXXXXX")
trap 'rm -rf "$work"' EXIT

cmake --install "$BUILD_DIR" --prefix "$work/staged" >"$work/install.log"
mv "$work/staged" "$work/prefix"
prefix=$work/prefix

step "installed files"
expected_files >"$work/expected"
installed_files "$prefix" >"$work/actual"
diff -u "$work/expected" "$work/actual" || fail "installed files differ from the expected list"

step "shared library and its links"
check_library_links "$prefix/$LIBDIR"

step "no build or install paths"
check_no_build_paths "$prefix"
# The staging prefix must not leak into text either: the tree was moved.
if grep -rIl -- "$work/staged" "$prefix"; then
  fail "files above remember the prefix they were installed into"
fi

step "find_package consumer"
cmake -S "$SOURCE_DIR/packaging/tests/consumer" -B "$work/cmake-consumer" -G Ninja \
  -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_COMPILER="$CC" -DCMAKE_CXX_COMPILER="$CXX" \
  -DCMAKE_C_FLAGS="$CONSUMER_FLAGS" -DCMAKE_CXX_FLAGS="$CONSUMER_FLAGS" \
  -DCMAKE_EXE_LINKER_FLAGS="$CONSUMER_FLAGS" >"$work/consumer.log" ||
  { cat "$work/consumer.log"; fail "find_package(tarnwick 0.0.2) failed"; }
cmake --build "$work/cmake-consumer" >>"$work/consumer.log" ||
  { cat "$work/consumer.log"; fail "the find_package consumer did not build"; }
"$work/cmake-consumer/consumer_c"
"$work/cmake-consumer/consumer_cxx"
check_cpp_host "$work/cmake-consumer/host_cpp"

step "find_package refuses another minor version"
for wanted in 0.1 1.0 0.0.3; do
  if cmake -S "$SOURCE_DIR/packaging/tests/consumer" -B "$work/cmake-wrong-$wanted" -G Ninja \
    -DCMAKE_PREFIX_PATH="$prefix" -DTARNWICK_WANTED="$wanted" >"$work/wrong.log" 2>&1; then
    fail "find_package(tarnwick $wanted) accepted version 0.0.2"
  fi
done

step "pkg-config consumer"
PKG_CONFIG_PATH="$prefix/$LIBDIR/pkgconfig"
export PKG_CONFIG_PATH
[ "$(pkg-config --modversion tarnwick)" = "$PROJECT_VERSION" ] || fail "pkg-config reports another version"
flags=$(pkg-config --cflags --libs tarnwick)
case "$flags" in
  *"$prefix"*) ;;
  *) fail "pkg-config flags do not point into the moved prefix: $flags" ;;
esac
# shellcheck disable=SC2086 # the flags are meant to split
"$CC" $CONSUMER_FLAGS -DEXPECTED_VERSION="\"$PROJECT_VERSION\"" \
  "$SOURCE_DIR/packaging/tests/consumer/consumer.c" $flags -o "$work/pc_consumer_c"
# shellcheck disable=SC2086
"$CXX" $CONSUMER_FLAGS -DEXPECTED_VERSION="\"$PROJECT_VERSION\"" -x c++ \
  "$SOURCE_DIR/packaging/tests/consumer/consumer.c" -x none $flags -o "$work/pc_consumer_cxx"
LD_LIBRARY_PATH="$prefix/$LIBDIR" "$work/pc_consumer_c"
LD_LIBRARY_PATH="$prefix/$LIBDIR" "$work/pc_consumer_cxx"
# shellcheck disable=SC2086
"$CXX" $CONSUMER_FLAGS -std=c++17 "$SOURCE_DIR/examples/cpp/host.cpp" $flags -o "$work/pc_host_cpp"
check_cpp_host env LD_LIBRARY_PATH="$prefix/$LIBDIR" "$work/pc_host_cpp"

if [ "$HAS_CLI" = 1 ]; then
  step "installed program finds its library"
  out=$(env -u LD_LIBRARY_PATH "$prefix/$BINDIR/tarnwick" --version) ||
    fail "the installed program does not run"
  case "$out" in
    *"$PROJECT_VERSION"*) ;;
    *) fail "the installed program printed no version: $out" ;;
  esac
fi

echo "install: all checks passed"
