# The two commands of the README, and their companions. Each one installs what
# is missing (scripts/bootstrap), configures and builds before it runs.
JOBS ?= 2
CTEST = ctest --output-on-failure --timeout 300 -j $(JOBS)

.PHONY: run test bench test-asan test-tsan fuzz coverage format clean

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
	cd build/dev && $(CTEST)

bench:
	@scripts/bootstrap test
	cmake --preset bench
	cmake --build --preset bench
	bench/run build/bench

test-asan:
	@scripts/bootstrap test
	cmake --preset asan
	cmake --build --preset asan
	cd build/asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 $(CTEST)

test-tsan:
	@scripts/bootstrap test
	cmake --preset tsan
	cmake --build --preset tsan
	cd build/tsan && TSAN_OPTIONS=halt_on_error=1 $(CTEST)

# The configuration fuzzer (clang 14, libFuzzer with ASan and UBSan), bounded.
FUZZ_SECONDS ?= 60
fuzz:
	@scripts/bootstrap ci
	scripts/fuzz $(FUZZ_SECONDS)

# Line and branch coverage of native/src over the whole suite, with gcovr.
coverage:
	@scripts/bootstrap ci
	scripts/coverage

format:
	git ls-files '*.c' '*.h' '*.cpp' '*.hpp' | xargs clang-format -i

clean:
	rm -rf build
