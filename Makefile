# The two commands: `make demo` runs the main job, `make test` builds both trees and runs every test.
# Both run `make setup` first when the machine lacks something the project needs.

BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?= -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: setup test demo bench host i386 clean

setup:
	@scripts/setup

$(BUILD)/host/build.ninja: CMakeLists.txt
	@scripts/setup --if-needed
	cmake -S . -B $(BUILD)/host $(CMAKE_FLAGS) -DTV_TREE=host

$(BUILD)/i386/build.ninja: CMakeLists.txt
	@scripts/setup --if-needed
	cmake -S . -B $(BUILD)/i386 $(CMAKE_FLAGS) -DTV_TREE=i386

host: $(BUILD)/host/build.ninja
	cmake --build $(BUILD)/host -j $(JOBS)

i386: $(BUILD)/i386/build.ninja
	cmake --build $(BUILD)/i386 -j $(JOBS)

test: host i386
	cd $(BUILD)/host && ctest --output-on-failure -j $(JOBS)
	cd $(BUILD)/i386 && ctest --output-on-failure -j $(JOBS)

DEMO_HOME = $(BUILD)/demo-home

# A fresh machine with a 4.7 GB disc, the demo script run on it, and the bus captured.
demo: host
	rm -rf $(DEMO_HOME)
	$(BUILD)/host/tools/tvqr/tvqr --home $(DEMO_HOME) init --product 0x0004
	$(BUILD)/host/tools/tvqr/tvqr --home $(DEMO_HOME) --pcap $(BUILD)/demo.pcap script tools/tvqr/demo.tvqr
	@command -v tshark >/dev/null && echo "capture $(BUILD)/demo.pcap:" && tshark -r $(BUILD)/demo.pcap 2>/dev/null | tail -n 12 || true

# Host wall time of reading 256 MiB through the whole stack against the image file, and the virtual
# throughput against the full-speed limit. The host tree runs with the sanitizers on.
bench: host
	$(BUILD)/host/bench/read_bench

clean:
	rm -rf $(BUILD)
