#!/usr/bin/env bash
# The sandbox's checks, run as the sandbox user by run.sh:
#   scenarios.sh PREFIX RACE_RUNS INTERRUPT_RUNS
set -uo pipefail
prefix=$1 race_runs=$2 interrupt_runs=$3
host=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
c=$prefix/drive_c
passed=0 failed=0
export ORVO_WINE_TIMEOUT=120

check() {  # check NAME PROBLEMS [LOG]: passes when PROBLEMS is empty, else shows them and LOG
  if [ -z "$2" ]; then
    passed=$((passed + 1)); echo "PASS $1"
  else
    failed=$((failed + 1)); echo "FAIL $1:$2"
    [ -z "${3:-}" ] || tail -n 40 "$3" | sed 's/^/    /'
  fi
}
wine_in_sandbox() { (cd "$c" && "$host/wine-run" "$prefix" "$@"); }
setup_failed() { echo "sandbox: $1"; echo "sandbox: 0 passed, 1 failed"; exit 1; }

# The home and the prefix are new on every run, and so the trees in them: a mark that an earlier
# run left in either says that they were not.
mark=.orvo-sandbox-run
stale=""
for d in "$HOME" "$prefix"; do [ ! -e "$d/$mark" ] || stale+=" $d"; done
check "home and prefix made anew" "${stale:+ the mark of an earlier run is still in$stale}"
touch "$HOME/$mark"

# The prefix, made anew; then its Z: drive (the host's /) and every other drive but C: removed.
made=$(cd "$HOME" && "$host/wine-run" "$prefix" cmd.exe /c exit 2>&1) ||
  [ -f "$prefix/.orvo-ready" ] || setup_failed "the Wine prefix could not be made: $made"
