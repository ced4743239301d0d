# Sourced inside a private mount namespace: tmpfs over /run and /tmp, the
# helper and its Core copied to a root-owned directory (the helper starts
# only a Core that nobody but root can change), and the helper started for
# the demo owner. Sets `helper` to its process ID, and `core` to the path
# of the Core it starts.
# Usage: start_sandboxed_helper BIN_DIR SHIPPED_DIR OWNER_ID
# With an empty SHIPPED_DIR the helper runs where it is (an installed one).
start_sandboxed_helper() {
  local bin=$1 shipped=$2 owner=$3 helper_file core_file
  # The mounts below would cover the machine's own /run and /tmp: only in a
  # mount namespace of our own, not the one of whoever started us.
  local own parent
  own=$(readlink /proc/self/ns/mnt || true)
  parent=$(readlink "/proc/$PPID/ns/mnt" || true)
  if [ -z "$own" ] || [ -z "$parent" ] || [ "$own" = "$parent" ]; then
    echo "start_sandboxed_helper: run me in a private mount namespace (unshare --mount)" >&2
    exit 1
  fi
  if [ -z "$shipped" ]; then
    mount -t tmpfs -o mode=0755 tmpfs /run
    mount -t tmpfs -o mode=1777 tmpfs /tmp
    mkdir -m 0755 /run/korvane-vesk
    shipped=$bin
  else
    # Opened before the mounts: a checkout under /tmp or /run is hidden after them.
    exec {helper_file}<"$bin/KorvaneVeskHelperService" {core_file}<"$bin/KorvaneVeskCore"
    mount -t tmpfs -o mode=0755 tmpfs /run
    mount -t tmpfs -o mode=1777 tmpfs /tmp
    mkdir -m 0755 /run/korvane-vesk "$shipped"
    install -m 0755 "/dev/fd/$helper_file" "$shipped/KorvaneVeskHelperService"
    install -m 0755 "/dev/fd/$core_file" "$shipped/KorvaneVeskCore"
    exec {helper_file}<&- {core_file}<&-
  fi
  core=$shipped/KorvaneVeskCore
  cd /
  KORVANE_HELPER_OWNER_UID=$owner KORVANE_HELPER_OWNER_GID=$owner \
    setpriv --regid="$owner" --clear-groups "$shipped/KorvaneVeskHelperService" &
  helper=$!
  until [ -S /run/korvane-vesk/helper.sock ]; do
    kill -0 "$helper" 2>/dev/null || { echo "the helper did not start" >&2; exit 1; }
    sleep 0.05
  done
}
