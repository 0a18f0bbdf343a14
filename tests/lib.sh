# Shell helpers shared by the tests. Source it; it defines functions only.

# Counts a failed check and says why; `finish` ends the test by the count.
fail() {
  echo "${0##*/}: FAIL: $*" >&2
  failures=$((${failures:-0} + 1))
}

finish() {
  if [ "${failures:-0}" -ne 0 ]; then
    echo "${0##*/}: ${failures} check(s) failed" >&2
    exit 1
  fi
  echo "${0##*/}: all checks passed"
}

# expect WHAT STATUS STDERR COMMAND...: runs the command and checks its exit
# status, that its standard error is exactly STDERR and that it writes
# nothing to standard output.
expect() {
  local what=$1 want_status=$2 want_err=$3 status
  shift 3
  "$@" 2>"$TMPDIR/expect.err" >"$TMPDIR/expect.out"
  status=$?
  [ "$status" -eq "$want_status" ] || fail "$what: exit status $status, want $want_status"
  cmp -s "$TMPDIR/expect.err" <(printf '%s' "$want_err") ||
    fail "$what: standard error $(od -c "$TMPDIR/expect.err" | head -3), want $(printf '%q' "$want_err")"
  [ ! -s "$TMPDIR/expect.out" ] || fail "$what: wrote to standard output"
}
