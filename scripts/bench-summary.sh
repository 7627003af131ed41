#!/bin/sh
# Prints the headline figures of a `make bench` run as one short table.
# Usage: scripts/bench-summary.sh DIR, where DIR holds the benchmarks' JSON results
# (benchmark_NAME.json, written with --benchmark_out=... --benchmark_out_format=json).
set -eu
dir=$1
# Every "key": value pair of every benchmark, as lines "BENCHMARK KEY VALUE".
pairs=$(cat "$dir"/benchmark_*.json | awk '
    /"name":/ { gsub(/[",]/, "", $2); name = $2; next }
    name != "" && /^ *"[a-z_A-Z0-9]+": [-0-9.e+]+,?$/ {
        key = $1; gsub(/[":]/, "", key); value = $2; gsub(/,/, "", value)
        print name, key, value
    }')
get() { printf '%s\n' "$pairs" | awk -v n="$1" -v k="$2" '$1 == n && $2 == k { print $3; exit }'; }
row() { printf '%-46s %s\n' "$1" "$2"; }

steady=$(get BM_SteadyFrame real_time)
queue=$(get BM_QueueOnlyBaseline real_time)
echo
echo "Headline figures (this machine; compare ratios, not absolute times)"
row "steady frame / queue-only baseline" \
    "$(awk -v a="$steady" -v b="$queue" 'BEGIN { printf "%.0f / %.0f us (%.2fx)", a, b, a / b }')"
row "gliding frame / queue-only baseline" "$(awk -v a="$(get BM_GlidingFrame real_time)" -v b="$queue" \
    'BEGIN { printf "%.0f / %.0f us (%.2fx)", a, b, a / b }')"
row "getHeight / float-array baseline" "$(awk -v a="$(get BM_GetHeight real_time)" \
    -v b="$(get BM_GetHeightArrayBaseline real_time)" 'BEGIN { printf "%.0f / %.0f ns (%.1fx)", a, b, a / b }')"
row "  the same, camera moving / baseline" "$(awk -v a="$(get BM_GetHeightWhileMoving real_time)" \
    -v b="$(get BM_GetHeightArrayBaseline real_time)" 'BEGIN { printf "%.0f / %.0f ns (%.1fx)", a, b, a / b }')"
row "intersect / ray-march baseline" "$(awk -v a="$(get BM_Intersect real_time)" \
    -v b="$(get BM_IntersectMarchBaseline real_time)" 'BEGIN { printf "%.2f / %.2f us (%.2fx)", a, b, a / b }')"
flight=BM_StraightFlight/iterations:1200/manual_time
teleports=BM_Teleports/iterations:3000/manual_time
row "flight: frame median / p99 / worst" "$(awk -v a="$(get $flight frame_median_us)" \
    -v b="$(get $flight frame_p99_us)" -v c="$(get $flight frame_worst_us)" \
    'BEGIN { printf "%.0f us / %.2f ms / %.2f ms", a, b / 1000, c / 1000 }')"
row "flight: render-thread CPU p99 / worst" "$(awk -v b="$(get $flight frame_cpu_p99_us)" \
    -v c="$(get $flight frame_cpu_worst_us)" 'BEGIN { printf "%.2f ms / %.2f ms", b / 1000, c / 1000 }')"
row "flight: memory median / worst" "$(awk -v a="$(get $flight total_median_MiB)" \
    -v b="$(get $flight total_worst_MiB)" 'BEGIN { printf "%.0f / %.0f MiB", a, b }')"
row "teleports: frame p99 / worst" "$(awk -v b="$(get $teleports frame_p99_us)" \
    -v c="$(get $teleports frame_worst_us)" 'BEGIN { printf "%.2f ms / %.2f ms", b / 1000, c / 1000 }')"
row "teleports: CPU p99 / worst / frames > 2 ms" "$(awk -v b="$(get $teleports frame_cpu_p99_us)" \
    -v c="$(get $teleports frame_cpu_worst_us)" -v d="$(get $teleports frames_cpu_over_2ms)" \
    'BEGIN { printf "%.2f ms / %.2f ms / %d of 3000", b / 1000, c / 1000, d }')"
row "teleports: memory worst, settle median / worst" "$(awk -v a="$(get $teleports total_worst_MiB)" \
    -v b="$(get $teleports settle_median_ms)" -v c="$(get $teleports settle_worst_ms)" \
    'BEGIN { printf "%.0f MiB, %.0f / %.0f ms", a, b, c }')"
opening=BM_OpenToSettledView/iterations:3/manual_time
row "openStream to a settled view (headless)" "$(awk -v a="$(get $opening real_time)" \
    -v b="$(get $opening frame_cpu_worst_us)" 'BEGIN { printf "%.0f ms, worst frame CPU %.2f ms", a, b / 1000 }')"
sizes=BM_PatchSizeChange/iterations:8/manual_time
row "patch-size change: call median / worst" "$(awk -v a="$(get $sizes call_median_us)" \
    -v b="$(get $sizes call_worst_us)" -v c="$(get $sizes call_cpu_worst_us)" \
    'BEGIN { printf "%.2f / %.2f ms (CPU worst %.2f ms)", a / 1000, b / 1000, c / 1000 }')"
row "patch-size change: worst frame after it" "$(awk -v a="$(get $sizes frame_worst_us)" \
    -v b="$(get $sizes frame_cpu_worst_us)" 'BEGIN { printf "%.2f ms (CPU %.2f ms)", a / 1000, b / 1000 }')"
shown=BM_StrokeWhileFlyingUntilShown/iterations:40/manual_time
row "stroke in flight: frames until shown" "$(awk -v a="$(get $shown frames_to_shown_median)" \
    -v b="$(get $shown frames_to_shown_worst)" -v c="$(get $shown strokes_unseen_after_30)" \
    'BEGIN { printf "median %d, worst %d (%d of 40 unseen after 30)", a, b, c }')"
charts=$(ls "$dir"/*.svg 2>/dev/null || true)
if [ -n "$charts" ]; then
    echo
    echo "Frame-by-frame charts (open in a browser):"
    printf '  %s\n' $charts
fi
