#!/bin/sh
# Records the traces in this folder again, from the simulated meter and from
# the meter on the emulated USB bus, after a change to the wire traffic that
# was meant. Then prints what changed in the traffic (times left out); commit
# the new traces with the change that explains them.
#
#   tests/replay/record.sh [BUILD_DIR]      (default build/dev, built)
#
# Each scenario leaves NAME.trace and NAME.outcome (the firmware file, the exit
# status and the outcome line the replay must end with).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../../build/dev}" && pwd)
cli=$build/src/cli/quorvel-cli
samples=$build/samples
host=$build/tests/usbtmc/quorvel_usbtmc_meter_host
before=$(mktemp -d)
trap 'rm -rf "$before"' EXIT
cp "$here"/*.trace "$before"/ 2>/dev/null || true

# record NAME FILE INTERRUPT COMMAND...: runs the update, pressing Ctrl+C once
# the first frames went out when INTERRUPT is "ctrl-c".
record() {
  name=$1 file=$2 interrupt=$3
  shift 3
  out=$(mktemp)
  "$@" --trace "$here/$name.trace" update "$samples/$file" >"$out" 2>/dev/null &
  pid=$!
  if [ "$interrupt" = ctrl-c ]; then
    until grep -q "Progress: [1-9]" "$out" || ! kill -0 $pid 2>/dev/null; do sleep 0.01; done
    # Under the meter's host the tool is the host's child.
    target=$(pgrep -P $pid || echo $pid)
    kill -INT $target 2>/dev/null || true
  fi
  status=0
  wait $pid || status=$?
  printf 'file %s\nexit %s\n%s\n' "$file" "$status" "$(tail -n 1 "$out")" >"$here/$name.outcome"
  rm -f "$out"
  echo "$name: exit $status, $(tail -n 1 "$here/$name.outcome")"
}

sim() { record "sim-$1" "$2" "$3" "$cli" --visa "sim${4:+:$4}" --time-scale "${5:-0.01}"; }
sim single-image dsp-newer.bin - ""
sim package package-3.pak - ""
sim refused-file dsp-older.bin - ""
sim checksum-error dsp-newer.bin - status1=2
sim lost-meter dsp-newer.bin - return=0
sim ctrl-c dsp-newer.bin ctrl-c "" 0.2

# The emulated bus needs umockdev's preload; its meter keeps real time.
if [ -x "$host" ]; then
  usb() {
    record "usb-$1" "$2" "$3" env LD_PRELOAD=libumockdev-preload.so.0 "$host" \
      --knobs "reenumerate_ms=300${4:+,$4}" -- "$cli" --visa usbtmc
  }
  usb single-image dsp-newer.bin - ""
  usb package package-3.pak - ""
  usb refused-file dsp-older.bin - ""
  usb checksum-error dsp-newer.bin - status1=2
  usb lost-meter dsp-newer.bin - return=0
  usb ctrl-c dsp-newer.bin ctrl-c ""
else
  echo "no $host: the emulated-bus traces were left as they are" >&2
fi

# What changed in the wire traffic: the calls, their arguments and results.
wire() { sed -e '/^#/d' -e 's/.* ## //' -e 's/ at=[0-9]* took=[0-9]*//' "$1"; }
for trace in "$here"/*.trace; do
  old="$before/$(basename "$trace")"
  [ -f "$old" ] || { echo "new: $(basename "$trace")"; continue; }
  wire "$old" >"$before/old.txt"
  wire "$trace" >"$before/new.txt"
  diff -u --label "$(basename "$trace") before" --label "$(basename "$trace") now" \
    "$before/old.txt" "$before/new.txt" || true
done
