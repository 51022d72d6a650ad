# Shared steps of scripts/test, scripts/demo and .ci/run: the one list of
# Debian packages, installing what is missing, configuring and building.
# Source it; it defines functions only.

TAMLIX_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

TAMLIX_PACKAGES=(
  build-essential cmake ninja-build pkg-config git
  libssl-dev openssl
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  qt6-base-dev qt6-qpa-plugins libgl-dev libxcb1-dev
  xvfb openbox trayer dbus-daemon libxcb-xtest0-dev
  clang libclang-rt-14-dev
  locales tzdata
)

tamlix_install_packages() {
  local missing=()
  for p in "${TAMLIX_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if ((${#missing[@]})); then
    echo "== installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
  fi
}

# tamlix_build DIR [cmake options...]: configure (once) and build everything.
tamlix_build() {
  local dir="$1"
  shift
  cmake -S "$TAMLIX_ROOT" -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j "$(nproc)"
}
