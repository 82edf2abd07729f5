# SPDX-License-Identifier: MIT
# The two commands a newcomer needs: `make run` and `make test`.
# Both install whatever Debian packages are missing, then build: `make run`
# only what building and running need, `make test` the test rig as well.
BUILD ?= build
JOBS ?= 2
CMAKE_FLAGS ?=
# Further arguments for ctest, in every pass of `make test`.
CTEST_ARGS ?=
# The sound servers `make test` runs its passes on: empty for each one
# installed, 1 for the first alone.
SERVERS ?=

.PHONY: all deps build run demo test sanitize tsan check check-host check-root bench install package format clean

all: build

# Which set of packages: run, test or demo.
DEPS ?= run

deps:
	@./scripts/install-deps.sh $(DEPS)

build: deps
	@cmake -S . -B $(BUILD) $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD) -j$(JOBS)

run: build
	./$(BUILD)/app/ostrelle

# For a machine without a sound card: a private sound server playing a tone.
demo: DEPS = demo
demo: build
	./scripts/demo.sh ./$(BUILD)/app/ostrelle

# Every test on the sound server the rig starts by default, then the tests
# that capture once more on each other server installed (PulseAudio and
# PipeWire side by side, where PipeWire's ALSA plugin does not forbid it).
# Every pass runs even when one fails; the end says which failed.
test: DEPS = test
test: build
	@OSTRELLE_SERVERS=$(SERVERS) ./scripts/run-tests.sh $(BUILD) $(CTEST_ARGS)

# The sanitizers watch the program's own code, which is the same whichever
# server feeds it: their suites run on the first sound server alone, and
# make test's pass on the other covers it.
# Leak reports are off: the sound and window libraries leave blocks behind in
# plugins they unload at exit, where no suppression can name them.
sanitize:
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	$(MAKE) test BUILD=build-asan CMAKE_FLAGS="-DOSTRELLE_SANITIZE=address -DCMAKE_BUILD_TYPE=Debug" SERVERS=1

# Qt, PortAudio and the sound libraries are not built for ThreadSanitizer;
# their own internals are suppressed so that what is reported is ours. The
# tests labelled cancels_audio_thread cancel a thread inside them, which it
# cannot follow (tests/CMakeLists.txt says which and why): they are left out.
tsan:
	TSAN_OPTIONS="suppressions=$(CURDIR)/tests/tsan.supp halt_on_error=1 second_deadlock_stack=1" \
	$(MAKE) test BUILD=build-tsan CMAKE_FLAGS="-DOSTRELLE_SANITIZE=thread -DCMAKE_BUILD_TYPE=Debug" \
		SERVERS=1 CTEST_ARGS="-LE cancels_audio_thread"

# What CI runs, every step even after a failure: the format, shellcheck and
# pyflakes, then two at a time a build with warnings as errors followed by
# test, tsan, sanitize (check-host), and the suites in a fresh Debian 13 root
# with PipeWire as a desktop has it (check-root alone, as root or through sudo).
check:
	@./scripts/check.sh all

check-host:
	@./scripts/check.sh host

check-root:
	@./scripts/check.sh root

bench: DEPS = test
bench: build
	@cmake --build $(BUILD) -j$(JOBS) --target benchmarks

install: build
	cmake --install $(BUILD)

package: DEPS = test
package: build
	cd $(BUILD) && cpack -G DEB

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) build-asan build-tsan