[ -d "$c" ] || setup_failed "the Wine prefix has no drive_c: $made"
touch "$prefix/$mark"
for d in "$prefix"/dosdevices/*; do
  case "$(basename "$d")" in c:|com*|lpt*|nul) ;; *) rm -f "$d" ;; esac
done
mkdir -p "$c/tools" && cp "$host"/*.exe "$c/tools/" || setup_failed "the programs could not be copied to C:\\tools"

# A canary beside the prefix, out of every drive's reach.
canary=$HOME/canary
rm -rf "$canary"; mkdir -p "$canary/sub"
echo "canary" >"$canary/secret.txt"; echo "deep" >"$canary/sub/deep.txt"
canary_state() { (cd "$canary" && find . -printf '%p %s %m\n' | sort && cat secret.txt sub/deep.txt); }
canary_before=$(canary_state)

# --- A racing user swaps names for links to canary directories outside both trees, for the whole
# run: each of eight staging subdirectories, or the staging directory's parent. The links wait
# outside the staging tree, so that only a swap puts one in it. Whatever the racer
# does, no canary may change, none of their content may reach the install root, and every failure
# the updater reports is an entry it refused (681), never one it followed. Swapping subdirectories,
# the update must be done all the same (exit code 0, restart), and a run raced when the updater
# refused a name that was a plain directory when the tree was made (pluginN). The parent is swapped from a second on, while Kestrava still runs: mostly
# after the updater has opened the staging directory, which is what must hold to the end. It may be
# refused (exit code 1, nothing touched) when the parent was a link as the staging directory was
# opened; as Wine reopens a directory's entries by its path, a swap after that makes them fail the
# identity check. A kind of race whose runs never raced, or whose parent runs were all refused,
# tested nothing and fails.
#
# The canary files have names of their own. Wine's server deletes a file at the close of its last
# handle by path, after checking with stat() that the path still leads to the same file; a racer
# can slip a link in between that check and the unlink, and a canary file of the same name as a
# staging file would then go. No Win32 caller can close that window under Wine (on Windows the
# delete acts on the object the handle names); everything this program decides is still tested:
# a walk, a copy or a delete that went through a swapped link would reach these files too.
race() {  # race RUNS subdirs|parent
  local w=$c/race run i j staging pairs swapped delay running code problems canary refused raced swaps
  local exercised=0
  for run in $(seq "$1"); do
    rm -rf "$w"; mkdir -p "$w/install/bin/64bit" "$w/ref" "$w/links"
    # Each run's tree is new: the mark of the one before is gone.
    [ ! -e "$w/$mark" ] || { check "race $2 $run" " the tree of the run before is still there"; continue; }
    cp "$c/tools/kestrava_standin.exe" "$w/install/bin/64bit/Kestrava.exe"
    staging=$w/staging pairs=() swapped='C:\race\staging' delay=0 running=0
    if [ "$2" = parent ]; then
      staging=$w/via/stg pairs=("$w/via" "$w/via.link") swapped='C:\race\via\stg' delay=1 running=1500
      mkdir -p "$w/canaryP/stg"
      for j in 0 1 2; do echo "CANARY parent $j" >"$w/canaryP/stg/p$j.txt"; done
      ln -s "$w/canaryP" "$w/via.link"
    fi
    mkdir -p "$staging/bin/64bit"
    echo "new" >"$staging/bin/64bit/version.txt"
    for i in 0 1 2 3 4 5 6 7; do
      mkdir -p "$staging/plugin$i" "$w/canary$i/inner"
      for j in 0 1 2 3 4 5; do
        echo "plugin $i file $j" >"$staging/plugin$i/f$j.txt"
        echo "CANARY $i $j" >"$w/canary$i/c$j.txt"
      done
      echo "CANARY $i inner" >"$w/canary$i/inner/x.txt"
      ln -s "$w/canary$i" "$w/links/plugin$i"
      [ "$2" = parent ] || pairs+=("$staging/plugin$i" "$w/links/plugin$i")
    done
    cp -a "$w"/canary* "$w/ref/"
    (sleep $delay; exec "$host/swapper" "${pairs[@]}") >"$w/swapper.log" &
    wine_in_sandbox 'C:\tools\orvo_demo_driver.exe' 'C:\tools\OrvoUpdater.exe' \
      'C:\tools\kestrava_standin.exe' 'C:\race\install' "$swapped" $running >"$w/run.log" 2>&1
    code=$?
    kill -TERM $!; wait $!
    # The exchanges the swapper made. A parent swapper starts while Kestrava still runs and stops as
    # the updater ends: each of its exchanges came while the updater ran.
    swaps=$(awk -v n=$((${#pairs[@]} / 2)) '/ rounds, / { print $1 * n - $3 }' "$w/swapper.log")
    problems=""
    for canary in "$w"/ref/*; do
      diff -r "$canary" "$w/${canary##*/}" >/dev/null || problems+=" ${canary##*/} changed;"
    done
    grep -rlq CANARY "$w/install" 2>/dev/null && problems+=" canary content in the install root;"
    tr -d '\r' <"$w/run.log" | grep 'failed:' | grep -qv 'err=681$' &&
      problems+=" failures other than refused entries;"
    refused=$(tr -d '\r' <"$w/run.log" | grep -c 'failed:.*err=681$')
    raced=$(tr -d '\r' <"$w/run.log" | grep -c 'failed: .*\\plugin[0-7]  err=681$')
    if [ $code = 1 ] && [ "$2" = parent ]; then
      [ ! -e "$w/install/bin/64bit/version.txt" ] || problems+=" refused, but updated;"
    elif [ $code = 0 ]; then
      for _ in $(seq 100); do [ -f "$w/install/bin/64bit/restart-record.txt" ] && break; sleep 0.1; done
      [ -f "$w/install/bin/64bit/restart-record.txt" ] || problems+=" not restarted;"
      [ "$2" = parent ] || [ "$(cat "$w/install/bin/64bit/version.txt" 2>/dev/null)" = new ] ||
        problems+=" not updated;"
      # A parent run counts when it went to the end while the parent was swapped; a subdirectory
      # run when a swap put a link where a plain directory was.
      if [ "$2" = parent ]; then [ "${swaps:-0}" -gt 0 ]; else [ "$raced" -gt 0 ]; fi &&
        exercised=$((exercised + 1))
    else
      problems+=" exit code $code;"
    fi
    touch "$w/$mark"
    refused+=" entries refused"
    [ "$2" = parent ] || refused+=", $raced of them swapped-in plugin folders"
    check "race $2 $run (exit code $code, $refused; ${swaps:-no} exchanges: $(cat "$w/swapper.log"))" \
      "$problems" "$w/run.log"
  done
  local what="raced"; [ "$2" = subdirs ] || what="went to the end while swapped"
  echo "race $2: $exercised of $1 runs $what"
  check "race $2: at least one run $what" "$([ $exercised -gt 0 ] || echo " none did")"
}

