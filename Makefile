# Short commands for the README; CMake does the real work in build/.
BUILD ?= build
JOBS ?= $(shell nproc)
PREFIX ?= /usr/local

.PHONY: all deps build test demo bench install plots coverage sanitize clean

all: build

deps:
	@scripts/install-deps

# The tool alone; tests and timings are configured in by the targets that need them.
build: deps
	@cmake -S . -B $(BUILD) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS) --target anasig

test: deps
	@scripts/install-deps test
	@cmake -S . -B $(BUILD) -DANASIG_TESTS=ON >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

demo: build
	@scripts/demo $(BUILD)/anasig

bench: deps
	@bench/run

install: build
	@cmake --install $(BUILD) --prefix $(PREFIX)

plots: build
	@scripts/install-deps plots
	@scripts/plots $(BUILD)/anasig

coverage: deps
	@scripts/coverage

sanitize: deps
	@scripts/sanitize-test

clean:
	rm -rf $(BUILD)
