#!/usr/bin/env bash
# A Windows build of trsn.mediatap is one console executable of the expected machine, with its icon,
# version block and the four exports, and no DLL beyond the system's.
#   windows_exe_test.sh EXE MACHINE(i386|x86-64)
set -u
exe=$1
machine=$2
here=$(dirname "$0")
failures=0
check() { # description, command...
    local what=$1
    shift
    if "$@" >/dev/null 2>&1; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}
case "$machine" in
    i386) objdump=i686-w64-mingw32-objdump; kind="PE32 executable (console) Intel 80386" ;;
    *) objdump=x86_64-w64-mingw32-objdump; kind="PE32+ executable (console) x86-64" ;;
esac
info=$(file -b "$exe")
check "console program of $machine ($info)" grep -q "^$kind" <<<"$info"
strings16=$(strings -el "$exe")
for text in "skyLens2" "skyLens2 Video Remuxing Tool" "2.1.3" "trsn.mediatap" "Tarsen" "APP_ICON"; do
    check "resource text \"$text\"" grep -qF "$text" <<<"$strings16"
done
# An icon group is a 6-byte header and one 14-byte entry per image.
group=$(wrestool -l "$exe" | grep -- "--type=14 --name='APP_ICON'" | sed -E 's/.*size=([0-9]+).*/\1/')
check "icon group APP_ICON with four images" test "${group:-0}" -eq $((6 + 4 * 14))
dlls=$("$objdump" -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
for dll in $dlls; do
    case "$dll" in
        kernel32.dll | user32.dll | advapi32.dll | ws2_32.dll | secur32.dll | bcrypt.dll | msvcrt.dll | shell32.dll | ole32.dll | crypt32.dll | ncrypt.dll | api-ms-win-*) ;;
        *) echo "FAILED: imports a DLL that does not come with Windows: $dll"; failures=$((failures + 1)) ;;
    esac
done
check "the four diagnostics exports" "$here/exports_test.sh" "$exe" "$objdump"
echo "$failures failure(s)"
[ "$failures" -eq 0 ]
