# Thin wrapper over CMake for the usual commands.
BUILD ?= build
CMAKE_FLAGS ?=
JOBS ?= $(shell nproc)

# Debian packages needed to build and test; each further target adds only
# what it uses itself.
BUILD_DEPS := cmake make g++ binutils libgtest-dev libcli11-dev nlohmann-json3-dev libfmt-dev \
  libsqlite3-dev sqlite3 \
  pkg-config dpkg-dev python3 scdoc
# sanperf_exporter, and the client its tests drive.
BUILD_DEPS += libmicrohttpd-dev zlib1g-dev curl iproute2
# The exporter's TLS and basic auth, and the tools their tests drive.
BUILD_DEPS += libgnutls28-dev libcrypt-dev libyaml-cpp-dev openssl gnutls-bin
# systemd-socket-activate, for the exporter's socket activation test.
BUILD_DEPS += systemd
# The Python module.
BUILD_DEPS += python3-dev pybind11-dev
PYTHON_TEST_DEPS := python3-pytest mypy
FUZZ_DEPS := clang-14 libclang-rt-14-dev
MEMCHECK_DEPS := valgrind
ABI_DEPS := abigail-tools
BENCH_DEPS := libbenchmark-dev

.PHONY: deps configure build test demo clean tsan package bench asan fuzz memcheck abi abi-update
.PHONY: bench-exporter bench-configure monitoring-test format format-check python-test

deps:
	scripts/install-deps.sh $(BUILD_DEPS)

configure: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -LE monitoring

# sanstat watching a simulated server with faults for five seconds.
demo: build
	scripts/demo.sh $(BUILD)

# The Python module's tests (tests/python, pytest in a private mount
# namespace) and mypy --strict on the documentation's recipes.
python-test: build
	scripts/install-deps.sh $(PYTHON_TEST_DEPS)
	tests/python/run.sh $(BUILD)

# The threads tests under ThreadSanitizer, in its own build directory: the
# library's, the programs' snapshot read on a pool over a changing tree, and
# every test of the exporter (its units, the security layer's, the daemon's
# end-to-end, network, login and coalescing tests), whose daemon then runs
# instrumented, with the tests' time bounds stretched fivefold. Any report
# fails the run (exit code 66).
TSAN_BUILD ?= build-tsan
tsan: deps
	cmake -S . -B $(TSAN_BUILD) -DSANPERF_WERROR=ON -DSANPERF_BUILD_TOOLS=ON \
	  -DSANPERF_BUILD_EXAMPLES=OFF $(CMAKE_FLAGS) -DCMAKE_CXX_FLAGS=-fsanitize=thread
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target sanperf_concurrency_tests snapshot_threads_tests \
	  sanperf_exporter sanperf-sim sanperf_exporter_tests exporter_security_tests
	TSAN_OPTIONS="halt_on_error=1 exitcode=66" SANPERF_TEST_TIME_SCALE=5 \
	  ctest --test-dir $(TSAN_BUILD) --output-on-failure -R '^(concurrency|snapshot_threads|exporter.*)$$'

# The monitoring content in monitoring/: the files rendered from the jsonnet
# mixin are current, promtool checks and unit-tests the rules and alerts,
# every alert is tested, the dashboards pass the lint and _config overrides
# take effect. promtool comes from scripts/get-prometheus.sh. Then, on the
# build's programs, live Prometheus servers run every dashboard query, carry
# one alert through a real Alertmanager (scripts/get-alertmanager.sh), take
# the fleet path into a central Prometheus and VictoriaMetrics, and read
# sanstat's output through node_exporter's textfile collector (ctest label
# monitoring, left out of make test).
MONITORING_DEPS := python3-yaml jsonnet
PROM_DIR ?= $(BUILD)/prometheus
monitoring-test: CMAKE_FLAGS += -DPROMETHEUS_DIR=$(abspath $(PROM_DIR))
monitoring-test: build
	scripts/install-deps.sh python3 $(MONITORING_DEPS)
	scripts/get-prometheus.sh $(PROM_DIR) >/dev/null
	monitoring/tests/run.sh $(PROM_DIR)/promtool
	scripts/get-alertmanager.sh $(PROM_DIR) >/dev/null
	scripts/get-from-deb.sh $(PROM_DIR) victoria-metrics /usr/bin/victoria-metrics
	scripts/get-from-deb.sh $(PROM_DIR) prometheus-node-exporter /usr/bin/prometheus-node-exporter
	ctest --test-dir $(BUILD) --output-on-failure -L monitoring

