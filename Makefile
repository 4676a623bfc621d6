# The two commands of the README, and the stages CI adds.
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=

.PHONY: all build demo demo-station demo-loop test bench fuzz wine-test package package-test clean

all: build

# Configures BUILD: a new folder gets the build type and the flags given as $(1); CMAKE_FLAGS apply to a new
# folder and to an existing one alike.
define configure
	@if [ ! -f $(BUILD)/CMakeCache.txt ]; then \
		echo "cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(strip $(1) $(CMAKE_FLAGS))"; \
		cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(1) $(CMAKE_FLAGS); \
	elif [ -n "$(strip $(CMAKE_FLAGS))" ]; then \
		echo "cmake -S . -B $(BUILD) $(strip $(CMAKE_FLAGS))"; \
		cmake -S . -B $(BUILD) $(CMAKE_FLAGS); \
	fi
endef

# A plain make builds the programs: a new folder is configured without the tests (make test adds them), so
# that cmake and g++ are all it needs; a folder configured with them builds them too.
build:
	sh scripts/setup.sh build
	$(call configure,-DBUILD_TESTING=OFF)
	cmake --build $(BUILD) -j $(JOBS)

# The two commands of the README first install what they use (scripts/setup.sh), then build.
demo:
	sh scripts/setup.sh demo
	$(call configure,-DBUILD_TESTING=OFF)
	cmake --build $(BUILD) -j $(JOBS) --target vq2dl vqsim
	sh scripts/demo.sh $(BUILD)

# A station of four simulated controllers, one of which fails: the table, the summary and the rerun line.
demo-station:
	sh scripts/setup.sh demo
	$(call configure,-DBUILD_TESTING=OFF)
	cmake --build $(BUILD) -j $(JOBS) --target vq2dl vqsim
	sh scripts/demo-station.sh $(BUILD)

# A fixture loop: two simulated fixtures and a scripted operator swapping units, three a slot.
demo-loop:
	sh scripts/setup.sh demo
	$(call configure,-DBUILD_TESTING=OFF)
	cmake --build $(BUILD) -j $(JOBS) --target vq2dl vqsim
	sh scripts/demo-loop.sh $(BUILD)

# A build directory that the demo configured without tests gets them now.
test:
	sh scripts/setup.sh test
	@if grep -q '^BUILD_TESTING:BOOL=OFF' $(BUILD)/CMakeCache.txt 2>/dev/null; then \
		cmake -S . -B $(BUILD) -DBUILD_TESTING=ON $(CMAKE_FLAGS); fi
	$(call configure,-DBUILD_TESTING=ON)
	$(MAKE) build
	cd $(BUILD) && ctest -j $(JOBS) --output-on-failure

# Line efficiency under each delivery, parallel downloads and file loading; figures only, about 8 minutes
# (see bench/RESULTS.md).
bench:
	sh scripts/setup.sh bench
	$(call configure,-DBUILD_TESTING=OFF)
	cmake --build $(BUILD) -j $(JOBS) --target vqbench vq2dl
	$(BUILD)/bench/vqbench

# Every libFuzzer target for FUZZ_SECONDS each, built with clang in its own directory (build-fuzz).
fuzz:
	FUZZ_SECONDS=$(or $(FUZZ_SECONDS),60) CMAKE_FLAGS="$(CMAKE_FLAGS)" sh scripts/fuzz.sh build-fuzz

wine-test:
	sh scripts/wine-test.sh

# The package needs no tests: a new folder is configured without them.
package:
	sh scripts/setup.sh package
	$(call configure,-DBUILD_TESTING=OFF)
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && cpack

package-test:
	sh scripts/setup.sh package-test
	$(call configure,-DBUILD_TESTING=OFF)
	cmake --build $(BUILD) -j $(JOBS)
	sh scripts/package-test.sh $(BUILD)

clean:
	rm -rf $(BUILD)
