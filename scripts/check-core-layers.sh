#!/usr/bin/env bash
# Checks the core's shape: no core file includes a Qt header, and each core folder includes only the
# folders below it, so the include graph between them has no cycle. Prints every breach; exits 1 on any.
set -uo pipefail
cd "$(dirname "$0")/.."
layers=(base session protocol serial exchange app)
rank() { local i; for i in "${!layers[@]}"; do [ "${layers[$i]}" = "$1" ] && { echo "$i"; return; }; done; echo -1; }
bad=0
for folder in "${layers[@]}"; do
  own=$(rank "$folder")
  for file in "$folder"/*.h "$folder"/*.cpp; do
    [ -e "$file" ] || continue
    if grep -nE '^\s*#\s*include\s*<Q[A-Za-z]*(/[A-Za-z]+)?>' "$file"; then
      echo "$file: a core file includes a Qt header"
      bad=1
    fi
    while IFS= read -r target; do
      dep=$(rank "$target")
      [ "$dep" -lt 0 ] && continue  # not a core folder (a system header path)
      if [ "$dep" -gt "$own" ]; then
        echo "$file: $folder/ includes $target/, which stands above it"
        bad=1
      fi
    done < <(sed -nE 's/^\s*#\s*include\s*"([a-z_]+)\/[^"]*".*/\1/p' "$file" | sort -u)
  done
done
[ "$bad" -eq 0 ] && echo "core layers: ${layers[*]}: no Qt header, no include upwards"
exit "$bad"
