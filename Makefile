# The two entry points. Both install what is missing first.
#   make test   build everything and run every test (what CI runs)
#   make demo   build the host program and run its demo on real files
PRESET ?= dev

.PHONY: deps test demo sanitizers clean

deps:
	./scripts/install-deps.sh

test: deps
	cmake --preset $(PRESET)
	cmake --build --preset $(PRESET)
	ctest --preset $(PRESET)

demo: deps
	cmake --preset release
	cmake --build --preset release --target zvfile
	dir=$$(mktemp -d) && ./build/release/host/zvfile demo "$$dir"; status=$$?; rm -rf "$$dir"; exit $$status

# The suite under ASan+UBSan and under TSan.
sanitizers: deps
	$(MAKE) test PRESET=asan
	$(MAKE) test PRESET=tsan

clean:
	rm -rf build
