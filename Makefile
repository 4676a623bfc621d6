# The two commands of the README, and the stages CI adds.
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=

.PHONY: all build demo test wine-test package package-test clean

all: build

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

demo: build
	sh scripts/demo.sh $(BUILD)

test: build
	cd $(BUILD) && ctest -j $(JOBS) --output-on-failure

wine-test:
	sh scripts/wine-test.sh

package: build
	cd $(BUILD) && cpack

package-test: build
	sh scripts/package-test.sh $(BUILD)

clean:
	rm -rf $(BUILD)
