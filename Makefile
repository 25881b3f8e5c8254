# Convenience front end over CMake. `make demo` shows a whole game against the simulated chess
# computer; `make test` runs every test there is tooling for on this machine, and says
# "SKIPPED: … (reason)" for each suite whose tools are missing or cannot run here.

BUILD      ?= build
WIN64BUILD ?= build-win64
WINBUILD   ?= build-windows
WERROR     ?= OFF
JOBS       ?= 2
CMAKE_ARGS ?=
SUITE      := tests/suite.sh

.PHONY: all build test unit-test e2e-test native-test windows windows-test stress demo bench \
        clean format-check

all: build

build:
	cmake -S . -B $(BUILD) -DKESTRELGATE_TESTS=ON -DKESTRELGATE_WERROR=$(WERROR) $(CMAKE_ARGS)
	cmake --build $(BUILD) -j$(JOBS)

# The unit tests of every layer, and the termios backend against real pseudo-terminals.
unit-test: build
	$(SUITE) "native unit" ctest --test-dir $(BUILD) -L unit --output-on-failure -j$(JOBS)

# The built program driven over pipes and pseudo-terminals: UCI sessions, whole games from the
# simulator, PolyGlot as a real client, faults, the console in a terminal, and a minute of
# line noise.
e2e-test: build
	$(SUITE) "native end-to-end" ctest --test-dir $(BUILD) -L e2e --output-on-failure -j$(JOBS)

native-test: unit-test e2e-test

# The Windows code: the 64-bit build under wine64 (unit tests, the end-to-end suite, the
# console screen in a terminal); the shipped 32-bit Kestrelgate.exe built and checked, and
# tested where 32-bit wine runs.
windows-test: build
	JOBS=$(JOBS) tests/windows-tests.sh $(BUILD) $(WIN64BUILD) $(WINBUILD) $(WERROR)

test: native-test windows-test

