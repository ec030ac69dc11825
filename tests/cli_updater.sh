#!/usr/bin/env bash
# orvent-update end to end, run as a user runs it: the real program against serial-instrument
# at the far end of a pseudo-terminal, its exit status, its words and the instrument's flash.
#
#   cli_updater.sh CASE NATIVE_BUILD SOURCE_DIR
#
# CASE is one of:
#   update        a two-block update: exit 0, "successfully", flash holds the file
#   fault-*       one fault of each kind: its text on standard error, exit 1 (see faults below)
#   current       the instrument has the file's versions: exit 0, "Already the latest version."
#   no-answer     nobody answers the inquiry: exit 3 and the window's words; another product
#                 answers: named, with --skip-device-check
#   abort         Ctrl+C on the terminal asks there, also with standard error in a file; "n"
#                 goes on; Ctrl+C twice: exit 130, nothing sent after it
#   abort-no-terminal  Ctrl+C without a terminal (standard input /dev/null): exit 130 after
#                 the packet in flight, the cut block named; the command it gives sends the
#                 file whole
#   abort-background   Ctrl+C to a background job: exit 130 at once, the terminal untouched
#   stop-signals  SIGHUP and SIGTERM abort with 129 and 143
#   confirm       without --yes, "Update now?" on the terminal: "n" sends nothing (exit 4),
#                 "y" updates; without a terminal it is refused at once (exit 2)
#   skip-first    the instrument has the first block: only the second is sent, counted and
#                 named
#   newer         the instrument has a newer version: said so, and how to put the file on
#   progress-failure  on a terminal, a failure has a line of its own, not the bar's
#   progress-stop the rate leaves out the time the program stood stopped by Ctrl+Z
#   rehearse      --rehearse: exit 0, the rehearsal's flash proof
#   info          good and broken files
#   usage         --help and --version, ports with no MIDI port, bad arguments (exit 2,
#                 refused before anything is read, opened or shown)
#   completion    the bash completion: commands, each command's options, values
#   rerun-version a run stopped by SIGTERM while a reply is due; the reply comes into the line
#                 after it; version --product-id then gets the instrument's own answer
#   rerun-update  the same, then a whole update
#   shared-file   info, and a second instrument's update, from the file an update is sending
#   gone          the instrument goes away mid-run, mid-update and mid-version: exit 1 at
#                 once, and why
#   json          --json: one document on standard output for info, ports, version, an update
#                 and a failed one; -q leaves only errors; --log keeps every row with its
#                 time; -vv shows each message in hex
#   usb           --usb without the update device: the transport's text, exit 1
#   errors        a device or file that will not open: the transport's or reader's text
#                 first, then why and what to do (not there, held by another program, a
#                 folder)
#   probe         ports --probe over a /dev and /sys of the test's own: the adapter's by-id
#                 name and USB ids, which line answered, a silent and a busy one, in bounded
#                 time
#   auto          --serial auto updates through the one line that answers; none (exit 3) and
#                 several (exit 2) are refused with the list
set -euo pipefail

case_name="$1"
build="$2"
source_dir="$3"

cli="$build/cli/orvent-update"
instrument_tool="$build/sim/serial-instrument"
writer="$build/sim/vsb-writer"
work="$build/cli_tests/$case_name"
rm -rf "$work"
mkdir -p "$work"
file="$work/update.vsb"
"$writer" "$file" \
  --block "device=ORVENT,name=MAIN,code=1,version=1.05,address=0,size=8192,fill=random,seed=5" \
  --block "device=ORVENT,name=VOICE,code=2,version=2.10,address=0x10000,size=4096,fill=counter" \
  >/dev/null

