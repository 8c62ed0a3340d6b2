# Thin wrapper over CMake. `make demo` and `make check` work on a fresh Debian
# machine: they install what is missing first.
BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc)

.PHONY: all deps build demo test check check-asan clean

all: build

deps:
	@scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j$(JOBS)

# The report of the bundled capture: real loopback traffic to a server on port 8080.
demo: build
	$(BUILD)/portsift -p 8080 -r examples/demo.pcap

# The test suite on the normal build.
test: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

# The same suite built with AddressSanitizer and UndefinedBehaviorSanitizer.
check-asan: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DPORTSIFT_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j$(JOBS)
	cd $(ASAN_BUILD) && ctest --output-on-failure -j$(JOBS)

# Everything CI runs.
check: test check-asan

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)

# The benchmark against the libpcap floor (not part of check): builds in Release mode
# in build-bench/, writes captures to $(BENCH_DIR) (default /tmp/portsift-bench).
# See bench/README.md.
# libabsl-dev is only for the index comparison; the benchmark runs without it.
.PHONY: bench
bench: deps
	-@EXTRA="libabsl-dev" scripts/install-deps.sh
	bench/run.sh
