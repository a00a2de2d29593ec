# Front door over CMake presets (see CMakePresets.json).
#   make demo    build (optimized, x86_64) and run the examples
#   make test    build and run every test in every configuration
#   make bench   run the channel benchmarks against their peers; writes
#                build/release/bench/bench.svg
#   make install PREFIX=<dir>   install libraries, headers, jars and packages
#   make test-valgrind  only valgrind's memcheck over the native test programs
#                (make test runs it too, in the release configuration)
CONFIGS ?= asan tsan x86 release
JOBS ?= $(shell nproc)
MAKEFLAGS += --no-print-directory

.PHONY: demo test test-valgrind bench bootstrap clean $(addprefix test-,$(CONFIGS))

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

clean:
	rm -rf build

# The optimized x86_64 build (the release preset), installed.
PREFIX ?= /usr/local
.PHONY: install
install: bootstrap
	cmake --preset release
	cmake --build --preset release -j $(JOBS)
	cmake --install build/release --prefix "$(PREFIX)"
