#!/usr/bin/env bash
# Builds Orvane.DLL with mingw-w64 and tests both the 64-bit and the 32-bit module under Wine,
# in a Wine prefix of its own (build-wine/prefix, a 64-bit prefix made anew each run; the
# 32-bit module is registered the way 64-bit Windows does it, by the SysWOW64 programs, into
# the 32-bit view of the registry):
#   1. the 64-bit and 32-bit DLLs with their clients and the layers' unit tests (build-win64,
#      build-win32) and the native reference program (build-win64/native);
#   2. checks on the files: no mingw runtime DLL imported, exactly the four entry points
#      exported, every identifier unchanged in both type libraries;
#   3. the primitives, engine and component unit tests of both builds under Wine (the 32-bit
#      ones run the x87 and SSE code of that build);
#   4. for each module in turn: registration with regsvr32 (keys, values, re-registration
#      without stale values), the compiled client, the type library against the member table
#      and the Python binding, a VBScript and a JScript run through cscript, and unregistration
#      (checked right after regsvr32 /u).
# Prints one line per check, the time each part took and a summary; exits non-zero when
# anything failed.
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
timings=()
part_start=$SECONDS
# part <name>: ends the timing of the previous part and starts the next.
part() {
    local now=$SECONDS
    [[ -n ${part_name:-} ]] && timings+=("$(printf '%5d s  %s' $((now - part_start)) "$part_name")")
    part_name=$1
    part_start=$now
    [[ -n $1 ]] && echo "== $1"
    return 0
}

clsid='{2BBEF625-A703-40D0-B513-3A7556226995}'
libid='{EB663D0D-2140-44A5-885D-2FA00A60C22C}'
iid='{E0D110BB-BB19-4DC6-83C6-2BD2CA062264}'

part "cross builds (x86_64, i686) and native reference"
for arch in 64 32; do
    processor=$([[ $arch == 64 ]] && echo x86_64 || echo i686)
    cmake -S . -B build-win$arch -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-$processor-w64-mingw32.cmake \
        -DCMAKE_BUILD_TYPE=Release -DORVANE_WERROR=ON >/dev/null ||
        die "configuring build-win$arch failed"
    cmake --build build-win$arch -j"$jobs" || die "building build-win$arch failed"
done
cmake -S tests/com/native -B build-win64/native -DCMAKE_BUILD_TYPE=Release >/dev/null ||
    die "configuring the native reference failed"
cmake --build build-win64/native -j"$jobs" || die "building the native reference failed"

work=$root/build-wine
rm -rf "$work"
mkdir -p "$work"
prefix=$work/prefix

part "module files"
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
    if /usr/bin/python3 tests/com/check_identifiers.py src/module/orvane.idl \
        build-win$arch/src/module/orvane.tlb src/module/orvane.rgs src/component/identifiers.cpp \
        >"$work/identifiers.txt"; then
        pass "win$arch: identifiers: IDL, type library, registration script and code agree"
    else
        cat "$work/identifiers.txt"
        fail "win$arch: identifiers: IDL, type library, registration script and code agree"
    fi
done
check "native reference results written" \
    build-win64/native/orvane_com_reference results "$work/reference.bin"
check "native member table dumped" \
    sh -c "build-win64/native/orvane_com_reference members >'$work/members.txt'"

part "Wine prefix $prefix"
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d" DISPLAY=
export WINEARCH=win64
# The plain wine command is the 32-bit loader once 32-bit Wine is installed: it starts Wine's
# own programs (reg, regsvr32, cscript) in their 32-bit versions, which see the 32-bit view of
# the registry. The 64-bit loader starts the 64-bit ones. Programs of ours start in the
# processor mode of their own file either way.
wine64=/usr/lib/wine/wine64
cleanup() {
    timeout 60 wineserver -w 2>/dev/null || wineserver -k 2>/dev/null
    rm -rf "$prefix"
}
trap cleanup EXIT
$wine64 wineboot -i >/dev/null 2>&1 || die "wineboot failed"

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

