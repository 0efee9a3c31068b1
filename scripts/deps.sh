# Sourced by scripts/test and scripts/demo: installs the Debian packages the build needs,
# once, and only those that are missing.
keyrix_packages=(
  cmake g++ ninja-build pkg-config
  clang-14 libclang-rt-14-dev
  libfmt-dev
  libxml2-dev
  libsystemd-dev
  libcurl4-openssl-dev libssl-dev
  googletest libgtest-dev
  libncurses-dev tmux jq
  firebird3.0-server firebird-dev
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
