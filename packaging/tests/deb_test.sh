#!/bin/sh
# Builds the Debian packages with cpack and checks them as a system would see
# them: the split (libtarnwick0, libtarnwick-dev, tarnwick), each package's
# control fields (Multi-Arch included), dependencies and file list
# (dpkg-deb -c), its copyright file and changelog, the shlibs entry other
# packages depend through and the ldconfig trigger; lintian (no error, and no
# warning but those packaging/lintian-warnings.md keeps with a reason); then
# that a host builds against the unpacked packages through pkg-config with a
# sysroot, in C and in C++, and the program runs from them.
#
# Environment: BUILD_DIR SOURCE_DIR LIBDIR INCLUDEDIR BINDIR HAS_CLI CC CXX
# CONSUMER_FLAGS PROJECT_VERSION PROGRAM (the built program, when HAS_CLI).
set -eu

. "$(dirname "$0")/lib.sh"

work=$(mktemp -d "${TMPDIR:-/tmp}/tarnwick-deb.XXXXXX")
trap 'rm -rf "$work"' EXIT

cpack -G DEB --config "$BUILD_DIR/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; fail "cpack -G DEB failed"; }
step "cpack says no warning"
if grep -i "warning" "$work/cpack.log"; then fail "cpack warns (above)"; fi
arch=$(dpkg --print-architecture)
packages="libtarnwick0 libtarnwick-dev"
if [ "$HAS_CLI" = 1 ]; then packages="$packages tarnwick"; fi
(cd "$work/out" && ls -- *.deb) >"$work/debs"
for package in $packages; do echo "${package}_${PROJECT_VERSION}_${arch}.deb"; done |
  LC_ALL=C sort | diff -u - "$work/debs" || fail "unexpected package files"

# Each package's dependencies by name, and the one that must carry a version.
runtime_deps="libc6 libgcc-s1 libstdc++6"
program_deps="$runtime_deps libtarnwick0"
if [ "$HAS_CLI" = 1 ] && readelf -d "$PROGRAM" | grep -q 'NEEDED.*libsqlite3'; then
  program_deps="$program_deps libsqlite3-0"
fi

for package in $packages; do
  deb=$work/out/${package}_${PROJECT_VERSION}_${arch}.deb
  case $package in
    libtarnwick0) component=runtime section=libs names=$runtime_deps versioned="" multiarch=same ;;
    libtarnwick-dev)
      component=development section=libdevel names=libtarnwick0 multiarch=same
      versioned="libtarnwick0 (= $PROJECT_VERSION)"
      ;;
    tarnwick)
      component=program section=utils names=$program_deps multiarch=foreign
      versioned="libtarnwick0 (>= $PROJECT_VERSION)"
      ;;
  esac

  step "$package: control fields and dependencies"
  for field in "Package=$package" "Version=$PROJECT_VERSION" "Architecture=$arch" \
    "Section=$section" "Multi-Arch=$multiarch"; do
    [ "$(dpkg-deb -f "$deb" "${field%%=*}")" = "${field#*=}" ] ||
      fail "$package: ${field%%=*} is not ${field#*=}"
  done
  depends=$(dpkg-deb -f "$deb" Depends)
  echo "Depends: $depends"
  # Exactly these: a library package that pulled in the program's
  # dependencies would defeat the split.
  echo "$depends" | tr ',' '\n' | sed 's/^ *//; s/ *(.*//' | LC_ALL=C sort >"$work/deps"
  printf '%s\n' $names | LC_ALL=C sort | diff -u - "$work/deps" ||
    fail "$package: unexpected dependencies"
  if [ -n "$versioned" ]; then
    case ", $depends," in
      *", $versioned,"*) ;;
      *) fail "$package: Depends lacks '$versioned'" ;;
    esac
  fi

  step "$package: files"
  # dpkg-deb -c prints "mode owner size date time path[ -> target]".
  dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { $1 = $2 = $3 = $4 = $5 = ""; sub(/^ +/, ""); print }' |
    sed 's|^\./usr/||' | normalise_listing >"$work/actual"
  {
    component_files $component
    echo "share/doc/$package/copyright"
    echo "share/doc/$package/changelog.gz"
    if [ "$package" = tarnwick ]; then echo "share/man/man1/tarnwick.1.gz"; fi
  } | LC_ALL=C sort >"$work/expected"
  diff -u "$work/expected" "$work/actual" || fail "$package: the files differ from the expected list"

  step "$package: copyright"
  dpkg-deb -x "$deb" "$work/root"
  copyright=$work/root/usr/share/doc/$package/copyright
  head -1 "$copyright" | grep -q '^Format: .*copyright-format/1.0/$' || fail "$package: not a machine-readable copyright file"
  grep -qx 'Copyright: 2026 the tarnwick authors' "$copyright" || fail "$package: no copyright holder"
  # The licence text is the LICENSE file's, as a continuation of License: Expat.
  sed -n '/^License: Expat$/,$p' "$copyright" | sed '1d; s/^ //; s/^\.$//' >"$work/license-text"
  tail -n +5 "$SOURCE_DIR/LICENSE" | diff -u - "$work/license-text" || fail "$package: the licence text differs"

  step "$package: changelog"
  changelog=$work/root/usr/share/doc/$package/changelog.gz
  gzip -dc "$changelog" | head -1 | grep -q "^tarnwick ($PROJECT_VERSION) " ||
    fail "$package: the changelog's newest entry is not $PROJECT_VERSION"
  # The same bytes in every architecture's package (Multi-Arch: same).
  cmp -s "$changelog" "$BUILD_DIR/packaging/changelog.gz" || fail "$package: another changelog"
