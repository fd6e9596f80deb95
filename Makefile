# Thin wrapper around CMake: `make demo` boots the driver on the default
# simulated PC, `make test` builds and runs every test, `make sys` builds
# and checks the Windows driver image $(SYS_BUILD)/nimb.sys, and `make image`
# builds the 32-bit nimbsim that runs that image and tests it against the
# built-in driver.
BUILD ?= build
SYS_BUILD ?= build-sys
IMAGE_BUILD ?= build-m32
JOBS ?= $(shell nproc)

.PHONY: all configure build demo test sys image clean

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

image: sys
	@SYS_IMAGE=$(abspath $(SYS_BUILD))/nimb.sys JOBS=$(JOBS) ./tools/scripts/build_image_host.sh $(IMAGE_BUILD)

clean:
	rm -rf $(BUILD) $(SYS_BUILD) $(IMAGE_BUILD)
