#!/usr/bin/env bash
# Drives KorvaneVesk against its stand-ins, one case per run:
#   shell_test.sh CASE [WM]
# WM is how the stand-in window manager announces itself: "name NAME",
# "nameless", or "none" (no window manager at all).
#
# Each run starts its own Xvfb and session bus and stops them at the end.
# Behaviour is read from outside (xprop, xwininfo, exit codes, output) and
# from the trace the stand-ins write (KORVANE_STANDIN_TRACE), which is the
# only way to see the header bar's title and close button.
set -euo pipefail

: "${KORVANE_VESK:?path of KorvaneVesk}"
: "${KORVANE_WM_STANDIN:?path of the stand-in window manager}"

readonly title=Korvane_Vesk
readonly app_class='^com\.brivel\.ostra\.vesk$'

fail() {
  echo "FAIL: $*" >&2
  if [[ -s "${trace:-/nonexistent}" ]]; then
    echo "--- trace" >&2
    cat "$trace" >&2
  fi
  exit 1
}

# Polls a command for up to ten seconds.
wait_for() {
  local what=$1
  shift
  for _ in $(seq 100); do
    if "$@" >/dev/null 2>&1; then
      return 0
    fi
    sleep 0.1
  done
  fail "timed out waiting for $what"
}

if [[ -z "${KORVANE_TEST_SESSION:-}" ]]; then
  work=$(mktemp -d)
  xvfb_pid=
  # shellcheck disable=SC2317 # runs from the EXIT trap
  cleanup() {
    if [[ -n "$xvfb_pid" ]]; then
      kill "$xvfb_pid" 2>/dev/null || true
      wait "$xvfb_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
  }
  trap cleanup EXIT
  # -noreset keeps the window manager's announcement once its client leaves.
  Xvfb -displayfd 5 -screen 0 1280x1024x24 -nolisten tcp -noreset \
    5>"$work/display" 2>"$work/xvfb.log" &
  xvfb_pid=$!
  wait_for "Xvfb" test -s "$work/display"
  DISPLAY=":$(cat "$work/display")"
  export DISPLAY
  status=0
  KORVANE_TEST_SESSION=1 KORVANE_TEST_DIR="$work" \
    dbus-run-session -- bash "$0" "$@" || status=$?
  exit "$status"
fi

readonly dir=$KORVANE_TEST_DIR
trace=$dir/trace
shell_pid=

stop_shell() {
  if [[ -n "$shell_pid" ]] && kill -0 "$shell_pid" 2>/dev/null; then
    kill "$shell_pid" 2>/dev/null || true
    wait "$shell_pid" 2>/dev/null || true
  fi
}
trap stop_shell EXIT

# GTK's accessibility bridge and settings backend talk over the session bus
# and may warn about a bare test desktop; neither is the shell's doing.
export GDK_BACKEND=x11 NO_AT_BRIDGE=1 GSETTINGS_BACKEND=memory
export KORVANE_STANDIN_TRACE=$trace

announce_wm() {
  case "$1" in
    none) ;;
    nameless) "$KORVANE_WM_STANDIN" nameless ;;
    name\ *) "$KORVANE_WM_STANDIN" name "${1#name }" ;;
    *) fail "unknown window manager '$1'" ;;
  esac
}

# Starts the primary instance: start_shell EXECUTABLE [ARGUMENTS...]
start_shell() {
  local executable=$1
  shift
  "$executable" "$@" >"$dir/out" 2>"$dir/err" &
  shell_pid=$!
}

visible_windows() {
  xdotool search --onlyvisible --classname "$app_class" 2>/dev/null || true
}

# Waits until the window plug-in has shown the window; prints its id.
wait_shown() {
  wait_for "the window plug-in to show the window" grep -q '^shown ' "$trace"
  wait_for "the window to be mapped" test -n "$(visible_windows)"
  visible_windows
}

# Asks the window to close like a window manager would; the shell must then
# end by itself, with status 0.
close_shell() {
  "$KORVANE_WM_STANDIN" close "$1"
  wait_for "the shell to exit" bash -c "! kill -0 $shell_pid"
  local status=0
  wait "$shell_pid" || status=$?
  shell_pid=
  [[ $status == 0 ]] || fail "the shell exited with status $status"
}

property() {
  xprop -id "$1" "$2"
}

expect_line() {
  grep -qxF -- "$1" "$trace" || fail "trace has no line '$1'"
}

case_header_bar() {
  announce_wm "name GNOME Shell"
  start_shell "$KORVANE_VESK"
  local window
  window=$(wait_shown)
  expect_line "shown titlebar=header-bar visible=1 title=\"$title\" close-button=1 focus=FlView"
  # Client-side decorations: the window asks the window manager for none.
  [[ $(property "$window" _MOTIF_WM_HINTS) == *"= 0x2, 0x0, 0x0,"* ]] ||
    fail "window manager decorations not turned off: $(property "$window" _MOTIF_WM_HINTS)"
  close_shell "$window"
}

case_title_bar() {
  announce_wm "$1"
  start_shell "$KORVANE_VESK"
  local window
  window=$(wait_shown)
  expect_line "shown titlebar=none title=\"$title\" focus=FlView"
  [[ $(property "$window" WM_NAME) == "WM_NAME(STRING) = \"$title\"" ]] ||
    fail "WM_NAME: $(property "$window" WM_NAME)"
  [[ $(property "$window" _NET_WM_NAME) == "_NET_WM_NAME(UTF8_STRING) = \"$title\"" ]] ||
    fail "_NET_WM_NAME: $(property "$window" _NET_WM_NAME)"
  [[ $(property "$window" _MOTIF_WM_HINTS) != *"= 0x2, 0x0, 0x0,"* ]] ||
    fail "the window turned off the window manager's decorations"
  close_shell "$window"
}

