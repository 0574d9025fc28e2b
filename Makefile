# The front door: every target installs what is missing, configures and builds first.
#   make run [IMAGE=path]   scan the sample card image (or IMAGE) and list what comes back
#   make test               build with sanitizers and run every test
#   make bench              benchmarks: scan throughput against the raw read of the same image, preview
#                           making per family, the browser's interface-thread work with 100,000 items
#   make fuzz               run every fuzz target for FUZZ_SECONDS each
#   make compare            compare with PhotoRec, foremost and scalpel on card images

IMAGE ?= build/sample/card.img
BENCH_IMAGE_MB ?= 1024
FUZZ_SECONDS ?= 60

.PHONY: deps release debug run test bench fuzz compare sample clean

deps:
	@scripts/install-deps

release: deps
	@cmake --preset release >/dev/null
	@cmake --build --preset release

debug: deps
	@cmake --preset debug >/dev/null
	@cmake --build --preset debug

sample: release
	@scripts/make-sample-image build/sample

run: sample
	@rm -rf "build/sample/scan"
	build/release/src/cli/brightfold scan "$(IMAGE)" --out build/sample/scan

test: debug
	ctest --preset debug

bench: release
	@scripts/install-deps --bench
	@scripts/run-bench build/release $(BENCH_IMAGE_MB)

fuzz: deps
	@cmake --preset fuzz >/dev/null
	@cmake --build --preset fuzz
	@scripts/run-fuzz build/fuzz $(FUZZ_SECONDS)

compare: release
	@scripts/install-deps --compare
	@bench/compare/run build/compare

clean:
	rm -rf build
