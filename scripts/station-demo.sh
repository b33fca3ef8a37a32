#!/usr/bin/env bash
# A production station with virtual handsets: four ports, each a stream of three handsets
# plugged in one after another (one of them refusing its checksum), flashed in parallel and
# recorded; then `tarvolo log` on the record.
#   scripts/station-demo.sh [--units N]   (default 12)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh"
"$top/scripts/build.sh" release tarvolo tarvolo-handset
bin="$top/build/release/bin"
units=12
[ "${1:-}" = --units ] && units=$2
work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

python3 - "$work/firmware.rel" <<'PY'
import random, sys
random.seed(3)
image = bytes(random.randrange(256) for _ in range(48 * 1024))
open(sys.argv[1], "wb").write(b"KM52" + image)
PY

per_port=$(( (units + 3) / 4 ))
echo "== Four virtual handset streams of $per_port units each (port 3's second unit refuses its checksum)"
for n in 1 2 3 4; do
  faults=()
  [ $n -eq 3 ] && faults=(--unit-faults 2:wrong-checksum)
  "$bin/tarvolo-handset" --link "$work/ttyPORT$n" --units "$per_port" --erase-ms 400 \
    --unit-stay-ms 2500 --unit-gap-ms 3000 --flash-out "$work/port$n-unit%d.bin" "${faults[@]}" \
    >/dev/null 2>"$work/handset$n.log" &
  pids+=($!)
done
for n in 1 2 3 4; do
  for _ in $(seq 50); do [ -e "$work/ttyPORT$n" ] && break; sleep 0.1; done
done

echo
echo "== tarvolo station --ports ... --units $units (the operator removes each handset; the port re-arms after 2 s of silence)"
status=0
(cd "$work" && "$bin/tarvolo" station --ports "$work/ttyPORT1,$work/ttyPORT2,$work/ttyPORT3,$work/ttyPORT4" \
   --units "$units" --speed 115200 --station-id demo-station --operator "$(id -un)" --lot DEMO-1 \
   firmware.rel) || status=$?
echo "station exit code: $status (0: every unit completed; 20: some unit failed)"

echo
echo "== tarvolo log (the production record, $work/tarvolo-production.db)"
(cd "$work" && "$bin/tarvolo" log)
echo
echo "== tarvolo log --failed"
(cd "$work" && "$bin/tarvolo" log --failed)
[ "$status" -eq 0 ] || [ "$status" -eq 20 ]
