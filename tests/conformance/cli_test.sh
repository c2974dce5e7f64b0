#!/usr/bin/env bash
# cli_test.sh VELMORA_DECODE CLIP WORK_DIR
#
# velmora-decode as a user meets it: the size and frame count it prints, the
# I420 output and one BMP per frame, and a clear message with a non-zero exit
# for input it cannot decode.
set -euo pipefail
decode=$1 clip=$2 work=$3
rm -rf "$work"
mkdir -p "$work/bmp"
fail() { echo "cli_test: $*" >&2; exit 1; }

out=$("$decode" "$clip" -o "$work/out.yuv" --bmp "$work/bmp")
[ "$out" = "352x240 90 frames" ] || fail "unexpected summary: $out"
[ "$(stat -c %s "$work/out.yuv")" -eq $((352 * 240 * 3 / 2 * 90)) ] || fail "wrong I420 size"
[ "$(ls "$work/bmp" | wc -l)" -eq 90 ] || fail "wrong BMP count"
bmp="$work/bmp/frame_00000.bmp"
[ "$(head -c 2 "$bmp")" = "BM" ] || fail "not a BMP"
[ "$(stat -c %s "$bmp")" -eq $((54 + 352 * 3 * 240)) ] || fail "wrong BMP size"

head -c 5000 /dev/urandom > "$work/noise.m4v"
if "$decode" "$work/noise.m4v" -o "$work/noise.yuv" 2> "$work/err.txt"; then fail "noise decoded"; fi
grep -q "velmora-decode: .*noise.m4v" "$work/err.txt" || fail "no message for noise: $(cat "$work/err.txt")"
# A layer announcing GMC brightness change, which is not decoded: refused
# as a whole, no output file, the tool named.
printf '\x00\x00\x01\x20\x00\xc8\x88\x80\x0f\x50\x58\x41\x21\x60\x48\xc1\x00\x00\x01\xb6\x10\x60\x80' \
  > "$work/gmc_brightness.m4v"
cat "$clip" "$work/gmc_brightness.m4v" > "$work/late_gmc_brightness.m4v"
for f in gmc_brightness late_gmc_brightness; do
  if "$decode" "$work/$f.m4v" -o "$work/$f.yuv" 2> "$work/err.txt"; then fail "$f decoded"; fi
  [ ! -e "$work/$f.yuv" ] || fail "$f: an output file was written"
  grep -q "velmora-decode: .*$f.m4v.*brightness change" "$work/err.txt" || fail "$f: tool not named: $(cat "$work/err.txt")"
done
if "$decode" "$work/missing.m4v" -o "$work/x.yuv" 2> "$work/err.txt"; then fail "missing file accepted"; fi
grep -q "cannot open" "$work/err.txt" || fail "no message for a missing file"
if "$decode" 2> /dev/null; then fail "no arguments accepted"; fi
echo "cli_test: ok"
