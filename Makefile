# The two commands of the README, and their companions. Each one installs what
# is missing (scripts/bootstrap), configures and builds before it runs.
JOBS ?= 2

.PHONY: run test lint-js bench test-asan test-tsan test-arm64 package package-arm64 fuzz coverage format format-check tidy clean

# The benchmark with the library's defaults: one worker, 120 s warm-up, 60 s window.
run:
	@scripts/bootstrap run
	@cmake --preset release >/dev/null
	@cmake --build --preset release
	@build/release/cli/tarnwick $(ARGS)

test:
	@scripts/bootstrap test
	cmake --preset dev
	cmake --build --preset dev
	ctest --preset dev -j $(JOBS)

bench:
	@scripts/bootstrap test
	cmake --preset bench
	cmake --build --preset bench
	bench/run build/bench

# The sanitizer runs take their options (and the suites they leave out) from
# the test presets, so CI and these targets cannot disagree.
test-asan:
	@scripts/bootstrap test
	cmake --preset asan
	cmake --build --preset asan
	ctest --preset asan -j $(JOBS)

test-tsan:
	@scripts/bootstrap test
	cmake --preset tsan
	cmake --build --preset tsan
	ctest --preset tsan -j $(JOBS)

# The arm64 cross build: the library's unit and C ABI suites and a short run
# of the program, under qemu-user. Rates measured under emulation mean nothing.
test-arm64:
	@scripts/bootstrap arm64
	cmake --preset dev-arm64
	cmake --build --preset dev-arm64
	ctest --preset dev-arm64 -j $(JOBS)

# The Debian packages as users get them (release preset), checked by lintian:
# no error, and no warning but those packaging/lintian-warnings.md keeps.
package:
	@scripts/bootstrap test
	cmake --preset release
	cmake --build --preset release
	cd build/release && cpack -G DEB
	packaging/lint build/release

# The arm64 Debian packages and Python wheel, from the cross build.
package-arm64:
	@scripts/bootstrap arm64
	cmake --preset release-arm64
	cmake --build --preset release-arm64
	cd build/release-arm64 && cpack -G DEB

# The configuration fuzzer (clang 14, libFuzzer with ASan and UBSan), bounded.
FUZZ_SECONDS ?= 60
fuzz:
	@scripts/bootstrap ci
	scripts/fuzz $(FUZZ_SECONDS)

# Line and branch coverage of native/src from the library's own suites, with gcovr.
coverage:
	@scripts/bootstrap ci
	scripts/coverage

# The pages' scripts with eslint (also a ctest, lint_page_scripts).
lint-js:
	@scripts/bootstrap test
	scripts/lint-js

format:
	git ls-files '*.c' '*.h' '*.cpp' '*.hpp' | xargs clang-format-14 -i

format-check:
	git ls-files '*.c' '*.h' '*.cpp' '*.hpp' | xargs clang-format-14 --dry-run -Werror

# Debian's clang-tidy over every file of cli/ in the dev build's
# compile_commands.json, with the checks .clang-tidy keeps (any finding fails).
# Clang does not know all of GCC's warning flags: it is told not to mind.
tidy:
	@scripts/bootstrap ci
	cmake --preset dev
	# The pages' generated headers must exist; the build is the one `make test` uses.
	cmake --build --preset dev -j $(JOBS)
	run-clang-tidy -p build/dev -quiet -j $(JOBS) \
	  -extra-arg=-Wno-unknown-warning-option '^$(CURDIR)/cli/'

clean:
	rm -rf build