fail() {
  echo "FAILED: $*" >&2
  for f in "$work"/*.txt; do
    echo "--- $f" >&2
    tail -n 20 "$f" >&2
  done
  exit 1
}

# The pseudo-terminal's path, the first line a serial-instrument writes to its log, in $line.
await_line() {
  for _ in $(seq 100); do
    line=$(head -n 1 "$1" 2>/dev/null || true)
    [ -n "$line" ] && return 0
    sleep 0.05
  done
  fail "serial-instrument did not start ($1)"
}

# The command the program printed, indented, below the line matching $2 in $1 must be $3;
# it is run as a user pastes it, its output in rerun-out.txt and rerun-err.txt.
run_given_command() {
  local command
  command=$(sed -n "/^$2\$/{n;s/^  //p;}" "$work/$1")
  [ "$command" = "$3" ] || fail "the command given is: $command"
  set +e
  setsid bash -c "$command" </dev/null >"$work/rerun-out.txt" 2>"$work/rerun-err.txt"
  status=$?
  set -e
}

# Waits (10 s at most) until the instrument has received data packet $1; 1 when it never did.
await_packet() {
  for _ in $(seq 500); do
    grep -q "^Rx data packet $1," "$work/instrument.txt" && return 0
    sleep 0.02
  done
  return 1
}

instrument_pid=""
# serial-instrument with the given settings; its pseudo-terminal's path in $line.
start_instrument() {
  "$instrument_tool" --packet-size 1024 --block-address 1=0,2=0x10000 \
    --flash-dump "$work/flash.bin" --flash-range 0:0x11000 "$@" >"$work/instrument.txt" 2>&1 &
  instrument_pid=$!
  await_line "$work/instrument.txt"
}

stop_instrument() {
  kill -TERM "$instrument_pid" 2>/dev/null || true
  wait "$instrument_pid" 2>/dev/null || true
}

job_pid=""
job_runner=""
job_options=()
# orvent-update as a job on a terminal of its own, as a user's shell runs it
# (tests/pty_job.py, with $job_options), while this script goes on: its pid in $job_pid,
# what the terminal shows in terminal.txt; type_keys types on that terminal, wait_job
# waits for the end and sets $status.
start_job() {
  rm -f "$work/keys" "$work/job.pid" "$work/terminal.txt"
  mkfifo "$work/keys"
  python3 "$source_dir/tests/pty_job.py" --transcript "$work/terminal.txt" --keys "$work/keys" \
    --pid-file "$work/job.pid" "${job_options[@]}" -- "$cli" "$@" &
  job_runner=$!
  exec 4<>"$work/keys"
  for _ in $(seq 200); do
    [ -s "$work/job.pid" ] && break
    sleep 0.05
  done
  job_pid=$(cat "$work/job.pid" 2>/dev/null) || fail "the job did not start"
}

type_keys() {
  # shellcheck disable=SC2059
  printf "$1" >&4
}

wait_job() {
  set +e
  wait "$job_runner"
  status=$?
  set -e
  exec 4>&-
  job_pid=""
}

stop_job() {
  [ -z "$job_pid" ] || kill -KILL "$job_pid" 2>/dev/null || true
}
trap 'stop_job; stop_instrument' EXIT

# Waits until a file holds a text.
wait_text() {
  for _ in $(seq 200); do
    grep -qaF -- "$2" "$work/$1" 2>/dev/null && return 0
    sleep 0.05
  done
  fail "$1 never showed: $2"
}

# Data packets the instrument got so far.
packets() { grep -c "^Rx data packet" "$work/instrument.txt" || true; }

wait_packets_above() {
  for _ in $(seq 200); do
    [ "$(packets)" -gt "$1" ] && return 0
    sleep 0.05
  done
  fail "the transfer did not go on past packet $1"
}

# A run stopped at a pause between packets: the instrument answered the last thing it got.
expect_last_message_answered() {
  sleep 0.3
  local last
  last=$(grep -E "^(Rx|Tx)" "$work/instrument.txt" | tail -n 1)
  case "$last" in
  Tx*) ;;
  *) fail "the instrument's last message went unanswered: $last" ;;
  esac
}

# Runs orvent-update without a terminal, as a service or a script started without one
# runs it; its status in $status, its output in out.txt and err.txt.
run_cli() {
  set +e
  setsid "$cli" "$@" </dev/null >"$work/out.txt" 2>"$work/err.txt"
  status=$?
  set -e
}

# The same on a terminal, its question answered there with one line; what the terminal
# showed in terminal.txt.
run_cli_answering() {
  local answer="$1"
  shift
  job_options=(--stdin /dev/null --stdout "$work/out.txt" --stderr "$work/err.txt")
  start_job "$@"
  wait_text terminal.txt "[y/N]"
  type_keys "$answer\n"
  wait_job
}

expect_status() {
  [ "$status" -eq "$1" ] || fail "exit status $status, expected $1"
}

expect_text() {
  grep -qF -- "$2" "$work/$1" || fail "$1 lacks: $2"
}

# Parses out.txt as the one JSON document it must be, and holds each Python expression
# over it (d) to be true.
expect_json() {
  python3 - "$work/out.txt" "$@" <<'PYTHON' || fail "the JSON document is wrong"
import json, sys
d = json.load(open(sys.argv[1]))
for check in sys.argv[2:]:
    if not eval(check):
        sys.exit("false: " + check + "\n" + json.dumps(d, indent=1))
PYTHON
}

update_over_serial() {
  run_cli update "$file" --serial "$line@38400" --yes "$@"
}

# name: instrument settings | the failure text
faults() {
  case "$1" in
  fault-status) echo "--fault status --fault-at 2 --fault-status 6|Rx Status Error : Checksum Error" ;;
  fault-extended) echo "--fault extended-status --fault-at 1 --fault-status 0x41 --fault-text Flash_busy|Rx Status Error(Exp) : 0x41Flash_busy" ;;
  fault-wrong-code) echo "--fault wrong-code --fault-at 5|Rx Msg Error(Msg Code Error)" ;;
  fault-other-product) echo "--fault other-product --fault-at 4 --other-product-id 3D|Rx Msg Error(Product ID Error)" ;;
  fault-silent) echo "--fault silent-from-packet --fault-at 3|Recieve Error(Timeout)" ;;
  esac
}

case "$case_name" in
update)
  start_instrument --version '*=0.50'
  update_over_serial -v
  expect_status 0
  expect_text err.txt "Tx Set Mode..."
  expect_text err.txt "Tx Packet:  3 (Address: 010C00)"
  # The inquiry before the update shows its exchanges too.
  expect_text err.txt "Tx Inquiry... (Product ID : 3C)"
  expect_text err.txt "Rx Inquiry : Protocol=0 , PacketSize=1024 , Flags=00"
  expect_text err.txt "Tx Version Request... (Type=VOICE , Code=2)"
  expect_text err.txt "Rx Version : 0.50"
  expect_text out.txt "Now Updating...: 100% (12800 of 12800 bytes)"
  expect_text out.txt "  MAIN     (code   1): 1.05 sent"
  expect_text out.txt "  VOICE    (code   2): 2.10 sent"
  expect_text out.txt "ORVENT has been updated to 1.05 successfully."
  expect_text out.txt "Update completed!"
  stop_instrument
  python3 "$source_dir/scripts/check_flash.py" "$file" "$work/flash.bin" 0 >"$work/check.txt" ||
    fail "the flash does not hold the file"
  ;;
fault-*)
  fault=$(faults "$case_name")
  [ -n "$fault" ] || fail "no such fault case"
  # shellcheck disable=SC2086
  start_instrument --version '*=0.50' ${fault%%|*}
  update_over_serial
  expect_status 1
  expect_text err.txt "${fault#*|}"
  if grep -qF "successfully" "$work/out.txt"; then
    fail "a failed update was reported as a success"
  fi
  ;;
current)
  start_instrument --version '1=1.05,2=2.10'
  update_over_serial
  expect_status 0
  expect_text out.txt "Already the latest version."
  if grep -q "^Rx .*packet" "$work/instrument.txt"; then
    fail "packets went to an instrument that had the file"
  fi
  ;;
skip-first)
  # The first block is current: only the second goes out, and only it counts.
  start_instrument --version '1=1.05,2=2.00'
  update_over_serial
  expect_status 0
  expect_text out.txt "  MAIN     (code   1): 1.05 not sent, the instrument has it"
  expect_text out.txt "  VOICE    (code   2): 2.10 sent"
  expect_text out.txt "ORVENT has been updated to 2.10 successfully."
  expect_text out.txt "Now Updating...: 100% (4352 of 4352 bytes)"
  if grep -q "^Now Updating.*of 12800 bytes" "$work/out.txt"; then
    fail "the skipped block counted as sent"
  fi
  ;;
newer)
  start_instrument --version '1=1.06,2=2.10'
  update_over_serial
  expect_status 0
  expect_text out.txt "MAIN     (code   1): file 1.05, instrument 1.06 (newer than the file)"
  expect_text out.txt "The instrument holds a newer version than the file: nothing was sent."
  if grep -qF "Already the latest version." "$work/out.txt"; then
    fail "an instrument with a newer version was called up to date"
  fi
  grep -q "^Rx data packet" "$work/instrument.txt" && fail "packets went out"
  # The command it gives puts the file's version on.
  run_given_command out.txt "To put the file.s older version on it all the same:" \
    "$cli update $file --serial $line@38400 --skip-version-check --yes"
  expect_status 0
  expect_text rerun-out.txt "  MAIN     (code   1): 1.05 sent"
  ;;
no-answer)
  start_instrument --fault no-reply --fault-at 0
  update_over_serial
  expect_status 3
  expect_text err.txt "Failed to recieve data(timeout)."
  expect_text err.txt "ORVENT(in update mode) is not found."
  # Another product answers: which, and how to take it all the same; for a script too.
  stop_instrument
  start_instrument --fault other-product --fault-at 0
  update_over_serial
  expect_status 3
  expect_text err.txt "Another product answered: product id 3D, not 3C."
  expect_text err.txt "give --skip-device-check"
  run_cli version --serial "$line" --product-id 3C --json
  expect_status 1
  expect_json 'd["outcome"] == "other_product"' 'd["other_product_id"] == "3D"'
  ;;
abort)
  # Slow replies keep the transfer going while Ctrl+C is pressed on the terminal. -v with
  # standard error in a file: the questions still show on the terminal.
  start_instrument --version '*=0.50' --reply-delay 100
  job_options=(--stderr "$work/err.txt")
  start_job -v update "$file" --serial "$line" --yes
  wait_packets_above 1
  # The first Ctrl+C pauses after the packet in flight and asks; "n" lets it go on.
  type_keys '\003'
  wait_text terminal.txt "Are you sure to abort to transfer?"
  expect_text terminal.txt "If you abort to transfer,device can't to start up normally."
  # The packet in flight is still acknowledged; then nothing moves until the answer.
  sleep 0.5
  paused=$(packets)
  sleep 0.5
  [ "$(packets)" -eq "$paused" ] || fail "packets went out while the question was asked"
  type_keys 'n\n'
  wait_packets_above "$paused"
  type_keys '\003'
  sleep 0.5
  type_keys '\003'
  wait_job
  expect_status 130
  expect_text err.txt "User aborted."
  expect_text err.txt "Tx Set Mode..."
  if grep -qF "abort to transfer" "$work/err.txt"; then
    fail "the question went to standard error, not to the terminal"
  fi
  expect_last_message_answered
  [ "$(packets)" -lt 12 ] || fail "every packet was sent despite the abort"
  ;;
abort-no-terminal)
  # No terminal to ask on: Ctrl+C is the Stop dialog's Abort, after the packet in flight.
  start_instrument --version '*=0.50' --reply-delay 100
  set +e
  setsid "$cli" update "$file" --serial "$line" --yes </dev/null >"$work/out.txt" \
    2>"$work/err.txt" &
  cli_pid=$!
  set -e
  wait_packets_above 1
  kill -INT "$cli_pid"
  set +e
  wait "$cli_pid"
  status=$?
  set -e
  expect_status 130
  expect_text err.txt "User aborted."
  expect_last_message_answered
  [ "$(packets)" -lt 8 ] || fail "the first block went out whole despite the abort"
  expect_text err.txt "Block MAIN (code 1) was interrupted"
  # The command it gives sends the cut block again, whole: the instrument reports its old
  # version.
  run_given_command err.txt "Send the file again with:" "$cli update $file --serial $line --yes"
  expect_status 0
  expect_text rerun-out.txt "MAIN     (code   1): file 1.05, instrument 0.50 (needs update)"
  expect_text rerun-out.txt "  MAIN     (code   1): 1.05 sent"
  stop_instrument
  python3 "$source_dir/scripts/check_flash.py" "$file" "$work/flash.bin" 0 >"$work/check.txt" ||
    fail "the flash does not hold the file"
  ;;
abort-background)
  # A background job never touches its terminal: Ctrl+C (here by kill, as the terminal
  # sends it only to the foreground) aborts at once, with no question and no stop.
  start_instrument --version '*=0.50' --reply-delay 100
  job_options=(--background --stdout "$work/out.txt" --stderr "$work/err.txt")
  start_job update "$file" --serial "$line" --yes
  wait_packets_above 1
  kill -INT "$job_pid"
  for _ in $(seq 200); do
    kill -0 "$job_pid" 2>/dev/null || break
    sleep 0.05
  done
  if kill -0 "$job_pid" 2>/dev/null; then
    fail "the background job is still there after Ctrl+C, state $(cut -d' ' -f3 "/proc/$job_pid/stat")"
  fi
  wait_job
  expect_status 130
  expect_text err.txt "User aborted."
  [ ! -s "$work/terminal.txt" ] || fail "the background job wrote on its terminal"
  expect_last_message_answered
  ;;
stop-signals)
  # Aborts without a question, with the exit status a shell gives a process the signal
  # ended.
  for signal in HUP:129 TERM:143; do
    start_instrument --version '*=0.50' --reply-delay 100
    set +e
    setsid "$cli" update "$file" --serial "$line" --yes </dev/null >"$work/out.txt" \
      2>"$work/err.txt" &
    cli_pid=$!
    set -e
    wait_packets_above 1
    kill -"${signal%%:*}" "$cli_pid"
    set +e
    wait "$cli_pid"
    status=$?
    set -e
    expect_status "${signal#*:}"
    expect_text err.txt "User aborted."
    stop_instrument
  done
  ;;
confirm)
  # Without --yes the update asks on the terminal, whatever standard input and error are,
  # and waits for its "y"; a "no" is no failure.
  run_cli_answering n update "$file" --rehearse
  expect_status 4
  expect_text err.txt "Nothing was sent."
  expect_text terminal.txt "Update now? [y/N]"
  run_cli_answering y -v update "$file" --rehearse
  expect_status 0
  expect_text out.txt "Rehearsal: block VOICE (code 2) at 0x010000, 4096 bytes: in flash"
  expect_text err.txt "Tx Set Mode..."
  if grep -qF "Update now?" "$work/err.txt" "$work/out.txt"; then
    fail "the question went to standard output or error, not to the terminal"
  fi
  # Without a terminal, or in the background, nobody can answer: refused at once, before
  # the instrument is asked anything.
  start_instrument --version '*=0.50'
  run_cli update "$file" --serial "$line"
  expect_status 2
  expect_text err.txt "give --yes to update without asking"
  job_options=(--background --stdout "$work/out.txt" --stderr "$work/err.txt")
  start_job update "$file" --serial "$line"
  wait_job
  expect_status 2
  expect_text err.txt "give --yes to update without asking"
  [ ! -s "$work/terminal.txt" ] || fail "the background job wrote on its terminal"
  sleep 0.2
  grep -q "^Rx" "$work/instrument.txt" && fail "the instrument was asked before the refusal"
  ;;
rehearse)
  run_cli update "$file" --rehearse --yes --instrument-version 2=2.10 --instrument-write-steps 3
  expect_status 0
  expect_text out.txt "Rehearsal: block MAIN (code 1) at 0x000000, 8192 bytes: in flash"
  expect_text out.txt "Rehearsal: block VOICE (code 2) skipped: the instrument has it."
  run_cli version --rehearse --file "$file" --instrument-version 1=1.00
  expect_status 0
  expect_text out.txt "file 1.05, instrument 1.00 (needs update)"
  run_cli version --rehearse --product-id 3C --instrument-protocol 1 --instrument-flags 3
  expect_status 0
  expect_text out.txt "protocol code 1, packet size 256, raw packets yes, fill packets yes"
  ;;
info)
  run_cli info "$file"
  expect_status 0
  expect_text out.txt "VOICE    (code   2) version 2.10  product 3C member none  address 0x00010000 offset 0x0 size 4096"
  # The second block's header is whole, its data is not; then a file cut inside a header.
  head -c 9000 "$file" >"$work/cut.vsb"
  run_cli info "$work/cut.vsb"
  expect_status 1
  expect_text out.txt "MAIN     (code   1)"
  expect_text err.txt "Filesize Error(shorter than header paramter)."
  head -c 8500 "$file" >"$work/cut.vsb"
  run_cli info "$work/cut.vsb"
  expect_status 1
  expect_text err.txt "Error - Header lengrh is too short."
  head -c 300 /dev/zero >"$work/bad.vsb"
  run_cli info "$work/bad.vsb"
  expect_status 1
  expect_text err.txt "Error - Illegal header string."
  run_cli info "$work/missing.vsb"
  expect_status 1
  expect_text err.txt "File Open Error - $work/missing.vsb"
  [ ! -s "$work/out.txt" ] || fail "info headed a file it could not open"
  ;;
usage)
  run_cli --help
  expect_status 0
  expect_text out.txt "Send a system file to the instrument"
  if [ ! -e /dev/snd ]; then
    run_cli ports
    expect_status 0
    expect_text out.txt "No MIDI port found."
  fi
  # Every command's help offers -v; the rehearsal's settings show no repeat markers.
  for command in info ports version update; do
    run_cli $command --help
    expect_status 0
    expect_text out.txt "-v,--verbose"
  done
  expect_text out.txt "Rehearsal instrument"
  if grep -E -- '--instrument-[a-z-]+ [^ ]+ (\.\.\.|x [0-9])' "$work/out.txt"; then
    fail "a rehearsal setting is shown as repeatable"
  fi
  product_version=$(sed -n 's/^project(OrventUpdater VERSION \([0-9.]*\).*/\1/p' \
    "$source_dir/CMakeLists.txt")
  run_cli --version
  expect_status 0
  [ "$(cat "$work/out.txt")" = "orvent-update $product_version" ] ||
    fail "--version says '$(cat "$work/out.txt")', not the product's $product_version"
  # A bad line, and after | what standard error must say. --yes keeps the confirmation's
  # own refusal out of the way; a missing file shows that the values come first.
  missing="$work/missing.vsb"
  for row in "" "update" "update $file" "update $file --midi hw:9,0 --serial /dev/null" \
    "update $file --serial /dev/null@fast" "version --serial /dev/null" "frobnicate" \
    "update $file --rehearse --instrument-fault meltdown" \
    "update $file --serial /dev/null --instrument-version 1=1.00" \
    "bogus|no command 'bogus'; commands: info, ports, version, update" \
    "-v bogus $file --yes|no command 'bogus'" \
    "--log $work/update.log bogus|no command 'bogus'" \
    "info $file -q -v|not both" \
    "info $file --log $work/no-folder/update.log|--log $work/no-folder/update.log: No such file" \
    "update $missing --serial /dev/null@fast --yes|--serial: /dev/null@fast: the rate after @ is no bit rate" \
    "update $file --serial /dev/null@0 --yes|the rate after @ is no bit rate" \
    "update $file --serial @38400 --yes|--serial: @38400: no device" \
    "version --product-id 3C:12:34:56 --midi hw:9,0|--product-id: 3C:12:34:56: 1 to 3 hexadecimal bytes" \
    "version --product-id 3G --midi hw:9,0|--product-id: 3G" \
    "ports --probe|--probe: needs --file FILE.vsb or --product-id ID" \
    "ports --product-id 3C|--product-id requires --probe" \
    "version --file $file --product-id 3C --rehearse|excludes" \
    "update $missing --rehearse --yes --instrument-protocol nine|--instrument-protocol: nine: not a value" \
    "update $file --rehearse --yes --instrument-version 1=x|--instrument-version: 1=x" \
    "version --rehearse --product-id 3C --instrument-fault-at soon|--instrument-fault-at: soon"; do
    bad=${row%%|*}
    said=""
    [ "$row" = "$bad" ] || said=${row#*|}
    # shellcheck disable=SC2086
    run_cli $bad
    [ "$status" -eq 2 ] || fail "'$bad' gave exit status $status, expected 2"
    [ ! -s "$work/out.txt" ] || fail "'$bad' showed work before its refusal"
    [ -z "$said" ] || expect_text err.txt "$said"
  done
  run_cli update "$file" --midi hw:9,0 --yes
  expect_status 1
  expect_text err.txt "Midi out port is not exist : hw:9,0"
  ;;
completion)
  script="$source_dir/cli/completion/orvent-update.bash"
  # What the completion offers for the line's last word.
  complete_line() {
    bash -c 'source "$1"; shift; COMP_WORDS=(orvent-update "$@")
      COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _orvent_update; echo "${COMPREPLY[*]}"' \
      _ "$script" "$@"
  }
  expect_offer() {
    local offered
    offered=$(complete_line "${@:2}")
    [ "$offered" = "$1" ] || fail "'${*:2}' completed to '$offered', expected '$1'"
  }
  expect_offer update up
  expect_offer "info ports version update" -v ""
  expect_offer "info ports version update" --log "$file" ""
  expect_offer "$file" update "${file%.vsb}"
  expect_offer "$file" version --rehearse --file "${file%.vsb}"
  expect_offer "status silent-from-packet" update "$file" --rehearse --instrument-fault s
  expect_offer "" update "$file" --instrument-version ""
  # Every option each command's help names, and no other, is offered after the command.
  for command in "" info ports version update; do
    # shellcheck disable=SC2086
    run_cli $command --help
    helped=$(awk '$1 ~ /^-/ { print $1 }' "$work/out.txt" | tr ',' '\n' | sort | xargs)
    # shellcheck disable=SC2086
    offered=$(complete_line $command - | tr ' ' '\n' | sort | xargs)
    [ "$offered" = "$helped" ] ||
      fail "'$command' completes to '$offered'; its help names '$helped'"
  done
  if command -v zsh >/dev/null; then
    zsh -n "$source_dir/cli/completion/_orvent-update" || fail "the zsh completion does not parse"
  fi
  ;;
progress-failure)
  # On a terminal the bar is drawn in place; the failure that ends it has a line of its own.
  start_instrument --version '*=0.50' --fault status --fault-at 2 --fault-status 6
  job_options=()
  start_job update "$file" --serial "$line" --yes
  wait_job
  expect_status 1
  expect_text terminal.txt "KiB"
  # What the terminal shows: every redraw of the line apart, the clearing taken out.
  sed 's/\x1b\[K//g' "$work/terminal.txt" | tr '\r' '\n' >"$work/shown.txt"
  grep -qx "Rx Status Error : Checksum Error" "$work/shown.txt" ||
    fail "the failure has no line of its own"
  if grep "Rx Status Error" "$work/shown.txt" | grep -q "KiB"; then
    fail "the failure was painted into the progress line"
  fi
  ;;
