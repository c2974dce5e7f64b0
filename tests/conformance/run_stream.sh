#!/usr/bin/env bash
# run_stream.sh STREAMS_FILE NAME WORK_DIR VELMORA_DECODE YUV_COMPARE [XVID_DECODE]
#
# Makes the conformance stream NAME of STREAMS_FILE with ffmpeg, decodes it
# with velmora-decode, with ffmpeg (one thread) and, when XVID_DECODE is
# given and the stream's xvidcore column says yes, with xvidcore, all to I420, and compares
# ours with each reference plane by plane and frame by frame against the
# stream's limits (lowest PSNR, largest difference). Options holding " ++ "
# make two streams with the options before and after it, concatenated: a
# video object layer that changes its tools half way. Exits non-zero when
# the stream cannot be made or decoded, or when a comparison fails.
set -euo pipefail
set -f  # options hold filter expressions, not file patterns
streams=$1 name=$2 work=$3 decode=$4 compare=$5 xvid=${6:-}

line=$(grep -E "^${name}[[:space:]]*\|" "$streams" | head -1)
if [ -z "$line" ]; then
  echo "conformance: no stream named $name" >&2
  exit 2
fi
IFS='|' read -r _ size source frames min_db max_diff xvid_use options <<<"$line"
size=$(echo $size) source=$(echo $source) frames=$(echo $frames) min_db=$(echo $min_db) max_diff=$(echo $max_diff)
xvid_use=$(echo $xvid_use)
width=${size%x*} height=${size#*x}

mkdir -p "$work"
stream="$work/$name.m4v"
rm -f "$stream" "$work/$name".*.yuv
part=0
rest="$options"
while :; do
  case "$rest" in
    *" ++ "*) opts=${rest%% ++ *} rest=${rest#* ++ } ;;
    *) opts=$rest rest="" ;;
  esac
  # shellcheck disable=SC2086
  ffmpeg -nostdin -loglevel error -y -f lavfi -i "$source=size=$size:rate=30" -frames:v "$frames" \
    -pix_fmt yuv420p $opts -f m4v "$work/$name.part$part.m4v"
  cat "$work/$name.part$part.m4v" >> "$stream"
  rm -f "$work/$name.part$part.m4v"
  part=$((part + 1))
  [ -n "$rest" ] || break
done

ffmpeg -nostdin -loglevel error -y -threads 1 -i "$stream" -fps_mode passthrough -f rawvideo -pix_fmt yuv420p \
  "$work/$name.ffmpeg.yuv"
"$decode" "$stream" -o "$work/$name.out.yuv" > /dev/null
status=0
echo "$name ($size, limits: >= $min_db dB, max |diff| <= $max_diff)"
"$compare" "$work/$name.out.yuv" "$work/$name.ffmpeg.yuv" "$width" "$height" "$min_db" "$max_diff" ffmpeg || status=1

if [ -z "$xvid" ]; then
  echo "xvidcore: skipped (xvid_decode not built)"
elif [ "$xvid_use" != yes ]; then
  echo "xvidcore: skipped for this stream, ${xvid_use#no: }"
elif "$xvid" "$stream" "$work/$name.xvid.yuv" > /dev/null 2> "$work/$name.xvid.err"; then
  if cmp -s "$work/$name.ffmpeg.yuv" "$work/$name.xvid.yuv"; then
    echo "xvidcore: identical to ffmpeg"
  else
    echo -n "xvidcore differs from ffmpeg: "
    "$compare" "$work/$name.xvid.yuv" "$work/$name.ffmpeg.yuv" "$width" "$height" 0 255 ffmpeg | tail -n 1 || true
  fi
  "$compare" "$work/$name.out.yuv" "$work/$name.xvid.yuv" "$width" "$height" "$min_db" "$max_diff" xvidcore ||
    status=1
else
  echo "xvidcore: skipped for this stream: $(head -c 300 "$work/$name.xvid.err")"
fi
[ $status -eq 0 ] && rm -f "$work/$name".*.yuv
exit $status
