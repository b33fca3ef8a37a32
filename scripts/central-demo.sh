#!/usr/bin/env bash
# Two production stations of two virtual handsets each shipping to one central database: a
# throwaway PostgreSQL 15 on 127.0.0.1 (scripts/with-postgres.sh, stopped at the end), its
# tables and roles made by `tarvolo central init --roles`, the release approved, both stations
# run with --require-approval, each as its own login (`central init --station`), then
# `tarvolo log --central`.
#   scripts/central-demo.sh
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
if [ -z "${TARVOLO_PG_PORT:-}" ]; then
  "$top/scripts/install-deps.sh"
  "$top/scripts/build.sh" release tarvolo tarvolo-handset
  exec "$top/scripts/with-postgres.sh" "$0" "$@"
fi
bin="$top/build/release/bin"
work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
admin="Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=$TARVOLO_PG_PORT;Database=tarvolo;Uid=postgres;"
station="Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=$TARVOLO_PG_PORT;Database=tarvolo;Uid=tarvolo_station_line1_st"

python3 - "$work/firmware.rel" <<'PY'
import random, sys
random.seed(3)
open(sys.argv[1], "wb").write(b"KM52" + bytes(random.randrange(256) for _ in range(16 * 1024)))
PY

echo "== tarvolo central init --roles"
"$bin/tarvolo" central init --roles --central "$admin"
for s in 1 2; do "$bin/tarvolo" central init --station "line1-st$s" --central "$admin"; done
echo
echo "== tarvolo central approve firmware.rel --by qa-lead"
(cd "$work" && "$bin/tarvolo" central approve firmware.rel --by qa-lead --central "$admin")

for n in 1 2 3 4; do
  faults=()
  [ $n -eq 3 ] && faults=(--unit-faults 2:wrong-checksum)
  "$bin/tarvolo-handset" --link "$work/ttyPORT$n" --units 3 --erase-ms 300 --unit-stay-ms 2500 \
    --unit-gap-ms 3000 "${faults[@]}" >/dev/null 2>"$work/handset$n.log" &
  pids+=($!)
done
for n in 1 2 3 4; do
  for _ in $(seq 50); do [ -e "$work/ttyPORT$n" ] && break; sleep 0.1; done
done

echo
echo "== two stations, two ports each, six units each, each shipping as its own login"
status=0
for s in 1 2; do
  a=$((2 * s - 1)) b=$((2 * s))
  (cd "$work" && TARVOLO_CENTRAL="$station$s;" "$bin/tarvolo" station --ports "$work/ttyPORT$a,$work/ttyPORT$b" \
     --units 6 --station-id "line1-st$s" --operator "$(id -un)" --lot DEMO-1 --log "st$s.db" \
     --require-approval firmware.rel > "$work/station$s.log") &
  pids+=($!)
done
for p in "${pids[@]: -2}"; do wait "$p" || status=$?; done
tail -n 3 "$work/station1.log" "$work/station2.log"

echo
echo "== tarvolo log --central (every station's units, the summary, one per station)"
"$bin/tarvolo" log --central "$admin"
[ "$status" -eq 0 ] || [ "$status" -eq 20 ]
