# Shared by scripts/test, scripts/bench and scripts/demo.
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${BX_BUILD_DIR:-$ROOT/build}
JOBS=${BX_JOBS:-$(nproc)}

# Debian packages the build and the tests need.
BX_PACKAGES=(
  cmake ninja-build ccache g++ googletest libbenchmark-dev libssl-dev
  clang libclang-rt-14-dev
  g++-mingw-w64-x86-64-posix mingw-w64-tools binutils-mingw-w64-x86-64 libz-mingw-w64-dev
  wine64 wixl msitools iproute2 util-linux procps
  rsyslog python3 openssl
  xvfb xauth imagemagick fonts-wine
  dpkg-dev unzip debian-archive-keyring
  pkg-config libbpf-dev bpftool libsystemd-dev dbus-daemon systemd init-system-helpers
)

# Installs whichever of the packages is missing; installs nothing otherwise.
bx_install_packages() {
  local missing=()
  for p in "${BX_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "== installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# Compiler caching for every build of the scripts: ccache's cache lives outside
# the clone (ccache's own default, ~/.cache/ccache, or CCACHE_DIR), so that it
# survives between runs and clones; an empty cache only makes the first run
# slower. Paths inside the clone are hashed relative to it (CCACHE_BASEDIR,
# CCACHE_NOHASHDIR), so that a clone in another folder finds the same entries.
BX_LAUNCHER_ARGS=()
bx_use_ccache() {
  command -v ccache >/dev/null || return 0
  export CCACHE_BASEDIR="$ROOT" CCACHE_NOHASHDIR=1
  BX_LAUNCHER_ARGS=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
}

# bx_build NAME [cmake args...]: configures and builds BUILD/NAME.
bx_build() {
  local name=$1; shift
  echo "== building $name"
  mkdir -p "$BUILD"
  cmake -S "$ROOT" -B "$BUILD/$name" -G Ninja "${BX_LAUNCHER_ARGS[@]}" "$@" >"$BUILD/$name.configure.log" 2>&1 \
    || { cat "$BUILD/$name.configure.log"; return 1; }
  cmake --build "$BUILD/$name" -j "$JOBS"
}
