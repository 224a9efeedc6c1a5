#!/usr/bin/env bash
# The quality benchmark: synthesises the test material (a steady tone, a
# sawtooth bass, noise bursts, a panned source, dithered dual mono, drums and a
# short piece of music; 44.1 kHz stereo, 16 bits), stretches it with the
# command-line tool in exact and fine mode and, when installed, with the
# Debian peers `rubberband` (its R2 and R3 engines) and `soundstretch`, for
# comparison only, and prints one table of what each measure reads: the
# measures on the material, then the "ideal rendering" rows (a piece made
# from note events, stretched, against the same notes rendered at the
# target tempo) and a live transposition sweep.
# A benchmark, not a test: nothing here passes or fails.
#
# Environment: TAMBRINO_QUALITY_DIR (work folder, default build/quality),
# TAMBRINO_QUALITY_RUNS (timing runs per engine, the fastest counts; default 3).
set -euo pipefail
cd "$(dirname "$0")/.."

work=${TAMBRINO_QUALITY_DIR:-build/quality}
runs=${TAMBRINO_QUALITY_RUNS:-3}

# The programs compared, which are installed, and stretch (one run of each).
source scripts/stretchers.sh
prepare_benchmark quality_measure shift_sweep

# figure ENGINE MATERIAL TEMPO MEASURE: the measure of that engine's output
# (stretched once and kept), or "–" when the engine is missing or fails.
figure() {
  local engine=$1 material=$2 tempo=$3 what=$4
  local in=$work/in/$material.wav out=$work/out/$engine-$material-$tempo.wav
  if [ "${present[$engine]}" != true ]; then echo "–"; return; fi
  if [ ! -f "$out" ] && ! stretch "$engine" "$in" "$out" "$tempo"; then
    if [ "$engine" = exact ] && [[ $tempo == *:* ]]; then echo "–"; else echo "failed"; fi
    return
  fi
  local v
  v=$($measure "$what" "$in" "$out" "$tempo") || { echo "failed"; return; }
  local format
  case $what in
    level|flutter|toneerror|pitcherror|softening|preecho|prerise|step) format=%+.2f ;;
    ideal-delay) format=%+.1f ;;
    ideal-*) format=%.2f ;;
    transients|duration|offset) format=%.1f ;;
    *) format=%+.1f ;;
  esac
  show "$format" "$v"
}

# show FORMAT VALUE: a figure that rounds to zero is shown without a sign.
show() { awk -v v="$2" -v f="$1" 'BEGIN { s = sprintf(f, v); if (s + 0 == 0) gsub(/[+-]/, "", s); print s }'; }

now() { date +%s.%N; }

# speed ENGINE: input seconds per second of wall time at tempo 0.75, stereo.
# The wall time of each command includes reading and writing its files; the
# time of the same command on half a second of music is taken off, which
# removes start-up costs (the JVM's above all). The fastest of $runs runs
# counts; an engine that needs more than 20 s is run once.
# (The material's files are 16-bit stereo at 44.1 kHz with a 44-byte header.)
seconds_of() { awk -v b="$(stat -c %s "$1")" 'BEGIN { print (b - 44) / 176400 }'; }
speed() {
  local engine=$1
  if [ "${present[$engine]}" != true ]; then echo "–"; return; fi
  local best_long=1e9 best_short=1e9 t0 t1 i
  for ((i = 0; i < runs; i++)); do
    t0=$(now); stretch "$engine" "$work/in/long.wav" "$work/out/speed.wav" 0.75 || { echo "failed"; return; }
    t1=$(now); best_long=$(awk -v a="$best_long" -v x="$t0" -v y="$t1" 'BEGIN { b = y - x; print (b < a ? b : a) }')
    t0=$(now); stretch "$engine" "$work/in/short.wav" "$work/out/speed.wav" 0.75 || { echo "failed"; return; }
    t1=$(now); best_short=$(awk -v a="$best_short" -v x="$t0" -v y="$t1" 'BEGIN { b = y - x; print (b < a ? b : a) }')
    if awk -v l="$best_long" 'BEGIN { exit !(l > 20) }'; then break; fi
  done
  awk -v l="$best_long" -v s="$best_short" -v a="$(seconds_of "$work/in/long.wav")" \
    'BEGIN { d = l - s; if (d <= 0.001) d = 0.001; printf "%.0f", (a - 0.5) / d }'
}

