# Shared by the project's scripts: packages, the Windows build, Wine.

ORVO_PACKAGES=(cmake ninja-build gcc g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
               mingw-w64-x86-64-dev wine64 googletest util-linux coreutils
               # the pictures of the notices: a virtual X server, a screenshot, Chinese glyphs
               xvfb x11-apps imagemagick fonts-wqy-microhei fonts-wine
               # signing and the release bundle
               osslsigncode openssl zip unzip)

# Installs the packages given (by default the build's and the tests') that are missing, as root, or
# says which are missing.
orvo_ensure_packages() {
  local missing=() wanted=("$@")
  [ $# -gt 0 ] || wanted=("${ORVO_PACKAGES[@]}")
  for p in "${wanted[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" != 0 ]; then
    echo "missing packages: ${missing[*]} (run this script as root once to install them)" >&2
    return 1
  fi
  echo "installing: ${missing[*]}"
  timeout 900 apt-get update -qq
  DEBIAN_FRONTEND=noninteractive timeout 1800 apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
}

# Configures and builds the Windows programs in build/mingw of the tree given.
orvo_build() {
  (cd "$1" && cmake --preset mingw >/dev/null && cmake --build --preset mingw)
}
