#!/usr/bin/env bash
# The layers stay apart: front ends (cli/, shell/, station/) reach the engine only through
# the download session and the public headers, never through its handlers, slots or state;
# the transport includes nothing of the engine (the reader hands what it reads to the line's
# owner through transport/line_events.h); no two engine files include each other's header.
#   check_layers.sh SOURCE_DIR
set -uo pipefail
top=${1:?usage: check_layers.sh SOURCE_DIR}
cd "$top"
failed=0
complain() { echo "$1"; failed=1; }

internal='engine/(engine_kit|engine_state|handlers|handler_slots|clock|block_prep|release_file|checksum)\.h|transport/(frame_io|reader|reader_platform|line_events)\.h'
front_ends=$(ls -d cli shell station 2>/dev/null)
for dir in $front_ends; do
  while IFS= read -r hit; do
    complain "front end includes an engine or transport internal: $hit"
  done < <(grep -rnE "#include \"($internal)\"" "$dir" --include='*.cpp' --include='*.h')
  while IFS= read -r hit; do
    complain "front end reads the engine's handlers or state directly: $hit"
  done < <(grep -rnE '\bhandlerSlots\b|\bslots\.on[A-Z]|\bengine\.[a-zA-Z]' "$dir" --include='*.cpp' --include='*.h' | grep -vE ':\s*//')
done
while IFS= read -r hit; do
  complain "transport includes code of a layer above it: $hit"
done < <(grep -rnE '#include "(engine|session|cli|shell|station)/' transport)
# The central database knows rows, never a download or a port: it sits beside the record.
while IFS= read -r hit; do
  complain "central includes code of the download or the station: $hit"
done < <(grep -rnE '#include "(engine|transport|session|cli|shell|station)/' central)

# A call circle between two engine files shows as each including the other's header.
for a in engine/*.cpp; do
  na=$(basename "$a" .cpp)
  for b in $(grep -oE '#include "engine/[a-z_]+\.h"' "$a" | sed -E 's|.*engine/([a-z_]+)\.h"|\1|'); do
    [ "$b" = "$na" ] && continue
    [ -f "engine/$b.cpp" ] || continue
    if grep -q "#include \"engine/$na.h\"" "engine/$b.cpp"; then
      complain "call circle inside the engine: engine/$na.cpp and engine/$b.cpp include each other"
    fi
  done
done

[ $failed -eq 0 ] && echo "layers: front ends use the session and public headers; transport includes nothing above it; no circle inside the engine"
exit $failed
