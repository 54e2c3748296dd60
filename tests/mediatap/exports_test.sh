#!/usr/bin/env bash
# The four diagnostics functions are found by name in the executable: in the dynamic symbol table of
# the Linux build, in the export table of a Windows build.
#   exports_test.sh BINARY [OBJDUMP]
set -u
binary=$1
objdump=${2:-}
names=(ncvDebugOutput ncvAssertPrint_ isGlobalErr setGlobalErr)
if [ -n "$objdump" ]; then
    table=$("$objdump" -p "$binary" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p')
else
    table=$(nm -D --defined-only "$binary")
fi
status=0
for name in "${names[@]}"; do
    if grep -Eq "[[:space:]]${name}\$" <<<"$table"; then
        echo "ok: $name"
    else
        echo "missing: $name"
        status=1
    fi
done
exit $status
