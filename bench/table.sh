# Sourced by bench/run: prints its one table from the figures in R.

div() { awk -v a="${1:-0}" -v b="${2:-0}" 'BEGIN { if (b + 0 == 0) print "-"; else printf "%.2fx", a / b }'; }
mb() { awk -v k="${1:-0}" 'BEGIN { printf "%.1f MB", k / 1024 }'; }

# "3793/s p50 4.1 p95 6.0 p99 9.0 ms", with "!" and the counts when answers were wrong or missing.
fig() {
  local k=$1
  [[ -z ${R[$k.rate]:-} ]] && { echo "-"; return; }
  printf '%.0f/s p50 %.1f p95 %.1f p99 %.1f ms%s' "${R[$k.rate]}" "${R[$k.p50]}" "${R[$k.p95]}" \
    "${R[$k.p99]}" "${R[$k.bad]:+ !${R[$k.bad]}}"
}

row() { printf '%-50s | %-44s | %-34s | %-7s | %s\n' "$@"; }

target() {  # pause mode clients
  case "$1 $2 $3" in
    "5 hl7 1") echo "≥ 190/s (95 % of the pause bound)" ;;
    "5 hl7 20") echo "≥ 3800/s (190/s per connection)" ;;
    "0 hl7 20") echo "≥ 2.00x the peer's rate" ;;
    "0 astm 20" | "0 astm-eot-enq 20") echo "≥ 300/s" ;;
    "5 astm-query 1") echo "p50 ≤ 8 ms, p99 ≤ 20 ms" ;;
    "5 astm-query 20") echo "p99 ≤ 30 ms" ;;
    *) echo "-" ;;
  esac
}

disk_target() {  # kind mode clients
  case "$1 $2 $3" in
    "disk hl7 1" | "disk hl7 20") echo "≥ 1.00x the peer's rate" ;;
    "slow hl7 20") echo "≥ 300/s, p99 ≤ 150 ms" ;;
    *) echo "-" ;;
  esac
}

print_disk_rows() {
  local m c kind peer ratio
  for kind in disk slow; do
    for m in "${DISK_MODES[@]}"; do
      for c in 1 20; do
        peer="-" ratio="-"
        if [[ $m == hl7 ]]; then
          peer=$(fig "peerdisk.hl7.$c")
          ratio=$(div "${R[$kind.$m.$c.rate]:-}" "${R[peerdisk.hl7.$c.rate]:-}")
        fi
        row "$m, C=$c, pause 0, $([[ $kind == disk ]] && echo "disk ($DISK_FS)" || echo "disk, fsync +10 ms")" \
          "$(fig "$kind.$m.$c")" "$peer" "$ratio" "$(disk_target "$kind" "$m" "$c")"
      done
    done
  done
  for c in 1 20; do
    row "server CPU per HL7 message, C=$c, disk" "${R[disk.hl7.$c.cpu]:--} µs" "${R[peerdisk.hl7.$c.cpu]:--} µs" \
      "$(div "${R[disk.hl7.$c.cpu]:-}" "${R[peerdisk.hl7.$c.cpu]:-}")" "-"
  done
}

print_table() {
  local m c pause peer ratio unit
  if [[ $ONLY == disk ]]; then
    echo
    echo "Benchmark, $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, ${CELL} s per figure, the disk rows alone"
    row "figure" "ours" "peer (@medplum/hl7 4.5.2, same disk)" "ratio" "target"
    print_disk_rows
    return
  fi
  echo
  echo "Benchmark, $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, ${CELL} s per figure, output and spool on tmpfs (the disk rows at the end: $DISK_FS)"
  echo "Rates are messages (hl7), sessions (astm, astm-eot-enq) or queries per second over all analyzers;"
  echo "latency: results sent to acknowledgement (ASTM: ENQ to the last frame's ACK), queries EOT/FS to first reply byte."
  row "figure" "ours" "peer (@medplum/hl7 4.5.2)" "ratio" "target"
  row "--------------------------------------------------" "--------------------------------------------" \
    "----------------------------------" "-------" "------"
  for pause in 5 0; do
    for m in "${MODES[@]}"; do
      for c in 1 20; do
        peer="-" ratio="-"
        if [[ $pause == 0 && $m == hl7 ]]; then
          peer=$(fig "peer.hl7.$c")
          ratio=$(div "${R[ours.$pause.$m.$c.rate]:-}" "${R[peer.hl7.$c.rate]:-}")
        fi
        row "$m, C=$c, pausaRespostaMs $pause" "$(fig "ours.$pause.$m.$c")" "$peer" "$ratio" \
          "$(target "$pause" "$m" "$c")"
      done
    done
  done
  for c in 1 20; do
    row "server CPU per HL7 message, C=$c, pause 0" "${R[ours.0.hl7.$c.cpu]:--} µs" "${R[peer.hl7.$c.cpu]:--} µs" \
      "$(div "${R[ours.0.hl7.$c.cpu]:-}" "${R[peer.hl7.$c.cpu]:-}")" "$([[ $c == 20 ]] && echo "≤ 0.33x the peer's" || echo -)"
  done
  row "VmRSS with $IDLE idle connections" "$(mb "${R[ours.idle.rss]:-}") (idle start $(mb "${R[ours.idle.rss0]:-}"))${R[ours.idle.bad]:+ !}" \
    "$(mb "${R[peer.idle.rss]:-}") (idle start $(mb "${R[peer.idle.rss0]:-}"))" \
    "$(div "${R[ours.idle.rss]:-}" "${R[peer.idle.rss]:-}")" "≤ 30 MB"
  for m in "${MODES[@]}"; do
    for c in 1 20; do
      row "$m, C=$c, pause 0, log near its cap" "$(fig "cap.$m.$c")" "-" \
        "$(div "${R[cap.$m.$c.rate]:-}" "${R[ours.0.$m.$c.rate]:-}")" "≥ 0.90x the rate without (ratio)"
    done
  done
  for m in "${MODES[@]}"; do
    row "loadgen ceiling, $m, C=20 (null server)" "$(fig "null.$m")" "-" "-" "-"
  done
  print_disk_rows
}
