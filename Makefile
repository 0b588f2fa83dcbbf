# The two commands users run: `make demo` and `make test`.
JOBS ?= $(shell nproc)
BUILD ?= build

.PHONY: demo test deps host asan tsan windows wine fuzz clean

deps:
	@scripts/install-deps.sh

host: deps
	cmake -S . -B $(BUILD)/host -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(BUILD)/host -j$(JOBS) --target xrusb_demo

demo: host
	$(BUILD)/host/tools/xrusb_demo

windows: deps
	cmake -S . -B $(BUILD)/windows -DCMAKE_TOOLCHAIN_FILE=windows/toolchain-mingw64.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build $(BUILD)/windows -j$(JOBS)

asan: deps windows
	cmake -S . -B $(BUILD)/asan -DCMAKE_BUILD_TYPE=Debug -DXRUSB_SANITIZE=address \
	  -DXRUSB_WINDOWS_IMAGE=$(abspath $(BUILD))/windows/windows/xrusb.sys >/dev/null
	cmake --build $(BUILD)/asan -j$(JOBS)
	cd $(BUILD)/asan && ctest -j$(JOBS) --output-on-failure

tsan: deps
	cmake -S . -B $(BUILD)/tsan -DCMAKE_BUILD_TYPE=Debug -DXRUSB_SANITIZE=thread >/dev/null
	cmake --build $(BUILD)/tsan -j$(JOBS)
	cd $(BUILD)/tsan && ctest -j$(JOBS) --output-on-failure

# A short coverage-guided run of every fuzzer (fuzz/*_fuzz.cpp): 10 seconds each.
fuzz: deps
	fuzz/run.sh $(BUILD)/fuzz 10

# Every fuzzer for as long as asked: FUZZ_SECONDS each (3600 unless set), or FUZZ_RUNS inputs
# each when that is set; FUZZ_JOBS processes side by side. The corpora grow in $(BUILD)/fuzz.
# `make fuzz-coverage` then prints the share of driver/ lines they reach.
.PHONY: fuzz-long fuzz-coverage
fuzz-long: deps
	fuzz/run.sh $(BUILD)/fuzz $${FUZZ_SECONDS:-3600}

fuzz-coverage: deps
	fuzz/coverage.sh $(BUILD)/fuzz

# The real xrusb.sys in a fresh Wine prefix on our test bus, under the library's application
# tests built for Windows (their own build: the POSIX thread model of the same compiler).
wine: deps windows
	cmake -S . -B $(BUILD)/wine-tests -DCMAKE_TOOLCHAIN_FILE=windows/wine/toolchain-posix.cmake \
	  -DXRUSB_WINE_TESTS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build $(BUILD)/wine-tests -j$(JOBS)
	windows/wine/run.sh $(BUILD)/windows $(BUILD)/wine-tests $(BUILD)/wine

test: asan tsan fuzz wine

# The sleep-with-I/O stress test at length under ThreadSanitizer: XRUSB_SLEEP_CYCLES system sleep
# and resume cycles (1000 unless set) with streams running on two devices.
.PHONY: sleep-stress
sleep-stress: deps
	cmake -S . -B $(BUILD)/tsan -DCMAKE_BUILD_TYPE=Debug -DXRUSB_SANITIZE=thread >/dev/null
	cmake --build $(BUILD)/tsan -j$(JOBS) --target driver_tests
	XRUSB_SLEEP_CYCLES=$${XRUSB_SLEEP_CYCLES:-1000} $(BUILD)/tsan/tests/driver_tests \
	  --gtest_filter=TransferStress.SleepAndResumeUnderStreams

# The device-fundamentals stress at length under ThreadSanitizer: XRUSB_STRESS_CYCLES (500 unless
# set) surprise removals, rebalances, disables and sleeps under load, the actions drawn from
# XRUSB_STRESS_SEED (printed; random unless set), after the sleep stress.
.PHONY: stress-long
stress-long: sleep-stress
	XRUSB_STRESS_CYCLES=$${XRUSB_STRESS_CYCLES:-500} $(BUILD)/tsan/tests/driver_tests \
	  --gtest_filter=DeviceFundamentals.*

# Requests per second through the whole stack and straight to the bus, and the driver's own
# instructions per request under callgrind. Not part of test: the numbers are for reading.
.PHONY: bench
bench:
	@scripts/install-deps.sh bench
	cmake -S . -B $(BUILD)/bench -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS=-g >/dev/null
	cmake --build $(BUILD)/bench -j$(JOBS) --target data_path_bench driver_cost
	bench/run.sh $(BUILD)/bench

# Single faults planted in a copy of driver/ (scripts/mutation/mutants.txt), each rebuilt under
# ASan + UBSan and run against the suites that link the driver; reports the mutants no test
# killed. Not part of test: it takes half an hour. MUTANTS=regex picks some.
.PHONY: mutation
mutation: deps
	CCACHE_BASEDIR=$(CURDIR) python3 scripts/mutation/run.py --build $(BUILD)/mutation $(MUTANTS)

clean:
	rm -rf $(BUILD)
