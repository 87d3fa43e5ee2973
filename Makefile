# All targets bootstrap first (Debian packages, .venv, tools, incremental build).
VENV ?= .venv
PY := $(VENV)/bin/python
export VENV

.PHONY: venv build test demo bench test-asan cpp-test clean

venv build:
	@scripts/bootstrap.sh >/dev/null

test: build
	$(PY) -m pytest -q tests
	@$(MAKE) --no-print-directory cpp-test

cpp-test: build
	@build_dir=$$(scripts/bootstrap.sh | tail -1); \
	for t in $$build_dir/test_*; do [ -x "$$t" ] || continue; echo "$$t"; "$$t" --gtest_brief=1 || exit 1; done

demo: build
	$(PY) examples/agent_turn.py

bench:
	@BENCH=1 scripts/bootstrap.sh >/dev/null
	$(PY) bench/run.py $(FAMILIES)

# The tests against a build instrumented with AddressSanitizer and UBSan. The
# sanitizer runtimes (and the C++ runtime, so that exceptions unwind through the
# interceptors) are preloaded into the uninstrumented interpreter; huge
# allocations must fail with MemoryError instead of aborting.
test-asan:
	@scripts/bootstrap.sh >/dev/null
	@SANITIZE=1 scripts/bootstrap.sh >/dev/null
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so) $$(g++ -print-file-name=libstdc++.so)" \
	ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 PYTHONMALLOC=malloc THALREN_SANITIZED=1 \
	PYTHONPATH=build/asan $(PY) -m pytest -q -p no:cacheprovider tests $(PYTEST_ARGS)

clean:
	rm -rf build
