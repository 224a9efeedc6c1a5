#!/usr/bin/env bash
# Times `tambrino stretch` from file to file against SoundTouch's soundstretch
# (ffmpeg | soundstretch for MP3) on the same 150 s stereo song, fine mode at
# its defaults, tempos 0.75 and 1.25, interleaved in one run; then a batch of
# four such songs with --jobs 2 against --jobs 1. Prints the best wall time of
# each row over the runs and the ratios (above 1: tambrino is faster).
# Needs the built jar (build/java/tambrino.jar or $TAMBRINO_JAR), soundstretch,
# ffmpeg and lame. Usage: scripts/bench-tool.sh [RUNS] (default 3).
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-3}
tambrino=$PWD/bin/tambrino
for tool in soundstretch ffmpeg lame; do
  if ! command -v "$tool" >/dev/null; then
    echo "bench-tool: $tool is not installed: the tool's rows are skipped" >&2
    exit 0
  fi
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Two voices of decaying notes and pink noise: material that keeps both peers busy.
ffmpeg -v error -f lavfi -i "aevalsrc='0.3*sin(2*PI*(220+20*floor(t*2))*t)*exp(-3*mod(t,0.5))+0.2*sin(2*PI*330*t+sin(t))|0.3*sin(2*PI*(277+15*floor(t*3))*t)*exp(-2*mod(t,0.33))+0.2*sin(2*PI*440*t)':s=44100:d=150" \
  -f lavfi -i "anoisesrc=c=pink:a=0.05:d=150:r=44100" \
  -filter_complex "[1]aformat=channel_layouts=stereo[n];[0][n]amix=inputs=2:normalize=0" \
  -c:a pcm_s16le "$work/song.wav"
lame --quiet -b 192 "$work/song.wav" "$work/song.mp3"

declare -A best
rows=()
# time_row LABEL COMMAND...: keeps the best wall time of LABEL.
time_row() {
  local label=$1 start end t
  shift
  start=$(date +%s.%N)
  "$@" >/dev/null 2>"$work/err" || { echo "bench-tool: $label failed:" >&2; cat "$work/err" >&2; exit 4; }
  end=$(date +%s.%N)
  t=$(echo "$end - $start" | bc)
  if [ -z "${best[$label]:-}" ]; then
    rows+=("$label")
    best[$label]=$t
  elif (( $(echo "$t < ${best[$label]}" | bc) )); then
    best[$label]=$t
  fi
}

for _ in $(seq "$runs"); do
  for tempo in 0.75 1.25; do
    percent=$(printf '%.0f' "$(echo "($tempo - 1) * 100" | bc -l)")
    time_row "soundstretch WAV $tempo" soundstretch "$work/song.wav" "$work/ss.wav" -tempo="$percent"
    time_row "tambrino WAV $tempo" "$tambrino" stretch "$work/song.wav" "$work/t.wav" --tempo "$tempo"
    time_row "ffmpeg|soundstretch MP3 $tempo" bash -c \
      'ffmpeg -v error -i "$1" -f wav - | soundstretch stdin "$2" -tempo="$3"' - "$work/song.mp3" "$work/ss.wav" "$percent"
    time_row "tambrino MP3 $tempo" "$tambrino" stretch "$work/song.mp3" "$work/t.wav" --tempo "$tempo"
  done
done

echo "Tool end to end, 150 s stereo, fine mode at its defaults, best of $runs ($(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')):"
for row in "${rows[@]}"; do
  printf '  %-32s %6.2f s\n' "$row" "${best[$row]}"
done
for tempo in 0.75 1.25; do
  printf '  tempo %s: tambrino against soundstretch %.2f x (WAV), %.2f x (MP3; target 1.0 x)\n' "$tempo" \
    "$(echo "${best["soundstretch WAV $tempo"]} / ${best["tambrino WAV $tempo"]}" | bc -l)" \
    "$(echo "${best["ffmpeg|soundstretch MP3 $tempo"]} / ${best["tambrino MP3 $tempo"]}" | bc -l)"
done

mkdir -p "$work/batch"
for i in 1 2 3 4; do
  ln -s "$work/song.mp3" "$work/batch/song$i.mp3"
done
for _ in $(seq "$runs"); do
  for jobs in 1 2; do
    time_row "batch jobs $jobs" "$tambrino" stretch "$work"/batch/song?.mp3 --out-dir "$work/out" --jobs "$jobs" --tempo 0.75
  done
done
printf '  four MP3 songs, --out-dir: --jobs 1 %.2f s, --jobs 2 %.2f s: %.2f x (target 1.8 x)\n' \
  "${best["batch jobs 1"]}" "${best["batch jobs 2"]}" "$(echo "${best["batch jobs 1"]} / ${best["batch jobs 2"]}" | bc -l)"
