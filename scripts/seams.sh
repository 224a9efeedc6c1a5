#!/usr/bin/env bash
# The seams benchmark: how each program starts a sound after silence and
# ends it before silence, at tempos 0.5, 1 and 2, transposed by 0, -12, -2,
# +5 and +12 semitones and with the formants kept, on the seam material (a
# tone, a chord, pink noise and music, each with half a second of silence on
# either side): the command-line tool in its exact and fine modes and, when
# they are installed, the Debian peers rubberband (R2 and R3) and
# soundstretch, for comparison only. Prints, for each program and row, the
# worst figure over the four sounds and three tempos of the seam tests'
# measures (tests/support/seam_check.h, read by seam_measure): the level's
# and the peak's excess in dB and the step's ratio over what the input
# itself reads there. A benchmark, not a test: nothing here passes or fails.
#
# Environment: TAMBRINO_SEAMS_DIR (work folder, default build/seams),
# TAMBRINO_SEAMS_PROGRAMS (those compared, default "exact fine r2 r3 st"; the
# tool's own figures are the seam tests', the peers' are only here).
set -euo pipefail
cd "$(dirname "$0")/.."

work=${TAMBRINO_SEAMS_DIR:-build/seams}

# The programs compared, which are installed, and stretch (one run of each).
source scripts/stretchers.sh
prepare_benchmark seam_measure
read -r -a programs <<<"${TAMBRINO_SEAMS_PROGRAMS:-${engines[*]}}"

# worst PROGRAM SHIFT FORMANTS: "start LEVEL PEAK STEP end LEVEL PEAK STEP",
# the worst of each over the sounds and tempos, or nothing where the program
# lacks the setting.
worst() {
  local program=$1 shift=$2 formants=$3
  local lines=""
  for sound in tone chord pink music; do
    for tempo in 0.5 1 2; do
      local out=$work/out/$program-$sound-$tempo-$shift-$formants.wav
      local setting=$tempo:$shift
      [ "$formants" = 1 ] && setting+=:formants
      stretch "$program" "$work/in/$sound-gap.wav" "$out" "$setting" || return 0
      lines+=$($measure ends "$work/in/$sound-gap.wav" "$out" "$tempo")$'\n'
    done
  done
  awk '$1 == "start" || $1 == "end" {
         k = $1; if ($3 > l[k] || !(k in l)) l[k] = $3; if ($5 > p[k] || !(k in p)) p[k] = $5
         if ($7 > s[k] || !(k in s)) s[k] = $7 }
       END { printf "start %.2f %.2f %.2f end %.2f %.2f %.2f", l["start"], p["start"], s["start"],
                    l["end"], p["end"], s["end"] }' <<<"$lines"
}

printf '| seam, shift | %s |\n|---|' "$(for p in "${programs[@]}"; do printf '%s | ' "${title[$p]}"; done | sed 's/ | $//')"
for p in "${programs[@]}"; do printf -- '---|'; done
printf '\n'
for formants in 0 1; do
  for shift in 0 -12 -2 5 12; do
    [ "$formants" = 1 ] && [ "$shift" = 0 ] && continue
    declare -A got=()
    for p in "${programs[@]}"; do
      got[$p]=""
      if [ "${present[$p]}" = true ]; then got[$p]=$(worst "$p" "$shift" "$formants"); fi
    done
    for which in start end; do
      label="start after silence"
      if [ "$which" = end ]; then label="end before silence"; fi
      row="| $label, shift $shift"
      if [ "$formants" = 1 ]; then row+=", formants kept"; fi
      row+=" |"
      for p in "${programs[@]}"; do
        read -r -a f <<<"${got[$p]}"
        if [ ${#f[@]} -lt 8 ]; then row+=" – |"; continue; fi
        if [ "$which" = start ]; then row+=" ${f[1]} / ${f[2]} / ${f[3]} |"; else row+=" ${f[5]} / ${f[6]} / ${f[7]} |"; fi
      done
      echo "$row"
    done
  done
done
echo
echo "Each cell: level excess (dB) / peak excess (dB) / step ratio, the worst over tone, chord, pink noise"
echo "and music at tempos 0.5, 1 and 2; bounds 0.5 dB / 0.5 dB / 1.1."
