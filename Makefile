# The two set-up commands: `make test` and `make demo`. Both create the
# virtual environment and install the package (with the Debian build
# packages it needs) when anything is missing.
VENV ?= .venv
PY := $(VENV)/bin/python

.PHONY: test demo bench install core-lib dev format clean

test: install core-lib
	$(PY) -m pytest tests

# The Python-free core as a static library, for the native kernel checks.
core-lib:
	@[ -f build/CMakeCache.txt ] || cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	cmake --build build --target kelvo_core -j2

demo: install
	$(PY) examples/demo.py

bench: install
	$(VENV)/bin/pip install -q '.[bench]'
	$(PY) benchmarks/run.py

install:
	bash scripts/setup.sh $(VENV)

# Incremental in-tree build for development: build/ then PYTHONPATH=build.
dev:
	cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	cmake --build build

format:
	clang-format -i $$(git ls-files 'src/*.cpp' 'src/*.h')

clean:
	rm -rf build $(VENV)
