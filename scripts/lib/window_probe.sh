# Starting travcard once, unattended, to see how its start ends (source it).
# The Qt plugin of tests/package/window_probe.cpp, loaded into the program,
# prints "message: <text>" for each message box (and answers it) or
# "window shown: <title>" for the main window, which ends the program.

# probe_start PLUGIN_DIR PROGRAM [ARGS...]: runs PROGRAM on the offscreen
# platform with the plugin from PLUGIN_DIR/generic/, for at most a minute.
# The exit status is the program's (124 when it did not end in time).
probe_start() {
  local plugins="$1"
  shift
  QT_QPA_PLATFORM=offscreen QT_PLUGIN_PATH="$plugins" QT_QPA_GENERIC_PLUGINS=travcard-window-probe \
    timeout 60 "$@"
}