progress-stop)
  # Stopped by Ctrl+Z for six seconds mid-transfer: the rate afterwards is about what it
  # was before, not what six idle seconds would make of it.
  start_instrument --version '*=0.50' --reply-delay 200
  job_options=()
  start_job update "$file" --serial "$line" --yes
  await_packet 6 || true
  shown_before=$(wc -c <"$work/terminal.txt")
  type_keys '\032'
  sleep 0.5
  [ "$(cut -d' ' -f3 "/proc/$job_pid/stat")" = T ] || fail "Ctrl+Z did not stop the program"
  sleep 6
  kill -CONT "$job_pid"
  wait_job
  expect_status 0
  rate_before=$(head -c "$shown_before" "$work/terminal.txt" | grep -ao '[0-9.]* KiB/s' | tail -n 1)
  rate_after=$(grep -ao '[0-9.]* KiB/s' "$work/terminal.txt" | tail -n 1)
  [ -n "$rate_before" ] || fail "no rate was shown before the stop"
  awk -v before="${rate_before% *}" -v after="${rate_after% *}" \
    'BEGIN { exit !(after >= 0.6 * before) }' ||
    fail "the rate fell from $rate_before to $rate_after over the stop"
  ;;
usb)
  run_cli ports
  expect_status 0
  if grep -qF "USB bulk: update device found" "$work/out.txt"; then
    echo "PASSED: $case_name (not checked: an update device is attached)"
    exit 0
  fi
  expect_text out.txt "No USB bulk update device found."
  run_cli version --usb --product-id 3C
  expect_status 1
  expect_text err.txt "Usb Open Error!(Can't find VerUp Device)"
  run_cli update "$file" --usb --rehearse --yes
  expect_status 2
  ;;
