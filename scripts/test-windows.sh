#!/usr/bin/env bash
# Builds Orvane.DLL with mingw-w64 and tests it under Wine, in a Wine prefix of its own:
#   1. the 64-bit DLL and its clients (build-win64), the 32-bit DLL as a compile check
#      (build-win32), and the native reference program (build-win64/native);
#   2. checks on the files: no mingw runtime DLL imported, exactly the four entry points
#      exported, every identifier unchanged in the type library;
#   3. in a fresh prefix: registration with regsvr32 (keys, values, re-registration without
#      stale values), the compiled client, the type library against the member table and the
#      Python binding, a VBScript and a JScript run through cscript, and unregistration.
# Prints one line per check and a summary; exits non-zero when anything failed.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=2

bash scripts/setup-debian.sh || exit 1

passed=0
failed=0
failures=()
pass() { passed=$((passed + 1)); echo "  PASS  $1"; }
fail() { failed=$((failed + 1)); failures+=("$1"); echo "  FAIL  $1${2:+: $2}"; }
# check <description> <command...>: passes when the command succeeds.
check() {
    local what=$1
    shift
    if "$@"; then pass "$what"; else fail "$what"; fi
}
# expect_exit <description> <exit code>: passes on exit code 0.
expect_exit() {
    if [[ $2 == 0 ]]; then pass "$1"; else fail "$1" "exit code $2"; fi
}
die() {
    echo "test-windows: $*" >&2
    exit 1
}

clsid='{2BBEF625-A703-40D0-B513-3A7556226995}'
libid='{EB663D0D-2140-44A5-885D-2FA00A60C22C}'
iid='{E0D110BB-BB19-4DC6-83C6-2BD2CA062264}'

echo "== cross build (x86_64, i686) and native reference"
cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-x86_64-w64-mingw32.cmake \
    -DCMAKE_BUILD_TYPE=Release -DORVANE_WERROR=ON >/dev/null || die "configuring build-win64 failed"
cmake --build build-win64 -j"$jobs" || die "building build-win64 failed"
cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-w64-mingw32.cmake \
    -DCMAKE_BUILD_TYPE=Release -DORVANE_WERROR=ON >/dev/null || die "configuring build-win32 failed"
cmake --build build-win32 -j"$jobs" || die "building build-win32 failed"
cmake -S tests/com/native -B build-win64/native -DCMAKE_BUILD_TYPE=Release >/dev/null ||
    die "configuring the native reference failed"
cmake --build build-win64/native -j"$jobs" || die "building the native reference failed"

dll64=build-win64/src/module/Orvane.dll
dll32=build-win32/src/module/Orvane.dll
client=build-win64/tests/com/orvane_com_client.exe
dump=build-win64/tests/com/orvane_typelib_dump.exe
work=$(mktemp -d /tmp/orvane-wintest.XXXXXX)
prefix=$work/prefix

echo "== module files"
for arch in 64 32; do
    dll=build-win$arch/src/module/Orvane.dll
    objdump=$([[ $arch == 64 ]] && echo x86_64 || echo i686)-w64-mingw32-objdump
    imports=$($objdump -p "$dll" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort |
        tr '\n' ' ')
    if grep -Eq 'libgcc|libstdc\+\+|libwinpthread|libssp|libgomp' <<<"$imports"; then
        fail "win$arch: no mingw runtime DLL imported" "imports $imports"
    else
        pass "win$arch: no mingw runtime DLL imported ($imports)"
    fi
    exports=$($objdump -p "$dll" |
        sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/s/^[[:space:]]*\[ *[0-9]*\] //p' |
        sort | tr '\n' ' ')
    want='DllCanUnloadNow DllGetClassObject DllRegisterServer DllUnregisterServer '
    if [[ $exports == "$want" ]]; then pass "win$arch: exports exactly the four entry points"
    else fail "win$arch: exports exactly the four entry points" "exports $exports"; fi
done
if /usr/bin/python3 tests/com/check_identifiers.py src/module/orvane.idl \
    build-win64/src/module/orvane.tlb src/module/orvane.rgs src/component/identifiers.cpp \
    >"$work/identifiers.txt"; then
    pass "identifiers: IDL, type library, registration script and code agree"
