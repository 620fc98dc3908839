# Set-up, build, test and run on Debian 12. Everything installs what it needs.
BUILD     ?= build
ASAN      ?= build-asan
FUZZ      ?= build-fuzz
FUZZ_SECONDS ?= 60
JOBS      ?= $(shell nproc 2>/dev/null || echo 2)
# Test programs at once: twice the cores, as the tests mostly wait on
# devices and time-outs (on 2 cores, 4 at once kept the plain suite at 0.8
# of a core and the sanitized one at 1.4, and halved both runs).
TEST_JOBS ?= $(shell echo $$(( $(JOBS) * 2 )))
# ccache: a second build of the same sources (another clone, CI's) comes
# from the cache.
PACKAGES  := cmake g++ make ccache qt6-base-dev qt6-base-dev-tools qt6-serialport-dev libgl-dev \
             fonts-dejavu-core xvfb xauth libqt6sql6-sqlite libqt6sql6-psql
# What the tests need beyond the build: a PostgreSQL server of their own,
# and ser2net in front of simulated devices for the network ports.
TEST_PACKAGES := postgresql-15 ser2net
# The record tests start a PostgreSQL server of their own, which refuses to
# run as root: as root they run it as this system user.
TEST_USER := pelkotest
FUZZ_PACKAGES := clang libclang-rt-dev
A11Y_PACKAGES := orca at-spi2-core dbus xdotool xvfb xauth procps openbox x11-utils
BENCH_PACKAGES := time libgensio-dev
CROSS     ?= build-arm64
CROSS_PACKAGES := g++-aarch64-linux-gnu qemu-user qt6-base-dev:arm64 qt6-serialport-dev:arm64 libgl-dev:arm64 \
                  libqt6sql6-sqlite:arm64 libqt6sql6-psql:arm64
# Tests that start the updater or mwire-sim as processes of their own.
CROSS_CHILD_TESTS := tst_main|tst_portdiagnosis|tst_e2e|tst_scriptedupdate|tst_linefaults|tst_station|tst_line|tst_jsonevents|tst_portwait|tst_recordstore|tst_recordsreport|tst_networkport|tst_networkwait
PACKAGE_PACKAGES := dpkg-dev help2man gzip lintian appstream desktop-file-utils shared-mime-info
VERSION   := $(shell awk '/^project.pelkoupdate VERSION/ { print $$3 }' CMakeLists.txt)
DEB_TREE  := $(BUILD)/deb
SANITIZER_REPORT := ERROR: AddressSanitizer|ERROR: LeakSanitizer|runtime error:
SUDO      := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

# make test prints a line per file compiled and per test program ended; the
# builds' whole output goes to a log that is shown only when a build fails.
MAKEFLAGS += --no-print-directory

.PHONY: cross-deps cross-check all deps test-deps fuzz-deps package-deps a11y-deps build programs asan-build test check \
        a11y-check run bench soak fuzz package install clean

all: build

# Installs only the packages that are missing, so a ready machine skips apt.
define install_missing
	@missing=""; for p in $(1); do \
	    dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	    echo "Installing:$$missing"; \
	    $(SUDO) apt-get update -qq && \
	    DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq --no-install-recommends $$missing; \
	fi
endef

deps:
	$(call install_missing,$(PACKAGES))

test-deps: deps
	$(call install_missing,$(TEST_PACKAGES))
	@if [ "$$(id -u)" = 0 ] && ! id -u $(TEST_USER) > /dev/null 2>&1; then \
	    echo "Adding the system user $(TEST_USER) for the tests' PostgreSQL server"; \
	    useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin $(TEST_USER); \
	fi

# Debian's multiarch Qt for arm64 beside the machine's own, and the cross
# compiler and emulator.
cross-deps: deps
	@dpkg --print-foreign-architectures | grep -qx arm64 || { \
	    $(SUDO) dpkg --add-architecture arm64 && $(SUDO) apt-get update -qq; }
	$(call install_missing,$(CROSS_PACKAGES))

