# Thin wrapper around CMake: `make demo` boots the driver on the default
# simulated PC, `make test` builds and runs every test, `make sys` builds
# and checks the Windows driver image $(SYS_BUILD)/nimb.sys.
BUILD ?= build
SYS_BUILD ?= build-sys
JOBS ?= $(shell nproc)

.PHONY: all configure build demo test sys clean

all: build

configure:
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

demo: configure
	@cmake --build $(BUILD) -j $(JOBS) --target nimbsim
	@./tools/scripts/demo.sh $(BUILD)/nimbsim

test: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

sys:
	@JOBS=$(JOBS) ./tools/scripts/build_sys.sh $(SYS_BUILD)

clean:
	rm -rf $(BUILD) $(SYS_BUILD)
