# Shared by the scripts: the Debian packages the Linux build needs, installing them, and
# configuring and building a CMake tree.

LINUX_PACKAGES=(cmake make g++ libgtest-dev libgmock-dev libtinyxml2-dev libasio-dev
  libcli11-dev nlohmann-json3-dev tinyproxy openssh-server openssh-client curl openssl
  clang libclang-rt-14-dev libssl-dev nginx util-linux procps pkg-config libsystemd-dev dbus-daemon)

# Installs what is missing: as root through apt-get; otherwise prints the line and fails.
ensure_packages() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -eq 0 ]; then
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    # Another script of the run may hold the package lock for a while: wait for it.
    local wait=(-o DPkg::Lock::Timeout=600)
    apt-get "${wait[@]}" update -qq
    apt-get "${wait[@]}" install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  else
    echo "missing packages; run: sudo apt-get install -y ${missing[*]}" >&2
    return 1
  fi
}

# ensure_npm_packages DIR: the npm packages pinned in DIR/package-lock.json, installed into
# DIR/node_modules by npm ci when they are missing or the lock file changed since.
ensure_npm_packages() {
  local dir="$ROOT/$1"
  command -v npm >/dev/null || ensure_packages nodejs npm || return 1
  if ! cmp -s "$dir/package-lock.json" "$dir/node_modules/.ferrant-lock"; then
    (cd "$dir" && npm ci --no-audit --no-fund --loglevel=error >/dev/null) &&
      cp "$dir/package-lock.json" "$dir/node_modules/.ferrant-lock"
  fi
}

# configure_build DIR [cmake options...]: configures (once) and builds DIR with two jobs.
configure_build() {
  local dir="$1"
  shift
  cmake -S "$ROOT" -B "$ROOT/$dir" "$@" >/dev/null
  cmake --build "$ROOT/$dir" -j2
}
