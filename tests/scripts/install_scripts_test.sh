#!/usr/bin/env bash
# tools/install-deps.sh and tools/step-lib.sh against a fake package manager:
# a foreign package never stands in for a native one, an index that cannot be
# fetched does not stop the install, and a failed step shows the tool's own
# message and names the step. Usage: install_scripts_test.sh SOURCE_DIR
set -u
top=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fails=0
check() {   # description, then a command that must succeed
    local what=$1
    shift
    if "$@"; then echo "ok: $what"; else echo "FAIL: $what"; fails=$((fails + 1)); fi
}

fake=$work/bin
mkdir -p "$fake"
# dpkg-query answers from $FAKE_INSTALLED (lines name:arch); a bare name
# answers for the first instance listed, whatever its architecture, as the
# real one does for a package installed for a foreign architecture only.
cat >"$fake/dpkg-query" <<'SH'
#!/bin/bash
q=${!#}
case $q in
*:*) line=$(grep -x -- "$q" "$FAKE_INSTALLED" | head -n1) ;;
*) line=$(grep -- "^$q:" "$FAKE_INSTALLED" | head -n1) ;;
esac
[ -n "$line" ] || { echo "dpkg-query: no packages found matching $q" >&2; exit 1; }
printf 'install ok installed'
SH
cat >"$fake/dpkg" <<'SH'
#!/bin/bash
[ "$1" = --print-architecture ] && { echo amd64; exit 0; }
exit 1
SH
# apt-get: every index update fails as a mirror in the middle of a sync
# does; an install of a package named in $FAKE_UNKNOWN fails.
cat >"$fake/apt-get" <<'SH'
#!/bin/bash
echo "apt-get $*" >>"$FAKE_LOG"
case " $* " in
*" update "*)
    echo "E: Failed to fetch http://deb.example/binary-armhf/Packages.xz  File has unexpected size (359552 != 360800). Mirror sync in progress?" >&2
    exit 100 ;;
*" install "*)
    for p in "$@"; do
        if [ -n "${FAKE_UNKNOWN:-}" ] && [ "$p" = "$FAKE_UNKNOWN" ]; then
            echo "E: Unable to locate package $p" >&2
            exit 100
        fi
    done
    exit 0 ;;
esac
SH
printf '#!/bin/bash\necho 0\n' >"$fake/id"
chmod +x "$fake"/*
export PATH="$fake:$PATH" FAKE_INSTALLED=$work/installed FAKE_LOG=$work/apt.log APT_RETRY_DELAY=0

demo_packages="g++ cmake ninja-build make pkg-config linux-libc-dev nlohmann-json3-dev bubblewrap faketime libfaketime bzip2 tar coreutils util-linux procps"
installed() {   # the demo's packages but libsodium-dev, natively, plus the given lines
    : >"$FAKE_INSTALLED"
    local p
    for p in $demo_packages; do echo "$p:amd64" >>"$FAKE_INSTALLED"; done
    for p in "$@"; do echo "$p" >>"$FAKE_INSTALLED"; done
    : >"$FAKE_LOG"
}

# Only the armel crypto library is there: the native one is still missing.
installed libsodium-dev:armel
out=$(. "$top/tools/apt-lib.sh"; missing_packages libsodium-dev g++ libsodium-dev:armel)
check "a foreign package does not answer for the native one" [ "$out" = "libsodium-dev" ]
out=$(. "$top/tools/apt-lib.sh"; missing_packages tzdata)
check "a package that is not there at all is missing" [ "$out" = "tzdata" ]
installed libsodium-dev:armel tzdata:all
out=$(. "$top/tools/apt-lib.sh"; missing_packages tzdata libsodium-dev:armel)
check "an architecture-independent package and a named foreign one count" [ -z "$out" ]

# The install goes on after two failed index updates and installs the
# native package.
installed libsodium-dev:armel
"$top/tools/install-deps.sh" --demo >"$work/out" 2>"$work/err"
rc=$?
check "install-deps --demo exits 0 although the index update fails" [ "$rc" -eq 0 ]
check "the index update is tried twice" [ "$(grep -c '^apt-get update' "$FAKE_LOG")" -eq 2 ]
check "the native libsodium-dev is installed" \
    grep -qx 'apt-get install -y -qq --no-install-recommends libsodium-dev' "$FAKE_LOG"
check "the failed update is reported" grep -q 'going on with the indexes there are' "$work/err"

# Everything there: no package manager call at all.
installed libsodium-dev:amd64
"$top/tools/install-deps.sh" --demo >/dev/null 2>&1
rc=$?
check "nothing to install: exit 0" [ "$rc" -eq 0 ]
check "nothing to install: apt-get is not called" [ ! -s "$FAKE_LOG" ]

# A package that truly cannot be had fails the install, with apt-get's own
# message and the step's name.
installed
FAKE_UNKNOWN=libsodium-dev "$top/tools/install-deps.sh" --demo >/dev/null 2>"$work/err"
rc=$?
check "an unknown package fails the install" [ "$rc" -ne 0 ]
check "apt-get's own message is shown" grep -q 'E: Unable to locate package libsodium-dev' "$work/err"
check "the failed step is named" grep -q 'install step failed: apt-get install' "$work/err"

# Usage: --help on stdout with status 0, a wrong argument names itself with 2.
"$top/tools/install-deps.sh" --help >"$work/out" 2>&1
check "--help exits 0" [ $? -eq 0 ]
check "--help names --demo" grep -q -- '--demo' "$work/out"
"$top/tools/install-deps.sh" --bogus >/dev/null 2>"$work/err"
check "a wrong argument exits 2" [ $? -eq 2 ]
check "a wrong argument is named" grep -q "unknown argument '--bogus'" "$work/err"

# A failed build step shows the compiler's message, not ninja's progress,
# then a line naming the step.
cat >"$work/fake-build" <<'SH'
#!/bin/bash
echo "[1/3] Building CXX object app/a.cpp.o"
echo "FAILED: app/b.cpp.o"
echo "app/b.cpp:12:5: error: 'foo' was not declared in this scope"
exit 1
SH
chmod +x "$work/fake-build"
(. "$top/tools/step-lib.sh"; run_step "building (cmake --build)" "$work/build.log" "$work/fake-build") 2>"$work/err"
rc=$?
check "a failed step returns its status" [ "$rc" -eq 1 ]
check "the compiler's message is shown" grep -q "app/b.cpp:12:5: error: 'foo' was not declared" "$work/err"
check "ninja's progress lines are not" bash -c "! grep -q 'Building CXX object' '$work/err'"
check "the step is named with its log" grep -q "step failed: building (cmake --build) (status 1; whole output in $work/build.log)" "$work/err"
# Under set -e, a failed run_step is named once; the ERR trap names a failing
# command that is not a run_step.
bash -c ". '$top/tools/step-lib.sh'; set -e; name_failed_steps; run_step build '$work/b.log' '$work/fake-build'" 2>"$work/err"
check "a failed run_step ends the script" [ $? -eq 1 ]
check "a failed run_step is named once" [ "$(grep -c 'step failed' "$work/err")" -eq 1 ]
bash -c ". '$top/tools/step-lib.sh'; set -e; name_failed_steps; true; false; echo not reached" 2>"$work/err"
check "a failing command is named" grep -q 'step failed (status 1) at line 1: false' "$work/err"

echo "$fails failed"
[ "$fails" -eq 0 ]
