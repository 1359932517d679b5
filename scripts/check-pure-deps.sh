#!/usr/bin/env bash
# Fails when a source of a pure library (standard C++ only) depends on a Qt,
# X11, xcb or Wayland header. Run on a configured build folder.
set -euo pipefail
build=${1:?usage: check-pure-deps.sh BUILD_DIR}
list="$build/pure_sources.txt"
db="$build/compile_commands.json"
[ -f "$list" ] && [ -f "$db" ] || { echo "check-pure-deps: configure $build first" >&2; exit 2; }

status=0
checked=0
while IFS= read -r source; do
    [ -n "$source" ] || continue
    # The compiler's own command for the file, with -o and -c replaced by -M
    # (not -MM: the headers looked for are system headers, which -MM leaves out).
    cmd=$(python3 - "$db" "$source" <<'PY'
import json, shlex, sys
db, source = sys.argv[1], sys.argv[2]
for entry in json.load(open(db)):
    if entry["file"] == source:
        args = shlex.split(entry["command"])
        out, skip = [], False
        for a in args:
            if skip:
                skip = False
                continue
            if a in ("-o", "-c"):
                skip = True
                continue
            out.append(a)
        print(shlex.join(out + ["-M", source]))
        break
PY
)
    if [ -z "$cmd" ]; then
        echo "check-pure-deps: no compile command for $source" >&2
        status=1
        continue
    fi
    deps=$(cd "$build" && eval "$cmd" 2>&1) || { echo "$deps" >&2; status=1; continue; }
    bad=$(printf '%s\n' "$deps" | tr ' \\' '\n\n' | grep -E '/(qt6|Qt[A-Za-z]*|X11|xcb|wayland[^/]*)/|/wayland-[^/]*\.h$' | sort -u || true)
    if [ -n "$bad" ]; then
        echo "pure source $source depends on:"
        printf '  %s\n' $bad
        status=1
    fi
    checked=$((checked + 1))
done < "$list"
[ "$status" -eq 0 ] && echo "check-pure-deps: $checked pure sources reach no Qt, X11, xcb or Wayland header"
exit "$status"
