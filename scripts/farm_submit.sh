#!/usr/bin/env bash
# Submits the replay of a stroke log onto a cache to Slurm: an array job of `kavrin-batch --frames`
# runs, one range of frames per task, all into the same output folder, then a task that starts
# once every range has succeeded and checks that the folder holds every frame and the log.
# Every path must be on a file system that all nodes see. sbatch's own variables (SBATCH_PARTITION,
# SBATCH_ACCOUNT, SBATCH_TIMELIMIT, ...) choose where and how long the tasks run.
set -euo pipefail
export LC_ALL=C

usage() {
    cat >&2 <<'EOF'
usage: farm_submit.sh (--chunk FRAMES | --tasks N) [--threads N] [--batch PROGRAM] [--logs DIR]
                      <cache folder> <stroke log> <output folder>
  --chunk FRAMES   frames per task       --tasks N   split the frames into N tasks
  --threads N      kavrin-batch --threads and Slurm CPUs per task
  --batch PROGRAM  kavrin-batch to run (default: $KAVRIN_BATCH, kavrin-batch on PATH, or build/bin)
  --logs DIR       folder of the tasks' output (default: the current folder)
Prints "array <job id> <tasks>" and "check <job id>". Slurm takes at most its MaxArraySize
(1001 unless configured) tasks in one array.
EOF
    exit 2
}
fail() { echo "farm_submit: error: $2" >&2; exit "$1"; }
positive() { [[ $2 =~ ^[1-9][0-9]{0,8}$ ]] || fail 2 "$1 takes a whole number above 0"; }

chunk="" tasks="" threads="" batch="${KAVRIN_BATCH:-}" logs="$PWD"
while [ $# -gt 0 ]; do
    case $1 in
        --chunk) positive "$1" "${2:-}"; chunk=$2; shift 2 ;;
        --tasks) positive "$1" "${2:-}"; tasks=$2; shift 2 ;;
        --threads) positive "$1" "${2:-}"; threads=$2; shift 2 ;;
        --batch) batch=${2:?}; shift 2 ;;
        --logs) logs=${2:?}; shift 2 ;;
        -h|--help) usage ;;
        -*) fail 2 "unknown option $1" ;;
        *) break ;;
    esac
done
[ $# -eq 3 ] || usage
case ${chunk:+c}${tasks:+t} in c|t) ;; *) fail 2 "give one of --chunk and --tasks" ;; esac
cache=$(realpath -ms "$1") log=$(realpath -ms "$2") out=$(realpath -ms "$3")
logs=$(realpath -ms "$logs")
[ -d "$cache" ] || fail 3 "cache folder $cache does not exist"
[ -f "$log" ] || fail 3 "stroke log $log does not exist"
mkdir -p "$logs"
if [ -z "$batch" ]; then
    batch=$(command -v kavrin-batch || echo "$(dirname "$0")/../build/bin/kavrin-batch")
elif [[ $batch != */* ]]; then
    batch=$(command -v "$batch" || echo "$batch")
fi
batch=$(realpath -ms "$batch")
[ -x "$batch" ] || fail 3 "kavrin-batch not found at $batch (see --batch)"

# Frame numbers as kavrin-batch reads them: every file whose name holds ".bin" (hidden ones
# aside), numbered by what follows the last character that is neither an ASCII letter nor a
# digit in the name before ".bin"; a name that gives no number there is frame 0.
frames=()
for path in "$cache"/*.bin*; do
    [ -f "$path" ] || continue
    stem=${path##*/}
    stem=${stem%%.bin*}
    number=${stem##*[!A-Za-z0-9]}
    if [[ $number =~ ^[0-9]{1,10}$ ]] && [ $((10#$number)) -le 2147483647 ]; then
        frames+=($((10#$number)))
    else
        frames+=(0)
    fi
done
[ ${#frames[@]} -gt 0 ] || fail 3 "cache folder $cache holds no .bin file"
mapfile -t frames < <(printf '%s\n' "${frames[@]}" | sort -n -u)
count=${#frames[@]}
[ -n "$chunk" ] || chunk=$(((count + tasks - 1) / tasks))
ranges=()
for ((i = 0; i < count; i += chunk)); do
    last=$((i + chunk < count ? i + chunk - 1 : count - 1))
    ranges+=("${frames[i]}-${frames[last]}")
done

# The names a whole save gives: <output>/<output name>.<frame>.bin, zero-padded to the digits of
# the frame count plus one, or of the largest frame if that has more.
name=${out##*/}
width=$((${#count} + 1))
[ ${#frames[count - 1]} -le $width ] || width=${#frames[count - 1]}

task_script="#!/bin/bash
set -- ${ranges[*]}
shift \"\$SLURM_ARRAY_TASK_ID\"
exec $(printf '%q' "$batch") --progress --frames \"\$1\" ${threads:+--threads $threads} \\
    $(printf '%q ' "$cache" "$log" "$out")"

check_script="#!/bin/bash
out=$(printf '%q' "$out") name=$(printf '%q' "$name")
missing=()
for frame in ${frames[*]}; do
    file=\$(printf '%s/%s.%0${width}d.bin' \"\$out\" \"\$name\" \"\$frame\")
    [ -f \"\$file\" ] || missing+=(\"\$file\")
done
[ -f \"\$out/\$name.strokes.json\" ] || missing+=(\"\$out/\$name.strokes.json\")
if [ \${#missing[@]} -gt 0 ]; then
    echo \"farm check: \$out lacks \${#missing[@]} of $((count + 1)) files, first \${missing[0]}\" >&2
    exit 1
fi
echo \"farm check: \$out holds all $count frames and the stroke log\""

job=kavrin-$name
array_id=$(sbatch --parsable --job-name="$job" --array=0-$((${#ranges[@]} - 1)) \
    ${threads:+--cpus-per-task=$threads} --output="$logs/$job-%A_%a.log" <<<"$task_script")
array_id=${array_id%%;*}
# Cancelled rather than left pending for ever when a range fails.
if ! check_id=$(sbatch --parsable --job-name="$job-check" --dependency=afterok:"$array_id" \
    --kill-on-invalid-dep=yes --output="$logs/$job-check-%j.log" <<<"$check_script"); then
    scancel "$array_id" || true
    fail 1 "the check job was not accepted; array job $array_id cancelled"
fi
echo "array $array_id ${#ranges[@]}"
echo "check ${check_id%%;*}"