rerun-*)
  # The reply to data packet 1 (message 8, after two inquiries of two messages each and the
  # update's inquiry, version request, set mode and packet 0) comes late. SIGTERM stops the
  # run while it is due, so it lands in the line after the run has closed it.
  start_instrument --version '*=0.50' --fault delay --fault-at 8 --fault-delay 3000
  set +e
  "$cli" update "$file" --serial "$line" --yes </dev/null >"$work/out.txt" 2>"$work/err.txt" &
  cli_pid=$!
  await_packet 1 || true
  kill -TERM "$cli_pid"
  wait "$cli_pid"
  status=$?
  set -e
  expect_status 143
  grep -q "^Rx data packet 1," "$work/instrument.txt" || fail "packet 1 never came"
  if grep -q "^Rx data packet 2," "$work/instrument.txt"; then
    fail "packet 1 was answered before the stop: nothing late was left"
  fi
  answered() { [ "$(grep -c "^Tx" "$work/instrument.txt")" -eq "$(grep -c "^Rx" "$work/instrument.txt")" ]; }
  for _ in $(seq 300); do
    answered && break
    sleep 0.05
  done
  answered || fail "the late reply was never written"
  if [ "$case_name" = rerun-version ]; then
    run_cli version --serial "$line" --product-id 3C
    expect_status 0
    expect_text out.txt "answered: protocol code 0, packet size 1024, raw packets no, fill packets no"
  else
    # The stopped run cut the first block: the instrument still reports its old version,
    # and a plain rerun sends it again, whole.
    update_over_serial
    expect_status 0
    expect_text out.txt "MAIN     (code   1): file 1.05, instrument 0.50 (needs update)"
    expect_text out.txt "ORVENT has been updated to 1.05 successfully."
    stop_instrument
    python3 "$source_dir/scripts/check_flash.py" "$file" "$work/flash.bin" 0 >"$work/check.txt" ||
      fail "the flash does not hold the file"
  fi
  ;;