case_size_and_icon() {
  announce_wm "name Openbox"
  start_shell "$KORVANE_VESK"
  local window geometry
  window=$(wait_shown)
  geometry=$(xwininfo -id "$window")
  grep -q '^ *Width: 680$' <<<"$geometry" || fail "width: $geometry"
  grep -q '^ *Height: 580$' <<<"$geometry" || fail "height: $geometry"
  # The asset is 512x384: scaled to 256 on its long side, aspect kept.
  [[ $(property "$window" _NET_WM_ICON | head -1) == *"Icon (256 x 192):" ]] ||
    fail "icon: $(property "$window" _NET_WM_ICON | head -1)"
  close_shell "$window"
}

case_missing_icon() {
  announce_wm "name Openbox"
  local copy=$dir/app window icon
  mkdir -p "$copy/data/flutter_assets/assets/images"
  cp "$KORVANE_VESK" "$copy/"
  cp -r "$(dirname "$KORVANE_VESK")/lib" "$copy/"
  icon=$copy/data/flutter_assets/assets/images/icon.png
  for state in absent unreadable; do
    if [[ $state == unreadable ]]; then
      echo "not an image" >"$icon"
    fi
    rm -f "$trace"
    start_shell "$copy/KorvaneVesk"
    window=$(wait_shown)
    [[ $(property "$window" _NET_WM_ICON) == *"not found"* ]] ||
      fail "$state icon: the window has one anyway"
    close_shell "$window"
    [[ ! -s "$dir/out" && ! -s "$dir/err" ]] ||
      fail "$state icon: the shell printed: $(cat "$dir/out" "$dir/err")"
  done
}

case_window_left_to_plugins() {
  announce_wm "name Openbox"
  KORVANE_STANDIN_KEEP_HIDDEN=1 start_shell "$KORVANE_VESK"
  wait_for "the plug-ins to be registered" grep -q '^release AppLinksPluginLinux$' "$trace"
  wait_for "the window to be created" xdotool search --name "^$title\$"
  # Nothing to wait for when all goes well: give a stray map request time
  # to reach the server.
  sleep 1
  local window
  window=$(xdotool search --name "^$title\$")
  xwininfo -id "$window" | grep -q 'Map State: IsUnMapped' ||
    fail "the shell showed its window itself"
  close_shell "$window"
}

case_startup() {
  announce_wm "name Openbox"
  start_shell "$KORVANE_VESK"
  local window
  window=$(wait_shown)
  # Registrars are handed out in the registrant's order and all released,
  # last first, before the window plug-in gets to show the window.
  diff -u - <(grep -v '^shown ' "$trace") <<'TRACE' || fail "startup trace differs"
entrypoint []
register AppLinksPluginLinux app_links_plugin_linux_register_with_registrar
register DynamicColorPlugin dynamic_color_plugin_register_with_registrar
register FileSelectorPlugin file_selector_plugin_register_with_registrar
register ScreenRetrieverLinuxPlugin screen_retriever_linux_plugin_register_with_registrar
register TrayPlugin tray_plugin_register_with_registrar
register UrlLauncherPlugin url_launcher_plugin_register_with_registrar
register WifiSsidPlugin wifi_ssid_plugin_register_with_registrar
register WindowPlugin window_plugin_register_with_registrar
release WindowPlugin
release WifiSsidPlugin
release UrlLauncherPlugin
release TrayPlugin
release ScreenRetrieverLinuxPlugin
release FileSelectorPlugin
release DynamicColorPlugin
release AppLinksPluginLinux
TRACE
  close_shell "$window"
}

case_second_start() {
  announce_wm "name Openbox"
  start_shell "$KORVANE_VESK" alpha "beta gamma"
  local window status count=0
  window=$(wait_shown)
  for arguments in "delta --epsilon" ""; do
    count=$((count + 1))
    status=0
    # shellcheck disable=SC2086 # split on purpose; "" means no arguments
    timeout 20 "$KORVANE_VESK" $arguments >"$dir/second.out" 2>&1 || status=$?
    [[ $status == 0 ]] || fail "start with '$arguments' exited $status: $(cat "$dir/second.out")"
    wait_for "window_plugin_activate() number $count" \
      test "$(grep -c '^activate$' "$trace")" -eq "$count"
    [[ $(visible_windows) == "$window" ]] ||
      fail "windows after start with '$arguments': $(visible_windows)"
  done
  [[ $(grep '^entrypoint ' "$trace") == "entrypoint [alpha,beta gamma]" ]] ||
    fail "entry-point arguments changed: $(grep '^entrypoint ' "$trace")"
  [[ $(grep -c '^register ' "$trace") == 8 ]] || fail "plug-ins registered again"
  close_shell "$window"
}

case "$1" in
  header_bar) case_header_bar ;;
  title_bar) case_title_bar "$2" ;;
  size_and_icon) case_size_and_icon ;;
  missing_icon) case_missing_icon ;;
  window_left_to_plugins) case_window_left_to_plugins ;;
  startup) case_startup ;;
  second_start) case_second_start ;;
  *) fail "unknown case '$1'" ;;
esac