else
    cat "$work/identifiers.txt"
    fail "identifiers: IDL, type library, registration script and code agree"
fi
check "native reference results written" \
    build-win64/native/orvane_com_reference results "$work/reference.bin"
check "native member table dumped" \
    sh -c "build-win64/native/orvane_com_reference members >'$work/members.txt'"

echo "== Wine prefix $prefix"
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d" DISPLAY=
export WINEARCH=win64
# Wine's own programs (reg, regsvr32, cscript, wineboot) started by the 64-bit loader: the
# plain wine command starts their 32-bit versions once 32-bit Wine is installed, and those
# see the 32-bit view of the registry and cannot load the 64-bit module.
wine64=/usr/lib/wine/wine64
cleanup() {
    timeout 60 wineserver -w 2>/dev/null || wineserver -k 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
$wine64 wineboot -i >/dev/null 2>&1 || die "wineboot failed"

# The module is installed where a user would put it, in a folder whose name holds a space and
# a quote, so that the registration script must carry any path.
install_dir="$prefix/drive_c/Program Files/Orvane O'Brien"
mkdir -p "$install_dir"
cp "$dll64" "$install_dir/Orvane.dll"
module_win=$(winepath -w "$install_dir/Orvane.dll" 2>/dev/null)

# reg_value <key> [<value name>]: prints the value's data (the default value without a name).
reg_value() {
    local out
    local args=(/ve)
    [[ -n ${2:-} ]] && args=(/v "$2")
    out=$($wine64 reg query "$1" "${args[@]}" 2>/dev/null | tr -d '\r') || return 1
    # "    <name>    REG_SZ    <data>"; a value without data prints an empty line.
    sed -n 's/^    \(.*\)    REG_[A-Z_]*    \(.*\)$/\2/p
            s/^    \(.*\)    REG_[A-Z_]*$//p' <<<"$out" | head -1
}
reg_exists() { $wine64 reg query "$1" >/dev/null 2>&1; }
# expect_value <description> <key> <name or ""> <expected data>
expect_value() {
    local got
    got=$(reg_value "$2" "$3")
    if [[ $got == "$4" ]]; then pass "$1"; else fail "$1" "got '$got', expected '$4'"; fi
}

registered_keys_are_right() {
    local what=$1
    expect_value "$what: Orvane.CoOrvane default" 'HKCR\Orvane.CoOrvane' "" "CoOrvane Class"
    expect_value "$what: Orvane.CoOrvane CurVer" 'HKCR\Orvane.CoOrvane\CurVer' "" "Orvane.CoOrvane.1"
    expect_value "$what: Orvane.CoOrvane CLSID" 'HKCR\Orvane.CoOrvane\CLSID' "" "$clsid"
    expect_value "$what: Orvane.CoOrvane.1 default" 'HKCR\Orvane.CoOrvane.1' "" "CoOrvane Class"
    expect_value "$what: Orvane.CoOrvane.1 CLSID" 'HKCR\Orvane.CoOrvane.1\CLSID' "" "$clsid"
    local key="HKCR\\CLSID\\$clsid"
    expect_value "$what: class key default" "$key" "" "CoOrvane Class"
    expect_value "$what: ProgID" "$key\\ProgID" "" "Orvane.CoOrvane.1"
    expect_value "$what: VersionIndependentProgID" "$key\\VersionIndependentProgID" "" "Orvane.CoOrvane"
    check "$what: Programmable" reg_exists "$key\\Programmable"
    expect_value "$what: InprocServer32 names the module" "$key\\InprocServer32" "" "$module_win"
    expect_value "$what: ThreadingModel" "$key\\InprocServer32" ThreadingModel "Both"
    expect_value "$what: TypeLib" "$key\\TypeLib" "" "$libid"
    expect_value "$what: type library registered from the module" \
        "HKCR\\TypeLib\\$libid\\1.0\\409\\win64" "" "$module_win"
    check "$what: IOrvane interface key" reg_exists "HKCR\\Interface\\$iid"
}

echo "== registration"
$wine64 regsvr32 /s "$module_win"
expect_exit "regsvr32 exits 0" $?
registered_keys_are_right "registered"

# Leftovers of an older registration: a value and a subkey in the class key, a value in
# Programmable. Registering again must remove them and change nothing else.
$wine64 reg add "HKCR\\CLSID\\$clsid" /v Stale /d old /f >/dev/null 2>&1
$wine64 reg add "HKCR\\CLSID\\$clsid\\LocalServer32" /ve /d 'C:\old.exe' /f >/dev/null 2>&1
$wine64 reg add "HKCR\\CLSID\\$clsid\\Programmable" /v Stale /d old /f >/dev/null 2>&1
$wine64 regsvr32 /s "$module_win"
expect_exit "second regsvr32 exits 0" $?
registered_keys_are_right "re-registered"
check "re-registered: stale class value gone" \
    sh -c "! $wine64 reg query 'HKCR\\CLSID\\$clsid' /v Stale >/dev/null 2>&1"
check "re-registered: stale subkey gone" \
    sh -c "! $wine64 reg query 'HKCR\\CLSID\\$clsid\\LocalServer32' >/dev/null 2>&1"
check "re-registered: stale Programmable value gone" \
    sh -c "! $wine64 reg query 'HKCR\\CLSID\\$clsid\\Programmable' /v Stale >/dev/null 2>&1"

# run_summarised <description> <command...>: runs a Windows test program that prints
# "N passed, N failed"; passes when it exits 0 and its last line reports no failure.
run_summarised() {
    local what=$1
    shift
    local log=$work/log.txt
    "$@" >"$log" 2>&1
    local rc=$?
    tr -d '\r' <"$log" | sed 's/^/    /'
    local summary
    summary=$(tr -d '\r' <"$log" | grep -E '^[0-9]+ passed, [0-9]+ failed$' | tail -1)
    if [[ $rc == 0 && $summary =~ ^[0-9]+\ passed,\ 0\ failed$ ]]; then
        pass "$what ($summary)"
    else
        fail "$what" "exit code $rc, summary '${summary:-missing}'"
    fi
}

echo "== compiled client"
run_summarised "compiled client" wine "$client" "$module_win" "$(winepath -w "$work/reference.bin")"

run_summarised "compiled client: unload and reload" \
    wine "$client" "$module_win" "$(winepath -w "$work/reference.bin")" alone_

echo "== type library against the member table and the Python binding"
if wine "$dump" "$module_win" 2>"$work/dump.err" | tr -d '\r' >"$work/typelib.txt" &&
    [[ -s $work/typelib.txt ]]; then
    python_dir=build-win64/native/python
    if ! ls "$python_dir"/orvane/_core*.so >/dev/null 2>&1; then python_dir=""; fi
    run_summarised "members: type library, member table${python_dir:+, Python binding}" \
        /usr/bin/python3 tests/com/check_members.py "$work/typelib.txt" "$work/members.txt" \
        $python_dir
    [[ -n $python_dir ]] || fail "members: Python binding" "the orvane module was not built"
else
    fail "type-library dump" "$(cat "$work/dump.err")"
fi

echo "== scripts through cscript"
run_summarised "VBScript" $wine64 cscript //nologo "$(winepath -w "$root/tests/com/orvane_test.vbs")"
run_summarised "JScript" $wine64 cscript //nologo "$(winepath -w "$root/tests/com/orvane_test.js")"

echo "== unregistration"
$wine64 regsvr32 /u /s "$module_win"
expect_exit "regsvr32 /u exits 0" $?
# Checked before anything else runs, so that what is gone was removed by regsvr32 /u.
for key in 'HKCR\Orvane.CoOrvane' 'HKCR\Orvane.CoOrvane.1' "HKCR\\CLSID\\$clsid" \
    "HKCR\\TypeLib\\$libid" "HKCR\\Interface\\$iid"; do
    check "unregistered: $key gone" sh -c "! $wine64 reg query '$key' >/dev/null 2>&1"
done
check "unregistered: the CLSID root stays" reg_exists 'HKCR\CLSID'
run_summarised "compiled client without registration" \
    wine "$client" "$module_win" "$(winepath -w "$work/reference.bin")" unregistered_
$wine64 regsvr32 /u /s "$module_win"
expect_exit "unregistering twice exits 0" $?

echo
echo "== Windows tests: $passed passed, $failed failed"
for f in "${failures[@]}"; do echo "   failed: $f"; done
((failed == 0))
