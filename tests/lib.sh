# Shell helpers shared by the tests and scripts/make_samples.sh. Source it;
# it defines functions only.

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

# Reads a stream's headers from its bytes, independently of ratefold and of
# any decoder. Prints one line per header that matters, led by the offset of
# its start code (ISO/IEC 13818-2 6.2.2.1, 6.2.2.3, 6.2.3, 6.2.3.1):
#   OFFSET seq <frame_rate_code> <vertical_size_value>
#   OFFSET seqext <progressive_sequence> <chroma_format>
#   OFFSET pic <picture_structure> <top_field_first> <repeat_first_field>
#              <progressive_frame> <frame_pred_frame_dct> <chroma_420_type>
#   OFFSET gop
# An MPEG-1 stream (ISO/IEC 11172-2) has seq and gop lines only.
describe() {  # file
  od -An -v -tu1 -w1 "$1" | awk '
    { b[n++] = $1 }
    END {
      for (i = 0; i + 8 < n; i++) {
        if (b[i] != 0 || b[i + 1] != 0 || b[i + 2] != 1) continue
        code = b[i + 3]; id = int(b[i + 4] / 16)
        if (code == 179) {                    # 0xB3 sequence header
          print i, "seq", b[i + 7] % 16, b[i + 5] % 16 * 256 + b[i + 6]
        } else if (code == 181 && id == 1) {  # 0xB5, sequence extension
          print i, "seqext", int(b[i + 5] / 8) % 2, int(b[i + 5] / 2) % 4
        } else if (code == 181 && id == 8) {  # 0xB5, picture coding extension
          print i, "pic", b[i + 6] % 4, int(b[i + 7] / 128), int(b[i + 7] / 2) % 2,
            int(b[i + 8] / 128), int(b[i + 7] / 64) % 2, b[i + 7] % 2
        } else if (code == 184) {             # 0xB8 group of pictures
          print i, "gop"
        }
      }
    }'
}