rows=(
  "level, −6 dBFS 440 Hz tone, tempo 1.0 (dB)|tone|1.0|level"
  "level, −6 dBFS 440 Hz tone, tempo 5 (dB)|tone|5|level"
  "level, music, tempo 5 (dB)|music|5|level"
  "flutter, 440 Hz tone, tempo 0.5 (dB peak-to-trough)|tone|0.5|flutter"
  "flutter, 440 Hz tone, tempo 0.75 (dB)|tone|0.75|flutter"
  "stereo side/mid change, drums, tempo 0.75 (dB)|drums|0.75|sidemid"
  "stereo side/mid change, music, tempo 0.75 (dB)|music|0.75|sidemid"
  "stereo side/mid change, dual mono + 1-LSB dither, 0.75 (dB)|dualmono|0.75|sidemid"
  "pan 10·log10(1−r²), source at 0.8/0.35, tempo 0.75 (dB)|panned|0.75|pan"
  "bass: energy >3 Hz off harmonics, 55 Hz saw, 0.75 (dB)|saw|0.75|bass"
  "transients: 3 ms burst within 20 dB, tempo 0.5 (ms)|bursts|0.5|transients"
  "transients: 3 ms burst within 20 dB, tempo 0.75 (ms)|bursts|0.75|transients"
  "pitch, music, tempo 0.75 (cents)|music|0.75|pitch"
  "start offset against input/tempo, bursts, 0.75 (ms)|bursts|0.75|offset"
  "duration − input/tempo, music, tempo 0.75 (ms)|music|0.75|duration"
  "transposed +1: pitch error, 440 Hz tone, tempo 0.75 (cents)|tone|0.75:1|toneerror"
  "transposed −1: pitch error, 440 Hz tone, tempo 0.75 (cents)|tone|0.75:-1|toneerror"
  "transposed +5: pitch error, 440 Hz tone, tempo 0.75 (cents)|tone|0.75:5|toneerror"
  "transposed −5: pitch error, 440 Hz tone, tempo 0.75 (cents)|tone|0.75:-5|toneerror"
  "transposed +12: pitch error, 440 Hz tone, tempo 0.75 (cents)|tone|0.75:12|toneerror"
  "transposed −12: pitch error, 440 Hz tone, tempo 0.75 (cents)|tone|0.75:-12|toneerror"
  "transposed +0.1: pitch error, 440 Hz tone, tempo 0.75 (cents)|tone|0.75:0.1|toneerror"
  "transposed −0.1: pitch error, 440 Hz tone, tempo 0.75 (cents)|tone|0.75:-0.1|toneerror"
  "transposed +1: pitch error, music, tempo 0.75 (cents)|music|0.75:1|pitcherror"
  "transposed −1: pitch error, music, tempo 0.75 (cents)|music|0.75:-1|pitcherror"
  "transposed +0.1: pitch error, music, tempo 0.75 (cents)|music|0.75:0.1|pitcherror"
  "transposed +5: level, −6 dBFS tone, tempo 0.75 (dB)|tone|0.75:5|level"
  "transposed −5: level, −6 dBFS tone, tempo 0.75 (dB)|tone|0.75:-5|level"
  "transposed +5: flutter, tone, tempo 0.75 (dB)|tone|0.75:5|flutter"
  "transposed +12: energy off the harmonics, 55 Hz saw, 0.75 (dB)|saw|0.75:12|aliasing"
  "transposed +12: energy folded back past half the rate, 55 Hz saw, 0.75 (dB)|saw|0.75:12|folded"
  "transposed +5: transients, 3 ms burst, tempo 0.75 (ms)|bursts|0.75:5|transients"
  "transposed −5: transients, 3 ms burst, tempo 0.75 (ms)|bursts|0.75:-5|transients"
  "transposed −12: transients, 3 ms burst, tempo 0.75 (ms)|bursts|0.75:-12|transients"
  "transposed +5: stereo side/mid change, music, 0.75 (dB)|music|0.75:5|sidemid"
  "transposed +5: pan 10·log10(1−r²), panned source, 0.75 (dB)|panned|0.75:5|pan"
  "transposed +5: duration − input/tempo, music, 0.75 (ms)|music|0.75:5|duration"
)

