# make demo  runs the analysis on the bundled example
# make test  runs every test (C++ units, then the Python surface)
# make wheel  builds the sdist and a manylinux abi3 wheel into dist/
.PHONY: demo test bootstrap cpp-tests py-tests wheel test-wheel bench clean

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

clean:
	rm -rf build .venv dist
