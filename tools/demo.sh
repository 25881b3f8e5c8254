#!/usr/bin/env bash
# Kestrelgate without hardware: builds the program and the simulated chess computer (nothing
# else, and no GoogleTest needed), starts the simulator on a pseudo-terminal with a recorded
# game, starts kestrelgate on that terminal and plays the game through it as a chess GUI would,
# printing both sides of the UCI conversation.
#
#   tools/demo.sh [--fast] [TRANSCRIPT]
#
# ">>" lines are what the GUI sends, "<<" lines what kestrelgate answers. Without --fast the
# chess computer prints at the pace of its 600 bit/s line, and the whole game takes some seconds.
# The build goes to build-demo/ (or $KESTRELGATE_BUILD): a release build of the two programs
# alone, each library compiled as one unit, so that a fresh clone plays its first move soon.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${KESTRELGATE_BUILD:-$root/build-demo}
sim_options=()
transcript=$root/tools/transcripts/opera-game.txt
for arg in "$@"; do
  case $arg in
    --fast) sim_options+=(--fast) ;;
    -h|--help) sed -n '2,10p' "${BASH_SOURCE[0]}"; exit 0 ;;
    *) transcript=$arg ;;
  esac
done
[[ -r $transcript ]] || { echo "demo: cannot read $transcript" >&2; exit 1; }

echo "== building kestrelgate and the simulated chess computer in $build"
if ! cmake -S "$root" -B "$build" -DKESTRELGATE_TESTS=OFF -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_UNITY_BUILD=ON >"$build.configure.log" 2>&1; then
  cat "$build.configure.log" >&2
  echo "demo: cmake could not configure the build" >&2
  exit 1
fi
rm -f "$build.configure.log"
if ! cmake --build "$build" --target kestrelgate chesssim -j"${JOBS:-2}"; then
  echo "demo: the build failed" >&2
  exit 1
fi

work=$(mktemp -d)
sim_pid=
engine_pid=
cleanup() {
  # Only the two processes started here, by their ids.
  if [[ -n $engine_pid ]]; then kill "$engine_pid" 2>/dev/null || true; fi
  if [[ -n $sim_pid ]]; then kill "$sim_pid" 2>/dev/null || true; fi
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The simulator keeps its pty open after the last line (--linger -1) until we end it, so the
# engine can still read what is queued.
"$build/tools/kestrelgate-sim" "${sim_options[@]}" --linger -1 "$transcript" \
  >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
device=
for _ in $(seq 50); do
  device=$(sed -n 's/^device: //p' "$work/sim.out")
  [[ -n $device ]] && break
  kill -0 "$sim_pid" 2>/dev/null || break
  sleep 0.1
done
if [[ -z $device ]]; then
  cat "$work/sim.err" >&2
  echo "demo: the simulator did not start" >&2
  exit 1
fi
echo "== simulated chess computer on $device, playing $(basename "$transcript")"

# Every move the transcript holds (each move line gives one or two), and the lines the chess
# computer prints after its last move (its "Mate"), which kestrelgate passes on only while it
# waits for a move.
plies=$(awk '/^#/ {next} /^[0-9][0-9]/ {n += (NF >= 3 ? 2 : (NF == 2 ? 1 : 0))} END {print n + 0}' \
  "$transcript")
closing=$(awk '/^#/ {next} /^[0-9][0-9]/ {n = 0; next} length($0) >= 2 {n++} END {print n + 0}' \
  "$transcript")

coproc ENGINE { exec "$build/kestrelgate" "$device"; }
engine_pid=$ENGINE_PID
to_engine=${ENGINE[1]}
from_engine=${ENGINE[0]}

send() {
  printf '>> %s\n' "$1"
  printf '%s\n' "$1" >&"$to_engine"
}

# Prints kestrelgate's lines until one begins with $1; the last one is left in $reply.
reply=
receive_until() {
  local line
  while IFS= read -r -t 20 line <&"$from_engine"; do
    line=${line%$'\r'}
    printf '<< %s\n' "$line"
    if [[ $line == "$1"* ]]; then
      reply=$line
      return 0
    fi
  done
  echo "demo: no \"$1\" from kestrelgate in time" >&2
  exit 1
}

start=$SECONDS
send "uci"
receive_until "uciok"
send "isready"
receive_until "readyok"
send "ucinewgame"
moves=
for ((ply = 1; ply <= plies; ply++)); do
  send "position startpos${moves:+ moves$moves}"
  send "go wtime 300000 btime 300000"
  receive_until "bestmove "
  moves+=" ${reply#bestmove }"
done
if ((closing > 0)); then
  # The game is over, but the chess computer has more to say: wait once more, as a GUI waiting
  # for the next move would, until its closing lines have come; then the GUI goes (closes our
  # input) and the machine is switched off.
  send "go"
  for ((line = 1; line <= closing; line++)); do receive_until "info string "; done
  exec {to_engine}>&-
  kill "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || true
  sim_pid=
else
  send "quit"
fi
status=0
wait "$engine_pid" || status=$?
engine_pid=
echo "== game over after $plies moves in $((SECONDS - start)) s; kestrelgate ended with status $status"
echo "== moves:$moves"
exit "$status"
