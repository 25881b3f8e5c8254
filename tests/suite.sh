#!/usr/bin/env bash
# Runs one test suite and notes how it went, for the summary that CI prints at its end.
#
#   tests/suite.sh NAME COMMAND [ARGS...]   runs the command; its exit status is ours
#   tests/suite.sh --skip NAME REASON       prints "SKIPPED: NAME (REASON)", notes it, exits 0
#   tests/suite.sh --summary                prints the notes so far as a table
#
# The notes go to the file named by KESTRELGATE_RESULTS, one line a suite (name, result and
# time, tab-separated); without that variable nothing is noted and suites just run.
set -uo pipefail

note() {
  if [[ -n ${KESTRELGATE_RESULTS:-} ]]; then
    printf '%s\t%s\t%s\n' "$1" "$2" "$3" >>"$KESTRELGATE_RESULTS"
  fi
}

case ${1:-} in
  --skip)
    echo "SKIPPED: $2 ($3)"
    note "$2" "skipped" "$3"
    exit 0
    ;;
  --summary)
    [[ -n ${KESTRELGATE_RESULTS:-} && -s $KESTRELGATE_RESULTS ]] || exit 0
    printf '\n%-36s %-8s %s\n' "suite" "ran" "result"
    printf '%-36s %-8s %s\n' "-----" "---" "------"
    while IFS=$'\t' read -r name result detail; do
      case $result in
        skipped) printf '%-36s %-8s %s\n' "$name" "skipped" "($detail)" ;;
        *) printf '%-36s %-8s %s\n' "$name" "ran" "$result ($detail)" ;;
      esac
    done <"$KESTRELGATE_RESULTS"
    exit 0
    ;;
esac

name=$1
shift
echo "== $name"
start=$SECONDS
"$@"
status=$?
if [[ $status -eq 0 ]]; then
  note "$name" "passed" "$((SECONDS - start)) s"
else
  note "$name" "FAILED" "exit status $status after $((SECONDS - start)) s"
fi
exit "$status"