# A station on a small host: the program built for Linux arm64, and its unit
# tests run under qemu-user.
cross-check: cross-deps
	$(call quietly,$(CROSS),build.log,cmake -S . -B $(CROSS) -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake -DCMAKE_BUILD_TYPE=Release)
	$(call quietly,$(CROSS),build.log,cmake --build $(CROSS) -j$(JOBS))
	tools/cross-check.sh $(CROSS) "$(CROSS_CHILD_TESTS)"

fuzz-deps: deps
	$(call install_missing,$(FUZZ_PACKAGES))

# quietly DIR LOG COMMAND: runs COMMAND with its output in DIR/LOG, shown
# only when it fails.
define quietly
	@mkdir -p $(1); echo "$(3)" > $(1)/$(2); $(3) >> $(1)/$(2) 2>&1 || { cat $(1)/$(2); exit 1; }
endef

# stepwise DIR LOG COMMAND: the same, with one short line a step on the
# way ("[ 42%] station/station.cpp"), for a build a newcomer waits minutes
# for. sed -u passes each line on as it comes (awk and grep would keep them
# back while their output is not a terminal, as in CI's log).
define stepwise
	@mkdir -p $(1); echo "$(3)" > $(1)/$(2); \
	    { $(3) 2>&1; echo "exit $$?"; } | tee -a $(1)/$(2) | sed -un \
	        -e '/^\[ *[0-9]*%\] Building CXX object /{s/^\(.\{6\}\).*\.dir\//\1 /; s/\.o$$//; p}' \
	        -e 's/^\(\[ *[0-9]*%\]\) Linking CXX [a-z ]* \([^ ]*\/\)*\([^ /]*\)$$/\1 linking \3/p'; \
	    tail -n 1 $(1)/$(2) | grep -qx "exit 0" || { cat $(1)/$(2); exit 1; }
endef

$(BUILD)/CMakeCache.txt:
	$(call quietly,$(BUILD),build.log,cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo)

# Everything: the program, the simulated device, the tests, the benchmarks.
build: deps $(BUILD)/CMakeCache.txt
	@echo "== building in $(BUILD) (log: $(BUILD)/build.log)"
	$(call stepwise,$(BUILD),build.log,cmake --build $(BUILD) -j $(JOBS))

# The test programs and what they start, with AddressSanitizer and
# UndefinedBehaviorSanitizer; nothing else is built in this tree.
asan-build: deps
	@echo "== building the tests in $(ASAN) with sanitizers (log: $(ASAN)/build.log)"
	$(call quietly,$(ASAN),build.log,cmake -S . -B $(ASAN) -DCMAKE_BUILD_TYPE=Debug -DPELKO_SANITIZE=ON)
	$(call stepwise,$(ASAN),build.log,cmake --build $(ASAN) -j $(JOBS) --target testprograms)

# ctest DIR: the suite in DIR, a line per test program as it ends, and the
# ones still running after 20 s with none ending; all it printed is also in
# DIR/ctest.log, where make test looks for sanitizer reports.
define ctest
	@: > $(1)/ctest.log; tools/stillrunning.sh $$$$ $(1)/ctest.log 20 & \
	{ cd $(1) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(TEST_JOBS) 2>&1; \
	    echo "exit $$?"; } | tee $(1)/ctest.log | sed -u '/^exit [0-9]*$$/d'; \
	    tail -n 1 $(1)/ctest.log | grep -qx "exit 0"
endef

# The whole suite twice: as built, and under AddressSanitizer and
# UndefinedBehaviorSanitizer, where any report fails the run.
test: test-deps build asan-build
	@echo "== the tests"
	$(call ctest,$(BUILD))
	@echo "== the same tests under AddressSanitizer and UndefinedBehaviorSanitizer"
	$(call ctest,$(ASAN))
	@if grep -qE "$(SANITIZER_REPORT)" $(ASAN)/ctest.log; then echo "sanitizer report: failing" >&2; exit 1; fi

check: test

a11y-deps: deps
	$(call install_missing,$(A11Y_PACKAGES))

