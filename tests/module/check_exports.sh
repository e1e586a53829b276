#!/usr/bin/env bash
# Checks a library's dynamic face: it exports exactly the names expected (the module: getModuleProperties and
# makeModule; a plug-in binary: its format's entry points), and a Windows DLL imports nothing but DLLs every Windows
# machine has (no compiler runtime).
# Usage: check_exports.sh windows <objdump> <library.dll> [EXPORTED_NAME...]
#        check_exports.sh linux <nm> <library.so> [EXPORTED_NAME...]
# Without names, the module's two.
set -euo pipefail

kind=$1 tool=$2 library=$3
shift 3
if [ $# -eq 0 ]; then set -- getModuleProperties makeModule; fi
expected=$(printf '%s\n' "$@" | sort)
failed=0

fail() {
  echo "FAIL: $*" >&2
  failed=1
}

case "$kind" in
windows)
  dump=$("$tool" -p "$library")
  # Named exports, from the "[Ordinal/Name Pointer] Table" section.
  names=$(awk '/^\[Ordinal\/Name Pointer\] Table/ { on = 1; next }
               on && /^[ \t]*\[/ { print $NF; next }
               on { on = 0 }' <<<"$dump" | sort)
  # Every exported address, named or not: an export by ordinal alone would show up here only.
  addresses=$(awk '/^Export Address Table -- Ordinal Base/ { on = 1; next }
                   on && /^[ \t]*\[/ { n++; next }
                   on { on = 0 }
                   END { print n + 0 }' <<<"$dump")
  [ "$names" = "$expected" ] || fail "exported names are [$(echo $names)], expected [$(echo $expected)]"
  [ "$addresses" = $# ] || fail "$addresses exported addresses, expected $#"

  imports=$(awk '/DLL Name:/ { print $3 }' <<<"$dump" | sort -u)
  [ -n "$imports" ] || fail "no import table found"
  for dll in $imports; do
    case "${dll,,}" in
    kernel32.dll | msvcrt.dll | user32.dll | advapi32.dll | ntdll.dll | api-ms-win-*.dll | ucrtbase.dll) ;;
    *) fail "imports $dll, which a bare Windows machine does not have" ;;
    esac
  done
  echo "exports: $(echo $names); imports: $(echo $imports)"
  ;;
linux)
  names=$("$tool" -D --defined-only "$library" | awk '{ print $NF }' | sort)
  [ "$names" = "$expected" ] || fail "exported symbols are [$(echo $names)], expected [$(echo $expected)]"
  echo "exports: $(echo $names)"
  ;;
*)
  echo "usage: check_exports.sh windows|linux TOOL LIBRARY [EXPORTED_NAME...]" >&2
  exit 2
  ;;
esac

exit "$failed"