# --- The updater killed while it copies large files, as a shutdown or Task Manager would: once a
# random number of them have been replaced (seen by their new inodes), mostly in the middle of the
# next one. Every file must be whole, old or new; a second run must complete the update and leave
# nothing behind. The watcher finds the updater's process first and kills it by its id the moment
# it sees the count reached. A kill that came after the last file (a busy machine ran the copy to
# its end between two looks) or before the first tested nothing and is counted as not exercised;
# at least one run must be killed in the middle of the copy.
interrupt() {
  local w=$c/interrupt run k killed new problems extra target updater pid replaced mid=0 late=0
  local before=() now=()
  # Through the demo driver, which answers any notice: no run waits for a user.
  local update=(wine_in_sandbox 'C:\tools\orvo_demo_driver.exe' 'C:\tools\OrvoUpdater.exe'
                'C:\tools\kestrava_standin.exe' 'C:\interrupt\install' 'C:\interrupt\staging' 0)
  rm -rf "$w"; mkdir -p "$w/ref"
  head -c $((16 << 20)) /dev/zero | tr '\0' 'O' >"$w/ref/old"
  head -c $((16 << 20)) /dev/zero | tr '\0' 'N' >"$w/ref/new"
  for run in $(seq "$interrupt_runs"); do
    rm -rf "$w/install" "$w/staging"
    mkdir -p "$w/install/bin/64bit" "$w/install/data" "$w/staging/data"
    cp "$c/tools/kestrava_standin.exe" "$w/install/bin/64bit/Kestrava.exe"
    for k in $(seq 20); do cp "$w/ref/old" "$w/install/data/big$k.pak"; cp "$w/ref/new" "$w/staging/data/big$k.pak"; done
    mapfile -t before < <(stat -c %i "$w"/install/data/big*.pak)
    target=$((1 + RANDOM % 12))
    "${update[@]}" >/dev/null 2>&1 &
    updater=$! killed=no pid=""  # $! changes with every process substitution below
    for _ in $(seq 200000); do
      kill -0 $updater 2>/dev/null || break
      [ -n "$pid" ] || { pid=$(pgrep -u "$(id -u)" -f '^C:\\tools\\OrvoUpdater\.exe' | head -n 1); continue; }
      mapfile -t now < <(stat -c %i "$w"/install/data/big*.pak 2>/dev/null)
      replaced=0
      for k in "${!before[@]}"; do [ "${now[$k]:-}" = "${before[$k]}" ] || replaced=$((replaced + 1)); done
      [ $replaced -ge $target ] || continue
      kill -KILL "$pid" 2>/dev/null && killed=yes
      break
    done
    wait $updater
    problems="" new=0
    for k in $(seq 20); do
      if cmp -s "$w/install/data/big$k.pak" "$w/ref/new"; then new=$((new + 1))
      elif ! cmp -s "$w/install/data/big$k.pak" "$w/ref/old"; then problems+=" big$k.pak torn;"; fi
    done
    "${update[@]}" >/dev/null 2>&1 || problems+=" second run exit code $?;"
    for k in $(seq 20); do cmp -s "$w/install/data/big$k.pak" "$w/ref/new" || problems+=" big$k.pak not new after the second run;"; done
    extra=$(cd "$w/install" && find . -type f | grep -v -E '^\./(data/big[0-9]+\.pak|bin/64bit/(Kestrava\.exe|restart-record\.txt))$')
    [ -z "$extra" ] || problems+=" left behind: $extra;"
    [ ! -e "$w/staging" ] || problems+=" staging not removed;"
    if [ $killed = yes ] && [ $new -gt 0 ] && [ $new -lt 20 ]; then
      mid=$((mid + 1)) killed="killed once $target were replaced"
    else
      late=$((late + 1)) killed="not exercised: the kill came $([ $new = 0 ] && echo before the first || echo after the last) file"
    fi
    check "interrupt $run ($killed: $new of 20 new)" "$problems"
  done
  echo "interrupt: $mid of $interrupt_runs runs killed in the middle of the copy, $late not exercised"
  check "interrupt: at least one run killed in the middle of the copy" "$([ $mid -gt 0 ] || echo " none was")"
}

# --- The refusals of unusable options, with those that name the volume, and so the sandbox.
volume() {
  ORVO_SANDBOX=1 wine_in_sandbox 'C:\tools\orvo_tests.exe' \
    --gtest_filter='UpdaterTest.Refuses*' >"$c/volume.log" 2>&1
  local code=$?
  grep -q '^\[  PASSED  \] 2 tests' "$c/volume.log" || code=1
  check "refusals, staging directories that name C: among them" "$([ $code = 0 ] || echo " exit code $code")" "$c/volume.log"
}

[ "$race_runs" -gt 0 ] && { race "$race_runs" subdirs; race "$race_runs" parent; }
[ "$interrupt_runs" -gt 0 ] && interrupt
volume
[ "$(canary_state)" = "$canary_before" ] && check "canary beside the sandbox unchanged" "" ||
  check "canary beside the sandbox unchanged" " it changed"
echo "sandbox: $passed passed, $failed failed"
[ $failed = 0 ]