shared-file)
  # The first instrument answers slowly, so its update still sends the file while info
  # reads it and a second instrument's update sends it too.
  start_instrument --version '*=0.50' --reply-delay 100
  first_line="$line"
  "$instrument_tool" --packet-size 1024 --block-address 1=0,2=0x10000 --version '*=0.50' \
    --flash-dump "$work/flash2.bin" --flash-range 0:0x11000 >"$work/instrument2.txt" 2>&1 &
  second_pid=$!
  trap 'stop_instrument; kill -TERM "$second_pid" 2>/dev/null || true; wait "$second_pid" 2>/dev/null || true' EXIT
  await_line "$work/instrument2.txt"
  second_line="$line"
  set +e
  "$cli" update "$file" --serial "$first_line" --yes </dev/null >"$work/out1.txt" 2>"$work/err1.txt" &
  first_cli=$!
  set -e
  await_packet 0 || fail "the first update sent nothing"
  run_cli info "$file"
  expect_status 0
  expect_text out.txt "VOICE    (code   2) version 2.10"
  run_cli update "$file" --serial "$second_line" --yes
  expect_status 0
  expect_text out.txt "ORVENT has been updated to 1.05 successfully."
  kill -0 "$first_cli" 2>/dev/null || fail "the first update was over before the second one ended"
  set +e
  wait "$first_cli"
  status=$?
  set -e
  expect_status 0
  expect_text out1.txt "ORVENT has been updated to 1.05 successfully."
  stop_instrument
  kill -TERM "$second_pid"
  wait "$second_pid" || true
  for flash in flash.bin flash2.bin; do
    python3 "$source_dir/scripts/check_flash.py" "$file" "$work/$flash" 0 >"$work/check.txt" ||
      fail "$flash does not hold the file"
  done
  ;;
