# The two commands of this repository: `make run` and `make test`. Both install what a fresh
# Debian 12 machine lacks (as root, with apt-get), configure and build with the CMake presets.

PACKAGES := cmake ninja-build clang clang-14 lld lld-14 llvm llvm-14 libclang-rt-14-dev \
            clang-format-14 libgtest-dev libbenchmark-dev liblzma-dev xz-utils libunicorn-dev \
            libtomlplusplus-dev libcapstone-dev python3 qemu-system-arm qemu-efi-aarch64 xxhash
SUDO := $(if $(filter 0,$(shell id -u)),,sudo)
DXESIM := build/host/bin/dxesim
CLANG_FORMAT := clang-format-14

.PHONY: run test deps host uefi bench format format-check clean

# The default boot: the four drivers on the built-in board, an ISP start on two valid images
# (2 MiB at 0x80000000, 1.5 MiB at 0x81000000), then ExitBootServices. Shows the console, the
# statuses and the decoded boot log; the trace and the firmware objects go to build/.
run: deps
	cmake --preset host >/dev/null
	cmake --build --preset host --target dxesim
	$(DXESIM) --trace build/run-trace.txt --firmware build/run-firmware.txt --bootlog \
	  --call StartIsp:0x80000000:0x81000000:0x200000:0x180000 --call ExitBootServices
	@echo "(event trace in build/run-trace.txt, firmware objects in build/run-firmware.txt)"

# The images first: the host tests run them on the emulation engine.
test: deps uefi host
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

bench: deps uefi
	cmake --preset host-release >/dev/null
	cmake --build --preset host-release
	build/host-release/bin/dxesim_benchmark
	build/host-release/bin/lzma_decode_bench

format: deps
	git ls-files '*.cpp' '*.h' | xargs $(CLANG_FORMAT) -i

# Fails on any drift from .clang-format in the tracked C++ files.
format-check: deps
	git ls-files '*.cpp' '*.h' | xargs $(CLANG_FORMAT) --dry-run -Werror

clean:
	rm -rf build
