# The two commands a newcomer needs: `make run` and `make test`.
# Both install whatever Debian packages are missing, then build.
BUILD ?= build
JOBS ?= 2
CMAKE_FLAGS ?=

.PHONY: all deps build run demo test sanitize tsan bench install package clean

all: build

deps:
	@./scripts/install-deps.sh

build: deps
	@cmake -S . -B $(BUILD) $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD) -j$(JOBS)

run: build
	./$(BUILD)/app/ostrelle

# For a machine without a sound card: a private sound server playing a tone.
demo: build
	./scripts/demo.sh ./$(BUILD)/app/ostrelle

test: build
	cd $(BUILD) && ctest --output-on-failure -j1

sanitize:
	$(MAKE) test BUILD=build-asan CMAKE_FLAGS="-DOSTRELLE_SANITIZE=address -DCMAKE_BUILD_TYPE=Debug"

tsan:
	$(MAKE) test BUILD=build-tsan CMAKE_FLAGS="-DOSTRELLE_SANITIZE=thread -DCMAKE_BUILD_TYPE=Debug"

bench: build
	@cmake --build $(BUILD) -j$(JOBS) --target benchmarks

install: build
	cmake --install $(BUILD)

package: build
	cd $(BUILD) && cpack -G DEB

clean:
	rm -rf build build-asan build-tsan
