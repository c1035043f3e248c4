# Short commands for the README; CMake does the real work in build/.
BUILD ?= build
JOBS ?= $(shell nproc)
PREFIX ?= /usr/local

.PHONY: all deps build test demo bench install plots coverage sanitize clean

all: build

deps:
	@scripts/install-deps

build: deps
	@cmake -S . -B $(BUILD) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	@scripts/install-deps test
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
