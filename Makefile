# Front door over CMake presets (see CMakePresets.json).
#   make demo    build (optimized, x86_64) and run the examples
#   make test    build and run every test in every configuration
#   make bench   run the channel benchmarks against their peers; writes
#                build/release/bench/bench.svg
#   make install PREFIX=<dir>   install libraries, headers, jars and packages
#   make test-valgrind  only valgrind's memcheck over the native test programs
#                (make test runs it too, in the release configuration)
#   make fuzz    fuzz the channel API against its model, FUZZ_SECONDS per architecture
#   make soak    the concurrent stress tests, SOAK_SECONDS per run, under ASan, TSan and DRD
CONFIGS ?= asan tsan x86 release
JOBS ?= $(shell nproc)
FUZZ_SECONDS ?= 600
SOAK_SECONDS ?= 30
MAKEFLAGS += --no-print-directory

.PHONY: demo test test-valgrind bench fuzz soak bootstrap clean $(addprefix test-,$(CONFIGS))

bootstrap:
	@tools/bootstrap.sh

demo: bootstrap
	cmake --preset release
	cmake --build --preset release -j $(JOBS)
	cmake --build --preset release --target run-demos

test: bootstrap
	@failed=""; \
	for c in $(CONFIGS); do \
	  $(MAKE) --no-print-directory test-$$c || failed="$$failed $$c"; \
	done; \
	if [ -n "$$failed" ]; then echo "FAILED configurations:$$failed"; exit 1; fi; \
	echo "All configurations passed: $(CONFIGS)"

$(addprefix test-,$(CONFIGS)): test-%:
	cmake --preset $*
	cmake --build --preset $* -j $(JOBS)
	ctest --preset $* -j $(JOBS)

test-valgrind: bootstrap
	cmake --preset release
	cmake --build --preset release -j $(JOBS)
	ctest --preset release -j $(JOBS) -L memcheck

bench: bootstrap
	cmake --preset release
	cmake --build --preset release -j $(JOBS) --target run-bench

# New inputs collect in build/<preset>/fuzz/corpus; failing ones in .../artifacts.
fuzz: bootstrap
	@for c in asan x86; do \
	  cmake --preset $$c >/dev/null && cmake --build --preset $$c -j $(JOBS) --target trellum_fuzz || exit 1; \
	  emulator=; [ $$c = x86 ] && emulator=tools/run-i386.sh; \
	  tools/run-fuzzer.sh seconds $(FUZZ_SECONDS) build/$$c/fuzz trellum/fuzz/corpus \
	    $$emulator build/$$c/fuzz/build/trellum_ops_fuzzer || exit 1; \
	done

STRESS_TESTS = trellum_stress_test trellum_stress_delete_test trellum_bounded_stress_test trellum_handoff_stress_test
soak: bootstrap
	@for c in asan tsan x86; do \
	  cmake --preset $$c >/dev/null && cmake --build --preset $$c -j $(JOBS) --target $(STRESS_TESTS) || exit 1; \
	  for t in $(STRESS_TESTS); do \
	    run=; [ $$c = x86 ] && run="tools/run-drd.sh --suppressions=trellum/tests/drd-atomics.supp"; \
	    echo "soak: $$t ($$c), $(SOAK_SECONDS) s per run"; \
	    TRELLUM_STRESS_SECONDS=$(SOAK_SECONDS) $$run build/$$c/trellum/tests/$$t || exit 1; \
	  done; \
	done

clean:
	rm -rf build

# The optimized x86_64 build (the release preset), installed.
PREFIX ?= /usr/local
.PHONY: install
install: bootstrap
	cmake --preset release
	cmake --build --preset release -j $(JOBS)
	cmake --install build/release --prefix "$(PREFIX)"
