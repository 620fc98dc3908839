#!/bin/sh
# make cross-check: the unit tests of an arm64 build, run under qemu-user.
#   tools/cross-check.sh BUILD CHILD_TESTS
# CHILD_TESTS (a ctest regex) start the updater or mwire-sim as processes of
# their own: without binfmt_misc an arm64 child cannot be started from an
# emulated test, so they are named here and not run.
set -eu
build=$1
child_tests=$2
sysroot=/usr/aarch64-linux-gnu
probe=$build/thread-probe

# The emulator must start a thread (every Qt test does) before any test is
# worth running; on some kernels qemu-user hangs there.
printf '#include <thread>\nint main() { std::thread([] {}).join(); }\n' \
    | aarch64-linux-gnu-g++ -x c++ -pthread -o "$probe" -
if ! timeout -s KILL 20 qemu-aarch64 -L $sysroot "$probe"; then
    echo "cross-check: built for arm64 ($build), but qemu-aarch64 $(qemu-aarch64 --version | head -n 1 | awk '{ print $3 }')" \
         "cannot start a thread on this machine (kernel $(uname -r)): no test was run" >&2
    exit 1
fi
echo "cross-check: not run under the emulator (they start child processes): $(echo "$child_tests" | tr '|' ' ')"
QTEST_DISABLE_STACK_DUMP=1 ctest --test-dir "$build" --output-on-failure -j2 --timeout 900 -E "$child_tests"