done

step "shlibs and loader cache"
mkdir "$work/control"
dpkg-deb -e "$work/out/libtarnwick0_${PROJECT_VERSION}_${arch}.deb" "$work/control"
grep -Eqx "libtarnwick 0 libtarnwick0 \(>= $PROJECT_VERSION\)" "$work/control/shlibs" ||
  fail "no shlibs entry for libtarnwick.so.0"
grep -qx "activate-noawait ldconfig" "$work/control/triggers" ||
  fail "no ldconfig trigger refreshes the loader cache"
for script in preinst postinst prerm postrm; do
  [ ! -e "$work/control/$script" ] || fail "libtarnwick0 has a $script; the trigger does its work"
done

if [ "$HAS_CLI" = 1 ] && command -v dpkg-shlibdeps >/dev/null 2>&1; then
  step "tarnwick: Depends names libtarnwick0 once where it is installed"
  # Where libtarnwick0 is installed, dpkg-shlibdeps knows its shlibs and adds
  # it to what the package states. A shlibs.local in the directory cpack runs
  # dpkg-shlibdeps in tells it the same, without root.
  real=$(command -v dpkg-shlibdeps)
  mkdir "$work/bin"
  cat >"$work/bin/dpkg-shlibdeps" <<WRAPPER
#!/bin/sh
if [ -d debian ]; then echo 'libtarnwick 0 libtarnwick0 (>= 0.0.1)' >debian/shlibs.local; fi
exec "$real" "\$@"
WRAPPER
  chmod +x "$work/bin/dpkg-shlibdeps"
  PATH="$work/bin:$PATH" cpack -G DEB --config "$BUILD_DIR/CPackConfig.cmake" \
    -B "$work/installed" >"$work/cpack-installed.log" 2>&1 ||
    { cat "$work/cpack-installed.log"; fail "cpack -G DEB failed"; }
  depends=$(dpkg-deb -f "$work/installed/tarnwick_${PROJECT_VERSION}_${arch}.deb" Depends)
  echo "Depends: $depends"
  [ "$(echo "$depends" | tr ',' '\n' | grep -c 'libtarnwick0')" = 1 ] ||
    fail "tarnwick: Depends names libtarnwick0 more or less than once"
  case ", $depends," in
    *", libtarnwick0 (>= $PROJECT_VERSION),"*) ;;
    *) fail "tarnwick: Depends lacks 'libtarnwick0 (>= $PROJECT_VERSION)'" ;;
  esac
fi

if command -v lintian >/dev/null 2>&1; then
  step "lintian"
  "$SOURCE_DIR/packaging/lint" "$work/out" || fail "lintian: see above"
else
  echo "lintian not installed: the packages are not linted (scripts/bootstrap test installs it)"
fi

step "unpacked packages"
root=$work/root/usr
check_library_links "$root/$LIBDIR"
check_no_build_paths "$work/root"
if file -L "$root/$LIBDIR/libtarnwick.so.0" | grep -q "not stripped"; then
  fail "the packaged library is not stripped"
fi
# The packages name their prefix, /usr: a host builds against the unpacked
# tree as a cross build does against its sysroot.
PKG_CONFIG_LIBDIR="$root/$LIBDIR/pkgconfig"
PKG_CONFIG_SYSROOT_DIR=$work/root
export PKG_CONFIG_LIBDIR PKG_CONFIG_SYSROOT_DIR
[ "$(sed -n 's/^prefix=//p' "$PKG_CONFIG_LIBDIR/tarnwick.pc")" = /usr ] ||
  fail "the pkg-config prefix is not /usr"
flags=$(pkg-config --cflags --libs tarnwick | sed 's/ *$//')
[ "$flags" = "-I$work/root/usr/include -L$work/root/usr/$LIBDIR -ltarnwick" ] ||
  fail "unexpected pkg-config flags: $flags"
# shellcheck disable=SC2046,SC2086 # the flags are meant to split
"$CC" $CONSUMER_FLAGS -DEXPECTED_VERSION="\"$PROJECT_VERSION\"" \
  "$SOURCE_DIR/packaging/tests/consumer/consumer.c" $(pkg-config --cflags --libs tarnwick) \
  -o "$work/consumer"
LD_LIBRARY_PATH="$root/$LIBDIR" "$work/consumer"
# shellcheck disable=SC2046,SC2086
"$CXX" $CONSUMER_FLAGS -std=c++17 "$SOURCE_DIR/examples/cpp/host.cpp" \
  $(pkg-config --cflags --libs tarnwick) -o "$work/host_cpp"
check_cpp_host env LD_LIBRARY_PATH="$root/$LIBDIR" "$work/host_cpp"
if [ "$HAS_CLI" = 1 ]; then
  env -u LD_LIBRARY_PATH "$root/$BINDIR/tarnwick" --version | grep -q "$PROJECT_VERSION" ||
    fail "the packaged program does not run"
  gzip -dc "$root/share/man/man1/tarnwick.1.gz" >"$work/tarnwick.1"
  groff -ww -man -z "$work/tarnwick.1" 2>"$work/groff.err" && [ ! -s "$work/groff.err" ] ||
    { cat "$work/groff.err"; fail "the packaged manual page has warnings"; }
fi

echo "deb: all checks passed"
