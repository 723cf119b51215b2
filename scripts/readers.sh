# Sourced by the scripts: sets up the movie readers the end-to-end tests use
# beside ffmpeg (GPAC's mp4box from npm, mkvtoolnix's mkvmerge, node), strace
# for the flush-order test and xfsprogs and filefrag for the copy-on-write
# test, installing only what is missing.
ensure_readers() {
  local root=$1
  ensure_packages strace mkvtoolnix xfsprogs e2fsprogs
  # node may come from elsewhere than Debian, with its own npm: ask for
  # Debian's only where the commands are missing.
  command -v node >/dev/null 2>&1 || ensure_packages nodejs
  command -v npm >/dev/null 2>&1 || ensure_packages npm
  local readers="$root/tests/readers"
  if [ ! -f "$readers/node_modules/mp4box/package.json" ]; then
    echo "Installing npm package mp4box@0.5.2 into tests/readers"
    npm install --silent --no-save --no-package-lock --prefix "$readers" mp4box@0.5.2 >/dev/null
  fi
  # The tests fail rather than skip when a reader promised here is missing.
  export PRORESCUE_REQUIRE_READERS=1
}