# The shipped program: a 32-bit Windows console program, statically linked.
windows:
	cmake -S . -B $(WINBUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw32.cmake \
	  -DKESTRELGATE_GTEST_SOURCE=/usr/src/googletest -DKESTRELGATE_WERROR=$(WERROR)
	cmake --build $(WINBUILD) -j$(JOBS)

# The native end-to-end suite STRESS_RUNS times in a row with every core kept busy.
STRESS_RUNS ?= 50
stress: build
	$(SUITE) "stress ($(STRESS_RUNS) runs)" tests/stress.sh $(BUILD)/tests/e2e/e2e_tests \
	  $(STRESS_RUNS)

demo:
	tools/demo.sh

# A Debian package of the Linux programs, and a zip of the 32-bit Windows programs with a short
# text on setting up, in out/. `package-test` installs the Debian package, tries what it
# installed and removes it again (it needs root).
PACKAGEBUILD    ?= build-package
WINPACKAGEBUILD ?= build-package-windows
.PHONY: package package-test
package:
	cmake -S . -B $(PACKAGEBUILD) -DCMAKE_BUILD_TYPE=Release -DKESTRELGATE_TESTS=OFF \
	  -DKESTRELGATE_WERROR=$(WERROR)
	cmake --build $(PACKAGEBUILD) -j$(JOBS)
	cd $(PACKAGEBUILD) && cpack
	mkdir -p out && cp $(PACKAGEBUILD)/*.deb out/
	@if command -v i686-w64-mingw32-g++-posix >/dev/null; then \
	  cmake -S . -B $(WINPACKAGEBUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw32.cmake \
	    -DCMAKE_BUILD_TYPE=Release -DKESTRELGATE_TESTS=OFF -DKESTRELGATE_WERROR=$(WERROR) && \
	  cmake --build $(WINPACKAGEBUILD) -j$(JOBS) && (cd $(WINPACKAGEBUILD) && cpack) && \
	  cp $(WINPACKAGEBUILD)/*.zip out/; \
	else \
	  echo "SKIPPED: the Windows zip (i686-w64-mingw32-g++-posix is not installed)"; \
	fi
	@ls -l out/

package-test: package
	$(SUITE) "packages" tests/package-test.sh out

# Start time, serial-to-bestmove latency, relay throughput, idle CPU and peak memory of the
# built program, as one table; start, latency and relay beside those of the build before two
# Kestrelgates could share a port (BENCH_EARLIER, built from git), taken in turn in one run.
BENCH_EARLIER ?= dd96a56
EARLIERBUILD  ?= build-earlier
bench: build
	@tools/bench/build-earlier.sh $(BENCH_EARLIER) $(EARLIERBUILD) || true
	$(SUITE) "benchmark" $(BUILD)/tools/bench/kestrelgate_bench $(BUILD)/kestrelgate \
	  $$(test -x $(EARLIERBUILD)/kestrelgate && echo $(EARLIERBUILD)/kestrelgate)

clean:
	rm -rf $(BUILD) $(WIN64BUILD) $(WINBUILD) $(PACKAGEBUILD) $(WINPACKAGEBUILD) $(EARLIERBUILD) \
	  build-demo out

# Every C++ file as the repository's .clang-format has it, by Debian 12's clang-format 14 (other
# versions lay some constructs out differently).
format-check:
	@if clang-format --version 2>/dev/null | grep -q 'version 14\.'; then \
	  $(SUITE) "format (clang-format 14)" sh -c \
	    "git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run -Werror"; \
	else \
	  $(SUITE) --skip "format" "clang-format 14 is not installed"; \
	fi

# Fuzzing with libFuzzer (clang): each target for FUZZ_SECONDS against its own model; then
# `fuzz-check` plants each fault of tests/fuzz/faults/ in a scratch copy and shows that its
# target finds it within FUZZ_CHECK_SECONDS.
FUZZ_SECONDS       ?= 60
FUZZ_CHECK_SECONDS ?= 60
FUZZBUILD          ?= build-fuzz
HAVE_LIBFUZZER := $(shell command -v clang++ >/dev/null && \
  ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 && echo yes)
.PHONY: fuzz fuzz-run fuzz-check sanitize
fuzz:
ifeq ($(HAVE_LIBFUZZER),yes)
	$(SUITE) "fuzz ($(FUZZ_SECONDS) s a target)" $(MAKE) --no-print-directory fuzz-run
else
	$(SUITE) --skip "fuzz" "clang++ with libFuzzer (clang, libclang-rt-14-dev) is not installed"
endif

fuzz-run:
	CXX=clang++ cmake -S . -B $(FUZZBUILD) -DKESTRELGATE_FUZZ=ON -DKESTRELGATE_TESTS=OFF \
	  -DKESTRELGATE_WERROR=$(WERROR)
	cmake --build $(FUZZBUILD) -j$(JOBS)
	tests/fuzz/run.sh $(FUZZBUILD)/tests/fuzz $(FUZZ_SECONDS)

fuzz-check:
ifeq ($(HAVE_LIBFUZZER),yes)
	$(SUITE) "fuzz check (planted faults)" tests/fuzz/check.sh $(FUZZ_CHECK_SECONDS)
else
	$(SUITE) --skip "fuzz check" "clang++ with libFuzzer (clang, libclang-rt-14-dev) is not installed"
endif

# The whole native suite under AddressSanitizer and UndefinedBehaviorSanitizer.
SANBUILD ?= build-sanitize
sanitize:
	cmake -S . -B $(SANBUILD) -DKESTRELGATE_WERROR=$(WERROR) -DKESTRELGATE_SANITIZE=ON
	cmake --build $(SANBUILD) -j$(JOBS)
	$(SUITE) "sanitizers (unit and end-to-end)" ctest --test-dir $(SANBUILD) \
	  --output-on-failure -j$(JOBS)