gone)
  # The cable pulled mid-run: the line hangs up while the instrument owes a reply.
  start_instrument --version '*=0.50' --reply-delay 200
  set +e
  "$cli" update "$file" --serial "$line" --yes </dev/null >"$work/out.txt" 2>"$work/err.txt" &
  cli_pid=$!
  await_packet 1 || true
  kill -KILL "$instrument_pid"
  gone_at=$(date +%s%N)
  wait "$cli_pid"
  status=$?
  set -e
  took_ms=$((($(date +%s%N) - gone_at) / 1000000))
  expect_status 1
  # A loaded machine may pull the cable only once the reply came and the next packet is on
  # its way: the send fails then instead of the wait. Either way the user is told why.
  grep -qE "Recieve Error|Transmit Error" "$work/err.txt" || fail "err.txt names no failed exchange"
  expect_text err.txt "The instrument went away: Input/output error"
  # Far below the ten seconds a silent instrument is given.
  [ "$took_ms" -lt 5000 ] || fail "the run took $took_ms ms to end after the line hung up"
  # The same while version waits for the inquiry's reply: gone, not timed out.
  start_instrument --reply-delay 3000
  set +e
  "$cli" version --serial "$line" --file "$file" </dev/null >"$work/out.txt" 2>"$work/err.txt" &
  cli_pid=$!
  for _ in $(seq 500); do
    grep -q "^Rx" "$work/instrument.txt" && break
    sleep 0.02
  done
  kill -KILL "$instrument_pid"
  wait "$cli_pid"
  status=$?
  set -e
  expect_status 1
  expect_text err.txt "The instrument went away: Input/output error"
  if grep -qF "timeout" "$work/err.txt"; then
    fail "an instrument that went away was taken for a silent one"
  fi
  ;;
