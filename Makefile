# The two entry points. Both install what is missing first.
#   make test   build everything and run every test (what CI runs): the
#               suite as built for development, under ASan+UBSan and
#               under TSan; fuzz corpora replay as part of each
#   make demo   build the host program and run its demo on real files
# make check runs the development preset alone, for a quick round.
# make windows cross-builds the Windows DLLs and zvfile.exe and runs their
# tests under Wine.
# make bench builds the overhead benchmarks (Release) and prints each
# operation's ratio to the bare collaborator calls; BENCH_ARGS adds options.
# Then it compares `zvfile save` end to end with a peer written against
# SQLite directly and with a bare durable replace (bench/end_to_end.sh);
# BENCH_SIZES sets the design sizes, RUNS (environment) the runs per point.
# make coverage builds the coverage preset, runs its tests and prints line
# and branch coverage per folder (scripts/coverage.sh; see the README).
# make docs builds the API reference of the installed headers with Doxygen
# (build/release/docs/html; every build makes it when Doxygen is there, and
# the package installs it).
# make abi-baseline writes the ABI baselines of the shared libraries (abi/)
# anew from the dev build, after an intended change of their ABI: the test
# package.abi fails on any change but additions until then. Commit abi/
# with the change.
PRESETS ?= dev asan tsan
BENCH_ARGS ?=
BENCH_SIZES ?=

.PHONY: deps test check coverage demo docs abi-baseline windows bench clean

deps:
	./scripts/install-deps.sh

test: deps
	@for preset in $(PRESETS); do \
	  echo "== $$preset"; \
	  cmake --preset $$preset && cmake --build --preset $$preset && ctest --preset $$preset || exit 1; \
	done

check:
	$(MAKE) test PRESETS=dev

# Counts from earlier runs are cleared first, so the figures are this run's.
# The report is printed even when a test fails; then make fails after it.
coverage: deps
	cmake --preset coverage
	cmake --build --preset coverage
	find build/coverage -name '*.gcda' -delete
	ctest --preset coverage; status=$$?; ./scripts/coverage.sh build/coverage && exit $$status

demo:
	./scripts/install-deps.sh --demo
	cmake --preset demo
	cmake --build --preset demo
	./build/demo/host/zvfile demo

docs: deps
	cmake --preset release
	cmake --build --preset release --target docs
	@echo "API reference: build/release/docs/html/index.html"

abi-baseline: deps
	cmake --preset dev
	cmake --build --preset dev
	cmake --build --preset dev --target abi_baseline

windows:
	./scripts/install-deps.sh --windows
	cmake --preset windows
	cmake --build --preset windows
	ctest --preset windows

bench: deps
	cmake --preset bench
	cmake --build --preset bench
	./build/bench/bench/zvfileio_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true $(BENCH_ARGS)
	./bench/end_to_end.sh build/bench/host/zvfile build/bench/bench/zvfile_peer build/bench/bench/zvfile_durable_replace \
	  build/bench/bench/zvfile_measure $(BENCH_SIZES)

clean:
	rm -rf build
