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

# Runs one step of a script (a build, a set-up step of a test group) quietly; when it fails, prints
# a line naming the group and the step, then the last 40 lines of its output as they came (the
# compiler's error, say), and fails.
#   orvo_step GROUP STEP COMMAND...
orvo_step() {
  local group=$1 step=$2 output
  shift 2
  output=$("$@" 2>&1) && return 0
  echo "$group: $step failed:"
  tail -n 40 <<<"$output" | sed 's/^/  /'
  return 1
}

# Makes FOLDER anew for a script's own use: gone first is only what a script of ours made there
# (the marker .orvo-own says so) or an empty folder; any other folder is refused and left as it is.
#   orvo_own_folder FOLDER
orvo_own_folder() {
  if [ -e "$1" ] && [ ! -e "$1/.orvo-own" ] && [ -n "$(ls -A -- "$1" 2>/dev/null)" ]; then
    echo "$1 is not a folder of ours (no .orvo-own in it): not using it" >&2
    return 1
  fi
  chmod -R u+rwx -- "$1" 2>/dev/null; rm -rf -- "$1" && mkdir -p -- "$1" && touch "$1/.orvo-own"
}

# Makes the system user NAME with an empty home of its own, as on a new machine: whatever an
# earlier run left (its processes, its home, its Wine prefixes) is gone first. Prints the home.
#   orvo_fresh_user NAME GROUP
orvo_fresh_user() {
  local user=$1 home=/var/lib/$1
  case "$user" in
    orvotest|orvosandbox) ;;
    *) echo "orvo_fresh_user: $user is not one of the project's users (orvotest, orvosandbox)" >&2
       return 1 ;;
  esac
  pkill -KILL -u "$user" 2>/dev/null || true
  # A wineserver of an earlier run lingers a while and would still write into the home.
  for _ in $(seq 50); do pgrep -u "$user" >/dev/null 2>&1 || break; sleep 0.1; done
  orvo_step "$2" "removing $home" rm -rf "$home" >&2 || return 1
  if ! id -u "$user" >/dev/null 2>&1; then
    orvo_step "$2" "making the user $user" useradd --system --home-dir "$home" --shell /bin/bash \
      "$user" >&2 || return 1
  fi
  orvo_step "$2" "making $home" install -d -o "$user" -g "$(id -gn "$user")" "$home" >&2 || return 1
  echo "$home"
}
