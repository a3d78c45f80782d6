#!/usr/bin/env bash
# The native (ntdll) names that the product code uses must be declared for an MSVC build too: by
# the Windows SDK's winternl.h, or by fsops/native_api.h. mingw-w64's winternl.h declares far more
# than the SDK's, so a build here passes where MSVC's stops. tests/native_surface.txt lists what
# each side declares; this fails on any native name in app/ diag/ fsops/ launch/ that it does not
# list, on a name listed as ours that native_api.h does not declare, and when native_api.h's own
# declarations disagree with mingw-w64's.
#   native_surface_test.sh SOURCE_DIR [CXX]
set -uo pipefail
src=$1 cxx=${2:-x86_64-w64-mingw32-g++-posix}
list=$src/tests/native_surface.txt
flags=(-std=c++17 -DUNICODE -D_UNICODE -DNOMINMAX -DWIN32_LEAN_AND_MEAN -D_WIN32_WINNT=0x0A00)
work=$(mktemp -d) || exit 1
trap 'rm -rf -- "$work"' EXIT
failures=0
fail() { echo "FAILED: $1"; failures=$((failures + 1)); }
identifiers() { grep -oE '\b[A-Za-z_][A-Za-z0-9_]*\b' | sort -u; }

# What is native: what mingw-w64's winternl.h adds to windows.h, but for the names of members and
# parameters (plain CamelCase words, which product code uses for its own things too); and every
# Nt/Zw/Rtl/Ldr function and native information class or structure wherever it is declared.
printf '#include <windows.h>\n' >"$work/base.cpp"
printf '#include <windows.h>\n#include <winternl.h>\n' >"$work/native.cpp"
for f in base native; do
  "$cxx" "${flags[@]}" -E -dD -P "$work/$f.cpp" >"$work/$f.i" 2>"$work/$f.err" ||
    { fail "preprocessing $f.cpp"; cat "$work/$f.err"; exit 1; }
  identifiers <"$work/$f.i" >"$work/$f.ids"
done
comm -13 "$work/base.ids" "$work/native.ids" |
  grep -E '_|^[A-Z0-9]+$|^(Nt|Zw|Rtl|Ldr)[A-Z]|Information|Class' >"$work/native.names"
sed -n 's/^#define \([A-Za-z_][A-Za-z0-9_]*\).*/\1/p' "$work/native.i" | sort -u |
  comm -13 <(sed -n 's/^#define \([A-Za-z_][A-Za-z0-9_]*\).*/\1/p' "$work/base.i" | sort -u) - \
  >>"$work/native.names"
native_pattern='^((Nt|Zw|Rtl|Ldr)[A-Z][A-Za-z0-9_]*|File[A-Za-z]*Information(Ex)?|FILE_[A-Z_]*INFORMATION(_EX)?|P?(IO_STATUS_BLOCK|OBJECT_ATTRIBUTES|UNICODE_STRING))$'
[ -s "$work/native.names" ] || fail "no native names found in mingw-w64's winternl.h"

# What may be used: the SDK's names, and ours.
listed() { sed -n "s/^$1 \([A-Za-z_][A-Za-z0-9_]*\).*/\1/p" "$list" | sort -u; }
listed sdk >"$work/sdk"
listed ours >"$work/ours"
[ -s "$work/sdk" ] && [ -s "$work/ours" ] || fail "$list lists no sdk or no ours names"

# The product code without its comments (the compiler's own reading) and without its string and
# character literals: a name looked up at run time (GetProcAddress) is no declaration the build
# needs.
used=0
for file in $(cd "$src" && ls app/*.cpp app/*.h diag/*.cpp diag/*.h fsops/*.cpp fsops/*.h \
                             launch/*.cpp launch/*.h caller/*.cpp caller/*.h 2>/dev/null); do
  [ "$file" = fsops/native_api.h ] && continue
  "$cxx" -fpreprocessed -dD -E -P -x c++ "$src/$file" 2>/dev/null |
    sed -E "s/L?\"([^\"\\\\]|\\\\.)*\"//g; s/L?'([^'\\\\]|\\\\.)*'//g" | identifiers >"$work/ids" ||
    { fail "reading $file"; continue; }
  while read -r name; do
    used=$((used + 1))
    if grep -qxF "$name" "$work/ours"; then
      grep -q '^#include "fsops/native_api.h"' "$src/$file" ||
        fail "$file uses $name without including fsops/native_api.h, which declares it for MSVC"
    elif ! grep -qxF "$name" "$work/sdk"; then
      fail "$file uses $name, which neither the SDK's winternl.h nor fsops/native_api.h declares"
    fi
    echo "$name" >>"$work/used"
  done < <(grep -xF -f "$work/native.names" "$work/ids"; grep -E "$native_pattern" "$work/ids" |
           grep -vxF -f "$work/native.names")
done

# Ours must really be declared there, and agree with mingw-w64's declarations of the same names.
for name in $(cat "$work/ours"); do
  grep -qE "(define|NTAPI) $name\b" "$src/fsops/native_api.h" ||
    fail "$name is listed as ours, but fsops/native_api.h does not declare it"
done
# Its fallbacks for ntdef.h's macros are compiled too, in place of mingw-w64's.
cat >"$work/declared.cpp" <<'EOF_CPP'
#include <windows.h>
#include <winternl.h>
#undef NT_SUCCESS
#undef OBJ_CASE_INSENSITIVE
#undef InitializeObjectAttributes
#include "fsops/native_api.h"
static_assert(NT_SUCCESS(0) && NT_SUCCESS(0x40000000L) && !NT_SUCCESS(0xC0000001L), "NT_SUCCESS");
static_assert(OBJ_CASE_INSENSITIVE == 0x40, "OBJ_CASE_INSENSITIVE");
void Initialize(OBJECT_ATTRIBUTES* attributes, UNICODE_STRING* name, HANDLE root) {
  InitializeObjectAttributes(attributes, name, OBJ_CASE_INSENSITIVE, root, nullptr);
}
EOF_CPP
"$cxx" "${flags[@]}" -DORVO_CHECK_NATIVE_DECLARATIONS -fsyntax-only -Wall -Wextra -Werror -I"$src" \
  "$work/declared.cpp" >"$work/declared.err" 2>&1 ||
  { fail "fsops/native_api.h's declarations disagree with mingw-w64's, or do not compile:"
    cat "$work/declared.err"; }

echo "native names used: $(sort -u "$work/used" 2>/dev/null | xargs)"
echo "native surface: $failures failed"
[ $used -gt 0 ] || { echo "FAILED: no native name found in the product code"; exit 1; }
[ $failures = 0 ]
