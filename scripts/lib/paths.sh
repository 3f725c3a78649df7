# Where things are, for the scripts (source it). The repository root comes from
# this file's own place, so the scripts run from any current directory. The
# build folder is build/ unless TRAVCARD_BUILD_DIR names another one.

travcard_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
travcard_build="${TRAVCARD_BUILD_DIR:-$travcard_root/build}"
mkdir -p "$travcard_build"
travcard_build="$(cd "$travcard_build" && pwd)"
travcard_odbc_dir="$travcard_build/odbc"
