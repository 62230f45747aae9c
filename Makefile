# make demo  runs the analysis on the bundled example
# make test  runs every test (C++ units, then the Python surface)
# make wheel  builds the sdist and manylinux abi3 wheels for x86-64 and aarch64 into dist/
# make test-wheel-arm64  tests the aarch64 wheel under emulation (as root; ARM64_TESTS picks files)
# make check-macos  compiles the core for arm64 macOS
# make sanitize  runs the C++ units under AddressSanitizer and UBSan
# make fuzz  runs each fuzz target for FUZZ_SECONDS (needs clang: scripts/install_fuzz.sh)
.PHONY: demo test bootstrap cpp-tests py-tests wheel test-wheel test-wheel-arm64 check-macos sanitize fuzz bench clean

PY := .venv/bin/python

bootstrap:
	@scripts/bootstrap.sh

demo: bootstrap
	@cd examples && ../$(PY) demo.py

cpp-tests: bootstrap
	@cmake -S . -B build/tests -G Ninja -DCMAKE_BUILD_TYPE=Release -DORVELLE_MODULE=OFF -DORVELLE_TESTS=ON >/dev/null
	@cmake --build build/tests
	@build/tests/orvelle_tests --gtest_brief=1

py-tests: bootstrap
	@PYTHON=$(PY) scripts/install_browser.sh
	@scripts/install_extract.sh .venv >/dev/null
	@.venv/bin/pytest -q -p no:cacheprovider tests/python

test: cpp-tests py-tests

wheel: bootstrap
	@scripts/build_wheel.sh

# The wheel in a fresh venv, no compiler on PATH, against the Python tests.
test-wheel: wheel
	@scripts/test_wheel.sh

# The aarch64 wheel in an arm64 Debian root under qemu-user emulation, then the
# two wheels' outputs compared byte for byte.
ARM64_TESTS ?= tests/python
test-wheel-arm64: wheel
	@scripts/test_wheel_arm64.sh $(ARM64_TESTS)

check-macos: bootstrap
	@scripts/check_macos.sh

# Any report fails the run: no recovery, and leaks count too.
SANITIZE_FLAGS := -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer
SANITIZE_ENV := ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

sanitize: bootstrap
	@cmake -S . -B build/sanitize -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVELLE_MODULE=OFF \
		-DORVELLE_TESTS=ON "-DCMAKE_CXX_FLAGS=$(SANITIZE_FLAGS)" >/dev/null
	@cmake --build build/sanitize --target orvelle_tests
	@$(SANITIZE_ENV) build/sanitize/orvelle_tests --gtest_brief=1

FUZZ_SECONDS ?= 60
FUZZ_TARGETS := fuzz_line fuzz_number fuzz_parallel_read
FUZZ_ENV := ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

# Seeds come from the reference lines and numbers beside the repository; what
# a run finds goes to build/fuzz/corpus, so the next run starts from there.
fuzz: bootstrap
	@scripts/install_fuzz.sh
	@CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVELLE_MODULE=OFF \
		-DORVELLE_FUZZ=ON "-DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all" >/dev/null
	@cmake --build build/fuzz --target $(FUZZ_TARGETS)
	@python3 fuzz/seeds.py build/fuzz/seeds
	@failed=; for t in $(FUZZ_TARGETS); do \
		mkdir -p build/fuzz/corpus/$$t build/fuzz/findings; \
		echo "fuzz: $$t for $(FUZZ_SECONDS) s"; \
		if $(FUZZ_ENV) build/fuzz/$$t -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
			-artifact_prefix=build/fuzz/findings/$$t- build/fuzz/corpus/$$t build/fuzz/seeds/$$t \
			>build/fuzz/$$t.log 2>&1; then \
			grep -E '^Done' build/fuzz/$$t.log; \
		else \
			tail -n 40 build/fuzz/$$t.log; failed="$$failed $$t"; \
		fi; \
	done; \
	if [ -n "$$failed" ]; then echo "fuzz: failed:$$failed (inputs in build/fuzz/findings)"; exit 1; fi

clean:
	rm -rf build .venv dist
