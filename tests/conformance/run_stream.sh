#!/usr/bin/env bash
# run_stream.sh STREAMS_FILE NAME WORK_DIR VELMORA_DECODE YUV_COMPARE
#
# Makes the conformance stream NAME of STREAMS_FILE with ffmpeg, decodes it
# with velmora-decode and with ffmpeg (one thread) to I420, and compares the
# two decodings. Exits non-zero when the stream cannot be made or decoded,
# or when the decodings differ beyond the limits.
set -euo pipefail
set -f  # options hold filter expressions, not file patterns
streams=$1 name=$2 work=$3 decode=$4 compare=$5

line=$(grep -E "^${name}[[:space:]]*\|" "$streams" | head -1)
if [ -z "$line" ]; then
  echo "conformance: no stream named $name" >&2
  exit 2
fi
IFS='|' read -r _ size source frames options <<<"$line"
size=$(echo $size) source=$(echo $source) frames=$(echo $frames)
width=${size%x*} height=${size#*x}

mkdir -p "$work"
stream="$work/$name.m4v"
# shellcheck disable=SC2086
ffmpeg -nostdin -loglevel error -y -f lavfi -i "$source=size=$size:rate=30" -frames:v "$frames" \
  -pix_fmt yuv420p $options -f m4v "$stream"
ffmpeg -nostdin -loglevel error -y -threads 1 -i "$stream" -fps_mode passthrough -f rawvideo -pix_fmt yuv420p "$work/$name.ref.yuv"
"$decode" "$stream" -o "$work/$name.out.yuv"
echo -n "$name: "
"$compare" "$work/$name.out.yuv" "$work/$name.ref.yuv" "$width" "$height" 45 40