# The window with Debian's screen reader on a real X server: what it says
# through a whole update chosen in the File dialog, a cancelled one and one
# started on a file. Kept out of make test for the size of its packages.
a11y-check: build a11y-deps
	tests/a11y/screenreader.sh $(BUILD)

# With a display: the window and a simulated device. Without one: the same
# update run headless by the updater's scripted mode. Builds those two
# programs alone, not the tests (make test builds them).
run: programs
	@tools/demo.sh $(BUILD)

programs: deps $(BUILD)/CMakeCache.txt
	@echo "== building the updater and the simulated device in $(BUILD) (log: $(BUILD)/build.log)"
	$(call stepwise,$(BUILD),build.log,cmake --build $(BUILD) -j $(JOBS) --target pelkoupdate mwire-sim)

# A benchmark, not a test: turnaround, the floor, allocations, line rate.
# libgensio-dev: ser2net's library as a network client, measured against ours.
bench: test-deps build
	$(call install_missing,$(BENCH_PACKAGES))
	$(call quietly,$(BUILD),build.log,cmake -S . -B $(BUILD))
	$(call quietly,$(BUILD),build.log,cmake --build $(BUILD) -j $(JOBS) --target gensiofloor)
	bench/run.sh $(BUILD)

# A benchmark, not a test: SOAK_RUNS updates through a troubled driver, in
# the plain and the sanitizer build; prints how many failed.
SOAK_RUNS ?= 200
soak: build asan-build
	bench/soak.sh $(SOAK_RUNS) $(BUILD) $(ASAN)

# Coverage-guided fuzzing of the receive path and of the network ports'
# telnet client, each for FUZZ_SECONDS, seeded from a real exchange with the
# simulated device and from what ser2net says.
fuzz: programs fuzz-deps
	cmake -S . -B $(FUZZ) -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DPELKO_FUZZ=ON -DBUILD_TESTING=OFF > /dev/null
	cmake --build $(FUZZ) -j $(JOBS) --target fuzz_receive fuzz_telnet
	tests/fuzz/make-seeds.sh $(BUILD) $(FUZZ)/corpus $(FUZZ)/telnet-corpus
	@echo "fuzzing the receive path for $(FUZZ_SECONDS) s (log: $(FUZZ)/fuzz.log)"
	@cd $(FUZZ) && ./tests/fuzz/fuzz_receive -max_total_time=$(FUZZ_SECONDS) -max_len=4096 \
	    -print_final_stats=1 corpus > fuzz.log 2>&1; \
	    status=$$?; tail -n 12 fuzz.log; exit $$status
	@echo "fuzzing the telnet client for $(FUZZ_SECONDS) s (log: $(FUZZ)/fuzz-telnet.log)"
	@cd $(FUZZ) && ./tests/fuzz/fuzz_telnet -max_total_time=$(FUZZ_SECONDS) -max_len=4096 \
	    -print_final_stats=1 telnet-corpus > fuzz-telnet.log 2>&1; \
	    status=$$?; tail -n 12 fuzz-telnet.log; exit $$status

package-deps: deps
	$(call install_missing,$(PACKAGE_PACKAGES))

# The .deb, in $(BUILD), built in a tree of its own with Debian's hardening
# flags, and checked by lintian, appstreamcli and desktop-file-validate.
package: package-deps
	@eval "$$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)" && \
	    cmake -S . -B $(DEB_TREE) -DCMAKE_BUILD_TYPE=None -DBUILD_TESTING=OFF \
	        -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON \
	        -DCMAKE_CXX_FLAGS="$$CXXFLAGS $$CPPFLAGS" -DCMAKE_EXE_LINKER_FLAGS="$$LDFLAGS" > /dev/null
	cmake --build $(DEB_TREE) -j $(JOBS) --target pelkoupdate packagedocs
	cd $(DEB_TREE) && cpack -G DEB -B $(abspath $(BUILD)) > /dev/null
	packaging/check.sh $(BUILD)/pelkoupdate_$(VERSION)_$$(dpkg --print-architecture).deb

install: build
	cmake --install $(BUILD)

clean:
	rm -rf $(BUILD) $(ASAN) $(FUZZ) demo
