#!/usr/bin/env bash
# velmora-jpeg from the command line: conversions, a multi-picture file built
# and read back picture by picture, and the exit codes and messages of
# mistakes. Usage: tool_test.sh PATH/TO/velmora-jpeg
set -u
tool=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
expect_code() {  # code, command...
  local want=$1; shift
  "$@" >"$work/out" 2>"$work/err"
  local got=$?
  [ "$got" -eq "$want" ] || fail "$* exited $got, expected $want: $(cat "$work/err")"
}

# A 64 x 32 24-bit BMP from ffmpeg's test source.
ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc2=s=64x32 -frames:v 1 -pix_fmt bgr24 \
  "$work/in.bmp" || fail "cannot make the test picture with ffmpeg"

expect_code 0 "$tool" to-jpeg "$work/in.bmp" "$work/a.jpg" --quality 10
expect_code 0 "$tool" to-jpeg "$work/in.bmp" "$work/b.jpg"
expect_code 0 "$tool" to-bmp "$work/a.jpg" "$work/a.bmp"
grep -q "64 x 32" "$work/out" || fail "to-bmp did not report the size: $(cat "$work/out")"
[ "$(stat -c %s "$work/a.bmp")" -eq $((54 + 64 * 32 * 3)) ] || fail "a.bmp has the wrong size"
expect_code 0 "$tool" to-bmp "$work/a.jpg" "$work/half.bmp" --scale 1
grep -q "32 x 16" "$work/out" || fail "scaled size wrong: $(cat "$work/out")"
expect_code 0 "$tool" reencode "$work/a.jpg" "$work/tall.jpg" --double
expect_code 0 "$tool" to-bmp "$work/tall.jpg" "$work/tall.bmp"
grep -q "64 x 64" "$work/out" || fail "doubled size wrong: $(cat "$work/out")"

# Multi-picture file: two pictures, each decoded through its offset.
expect_code 0 "$tool" append "$work/multi" "$work/a.jpg"
expect_code 0 "$tool" append "$work/multi" "$work/b.jpg"
expect_code 0 "$tool" list "$work/multi"
[ "$(wc -l < "$work/out")" -eq 2 ] || fail "list shows $(wc -l < "$work/out") pictures"
expect_code 0 "$tool" to-bmp "$work/multi" "$work/m1.bmp" --picture 1
expect_code 0 "$tool" to-bmp "$work/b.jpg" "$work/b.bmp"
cmp -s "$work/m1.bmp" "$work/b.bmp" || fail "picture 1 of the file differs from b.jpg"
expect_code 1 "$tool" to-bmp "$work/multi" "$work/m9.bmp" --picture 9
grep -q "holds 2 pictures" "$work/err" || fail "no count message: $(cat "$work/err")"

# Mistakes: exit 1 with the reason and the code, exit 2 for usage.
expect_code 1 "$tool" to-bmp "$work/missing.jpg" "$work/x.bmp"
grep -q "cannot open the source (code -10)" "$work/err" || fail "message: $(cat "$work/err")"
expect_code 1 "$tool" to-bmp "$work/in.bmp" "$work/x.bmp"
grep -q "not a JPEG file" "$work/err" || fail "message: $(cat "$work/err")"
expect_code 1 "$tool" to-jpeg "$work/a.jpg" "$work/x.jpg"
grep -q "not a BMP file" "$work/err" || fail "message: $(cat "$work/err")"
expect_code 2 "$tool" to-jpeg "$work/in.bmp" "$work/x.jpg" --quality many
expect_code 2 "$tool" frobnicate
expect_code 2 "$tool"
grep -qi "usage:" "$work/err" || fail "no usage text"
echo "velmora-jpeg: all checks passed"