# run_gtest <description> <test program> [<GoogleTest arguments>...]: runs a GoogleTest
# program under Wine; passes when it exits 0 and reports every test passed. Only failures are
# shown in full.
run_gtest() {
    local log=$work/gtest.txt
    wine "$2" --gtest_brief=1 "${@:3}" >"$log" 2>&1
    local rc=$?
    local summary
    summary=$(tr -d '\r' <"$log" | sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\?\.$/\1 tests passed/p' | tail -1)
    if [[ $rc == 0 && -n $summary ]] && ! tr -d '\r' <"$log" | grep -q '^\[  FAILED  \]'; then
        pass "$1 ($summary)"
    else
        tr -d '\r' <"$log" | tail -n 40 | sed 's/^/    /'
        fail "$1" "exit code $rc"
    fi
}

part "unit tests under Wine"
for arch in 64 32; do
    for layer in primitives engine component; do
        program=build-win$arch/tests/unit/${layer}_tests.exe
        # (The engine's fused pipeline exists only where single-precision expressions are
        # evaluated in single precision, not in the x87 code of the 32-bit build: its tests
        # skip themselves there.)
        if [[ -f $program ]]; then
            run_gtest "win$arch: $layer unit tests" "$program"
        else
            fail "win$arch: $layer unit tests" "$program was not built"
        fi
    done
done

# The suite for one module. Sets what differs between the two: the loader of Wine's own
# programs, the install folder, the type library's platform key.
suite() {
    local arch=$1
    local tool_loader program_files syskind
    if [[ $arch == 64 ]]; then
        tool_loader=$wine64
        program_files="Program Files"
        syskind=win64
    else
        tool_loader=wine
        program_files="Program Files (x86)"
        syskind=win32
    fi
    # tool <program> <arguments...>: one of Wine's own programs in this module's processor mode.
    tool() { $tool_loader "$@"; }
    local dll=build-win$arch/src/module/Orvane.dll
    local client=build-win$arch/tests/com/orvane_com_client.exe
    local dump=build-win$arch/tests/com/orvane_typelib_dump.exe
    local reference_win
    reference_win=$(winepath -w "$work/reference.bin" 2>/dev/null)

    # The module is installed where a user would put it, in a folder whose name holds a space
    # and a quote, so that the registration script must carry any path.
    local install_dir="$prefix/drive_c/$program_files/Orvane O'Brien"
    mkdir -p "$install_dir"
    cp "$dll" "$install_dir/Orvane.dll"
    module_win=$(winepath -w "$install_dir/Orvane.dll" 2>/dev/null)

    # reg_value <key> [<value name>]: prints the value's data (the default value without a name).
    # Wine's reg, started while the machine is busy, now and then prints nothing at all for a
    # key that is there: a query that finds nothing is asked twice more before it counts.
    reg_value() {
        local out try
        local args=(/ve)
        [[ -n ${2:-} ]] && args=(/v "$2")
        for try in 1 2 3; do
            out=$(tool reg query "$1" "${args[@]}" 2>/dev/null | tr -d '\r') && [[ -n $out ]] && break
            sleep 1
        done
        [[ -n $out ]] || return 1
        # "    <name>    REG_SZ    <data>"; a value without data prints an empty line.
        sed -n 's/^    \(.*\)    REG_[A-Z_]*    \(.*\)$/\2/p
                s/^    \(.*\)    REG_[A-Z_]*$//p' <<<"$out" | head -1
    }
    reg_exists() { tool reg query "$1" >/dev/null 2>&1; }
    reg_absent() { ! tool reg query "$@" >/dev/null 2>&1; }
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
            "HKCR\\TypeLib\\$libid\\1.0\\409\\$syskind" "" "$module_win"
        check "$what: IOrvane interface key" reg_exists "HKCR\\Interface\\$iid"
    }

    part "win$arch: registration"
    tool regsvr32 /s "$module_win"
    expect_exit "win$arch: regsvr32 exits 0" $?
    registered_keys_are_right "win$arch: registered"

    # Leftovers of an older registration: a value and a subkey in the class key, a value in
    # Programmable. Registering again must remove them and change nothing else.
    tool reg add "HKCR\\CLSID\\$clsid" /v Stale /d old /f >/dev/null 2>&1
    tool reg add "HKCR\\CLSID\\$clsid\\LocalServer32" /ve /d 'C:\old.exe' /f >/dev/null 2>&1
    tool reg add "HKCR\\CLSID\\$clsid\\Programmable" /v Stale /d old /f >/dev/null 2>&1
    tool regsvr32 /s "$module_win"
    expect_exit "win$arch: second regsvr32 exits 0" $?
    registered_keys_are_right "win$arch: re-registered"
    check "win$arch: re-registered: stale class value gone" \
        reg_absent "HKCR\\CLSID\\$clsid" /v Stale
    check "win$arch: re-registered: stale subkey gone" \
        reg_absent "HKCR\\CLSID\\$clsid\\LocalServer32"
    check "win$arch: re-registered: stale Programmable value gone" \
        reg_absent "HKCR\\CLSID\\$clsid\\Programmable" /v Stale

    part "win$arch: compiled client"
    run_summarised "win$arch: compiled client" wine "$client" "$module_win" "$reference_win"
    run_summarised "win$arch: compiled client: unload and reload" \
        wine "$client" "$module_win" "$reference_win" alone_

    part "win$arch: type library against the member table and the Python binding"
    if wine "$dump" "$module_win" 2>"$work/dump.err" | tr -d '\r' >"$work/typelib.txt" &&
        [[ -s $work/typelib.txt ]]; then
        local python_dir=build-win64/native/python
        if ! ls "$python_dir"/orvane/_core*.so >/dev/null 2>&1; then python_dir=""; fi
        run_summarised "win$arch: members: type library, member table${python_dir:+, Python binding}" \
            /usr/bin/python3 tests/com/check_members.py "$work/typelib.txt" "$work/members.txt" \
            $python_dir
        [[ -n $python_dir ]] || fail "win$arch: members: Python binding" "the orvane module was not built"
    else
        fail "win$arch: type-library dump" "$(cat "$work/dump.err")"
    fi

    part "win$arch: scripts through cscript"
    run_summarised "win$arch: VBScript" \
        tool cscript //nologo "$(winepath -w "$root/tests/com/orvane_test.vbs")"
    run_summarised "win$arch: JScript" \
        tool cscript //nologo "$(winepath -w "$root/tests/com/orvane_test.js")"

    part "win$arch: unregistration"
    tool regsvr32 /u /s "$module_win"
    expect_exit "win$arch: regsvr32 /u exits 0" $?
    # Checked before anything else runs, so that what is gone was removed by regsvr32 /u.
    local key
    for key in 'HKCR\Orvane.CoOrvane' 'HKCR\Orvane.CoOrvane.1' "HKCR\\CLSID\\$clsid" \
        "HKCR\\TypeLib\\$libid" "HKCR\\Interface\\$iid"; do
        check "win$arch: unregistered: $key gone" reg_absent "$key"
    done
    check "win$arch: unregistered: the CLSID root stays" reg_exists 'HKCR\CLSID'
    run_summarised "win$arch: compiled client without registration" \
        wine "$client" "$module_win" "$reference_win" unregistered_
    tool regsvr32 /u /s "$module_win"
    expect_exit "win$arch: unregistering twice exits 0" $?
}

suite 64
suite 32
part ""

echo
echo "== time per part"
printf '%s\n' "${timings[@]}"
echo "== Windows tests: $passed passed, $failed failed"
for f in "${failures[@]}"; do echo "   failed: $f"; done
((failed == 0))