# The ideal rendering: ideal.wav (the note-event piece at tempo 1) stretched
# to each tempo and read against the piece rendered at that tempo.
for t in 0.5 0.75 1.25 2 4; do
  rows+=(
    "ideal rendering, tempo $t: band distance, left (dB)|ideal|$t|ideal-left"
    "ideal rendering, tempo $t: band distance, right (dB)|ideal|$t|ideal-right"
    "ideal rendering, tempo $t: band distance, side L−R (dB)|ideal|$t|ideal-side"
    "ideal rendering, tempo $t: drum attacks softened (dB)|ideal|$t|softening"
    "ideal rendering, tempo $t: drum pre-echo, power before onset (dB)|ideal|$t|preecho"
    "ideal rendering, tempo $t: drum pre-echo, rise before onset (dB)|ideal|$t|prerise"
    "ideal rendering, tempo $t: delay found and taken off (ms)|ideal|$t|ideal-delay"
  )
done
rows+=("largest sample step against the input's, music, 0.75, no shift (dB)|music|0.75|step")

# sweep ENGINE MATERIAL SECONDS [SEMITONES]: the largest sample step of the
# material at tempo 0.75 while the transposition moves from −12 to +12
# semitones over the first SECONDS of output, against the input's largest
# step (times the ratio of SEMITONES: a tone an octave up steps twice as
# far). The fine mode is driven through the engine's entry points block by
# block (shift_sweep); Rubber Band through a pitch map of the same line (it
# maps input frames: SECONDS of output are 0.75 × SECONDS of input); the
# exact mode does not transpose and soundstretch has no live shift.
sweep() {
  local engine=$1 material=$2 seconds=$3 semitones=${4:-0}
  local in=$work/in/$material.wav out=$work/out/$engine-sweep-$material.wav map=$work/out/pitchmap-$material.txt
  case $engine in fine|r2|r3) ;; *) echo "–"; return ;; esac
  if [ "${present[$engine]}" != true ]; then echo "–"; return; fi
  awk -v s="$seconds" 'BEGIN { n = int(0.75 * s * 44100); for (f = 0; f < n; f += 512) printf "%d %.5f\n", f, -12 + 24 * f / n; printf "%d 12\n", n }' >"$map"
  case $engine in
    fine) build/shift_sweep "$in" "$out" 0.75 -12 12 "$seconds" ;;
    r2)   rubberband -q --tempo 0.75 --pitchmap "$map" "$in" "$out" ;;
    r3)   rubberband -q -3 --tempo 0.75 --pitchmap "$map" "$in" "$out" ;;
  esac >>"$work/out/log.txt" 2>&1 || { echo "failed"; return; }
  show %+.2f "$($measure step "$in" "$out" "0.75:$semitones")"
}

header="| measure (44.1 kHz stereo) |"
rule="|---|"
for e in "${engines[@]}"; do header+=" ${title[$e]} |"; rule+="---|"; done
echo
echo "$header"
echo "$rule"
for row in "${rows[@]}"; do
  IFS='|' read -r label material tempo what <<<"$row"
  line="| $label |"
  for e in "${engines[@]}"; do line+=" $(figure "$e" "$material" "$tempo" "$what") |"; done
  echo "$line"
done
line="| transposition swept −12 → +12 over 10 s: largest step against the input's, music, 0.75 (dB) |"
for e in "${engines[@]}"; do line+=" $(sweep "$e" music 10) |"; done
echo "$line"
line="| transposition swept −12 → +12 over 5 s: largest step against the tone's at +12, 440 Hz, 0.75 (dB) |"
for e in "${engines[@]}"; do line+=" $(sweep "$e" tone 5 12) |"; done
echo "$line"
line="| speed, stereo, × real time (tempo 0.75, 256 s of music) |"
for e in "${engines[@]}"; do line+=" $(speed "$e") |"; done
echo "$line"
echo
echo "– not available. Durations in ms, levels in dB against the input; speed is the input's duration over"
echo "the wall time of the command (files read and written), less the same command's time on 0.5 s of music."
$has_quality || echo "The command-line tool has no --quality option yet: its default (exact) mode is shown, fine is skipped."
echo "Outputs and the tools' messages: $work/out"
