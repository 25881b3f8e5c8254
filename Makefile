# Convenience front end over CMake. `make demo` shows a whole game against the simulated chess
# computer; `make test` runs every test there is tooling for on this machine.

BUILD      ?= build
WINBUILD   ?= build-windows
WERROR     ?= OFF
JOBS       ?= 2
CMAKE_ARGS ?=

.PHONY: all build test unit-test windows windows-test demo bench clean

all: build

build:
	cmake -S . -B $(BUILD) -DKESTRELGATE_WERROR=$(WERROR) $(CMAKE_ARGS)
	cmake --build $(BUILD) -j$(JOBS)

unit-test: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

# The Windows build and its tests need the mingw-w64 cross compiler and wine; without them
# this says so and goes on.
windows:
	cmake -S . -B $(WINBUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw32.cmake \
	  -DKESTRELGATE_GTEST_SOURCE=/usr/src/googletest -DKESTRELGATE_WERROR=$(WERROR)
	cmake --build $(WINBUILD) -j$(JOBS)

# The unit tests built for Windows run under wine; then the native end-to-end suite drives
# Kestrelgate.exe under wine, its COM1 a pseudo-terminal through the prefix's dosdevices/com1.
# One wine server and session, started first with its diagnostics silenced, serve every wine
# process of the run: a session started by a test would point com1 back at /dev/ttyS0 (wine's
# mount manager rebuilds the COM links as a session starts), and its server would write its
# state dumps into the test log on a hang-up.
WINEPREFIX_DIR = $(abspath $(WINBUILD))/wineprefix
WINE_ENV = WINEPREFIX=$(WINEPREFIX_DIR) WINEDEBUG=-all

windows-test:
	@set -e; \
	if command -v i686-w64-mingw32-g++-posix >/dev/null && command -v wine >/dev/null; then \
	  $(MAKE) build windows; \
	  $(WINE_ENV) wineserver -p60 >/dev/null 2>&1 || true; \
	  $(WINE_ENV) wineboot -i >/dev/null 2>&1 || true; \
	  ctest --test-dir $(WINBUILD) --output-on-failure; \
	  $(WINE_ENV) KESTRELGATE_ENGINE="wine $(abspath $(WINBUILD))/Kestrelgate.exe" \
	    $(BUILD)/tests/e2e/e2e_tests; \
	else \
	  echo "SKIPPED: Windows tests (needs i686-w64-mingw32-g++-posix and wine)"; \
	fi

test: unit-test windows-test

demo:
	tools/demo.sh

# Start time, serial-to-bestmove latency, relay throughput, idle CPU and peak memory of the
# built program, as one table.
bench: build
	$(BUILD)/tools/bench/kestrelgate_bench $(BUILD)/kestrelgate

clean:
	rm -rf $(BUILD) $(WINBUILD)

# Fuzzing with libFuzzer (clang), each target for FUZZ_SECONDS.
FUZZ_SECONDS ?= 60
FUZZBUILD    ?= build-fuzz
.PHONY: fuzz sanitize
fuzz:
	CXX=clang++ cmake -S . -B $(FUZZBUILD) -DKESTRELGATE_FUZZ=ON -DKESTRELGATE_TESTS=OFF \
	  -DKESTRELGATE_WERROR=$(WERROR)
	cmake --build $(FUZZBUILD) -j$(JOBS)
	tests/fuzz/run.sh $(FUZZBUILD)/tests/fuzz $(FUZZ_SECONDS)

# The whole native suite under AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize:
	$(MAKE) unit-test BUILD=build-sanitize CMAKE_ARGS=-DKESTRELGATE_SANITIZE=ON