json)
  # Scripts get one document on standard output; the text goes to standard error.
  run_cli info "$file" --json
  expect_status 0
  expect_json 'd["command"] == "info"' '[b["name"] for b in d["blocks"]] == ["MAIN", "VOICE"]' \
    'd["blocks"][1]["version"] == "2.10" and d["blocks"][1]["address"] == 0x10000' \
    'd["exit_status"] == 0'
  expect_text err.txt "VOICE    (code   2)"
  run_cli --json ports
  expect_status 0
  expect_json 'isinstance(d["midi_ports"], list) and isinstance(d["serial_devices"], list)' \
    'd["usb_update_device"]["found"] in (True, False)'
  start_instrument --version '1=1.05,2=0.50'
  run_cli version --serial "$line" --file "$file" --json
  expect_status 0
  expect_json '[b["state"] for b in d["blocks"]] == ["current", "needs_update"]' \
    'd["blocks"][1]["instrument_version"] == "0.50"' 'd["instrument"]["packet_size"] == 1024'
  # -q: nothing on standard error after a success; the log has every row, with its time.
  run_cli update "$file" --serial "$line" --yes --json -q --log "$work/update.log"
  expect_status 0
  expect_json 'd["outcome"] == "completed" and d["exit_status"] == 0' \
    '[b["result"] for b in d["blocks"]] == ["skipped", "sent"]'
  [ ! -s "$work/err.txt" ] || fail "-q wrote more than errors"
  stamp='^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3} '
  for row in "Tx Set Mode\.\.\.$" "Tx Packet: +3 " "Tx hex: F0 42 23 3C( [0-9A-F]{2})+ F7$" \
    "Rx hex: F0 42 23 3C( [0-9A-F]{2})+ F7$" "ORVENT has been updated to 2\.10 successfully\.$"; do
    grep -qE "$stamp$row" "$work/update.log" || fail "the log lacks a timed row: $row"
  done
  stop_instrument
  # A failure: its exit status, and the block it cut, in the document; -vv shows the hex.
  start_instrument --version '*=0.50' --fault status --fault-at 2 --fault-status 6
  run_cli -vv update "$file" --serial "$line" --yes --json
  expect_status 1
  expect_json 'd["outcome"] == "failed" and d["exit_status"] == 1' \
    '[b["result"] for b in d["blocks"]] == ["interrupted", "not_sent"]' \
    '"Rx Status Error : Checksum Error" in d["errors"]'
  grep -qE "^Tx hex: F0 42 23 3C( [0-9A-F]{2})+ F7$" "$work/err.txt" || fail "-vv: no message sent"
  grep -qE "^Rx hex: F0 42 23 3C( [0-9A-F]{2})+ F7$" "$work/err.txt" || fail "-vv: no message received"
  ;;
errors)
  # A device that is not there.
  run_cli version --serial "$work/no-such-tty" --product-id 3C
  expect_status 1
  expect_text err.txt "Comm Port Open Error!(CreateFile)"
  expect_text err.txt "No such file or directory: see orvent-update ports"
  run_cli version --midi hw:99,0 --product-id 3C
  expect_status 1
  expect_text err.txt "port is not exist : hw:99,0"
  expect_text err.txt "No such device: see orvent-update ports"
  # A line another program holds: which one (the instrument holds its end of the line as
  # well). The sleep keeps the line open with the lock this program asks for.
  start_instrument
  (
    exec 7<"$line"
    flock 7
    exec sleep 60
  ) >/dev/null 2>&1 &
  holder_pid=$!
  for _ in $(seq 100); do
    [ "$(cat "/proc/$holder_pid/comm" 2>/dev/null)" = sleep ] && ! flock -n "$line" true && break
    sleep 0.05
  done
  run_cli version --serial "$line" --product-id 3C
  kill -TERM "$holder_pid" 2>/dev/null || true
  wait "$holder_pid" 2>/dev/null || true
  expect_status 1
  expect_text err.txt "Comm Port Open Error!(CreateFile)"
  expect_text err.txt "Device or resource busy: held by PID"
  expect_text err.txt "PID $holder_pid (sleep)"
  # System files that are no file, or none.
  mkdir "$work/folder.vsb"
  run_cli info "$work/folder.vsb"
  expect_status 1
  expect_text err.txt "File Open Error - $work/folder.vsb (a folder, not a file)"
  run_cli update "$work/missing.vsb" --rehearse --yes
  expect_status 1
  expect_text err.txt "File Open Error - $work/missing.vsb (no such file)"
  ;;
