# Shared set-up of the project scripts: installs what is missing (as root,
# with apt-get), then configures and builds.
#
#   ZQ_BUILD_DIR     build directory (default: build, or build-san with sanitizers)
#   ENABLE_SANITIZERS=ON  build with AddressSanitizer and UndefinedBehaviorSanitizer
#
# zq_build passes its arguments on to the configuration (cmake -D...).

ZQ_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
ZQ_PACKAGES=(cmake ninja-build g++ binutils libgtest-dev libgmock-dev googletest libbenchmark-dev nlohmann-json3-dev libudev-dev pkg-config python3-pytest help2man python3-venv python3-pip python3-setuptools python3-wheel libsqlite3-dev libcpp-httplib-dev libjs-chart.js nodejs chromium libpaho-mqtt-dev mosquitto mosquitto-clients python3-jsonschema openssl libssl-dev)

zq_install_missing() {
  local missing=()
  for p in "${ZQ_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${missing[*]} (run as root to install them)" >&2
    return 1
  fi
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq && apt-get install -y -qq "${missing[@]}"
}

# The browser tests' one npm package (playwright-core, no browser download:
# they drive Debian's chromium), into tests/browser/node_modules.
zq_install_browser_test() {
  local dir="$ZQ_ROOT/tests/browser"
  [ -f "$dir/node_modules/playwright-core/package.json" ] && return 0
  if ! command -v npm >/dev/null 2>&1; then
    if [ "$(id -u)" -eq 0 ]; then apt-get install -y -qq npm; else echo "npm missing: the browser tests will be skipped" >&2; return 0; fi
  fi
  (cd "$dir" && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error)
}

zq_build() {
  local sanitize="${ENABLE_SANITIZERS:-OFF}"
  local dir="${ZQ_BUILD_DIR:-}"
  if [ -z "$dir" ]; then
    if [ "$sanitize" = "ON" ]; then dir="$ZQ_ROOT/build-san"; else dir="$ZQ_ROOT/build"; fi
  fi
  ZQ_BUILD="$dir"
  cmake -S "$ZQ_ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DENABLE_SANITIZERS="$sanitize" -DZQ_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$(nproc)"
}
