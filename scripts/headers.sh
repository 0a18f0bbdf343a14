#!/usr/bin/env bash
# Prints the headers of an MPEG video elementary stream that ratefold reads
# and edits, from the stream's own bytes, independently of ratefold and of
# any decoder: one line a header, led by the offset of its start code
# (ISO/IEC 13818-2 6.2.2.1, 6.2.2.3, 6.2.3, 6.2.3.1):
#   OFFSET seq <frame_rate_code> <vertical_size_value>
#   OFFSET seqext <progressive_sequence> <chroma_format>
#   OFFSET pic <picture_structure> <top_field_first> <repeat_first_field>
#              <progressive_frame> <frame_pred_frame_dct> <chroma_420_type>
#   OFFSET gop
# An MPEG-1 stream (ISO/IEC 11172-2) has seq and gop lines only. With -t each
# pic line ends in one more column, the temporal_reference of the picture
# header before it (6.2.3: the picture's place in display order within its
# GOP, counted from 0).
#   scripts/headers.sh [-t] STREAM  (for a summary: | cut -d' ' -f2- | sort | uniq -c)
set -euo pipefail
tr=0
[ "${1:-}" != -t ] || { tr=1; shift; }
od -An -v -tu1 -w1 "${1:?usage: scripts/headers.sh [-t] STREAM}" | awk -v tr="$tr" '
  { b[n++] = $1 }
  END {
    for (i = 0; i + 8 < n; i++) {
      if (b[i] != 0 || b[i + 1] != 0 || b[i + 2] != 1) continue
      code = b[i + 3]; id = int(b[i + 4] / 16)
      if (code == 0) {                      # 0x00 picture header
        temporal_reference = b[i + 4] * 4 + int(b[i + 5] / 64)
      } else if (code == 179) {             # 0xB3 sequence header
        print i, "seq", b[i + 7] % 16, b[i + 5] % 16 * 256 + b[i + 6]
      } else if (code == 181 && id == 1) {  # 0xB5, sequence extension
        print i, "seqext", int(b[i + 5] / 8) % 2, int(b[i + 5] / 2) % 4
      } else if (code == 181 && id == 8) {  # 0xB5, picture coding extension
        print i, "pic", b[i + 6] % 4, int(b[i + 7] / 128), int(b[i + 7] / 2) % 2,
          int(b[i + 8] / 128), int(b[i + 7] / 64) % 2, b[i + 7] % 2 (tr ? " " temporal_reference : "")
      } else if (code == 184) {             # 0xB8 group of pictures
        print i, "gop"
      }
    }
  }'
