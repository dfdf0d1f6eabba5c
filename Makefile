# make demo: set up, build, and run the whole pipeline on a generated example.
# make test: set up, build, and run the whole test suite.
# make install [PREFIX=/usr/local]: install the command, its manual page and
#   completion, and the engine libraries for other programs.
# make package: the Debian packages velquor and velquor-dev in $(BUILD_DIR).
# make test-browser: render the demo's report in headless Chromium.
# make fuzz: a fuzzing campaign of FUZZ_SECONDS per target (clang needed).
BUILD_DIR ?= build
# The build runs make underneath; keep its directory chatter out of the output.
MAKEFLAGS += --no-print-directory
JOBS ?= $(shell nproc)
DEMO_DIR ?= $(BUILD_DIR)/demo-data
PREFIX ?= /usr/local

.PHONY: all deps configure build test test-browser demo bench fuzz installed install package clean

all: build

deps:
	@scripts/install-deps

configure: deps
	@cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=Release >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	@cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

# Renders the demo's report in headless Chromium; fails on console messages.
test-browser: configure
	@scripts/install-deps --browser
	@cmake --build $(BUILD_DIR) --target velquor -j $(JOBS)
	@BUILD_DIR=$(BUILD_DIR) scripts/browser-check

# The demo needs only the command, so a test that does not build cannot stop it.
demo: configure
	@cmake --build $(BUILD_DIR) --target velquor -j $(JOBS)
	@rm -rf $(DEMO_DIR)
	@$(BUILD_DIR)/cli/velquor demo $(DEMO_DIR)
	@$(BUILD_DIR)/cli/velquor run $(DEMO_DIR)

# Only what is installed is built: the command, its documents, the libraries.
installed: configure
	@cmake --build $(BUILD_DIR) --target velquor_installed -j $(JOBS)

install: installed
	@cmake --install $(BUILD_DIR) --prefix $(PREFIX)

package: installed
	@cd $(BUILD_DIR) && cpack -G DEB

bench: build
	@$(BUILD_DIR)/bench/velquor_bench

# Each target starts from its committed seeds (fuzz/corpus/<target>); inputs
# that find new paths collect in $(FUZZ_DIR)/corpus/<target>, crashing ones
# in $(FUZZ_DIR)/findings/<target>. Copy the telling ones into the
# committed corpus so the test suite replays them.
FUZZ_DIR ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_TARGETS ?= json_parser record_scanner event_loader accepted_deviations git_log

fuzz:
	@scripts/install-deps --fuzz
	@CXX=clang++ cmake -S . -B $(FUZZ_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELQUOR_FUZZ=ON >/dev/null
	@cmake --build $(FUZZ_DIR) -j $(JOBS) --target $(addprefix fuzz_,$(FUZZ_TARGETS))
	@for target in $(FUZZ_TARGETS); do \
	  mkdir -p $(FUZZ_DIR)/corpus/$$target $(FUZZ_DIR)/findings/$$target && \
	  echo "fuzz: $$target for $(FUZZ_SECONDS) s" && \
	  $(FUZZ_DIR)/fuzz/fuzz_$$target -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	    -artifact_prefix=$(FUZZ_DIR)/findings/$$target/ \
	    $(FUZZ_DIR)/corpus/$$target fuzz/corpus/$$target || exit 1; \
	done

clean:
	rm -rf $(BUILD_DIR) $(FUZZ_DIR)
