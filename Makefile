# Thin wrapper over CMake. `make demo` and `make check` work on a fresh Debian
# machine: they install what is missing first.
BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc)

.PHONY: all deps configure build demo test check check-asan clean

all: build

deps:
	@scripts/install-deps.sh

configure: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: configure
	cmake --build $(BUILD) -j$(JOBS)

# The report of the bundled capture: real loopback traffic to a server on port 8080.
# Only the program is built, not the tests and tools.
demo: configure
	cmake --build $(BUILD) -j$(JOBS) --target portsift
	$(BUILD)/portsift -p 8080 -r examples/demo.pcap

# The test suite on the normal build.
test: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

# The same suite built with AddressSanitizer and UndefinedBehaviorSanitizer.
check-asan: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DPORTSIFT_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j$(JOBS)
	cd $(ASAN_BUILD) && ctest --output-on-failure -j$(JOBS)

# The tests of every second thread, built with ThreadSanitizer (not part of check:
# a third build of the program): the read-ahead thread and capture sets, the
# /metrics endpoint's thread (its unit tests, and live runs scraped by a real
# Prometheus, which need root) and the live runs beside them.
TSAN_BUILD ?= build-tsan
.PHONY: check-tsan
check-tsan: deps
	cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPORTSIFT_TSAN=ON -DPORTSIFT_BENCH=OFF
	cmake --build $(TSAN_BUILD) -j$(JOBS) --target portsift portsift_unit_tests portsift_e2e_tests \
	  portsift_live_tests traffic_driver portsift_fuzz_replay
	$(TSAN_BUILD)/tests/portsift_unit_tests \
	  --gtest_filter='Decompress*:PushbackStream*:ReadAhead*:Endpoint*:AnswerRequest*:SplitTracker*'
	$(TSAN_BUILD)/tests/portsift_fuzz_replay --gtest_filter='FastRead.*'
	$(TSAN_BUILD)/tests/portsift_e2e_tests \
	  --gtest_filter='*CaptureSets*:*BadSets*:*Report*:*SyntheticCapture*:*DamagedCapture*'
	$(TSAN_BUILD)/tests/portsift_live_tests --gtest_filter='Service.*:Live.InterruptLeavesCompleteRecordFiles'

# Everything CI runs.
check: test check-asan

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)

# The Debian package of the normal build: $(BUILD)/portsift_<version>_<arch>.deb.
# Its dependencies are computed from the binary by dpkg-shlibdeps.
.PHONY: package
package: build
	cd $(BUILD) && cpack -G DEB

# Fuzzing with libFuzzer (clang): every target, under AddressSanitizer and
# UndefinedBehaviorSanitizer, in a build directory of their own. CI runs the short
# smoke run; a long run is `make fuzz FUZZ_SECONDS=3600` (seconds per target).
FUZZ_BUILD         ?= build-fuzz
FUZZ_SECONDS       ?= 600
FUZZ_SMOKE_SECONDS ?= 10
FUZZ_PACKAGES      ?= clang libclang-rt-dev

.PHONY: fuzz-build fuzz-smoke fuzz

fuzz-build: deps
	@EXTRA="$(FUZZ_PACKAGES)" scripts/install-deps.sh
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DPORTSIFT_FUZZ=ON -DPORTSIFT_TESTS=OFF
	cmake --build $(FUZZ_BUILD) -j$(JOBS) --target frame_fuzzer savefile_fuzzer fuzz_seeds \
	  filter_fuzzer filter_seeds reader_fuzzer http_fuzzer

fuzz-smoke: fuzz-build
	scripts/fuzz.sh $(FUZZ_BUILD) $(FUZZ_SMOKE_SECONDS)

fuzz: fuzz-build
	scripts/fuzz.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

# The benchmark against the libpcap floor (not part of check): builds in Release mode
# in build-bench/, writes captures to $(BENCH_DIR) (default /tmp/portsift-bench).
# See bench/README.md.
# libabsl-dev is only for the index comparison; the benchmark runs without it.
.PHONY: bench
bench: deps
	-@EXTRA="libabsl-dev" scripts/install-deps.sh
	bench/run.sh

# The live load (not part of check, needs root): connections on a loopback interface
# as fast as the traffic driver makes them while portsift captures them live, in a
# network namespace of its own (iproute2's ip and ss, util-linux's unshare); then the
# handshake capture replayed onto a veth pair there (tcpreplay), captured by portsift
# and by tcpdump in turn.
# Settings such as RATES, THREADS, REPEATS, BUFFERS, REPLAY_RATES: see bench/live_load.sh.
.PHONY: bench-live
bench-live: deps
	@EXTRA="iproute2 util-linux tcpreplay tcpdump" scripts/install-deps.sh
	bench/live_load.sh

# The soak (not part of check, needs root, ten minutes): portsift --metrics under
# steady churn, a spoofed SYN flood and vanishing clients, its files rotated every
# 30 s; memory, descriptors, counters and record files checked. See bench/soak.sh.
.PHONY: soak
soak: deps
	@EXTRA="iproute2 util-linux" scripts/install-deps.sh
	bench/soak.sh
