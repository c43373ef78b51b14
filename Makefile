# The two commands a newcomer needs:
#   make demo   build the Linux library and talk to a simulated receipt printer and line display
#   make test   build every target and run all three test layers
# Everything else here is a step of those two.

BUILD ?= build
JOBS  ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=

.PHONY: demo test setup-demo setup-test linux unit-asan unit-tsan test-linux test-windows package \
        test-package test-arm bench clean

demo: setup-demo
	cmake -S . -B $(BUILD)/linux -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)
	cmake --build $(BUILD)/linux -j $(JOBS) --target caldrix device_sim display_sim caldrix_demo
	demo/run_demo.sh $(BUILD)/linux

test: setup-test package test-linux unit-asan unit-tsan test-windows test-package test-arm
	@echo "caldrix: all test layers passed"

setup-demo:
	scripts/setup.sh demo

setup-test:
	scripts/setup.sh test

linux:
	cmake -S . -B $(BUILD)/linux -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)
	cmake --build $(BUILD)/linux -j $(JOBS)

# Unit tests and the JNI integration tests against the plain build.
test-linux: linux
	ctest --test-dir $(BUILD)/linux --output-on-failure -j $(JOBS)

# The unit tests and the JNI integration tests again under AddressSanitizer and
# UndefinedBehaviorSanitizer.
unit-asan:
	cmake -S . -B $(BUILD)/asan -DCMAKE_BUILD_TYPE=Debug \
	  -DCMAKE_CXX_FLAGS="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
	cmake --build $(BUILD)/asan -j $(JOBS) --target caldrix_unit_tests caldrix caldrix_java_tests
	$(BUILD)/asan/tests/unit/caldrix_unit_tests
	ctest --test-dir $(BUILD)/asan -R caldrix_jni_integration --output-on-failure

# The unit tests, concurrency ones included, under ThreadSanitizer.
unit-tsan:
	cmake -S . -B $(BUILD)/tsan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS="-fsanitize=thread"
	cmake --build $(BUILD)/tsan -j $(JOBS) --target caldrix_unit_tests
	TSAN_OPTIONS=halt_on_error=1 $(BUILD)/tsan/tests/unit/caldrix_unit_tests

# Both Windows DLLs, their export tables, and the harness under Wine.
test-windows:
	tests/wine/build_and_run.sh $(BUILD)

# caldrix.jar: the Java classes and the natives of every platform, BUILD/package/caldrix.jar.
package:
	CALDRIX_JOBS=$(JOBS) packaging/build_package.sh $(BUILD)

# The jar's tests, on the jar that `package` built: its Linux native (old-glibc symbols, the JNI
# tests again), its Windows natives (byte for byte the DLLs that test-windows, run after
# `package`, found in place or rebuilt), and the loader and the port lister in JVMs of their own.
test-package:
	ctest --test-dir $(BUILD)/package --output-on-failure

# The jar's ARM natives: the unit tests built with the same cross compilers, and the pinned
# libraries loaded against the cross glibc, under qemu-user (tests/arm/run_under_qemu.sh).
test-arm: package
	CALDRIX_JOBS=$(JOBS) tests/arm/run_under_qemu.sh $(BUILD)

# Round trips, per-call costs against baselines, HID reads, throughput and open/close against
# plain C; BENCH=roundtrip, percall, hidreads, syscalls, throughput, openclose or events runs one part
# alone (see bench/run_bench.sh).
bench: linux
	bench/run_bench.sh $(BUILD)/linux $(BENCH)

clean:
	rm -rf $(BUILD)
