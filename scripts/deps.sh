# Sourced by scripts/test, scripts/demo and scripts/package: installs the Debian packages the
# build needs, once, and only those that are missing, and configures the release build.
keyrix_packages=(
  cmake g++ ninja-build pkg-config
  clang-14 libclang-rt-14-dev
  libfmt-dev
  libxml2-dev nlohmann-json3-dev
  libsystemd-dev
  libcurl4-openssl-dev libssl-dev
  googletest libgtest-dev
  libncurses-dev tmux jq
  firebird3.0-server firebird-dev
  dpkg-dev file systemd systemd-container
)

keyrix_install_packages() {
  local missing=() pkg
  for pkg in "${keyrix_packages[@]}" "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=""
  if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || { echo "Need root (or sudo) to install: ${missing[*]}" >&2; return 1; }
    sudo="sudo"
  fi
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# The release build folder "build", shared by scripts/demo and scripts/package: both configure
# it with the release preset (CMakePresets.json), so that one build serves both and neither
# rebuilds for the other. The preset gives every option that shapes the binary, so a folder
# configured otherwise by hand is brought back to a plain release build.
keyrix_configure_release() {
  local launcher=-DCMAKE_CXX_COMPILER_LAUNCHER=
  command -v ccache >/dev/null && launcher=-DCMAKE_CXX_COMPILER_LAUNCHER=ccache
  cmake --preset release "$launcher"
}
