# Helpers shared by the packaging tests (sourced, not run).

step() { echo "-- $*"; }

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# What each install component holds, relative to the prefix: runtime,
# development, program, or plain (what a plain install adds to them, where a
# Debian package carries the licence and the manual page in its own forms).
# Symbolic links are listed with their target; the exported targets'
# per-configuration file is named after the build type, so it is listed under
# a fixed name.
component_files() {
  case $1 in
    runtime)
      echo "$LIBDIR/libtarnwick.so.0 -> libtarnwick.so.$PROJECT_VERSION"
      echo "$LIBDIR/libtarnwick.so.$PROJECT_VERSION"
      ;;
    development)
      echo "$INCLUDEDIR/tarnwick.h"
      echo "$INCLUDEDIR/tarnwick_version.h"
      echo "$INCLUDEDIR/tarnwick.hpp"
      echo "$LIBDIR/libtarnwick.so -> libtarnwick.so.0"
      echo "$LIBDIR/cmake/tarnwick/tarnwickConfig.cmake"
      echo "$LIBDIR/cmake/tarnwick/tarnwickConfigVersion.cmake"
      echo "$LIBDIR/cmake/tarnwick/tarnwickTargets-CONFIG.cmake"
      echo "$LIBDIR/cmake/tarnwick/tarnwickTargets.cmake"
      echo "$LIBDIR/pkgconfig/tarnwick.pc"
      ;;
    program)
      echo "$BINDIR/tarnwick"
      echo "share/bash-completion/completions/tarnwick"
      for schema in changes compare history report result; do
        echo "share/tarnwick/schemas/$schema.schema.json"
      done
      ;;
    plain)
      echo "share/doc/tarnwick/LICENSE"
      if [ "$HAS_CLI" = 1 ]; then echo "share/man/man1/tarnwick.1"; fi
      ;;
  esac
}

# What a plain installation holds.
expected_files() {
  {
    component_files runtime
    component_files development
    if [ "$HAS_CLI" = 1 ]; then component_files program; fi
    component_files plain
  } | LC_ALL=C sort
}

normalise_listing() {
  sed -e 's|tarnwickTargets-[a-z]*\.cmake|tarnwickTargets-CONFIG.cmake|' | LC_ALL=C sort
}

installed_files() {
  (cd "$1" && find . ! -type d | sed 's|^\./||' | while read -r f; do
    if [ -L "$f" ]; then echo "$f -> $(readlink "$f")"; else echo "$f"; fi
  done) | normalise_listing
}

# Runs the C++ example host (a command line) for a short window: it must
# complete.
check_cpp_host() {
  out=$("$@" --warmup 0 --measure 0.3 2>/dev/null) || fail "$* exited with status $?"
  case "$out" in
    *"status: completed"*) ;;
    *) fail "$* did not complete: $out" ;;
  esac
}

check_library_links() {
  soname=$(readelf -d "$1/libtarnwick.so.$PROJECT_VERSION" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
  [ "$soname" = "libtarnwick.so.0" ] || fail "SONAME is '$soname', not libtarnwick.so.0"
  if readelf -d "$1/libtarnwick.so.$PROJECT_VERSION" | grep -E 'R(UN)?PATH'; then
    fail "the shared library carries a run path"
  fi
}

# Text files must not name the source or build tree; binaries must not carry
# a run path into them (debug information may name sources, as it should).
check_no_build_paths() {
  if grep -rIl -e "$SOURCE_DIR" -e "$BUILD_DIR" "$1"; then
    fail "files above name the source or build tree"
  fi
  find "$1" -type f | while read -r f; do
    if readelf -d "$f" 2>/dev/null | grep -E 'R(UN)?PATH' | grep -q -e "$SOURCE_DIR" -e "$BUILD_DIR"; then
      echo "$f"
    fi
  done >"$1.runpaths"
  if [ -s "$1.runpaths" ]; then
    cat "$1.runpaths"
    fail "files above have a run path into the source or build tree"
  fi
  rm -f "$1.runpaths"
}
