# Sourced inside a private mount namespace: tmpfs over /run and /tmp, the
# helper and its Core copied to a root-owned directory (the helper starts
# only a Core that nobody but root can change), and the helper started for
# the demo owner. Sets `helper` to its process ID.
# Usage: start_sandboxed_helper BUILD_BIN_DIR SHIPPED_DIR OWNER_ID
start_sandboxed_helper() {
  local bin=$1 shipped=$2 owner=$3
  mount -t tmpfs -o mode=0755 tmpfs /run
  mount -t tmpfs -o mode=1777 tmpfs /tmp
  mkdir -m 0755 /run/korvane-vesk "$shipped"
  install -m 0755 "$bin/KorvaneVeskHelperService" "$bin/KorvaneVeskCore" "$shipped"/
  KORVANE_HELPER_OWNER_UID=$owner KORVANE_HELPER_OWNER_GID=$owner \
    setpriv --regid="$owner" --clear-groups "$shipped/KorvaneVeskHelperService" &
  helper=$!
  until [ -S /run/korvane-vesk/helper.sock ]; do sleep 0.05; done
}