probe | auto)
  # More instruments, each on a line of its own: its line in $line.
  extra_pids=()
  trap 'stop_instrument; for p in "${extra_pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done' EXIT
  start_extra_instrument() {
    local log="$work/instrument-$1.txt"
    shift
    "$instrument_tool" --packet-size 1024 "$@" >"$log" 2>&1 &
    extra_pids+=($!)
    await_line "$log"
  }
  # The program's /dev and /sys: ttyUSB0, ttyUSB1, ... for the lines given; ttyUSB0 is an
  # adapter with a by-id name and USB ids.
  fake_devices() {
    local usb="$work/sys/devices/pci0/usb1/1-1" n=0 device
    rm -rf "$work/dev" "$work/sys"
    mkdir -p "$work/dev/serial/by-id" "$usb/1-1:1.0/ttyUSB0" "$work/sys/class/tty/ttyUSB0"
    echo 0403 >"$usb/idVendor"
    echo 6001 >"$usb/idProduct"
    ln -s ../../../devices/pci0/usb1/1-1/1-1:1.0/ttyUSB0 "$work/sys/class/tty/ttyUSB0/device"
    ln -s ../../ttyUSB0 "$work/dev/serial/by-id/usb-Test_Adapter_A1-if00-port0"
    for device in "$@"; do
      ln -s "$device" "$work/dev/ttyUSB$n"
      n=$((n + 1))
    done
  }
  export ORV_DEV_ROOT="$work/dev" ORV_SYS_ROOT="$work/sys"
  dev="$work/dev"
  start_instrument --version '*=0.50'
  orvent="$line"
  # An instrument of another product keeps quiet at the port inquiry.
  start_extra_instrument other --product-id 3D
  other="$line"
  if [ "$case_name" = probe ]; then
    start_extra_instrument held
    fake_devices "$orvent" "$other" "$line"
    (
      exec 7<"$line"
      flock 7
      exec sleep 60
    ) >/dev/null 2>&1 &
    holder_pid=$!
    extra_pids+=("$holder_pid")
    for _ in $(seq 100); do
      [ "$(cat "/proc/$holder_pid/comm" 2>/dev/null)" = sleep ] && ! flock -n "$line" true && break
      sleep 0.05
    done
    started=$(date +%s%N)
    run_cli ports --probe --file "$file"
    took_ms=$((($(date +%s%N) - started) / 1000000))
    expect_status 0
    expect_text out.txt "  $dev/ttyUSB0  USB 0403:6001  $dev/serial/by-id/usb-Test_Adapter_A1-if00-port0"
    expect_text out.txt "$dev/ttyUSB0  answered: product 3C member none, protocol code 0, packet size 1024"
    expect_text out.txt "$dev/ttyUSB1  no answer"
    expect_text out.txt "$dev/ttyUSB2  busy (Device or resource busy: held by"
    # The instrument at the far end may hold the line too while it sets it up.
    expect_text out.txt "PID $holder_pid (sleep)"
    # Far below the ten seconds the serial line gives a reply.
    [ "$took_ms" -lt 4000 ] || fail "the probe took $took_ms ms"
    run_cli ports --probe --product-id 3C --json
    expect_status 0
    expect_json 'd["serial_devices"][0]["usb_id"] == "0403:6001"' \
      'd["serial_devices"][0]["by_id"].endswith("/usb-Test_Adapter_A1-if00-port0")' \
      '[(p["result"], p.get("packet_size")) for p in d["probe"]["ports"] if p["kind"] == "serial"] == [("answered", 1024), ("no_answer", None), ("busy", None)]'
    fake_devices "$other"
    run_cli ports --probe --product-id 3C
    expect_status 3
    expect_text err.txt "No instrument answered the port inquiry."
  else
    fake_devices "$other" "$orvent"
    run_cli update "$file" --serial auto --yes
    expect_status 0
    expect_text out.txt "--serial auto: the instrument answers on $dev/ttyUSB1."
    expect_text out.txt "ORVENT has been updated to 1.05 successfully."
    fake_devices "$other"
    run_cli version --file "$file" --serial auto
    expect_status 3
    expect_text err.txt "--serial auto: no instrument of product 3C answered on any serial device:"
    expect_text err.txt "$dev/ttyUSB0  no answer"
    start_extra_instrument second --version '*=0.50'
    fake_devices "$orvent" "$line"
    run_cli update "$file" --serial auto --yes
    expect_status 2
    expect_text err.txt "--serial auto: 2 instruments of product 3C answered; name one with --serial:"
    expect_text err.txt "$dev/ttyUSB1  answered: product 3C"
    grep -q "^Rx data packet" "$work/instrument-second.txt" && fail "packets went out"
    stop_instrument
    python3 "$source_dir/scripts/check_flash.py" "$file" "$work/flash.bin" 0 >"$work/check.txt" ||
      fail "the flash does not hold the file"
  fi
  ;;
*)
  fail "no such case: $case_name"
  ;;
esac
echo "PASSED: $case_name"
