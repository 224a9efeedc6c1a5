#!/usr/bin/env bash
# Sourced by the benchmarks (scripts/quality.sh, scripts/seams.sh) from the
# repository's root, not run: the programs they compare and one run of each.
# prepare_benchmark builds the measuring tool and the command-line tool,
# writes the material into $work/in, and finds which programs are installed.

engines=(exact fine r2 r3 st)
declare -A title=([exact]=exact [fine]=fine [r2]="Rubber Band R2" [r3]="Rubber Band R3" [st]=SoundTouch)
declare -A present=([exact]=true [fine]=false [r2]=false [r3]=false [st]=false)
has_quality=false

# prepare_benchmark TOOL [TARGET...]: builds build/TOOL (and the targets),
# which writes the material with "TOOL synth DIR"; sets measure and
# stretch_log (the programs' chatter).
prepare_benchmark() {
  export JAVA_HOME=${JAVA_HOME:-/usr/lib/jvm/java-17-openjdk-amd64}
  cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build build -j 2 --target "$@" tambrino_cli_jar >/dev/null
  measure=build/$1
  # Another build of the command-line tool can be named with TAMBRINO_JAR.
  export TAMBRINO_JAR=${TAMBRINO_JAR:-$PWD/build/java/tambrino.jar}
  mkdir -p "$work/in" "$work/out"
  rm -f "$work"/out/*.wav
  "$measure" synth "$work/in"
  stretch_log=$work/out/log.txt
  # The command-line tool gained --quality with the fine mode; before that it
  # has the exact mode only. (Help texts are read whole: grep -q closing the
  # pipe early would fail the pipeline under pipefail.)
  local help
  help=$(bin/tambrino stretch --help 2>&1 || true)
  if grep -q -- '--quality' <<<"$help"; then has_quality=true; fi
  present[fine]=$has_quality
  if command -v rubberband >/dev/null; then
    present[r2]=true
    help=$(rubberband --help 2>&1 || true)
    if grep -q -- '--fine' <<<"$help"; then present[r3]=true; fi
  fi
  if command -v soundstretch >/dev/null; then present[st]=true; fi
}

# stretch ENGINE IN OUT TEMPO[:SEMITONES[:formants]]: one run, its chatter to
# the log. The exact mode does not transpose and SoundTouch keeps no
# formants: they have no figure for such a row (the run fails).
stretch() {
  local engine=$1 in=$2 out=$3 setting=$4 tempo shift formants
  IFS=: read -r tempo shift formants <<<"$setting"
  shift=${shift:-0}
  local fine_pitch=() rb_pitch=() st_pitch=()
  if [ "$shift" != 0 ]; then
    [ "$engine" = exact ] && return 1
    fine_pitch=(--transpose "$shift"); rb_pitch=(--pitch "$shift"); st_pitch=(-pitch="$shift")
  fi
  if [ "$formants" = formants ]; then
    case $engine in exact|st) return 1 ;; esac
    fine_pitch+=(--keep-formants); rb_pitch+=(-F)
  fi
  case $engine in
    exact) if $has_quality; then bin/tambrino stretch "$in" "$out" --tempo "$tempo" --quality exact
           else bin/tambrino stretch "$in" "$out" --tempo "$tempo"; fi ;;
    fine)  bin/tambrino stretch "$in" "$out" --tempo "$tempo" --quality fine "${fine_pitch[@]}" ;;
    r2)    rubberband -q --tempo "$tempo" "${rb_pitch[@]}" "$in" "$out" ;;
    r3)    rubberband -q -3 --tempo "$tempo" "${rb_pitch[@]}" "$in" "$out" ;;
    # soundstretch takes the tempo as a change in percent.
    st)    soundstretch "$in" "$out" -tempo="$(awk -v t="$tempo" 'BEGIN { printf "%.4f", (t - 1) * 100 }')" \
             "${st_pitch[@]}" ;;
  esac >>"$stretch_log" 2>&1
}

