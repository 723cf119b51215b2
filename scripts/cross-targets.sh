# Sourced by the cross-build scripts: what each Linux target needs, how it is
# built, and how this machine runs its binaries (natively or under qemu-user).
# Needs deps.sh sourced first.

# Debian's cross compiler for a target (x86_64 is the native compiler).
cross_compiler_package() {
  case $1 in
    x86_64) echo g++ ;;
    i686) echo g++-i686-linux-gnu ;;
    armhf) echo g++-arm-linux-gnueabihf ;;
    aarch64) echo g++-aarch64-linux-gnu ;;
    s390x) echo g++-s390x-linux-gnu ;;
  esac
}

# qemu's name for a target's CPU.
qemu_cpu() {
  case $1 in
    i686) echo i386 ;;
    armhf) echo arm ;;
    *) echo "$1" ;;
  esac
}

# Older Debian ships the static emulators as qemu-user-static; newer releases
# fold them into qemu-user.
ensure_qemu_user() {
  if package_installed qemu-user-static || package_installed qemu-user; then return 0; fi
  if package_known qemu-user-static; then
    ensure_packages qemu-user-static
  else
    ensure_packages qemu-user
  fi
}

# Runs a command with its output kept back unless it fails.
quietly() {
  local log status
  log=$(mktemp)
  "$@" >"$log" 2>&1
  status=$?
  [ $status -ne 0 ] && cat "$log"
  rm -f "$log"
  return $status
}

# Configures and builds the tool for a target into a folder; further
# arguments go to cmake. x86_64 is a native build, linked statically.
build_cross() {
  local target=$1 build=$2
  shift 2
  local toolchain=()
  if [ "$target" = x86_64 ]; then
    toolchain=(-DPRORESCUE_STATIC=ON)
  else
    toolchain=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/linux-$target.cmake")
  fi
  quietly cmake -S "$root" -B "$build" "${toolchain[@]}" -DPRORESCUE_TESTS=OFF "$@" &&
    quietly cmake --build "$build" -j"${jobs:-2}" --target prorescue
}

# Prints what runs a target's binary here: nothing when it runs natively,
# else the qemu-user emulator that does. Fails when neither runs it.
cross_emulator() {
  local target=$1 binary=$2 cpu emulator
  local probe
  probe=$(mktemp -d)
  if (cd "$probe" && "$binary" >/dev/null 2>&1; [ $? -eq 1 ]); then
    rm -rf "$probe"
    return 0
  fi
  cpu=$(qemu_cpu "$target")
  for emulator in "qemu-$cpu-static" "qemu-$cpu"; do
    if command -v "$emulator" >/dev/null &&
      (cd "$probe" && "$emulator" "$binary" >/dev/null 2>&1; [ $? -eq 1 ]); then
      rm -rf "$probe"
      echo "$emulator"
      return 0
    fi
  done
  rm -rf "$probe"
  return 1
}
