# The sanitizer build (source it): clang with AddressSanitizer and
# UndefinedBehaviorSanitizer, holding the tests and the libFuzzer targets but
# no benchmarks, in build-sanitize/ (or TRAVCARD_SANITIZE_BUILD_DIR). -O1
# keeps both the build and the fuzz runs quick; line tables are enough for
# the sanitizers' stack traces.

source "$(dirname "${BASH_SOURCE[0]}")/paths.sh"

travcard_sanitize_build="${TRAVCARD_SANITIZE_BUILD_DIR:-$travcard_root/build-sanitize}"
export ASAN_SYMBOLIZER_PATH=/usr/lib/llvm-14/bin/llvm-symbolizer

# sanitize_build [ARGS...]: configures and builds it; ARGS go to `cmake --build`.
sanitize_build() {
  local generator=()
  if [[ ! -f "$travcard_sanitize_build/CMakeCache.txt" ]]; then
    generator=(-G Ninja)
  fi
  cmake -S "$travcard_root" -B "$travcard_sanitize_build" "${generator[@]}" "${travcard_compiler_launcher[@]}" \
    -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_CXX_FLAGS_DEBUG="-O1 -gline-tables-only" \
    -DTRAVCARD_FUZZ=ON -DTRAVCARD_BENCH=OFF -DTRAVCARD_WERROR=ON
  cmake --build "$travcard_sanitize_build" "$@"
}
