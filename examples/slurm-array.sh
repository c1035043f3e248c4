#!/bin/bash
# One anasig run per Slurm array task, each in a working directory of its own, so that every
# task's logfile (and anasig.fftw3 with --wisdom) stays apart even on a network file system.
# Results are written beside each input file, as always.
#
#   ls "$PWD"/data/*.txt > files.txt                      # one input path per line
#   sbatch --array=0-$(($(wc -l < files.txt) - 1)) examples/slurm-array.sh files.txt 0.001
#   sacct -j JOBID --format=JobID,State,ExitCode          # failed tasks have exit code 1
#   sbatch --array=7,12 examples/slurm-array.sh files.txt 0.001   # run those two again
#
#SBATCH --job-name=anasig
#SBATCH --cpus-per-task=1
#SBATCH --mem=2G
#SBATCH --output=slurm-%A_%a.out
set -euo pipefail
list=${1:?usage: slurm-array.sh LIST INTERVAL}
interval=${2:?usage: slurm-array.sh LIST INTERVAL}
task=${SLURM_ARRAY_TASK_ID:?not started as a Slurm array task}

in=$(sed -n "$((task + 1))p" "$list")
if [ -z "$in" ]; then
  echo "no line $((task + 1)) in $list" >&2
  exit 1
fi
in=$(realpath -- "$in")  # the task changes directory below
mkdir -p "runs/task-$task"
cd "runs/task-$task"
exec anasig --quiet -i "$interval" "$in"
