#!/usr/bin/env bash
# Set-up, build, test and run for kavrod on Debian 12.
#   ./kavro.sh run [--debug]   install what is missing, build, start the service
#   ./kavro.sh test            install what is missing, build, run every test
#   ./kavro.sh build           install what is missing and build
# KAVROD_BUILD names the build directory (default build); KAVROD_SANITIZE=1
# builds with AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")"

PACKAGES="cmake g++ make pkg-config libwolfssl-dev libev-dev libgtest-dev openssl iproute2 util-linux"
BUILD_DIR="${KAVROD_BUILD:-build}"

install_packages() {
    local missing=()
    for p in $PACKAGES; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
}

build() {
    install_packages
    local sanitize=OFF
    [ "${KAVROD_SANITIZE:-0}" = "1" ] && sanitize=ON
    cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKAVROD_SANITIZE="$sanitize" >/dev/null
    cmake --build "$BUILD_DIR" -j "$(nproc)"
}

run_tests() {
    build
    local ctest=(ctest --test-dir "$BUILD_DIR" --output-on-failure --timeout 300)
    # As root the tests run in a private network namespace: only its own loopback.
    if [ "$(id -u)" -eq 0 ] && unshare --net true 2>/dev/null; then
        unshare --net bash -c 'ip link set lo up && exec "$@"' _ "${ctest[@]}"
    else
        "${ctest[@]}"
    fi
}

prepare_service() {
    local dir="${KAVROD_DIR:-/etc/kavrod}"
    mkdir -p "$dir"
    if [ ! -f "$dir/cert.pem" ] || [ ! -f "$dir/key.pem" ]; then
        echo "creating a self-signed certificate in $dir"
        openssl req -x509 -nodes -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -days 3650 \
            -subj "/CN=$(hostname)" -keyout "$dir/key.pem" -out "$dir/cert.pem" 2>/dev/null
        chmod 600 "$dir/key.pem"
    fi
}

case "${1:-}" in
run)
    shift
    build
    prepare_service
    exec "$BUILD_DIR/kavrod" --start-service "$@"
    ;;
test) run_tests ;;
build) build ;;
*)
    echo "usage: $0 run [--debug] | test | build" >&2
    exit 2
    ;;
esac
