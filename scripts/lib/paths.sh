# Where things are, for the scripts (source it). The repository root comes from
# this file's own place, so the scripts run from any current directory. The
# build folder is build/ unless TRAVCARD_BUILD_DIR names another one.

travcard_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
travcard_build="${TRAVCARD_BUILD_DIR:-$travcard_root/build}"
mkdir -p "$travcard_build"
travcard_build="$(cd "$travcard_build" && pwd)"
travcard_odbc_dir="$travcard_build/odbc"

# ccache, when it is installed, compiles for both builds: its files live in
# the user's cache, so that later runs on the machine reuse them, and paths
# are taken relative to the checkout, so that another clone (CI's) hits too.
# The sanitizer build's precompiled headers are cached only with the
# sloppiness below (travcard uses no __DATE__ or __TIME__).
travcard_compiler_launcher=()
if command -v ccache >/dev/null; then
  export CCACHE_DIR="${CCACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/travcard-ccache}"
  export CCACHE_BASEDIR="$travcard_root" CCACHE_NOHASHDIR=true CCACHE_MAXSIZE="${CCACHE_MAXSIZE:-5G}"
  export CCACHE_SLOPPINESS="${CCACHE_SLOPPINESS:-pch_defines,time_macros}"
  travcard_compiler_launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
