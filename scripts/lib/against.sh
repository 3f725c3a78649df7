# `scripts/bench against REV`: today's figures against those of an earlier
# commit, for a change that must not make the program slower (source it from
# scripts/bench, after the build and the SQLite data sources).
#
# Builds REV's benchmarks (Release) in a worktree kept beside the build, so
# that a second comparison with the same commit builds nothing, then runs
# both builds in alternation, nine rounds, against the same SQLite data:
# the 2,000-operation print runs, Locate among 100,000 orders and start-up
# on the demo item master. Each figure is the median of the rounds' medians,
# with the lowest round beside it (a shared machine has slow spells that
# can catch one build more often than the other); a ratio of medians above
# 1.10 is marked.

against_rounds=9

# against_build REV: prints the build folder of REV's benchmarks, building them when needed.
against_build() {
  local sha tree build
  sha="$(git -C "$travcard_root" rev-parse --verify "$1^{commit}")"
  tree="$travcard_build/against-${sha:0:12}"
  build="$tree/build-bench"
  if [[ ! -d "$tree" ]]; then
    git -C "$travcard_root" worktree add --detach "$tree" "$sha" >&2
  fi
  cmake -S "$tree" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTRAVCARD_TESTS=OFF >/dev/null
  cmake --build "$build" --target travcard_startup_probe bench_print_run bench_locate >&2
  echo "$build"
}

# against_medians PROGRAM [OPTIONS...]: "RUN MS" for the median of five
# repetitions of each of the program's runs, on the orders data source.
against_medians() {
  ODBCINI="$travcard_odbc_dir/orders-sqlite.ini" "$1" "${@:2}" --benchmark_repetitions=5 \
    --benchmark_report_aggregates_only=true --benchmark_format=json 2>/dev/null |
    jq -r '.benchmarks[] | select(.aggregate_name == "median") | "\(.run_name) \(.real_time)"'
}

# against_round LABEL BUILD: one round of every figure, appended as "FIGURE MS"
# lines to bench-results/against-LABEL.txt.
against_round() {
  local out="$results/against-$1.txt" build="$2" json="$results/against-round.json"
  against_medians "$build/bench/tickets/bench_print_run" \
    --benchmark_filter='(zebra|epson)_2000_operations$' >>"$out"
  against_medians "$build/bench/app/bench_locate" >>"$out"
  write_probe_config "$build/bench/app"
  ODBCINI="$travcard_odbc_dir/demo.ini" hyperfine -N --warmup 3 --runs 20 --export-json "$json" \
    "$build/bench/app/travcard_startup_probe" >/dev/null
  jq -r '.results[0] | "start-up \(.median * 1000)"' "$json" >>"$out"
}

# against_median LABEL FIGURE: the median of the rounds' figures.
against_median() {
  awk -v figure="$2" '$1 == figure { print $2 }' "$results/against-$1.txt" | sort -g |
    awk '{ v[NR] = $1 } END { print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'
}

# against_lowest LABEL FIGURE: the lowest of the rounds' figures.
against_lowest() {
  awk -v figure="$2" '$1 == figure { print $2 }' "$results/against-$1.txt" | sort -g | head -n 1
}

measure_against() {
  local rev="$1" old_build round figure old new old_low new_low
  old_build="$(against_build "$rev")"
  rm -f "$results"/against-{old,new}.txt
  for ((round = 1; round <= against_rounds; round++)); do
    echo "== round $round of $against_rounds"
    # Alternate which build goes first, so that neither always follows the other.
    if ((round % 2)); then
      against_round old "$old_build"; against_round new "$travcard_build"
    else
      against_round new "$travcard_build"; against_round old "$old_build"
    fi
  done
  echo
  echo "==== Against $rev ($(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg))," \
    "in ms: median of $against_rounds rounds' medians, and the lowest round"
  printf '  %-32s %10s %10s %6s   %14s %10s %6s\n' figure "$rev" now ratio "lowest $rev" now ratio
  for figure in printAll/zebra_2000_operations printAll/epson_2000_operations locate start-up; do
    old="$(against_median old "$figure")" new="$(against_median new "$figure")"
    old_low="$(against_lowest old "$figure")" new_low="$(against_lowest new "$figure")"
    require "$old" "$new" || continue
    printf '  %-32s %10.3f %10.3f %6.2f   %14.3f %10.3f %6.2f%s\n' "$figure" "$old" "$new" \
      "$(calc "$new / $old")" "$old_low" "$new_low" "$(calc "$new_low / $old_low")" \
      "$([[ "$(calc "$new > 1.10 * $old")" == 1 ]] && echo "  more than 10% slower")"
  done
}
