# The two commands of this repository: `make run` and `make test`. Both install what a fresh
# Debian 12 machine lacks (as root, with apt-get), configure and build with the CMake presets.

PACKAGES := cmake ninja-build clang clang-14 lld lld-14 llvm llvm-14 libclang-rt-14-dev \
            clang-format-14 libgtest-dev libbenchmark-dev liblzma-dev xz-utils python3
SUDO := $(if $(filter 0,$(shell id -u)),,sudo)
DXESIM := build/host/bin/dxesim

.PHONY: run test deps host uefi bench format clean

run: deps host
	$(DXESIM) --trace build/run-trace.txt NetBootClassId
	@echo "(event trace in build/run-trace.txt)"

test: deps host uefi
	ctest --preset aarch64-uefi
	ctest --preset host -j2

deps:
	@missing=$$(for p in $(PACKAGES); do \
	    dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed$$' || echo $$p; \
	  done); \
	if [ -n "$$missing" ]; then \
	  echo "Installing:" $$missing; \
	  $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq --no-install-recommends $$missing; \
	fi

host:
	cmake --preset host >/dev/null
	cmake --build --preset host

uefi:
	cmake --preset aarch64-uefi >/dev/null
	cmake --build --preset aarch64-uefi

bench: deps
	cmake --preset host-release >/dev/null
	cmake --build --preset host-release

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build