# The Debian packages, built from debian/ by dpkg-buildpackage into
# $(DEB_BUILD); package-test runs lintian on them, then installs, uses and
# purges them on this machine (as root).
DEB_BUILD ?= build-deb
.PHONY: package-test
package:
	scripts/install-build-deps.sh
	scripts/build-debs.sh $(DEB_BUILD) $(JOBS)
package-test: package
	scripts/install-deps.sh lintian man-db
	tests/packaging/deb_test.sh $(DEB_BUILD)

# The packages under a real systemd: a minimal Debian 12 root with systemd
# (debootstrap, cached in $(SYSTEMD_ROOT) between runs) booted with
# systemd-nspawn and no network; the .debs in $(DEB_BUILD), built by make
# package when there are none, are installed with apt inside and every unit
# they ship is checked as it runs (tests/packaging/systemd_test.sh, as root).
SYSTEMD_ROOT ?= $(BUILD)/systemd-root
SYSTEMD_DEPS := debootstrap systemd-container openssl
.PHONY: systemd-test
systemd-test:
	scripts/install-deps.sh $(SYSTEMD_DEPS)
	ls $(DEB_BUILD)/*.deb >/dev/null 2>&1 || $(MAKE) package DEB_BUILD=$(DEB_BUILD)
	scripts/make-systemd-root.sh $(SYSTEMD_ROOT)
	tests/packaging/systemd_test.sh $(DEB_BUILD) $(SYSTEMD_ROOT)

# The Release build that both benchmark targets run in.
BENCH_BUILD ?= build-bench
bench-configure: deps
	scripts/install-deps.sh $(BENCH_DEPS)
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DSANPERF_BUILD_TESTS=OFF \
	  -DSANPERF_BUILD_EXAMPLES=OFF -DSANPERF_BUILD_BENCH=ON

# One snapshot by the library beside the raw-syscall floor, on trees of
# 100, 1,000 and 10,000 sessions and sockets. Then the programs reading on
# threads against one (bench/threads_bench.py, as root): exporter scrape and
# sanstat report at 1,000/1,000 and 10,000/10,000, wall and CPU time and peak
# memory; THREADS_BENCH_ARGS=--quick for a short pass. Last the Python module
# (bench/python_bench.py, as root) against the C++ snapshot and a pure-Python
# reader; PYTHON_BENCH_ARGS=--quick for a short pass.
bench: bench-configure
	cmake --build $(BENCH_BUILD) -j $(JOBS) --target sanperf_bench sanperf-sim sanperf_exporter \
	  sanstat sanperf_python sanperf_tools_snapshot_time
	bench/run.sh $(BENCH_BUILD) $(BENCH_ARGS)
	bench/threads_bench.py $(BENCH_BUILD) $(THREADS_BENCH_ARGS)
	bench/python_bench.py $(BENCH_BUILD) $(PYTHON_BENCH_ARGS)

# sanperf_exporter's figures (bench/exporter_bench.py, as root): scrape
# against a bare library snapshot, reads shared by 16 clients, memory over
# 10,000 scrapes, 500 idle connections, a 10,000/10,000 tree. Takes minutes;
# EXPORTER_BENCH_ARGS=--quick for a short pass.
bench-exporter: bench-configure
	cmake --build $(BENCH_BUILD) -j $(JOBS) --target sanperf_exporter sanperf-sim sanperf_snapshot_time
	bench/exporter_bench.py $(BENCH_BUILD) $(EXPORTER_BENCH_ARGS)
	bench/exporter_login_bench.py $(BENCH_BUILD)/tools/sanperf_exporter/sanperf_exporter \
	  $(BENCH_BUILD)/tools/sanperf-sim/sanperf-sim

# sanperf_exporter for SOAK_SECONDS under steady scrapes, an idle-connection
# flood, wrong passwords and SIGHUPs, against a churning simulated tree (as
# root); RSS, descriptors, threads and scrape latency every second go to
# $(SOAK_OUT)/soak.csv and soak.png, and RSS and descriptors must stay flat
# after the warm-up.
SOAK_SECONDS ?= 60
SOAK_OUT ?= $(BUILD)/soak
SOAK_DEPS := gnuplot-nox
.PHONY: soak
soak: configure
	scripts/install-deps.sh $(SOAK_DEPS)
	cmake --build $(BUILD) -j $(JOBS) --target sanperf_exporter sanperf-sim
	scripts/soak.py $(BUILD) $(SOAK_SECONDS) $(SOAK_OUT)

# The whole test suite, the programs' and the exporter's end-to-end tests
# included, under AddressSanitizer and UndefinedBehaviorSanitizer, in its own
# build directory; any report fails the run. The packaging tests are left
# out: they build consumers without the sanitizer runtime, and so is the
# Python module, which an interpreter without it cannot load. Instrumented,
# std::regex and std::function make g++ 12 warn of uninitialized members
# that are not: that warning is left to the normal builds.
ASAN_BUILD ?= build-asan
asan: deps
	cmake -S . -B $(ASAN_BUILD) -DSANPERF_WERROR=ON -DSANPERF_BUILD_EXAMPLES=OFF \
	  -DSANPERF_BUILD_PYTHON=OFF $(CMAKE_FLAGS) \
	  "-DCMAKE_CXX_FLAGS=-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -Wno-maybe-uninitialized"
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:halt_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  ctest --test-dir $(ASAN_BUILD) --output-on-failure -E '^install$$'

# The libFuzzer targets in fuzz/ (-DSANPERF_FUZZ=ON, built with clang), run
# by ctest for FUZZ_SECONDS each, as many at once as there are cores.
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
fuzz: deps
	scripts/install-deps.sh $(FUZZ_DEPS)
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_CXX_COMPILER=clang++-14 -DSANPERF_FUZZ=ON \
	  -DSANPERF_FUZZ_SECONDS=$(FUZZ_SECONDS) -DSANPERF_BUILD_TOOLS=OFF -DSANPERF_BUILD_TESTS=OFF \
	  -DSANPERF_BUILD_EXAMPLES=OFF $(CMAKE_FLAGS)
	cmake --build $(FUZZ_BUILD) -j $(JOBS)
	ctest --test-dir $(FUZZ_BUILD) --output-on-failure -L fuzz -j $(JOBS)

# The unit tests of a normal build under valgrind memcheck.
memcheck: build
	scripts/install-deps.sh $(MEMCHECK_DEPS)
	scripts/run-memcheck.sh $(BUILD)

# The library's ABI against abi/libsanperf.so.1.abi; abi-update rewrites it.
ABI_BUILD ?= build-abi
abi: deps
	scripts/install-deps.sh $(ABI_DEPS)
	scripts/check-abi.sh $(ABI_BUILD)
abi-update: deps
	scripts/install-deps.sh $(ABI_DEPS)
	scripts/check-abi.sh $(ABI_BUILD) --update

# Every tracked C++ file as the committed .clang-format has it; CI runs the check.
format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')
format-check:
	scripts/check-format.sh

clean:
	rm -rf $(BUILD)
