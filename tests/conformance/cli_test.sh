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
if "$decode" "$work/missing.m4v" -o "$work/x.yuv" 2> "$work/err.txt"; then fail "missing file accepted"; fi
grep -q "cannot open" "$work/err.txt" || fail "no message for a missing file"
if "$decode" 2> /dev/null; then fail "no arguments accepted"; fi
echo "cli_test: ok"
