#!/usr/bin/env bash
# qorhost.exe (under Wine) reads the tag Counter of the Linux build's
# simulated controller over loopback and must print it as 123456.
#   qorhost-read.sh EIPSIM WINE-RUN QORHOST.EXE
set -euo pipefail
eipsim=$1 wine=$2 qorhost=$3
if [ ! -x "$eipsim" ]; then
  echo "SKIP: no Linux simulator at $eipsim (build it: cmake --build build --target eipsim)"
  exit 0
fi
dir=$(mktemp -d)
sim=
cleanup() {
  [ -n "$sim" ] && kill "$sim" 2>/dev/null && wait "$sim" 2>/dev/null
  rm -rf "$dir"
}
trap cleanup EXIT
mkfifo "$dir/ready"
"$eipsim" --port 0 >"$dir/ready" 2>"$dir/sim.log" &
sim=$!
exec {fd}<"$dir/ready"
IFS= read -r -t 20 -u "$fd" line || { echo "the simulator did not start"; cat "$dir/sim.log"; exit 1; }
port=${line##*:}
out=$("$wine" "$qorhost" read --device "127.0.0.1:$port" --wait 30 Counter 2>"$dir/host.log") || {
  echo "qorhost.exe failed:"; cat "$dir/host.log"; exit 1; }
echo "$out"
case "$out" in
  *'"Counter":123456'*) echo "Counter read as 123456" ;;
  *) echo "Counter was not 123456"; cat "$dir/host.log"; exit 1 ;;
esac
# Three elements of an array from element 2, one packet, names numbered from 1.
out=$("$wine" "$qorhost" read --device "127.0.0.1:$port" --wait 30 --number 3 --format csv 'Counts[2]' \
      2>"$dir/host.log") || { echo "qorhost.exe failed:"; cat "$dir/host.log"; exit 1; }
echo "$out"
for expected in 'Counts21,3' 'Counts22,4' 'Counts23,5'; do
  case "$out" in
    *"$expected"*) ;;
    *) echo "missing $expected"; exit 1 ;;
  esac
done
