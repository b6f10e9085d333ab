# Thin wrapper over CMake so that a newcomer needs only `make demo` and `make test`.
JOBS    ?= $(shell nproc)
CMAKE   ?= cmake
GEN     := -G Ninja
BUILD   := build
ASAN    := build-asan

.PHONY: all build asan test test-unit demo bench fuzz fuzz-run install-deps clean format deb

all: build

install-deps:
	@scripts/install-deps

$(BUILD)/build.ninja:
	$(CMAKE) -S . -B $(BUILD) $(GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOLVANE_WERROR=ON

$(ASAN)/build.ninja:
	$(CMAKE) -S . -B $(ASAN) $(GEN) -DCMAKE_BUILD_TYPE=Debug -DTOLVANE_WERROR=ON -DTOLVANE_SANITIZE=ON

build: $(BUILD)/build.ninja
	$(CMAKE) --build $(BUILD) -j $(JOBS)

asan: $(ASAN)/build.ninja
	$(CMAKE) --build $(ASAN) -j $(JOBS)

# Everything CI runs: dependencies, both flavours, every test.
test: install-deps build asan
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	cd $(ASAN) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
		ctest --output-on-failure -j $(JOBS)

test-unit: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) -E '^system\.'

demo: build
	@scripts/demo $(BUILD)

bench: $(BUILD)/build.ninja
	$(CMAKE) -S . -B $(BUILD) -DTOLVANE_BENCH=ON
	$(CMAKE) --build $(BUILD) -j $(JOBS)

fuzz:
	CC=clang CXX=clang++ $(CMAKE) -S . -B build-fuzz $(GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOLVANE_FUZZ=ON
	$(CMAKE) --build build-fuzz -j $(JOBS)

# Every fuzz target for FUZZ_SECONDS each (make fuzz-run FUZZ_SECONDS=600); prints the
# runs and findings of each. FUZZ_TARGETS limits it to some targets.
FUZZ_SECONDS ?= 60
FUZZ_TARGETS ?=
fuzz-run: fuzz
	scripts/fuzz-run build-fuzz $(FUZZ_SECONDS) $(FUZZ_TARGETS)

# The Debian package (CPack DEB) in build-deb/, copied to the top directory.
DEB := build-deb
# Debian's hardening flags (dpkg-buildflags) plus immediate binding; no -Werror, since
# the fortified headers may warn where the normal build does not.
DEB_CXXFLAGS = $(shell dpkg-buildflags --get CXXFLAGS 2>/dev/null) $(shell dpkg-buildflags --get CPPFLAGS 2>/dev/null)
DEB_LDFLAGS = $(shell dpkg-buildflags --get LDFLAGS 2>/dev/null) -Wl,-z,now
deb:
	CXXFLAGS="$(DEB_CXXFLAGS)" LDFLAGS="$(DEB_LDFLAGS)" \
		$(CMAKE) -S . -B $(DEB) $(GEN) -DCMAKE_BUILD_TYPE=Release \
		-DTOLVANE_DEB=ON -DTOLVANE_TESTS=OFF -DTOLVANE_WERROR=OFF
	$(CMAKE) --build $(DEB) -j $(JOBS)
	cd $(DEB) && cpack -G DEB
	cp $(DEB)/tolvane_*.deb .

format:
	find src tests bench fuzz -name '*.cpp' -o -name '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(ASAN) build-fuzz $(DEB)
