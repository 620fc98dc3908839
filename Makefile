# Set-up, build, test and run on Debian 12. Everything installs what it needs.
BUILD     ?= build
JOBS      ?= $(shell nproc 2>/dev/null || echo 2)
PACKAGES  := cmake g++ make qt6-base-dev qt6-base-dev-tools qt6-serialport-dev libgl-dev
SUDO      := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: all deps build test check run bench install clean

all: build

# Installs only the packages that are missing, so a ready machine skips apt.
deps:
	@missing=""; for p in $(PACKAGES); do \
	    dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	    echo "Installing:$$missing"; \
	    $(SUDO) apt-get update -qq && \
	    DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq --no-install-recommends $$missing; \
	fi

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

check: test

# With a display: the window and a simulated device. Without one: the same
# update run headless by the updater's scripted mode.
run: build
	@tools/demo.sh $(BUILD)

# A benchmark, not a test: turnaround, the floor, allocations, line rate.
bench: build
	bench/run.sh $(BUILD)

install: build
	cmake --install $(BUILD)

clean:
	rm -rf $(BUILD)
