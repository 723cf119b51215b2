# Sourced by the scripts: installs what they need and is missing, quietly.
# Nothing is installed when everything is already there; the package
# manager's own output is shown only when it fails.

# Runs a command as root: directly when root, else through sudo when there is
# one. Without either it says what to run and fails.
as_root() {
  if [ "$(id -u)" -eq 0 ]; then
    "$@"
  elif command -v sudo >/dev/null 2>&1; then
    sudo "$@"
  else
    echo "Installing needs root. Run as root, then run this script again:" >&2
    echo "  apt-get update && apt-get install --no-install-recommends ${missing_packages[*]}" >&2
    return 1
  fi
}

package_installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

# The package lists are fetched once per script run, before the first install.
apt_lists_fresh=""
apt_update_once() {
  [ -n "$apt_lists_fresh" ] && return 0
  local log
  log=$(mktemp)
  if ! as_root apt-get update -qq >"$log" 2>&1; then
    cat "$log" >&2
    rm -f "$log"
    return 1
  fi
  rm -f "$log"
  apt_lists_fresh=yes
}

# True when apt knows a package of that name (the lists are fetched first).
package_known() {
  apt_update_once >/dev/null 2>&1 || true
  apt-cache show "$1" >/dev/null 2>&1
}

ensure_packages() {
  missing_packages=()
  local package
  for package in "$@"; do
    package_installed "$package" || missing_packages+=("$package")
  done
  [ ${#missing_packages[@]} -eq 0 ] && return 0
  echo "Installing missing packages: ${missing_packages[*]}"
  apt_update_once || return 1
  local log
  log=$(mktemp)
  if ! as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
    "${missing_packages[@]}" >"$log" 2>&1; then
    cat "$log" >&2
    rm -f "$log"
    echo "Installing ${missing_packages[*]} failed." >&2
    return 1
  fi
  rm -f "$log"
}

# Installs an npm package of an exact version globally when it is not there,
# and prints the folder it lies in.
ensure_npm_package() {
  local name=$1 version=$2 folder
  # npm may come with a nodejs that is not Debian's; Debian's npm only when there is none.
  command -v npm >/dev/null 2>&1 || ensure_packages npm >&2 || return 1
  folder="$(npm root -g)/$name"
  if [ "$(sed -n 's/^ *"version": *"\(.*\)",*$/\1/p' "$folder/package.json" 2>/dev/null)" != \
    "$version" ]; then
    echo "Installing missing npm package: $name@$version" >&2
    local log
    log=$(mktemp)
    if ! as_root npm install -g --no-audit --no-fund "$name@$version" >"$log" 2>&1; then
      cat "$log" >&2
      rm -f "$log"
      return 1
    fi
    rm -f "$log"
  fi
  echo "$folder"
}
