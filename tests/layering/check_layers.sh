#!/usr/bin/env bash
# The layers stay apart: front ends (cli/, shell/, station/) reach the engine only through
# the download session and the public headers, never through its handlers, slots or state;
# the transport knows the engine only through the handler slots.
#   check_layers.sh SOURCE_DIR
set -uo pipefail
top=${1:?usage: check_layers.sh SOURCE_DIR}
cd "$top"
failed=0
complain() { echo "$1"; failed=1; }

internal='engine/(engine_kit|engine_state|handlers|handler_slots|clock|block_prep|release_file|checksum)\.h|transport/(frame_io|reader|reader_platform)\.h'
front_ends=$(ls -d cli shell station 2>/dev/null)
for dir in $front_ends; do
  while IFS= read -r hit; do
    complain "front end includes an engine or transport internal: $hit"
  done < <(grep -rnE "#include \"($internal)\"" "$dir" --include='*.cpp' --include='*.h')
  while IFS= read -r hit; do
    complain "front end reads the engine's handlers or state directly: $hit"
  done < <(grep -rnE '\bhandlerSlots\b|\bengine\.[a-zA-Z]' "$dir" --include='*.cpp' --include='*.h' | grep -vE ':\s*//')
done
while IFS= read -r hit; do
  complain "transport includes engine code beyond the slots: $hit"
done < <(grep -rnE '#include "(engine|session|cli|shell|station)/' transport | grep -v '"engine/handler_slots.h"')

[ $failed -eq 0 ] && echo "layers: front ends use the session and public headers; transport sees only the slots"
exit $failed
