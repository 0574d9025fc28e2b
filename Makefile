# The front door: every target installs what is missing, configures and builds first.
#   make run [IMAGE=path]   with a display, start the desktop application scanning the sample card
#                           image (or IMAGE) and showing the files it found; without one, scan it with
#                           the command and list what comes back
#   make screenshots        walk the desktop application through every screen under Xvfb (the tour is a
#                           test harness, tests/harness, not part of the product), in the
#                           light and dark palettes and at the minimum size: build/screenshots/*.png
#   make test               build with sanitizers and run every test
#   make bench-failing      a failing card (FUSE + loop device, as root): brightfold image and scan beside ddrescue
#   make bench              benchmarks: scan throughput against the raw read of the same image, preview
#                           making per family, the browser's interface-thread work with 100,000 items
#   make fuzz               run every fuzz target for FUZZ_SECONDS each
#   make compare            compare with PhotoRec, foremost and scalpel on card images
#   make package            build build/package/brightfold-recover_*.deb and check it (lintian)

IMAGE ?= build/sample/card.img
BENCH_IMAGE_MB ?= 1024
FUZZ_SECONDS ?= 60

.PHONY: deps release debug run test bench bench-failing fuzz compare sample screenshots package clean

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

# The application keeps its stored scans of the sample apart from the user's own.
RUN_DATA := build/sample/app-data
run: sample
ifneq ($(DISPLAY)$(WAYLAND_DISPLAY),)
	@rm -rf "$(RUN_DATA)" && mkdir -p "$(RUN_DATA)"
	XDG_DATA_HOME="$(abspath $(RUN_DATA))" build/release/src/app/brightfold-recover --auto-scan-image "$(abspath $(IMAGE))" --browse-auto-scan
else
	@rm -rf "build/sample/scan"
	build/release/src/cli/brightfold scan "$(IMAGE)" --out build/sample/scan
	@echo
	@echo "No display here (neither DISPLAY nor WAYLAND_DISPLAY is set), so the command-line scan ran instead."
	@echo "On a desktop, start the application with: make run   (or build/release/src/app/brightfold-recover)"
	@echo "To scan this image there: build/release/src/app/brightfold-recover --auto-scan-image $(IMAGE)"
endif

SHOTS := build/screenshots
screenshots: sample
	@rm -rf "$(SHOTS)" && mkdir -p "$(SHOTS)/data"
	@build/release/src/cli/brightfold scan "$(IMAGE)" --copy --out "$(SHOTS)/saved" >/dev/null
	@for pass in "light default" "dark default" "light minimum" "dark minimum"; do \
		set -- $$pass; \
		XDG_DATA_HOME="$$PWD/$(SHOTS)/data/$$1-$$2" XDG_CONFIG_HOME="$$PWD/$(SHOTS)/data/$$1-$$2" \
		xvfb-run -a -s "-screen 0 1280x1024x24" build/release/tests/brightfold-screenshot-tour \
			--screenshot-tour "$(SHOTS)" --tour-image "$(abspath $(IMAGE))" --tour-folder "$$PWD/$(SHOTS)/saved" \
			--tour-palette $$1 --tour-size $$2 --tour-prefix "$$1-$$2-" || exit 1; \
	done
	@echo "Screenshots: $(SHOTS)/*.png (with the words on each screen in the matching .txt)"

test: debug
	ctest --preset debug

bench: release
	@scripts/install-deps --bench
	@scripts/run-bench build/release $(BENCH_IMAGE_MB)

# A card failing in a 64 MiB region, through FUSE and a read-only loop device (root), beside GNU ddrescue.
bench-failing: release
	@scripts/install-deps --bench
	@bench/failing-device/run build/release

fuzz: deps
	@cmake --preset fuzz >/dev/null
	@cmake --build --preset fuzz
	@scripts/run-fuzz build/fuzz $(FUZZ_SECONDS)

compare: release
	@scripts/install-deps --compare
	@bench/compare/run build/compare

package: deps
	@cmake --preset package >/dev/null
	@cmake --build --preset package
	@scripts/check-package build/package build/package
	@ls build/package/brightfold-recover_*.deb

clean:
	rm -rf build
