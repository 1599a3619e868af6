#!/usr/bin/env bash
# Builds the kill trial (relassert preset) and runs it: committing and
# recovering processes killed with SIGKILL at random moments, every block of
# both tables checked against the model after each kill.
#
#   scripts/kill-trial.sh                 quick: 60 committer and 15 recovery kills per journal kind
#   scripts/kill-trial.sh --full          the full trial: 350 and 70 per kind, over 1,000 and 200 in all
#   scripts/kill-trial.sh [--full] [--kinds 2,1] [--kills N] [--recovery-kills M] [--seed S]
#                         [--folder F] [--keep]
#
# The tables live under F (default: the system's temporary folder); a folder
# that showed a mismatch is kept beside its log, and the seed is printed
# first. Exit status 0 only when there was no mismatch and no failure.
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${QD_TEST_PRESET:-relassert}"
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j"${QD_BUILD_JOBS:-3}" --target qd_kill_trial >/dev/null
args=()
if [[ "${1:-}" == "--full" ]]; then
  shift
  args=(--kills 350 --recovery-kills 70)
fi
exec "build/$preset/tests/killtrial/qd_kill_trial" trial "${args[@]}" "$@"
