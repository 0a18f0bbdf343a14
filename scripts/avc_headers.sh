#!/usr/bin/env bash
# Prints the timing of an H.264 Annex B elementary stream as ffmpeg reads its
# headers (the trace_headers bitstream filter), independently of ratefold:
# one line for every sequence parameter set in the stream (not the copy
# ffmpeg takes out as extradata), then one line a picture in display order.
#   sps <num_units_in_tick> <time_scale> <fixed_frame_rate_flag>
#       <pic_struct_present_flag> <frame_mbs_only_flag>
#       <mb_adaptive_frame_field_flag> <nal_hrd_parameters_present_flag>
#   pic <place> <pic_struct> <output>
# place counts from 0 in display order (pictures ordered by their IDR period,
# then by picture order count: pic_order_cnt_type 0 from pic_order_cnt_lsb,
# the others in decoding order); pic_struct is that of the picture's picture
# timing SEI, - without one; output is the picture's output time in clock
# ticks from the HRD delays of its picture timing SEI (the removal time,
# cpb_removal_delay after that of the last picture with a buffering period,
# plus dpb_output_delay), - without them. The timing fields of an SPS that
# has none read 0 (- for the HRD flag).
#   scripts/avc_headers.sh STREAM
set -euo pipefail
stream=${1:?usage: scripts/avc_headers.sh STREAM}
{ ffmpeg -hide_banner -nostats -nostdin -i "$stream" -c copy -bsf:v trace_headers -f null - 2>&1 |
  sed -n 's/^\[trace_headers @ [^]]*\] //p' | awk '
    function value() { return $NF }
    # The picture whose headers were read ends at the next packet (an access
    # unit) or at the end.
    function picture() {
      if (!have) return
      output = "-"
      if (cpb != "") {
        removal = base + cpb
        if (buffering && pictures) base = removal
        output = removal + dpb
      }
      printf "pic %d %s %s\n", period * 1000000 + poc, ps == "" ? "-" : ps, output
      pictures++; have = 0; ps = cpb = dpb = ""; buffering = 0
    }
    /^Packet:/ { picture(); packets = 1; next }
    /^[A-Z]/ { section = $0; next }
    !packets { next }
    section == "Sequence Parameter Set" {
      if ($2 == "nal_unit_type") tick = scale = fixed = structs = mbaff = 0
      if ($2 == "nal_unit_type") hrd = "-"
      if ($2 == "log2_max_pic_order_cnt_lsb_minus4") max_lsb = 2 ^ (value() + 4)
      if ($2 == "frame_mbs_only_flag") frames_only = value()
      if ($2 == "mb_adaptive_frame_field_flag") mbaff = value()
      if ($2 == "num_units_in_tick") tick = value()
      if ($2 == "time_scale") scale = value()
      if ($2 == "fixed_frame_rate_flag") fixed = value()
      if ($2 == "nal_hrd_parameters_present_flag") hrd = value()
      if ($2 == "pic_struct_present_flag") structs = value()
      # The last element ffmpeg traces of every SPS.
      if ($2 == "rbsp_stop_one_bit") print "sps", tick, scale, fixed, structs, frames_only, mbaff, hrd
    }
    section == "Buffering Period" && $2 == "seq_parameter_set_id" { buffering = 1 }
    section == "Picture Timing" && $2 == "cpb_removal_delay" { cpb = value() }
    section == "Picture Timing" && $2 == "dpb_output_delay" { dpb = value() }
    section == "Picture Timing" && $2 == "pic_struct" { ps = value() }
    section == "Slice Header" && $2 == "nal_ref_idc" { reference = value() }
    section == "Slice Header" && $2 == "nal_unit_type" { type = value() }
    section == "Slice Header" && $2 == "first_mb_in_slice" && value() == 0 {
      have = 1
      if (type == 5) { period++; prev_lsb = prev_msb = decoded = 0 }
      poc = decoded++
    }
    # PicOrderCntMsb follows the last reference picture lsb (wrapping at
    # max_lsb); an IDR picture starts again from 0.
    section == "Slice Header" && $2 == "pic_order_cnt_lsb" {
      lsb = value()
      if (lsb < prev_lsb && prev_lsb - lsb >= max_lsb / 2) msb = prev_msb + max_lsb
      else if (lsb > prev_lsb && lsb - prev_lsb > max_lsb / 2) msb = prev_msb - max_lsb
      else msb = prev_msb
      poc = msb + lsb
      if (reference) { prev_lsb = lsb; prev_msb = msb }
    }
    END { picture() }' |
  awk '$1 == "sps" { print; next } { print $2, $3, $4 | "sort -n" } END { fflush(); close("sort -n") }' |
  awk '$1 == "sps" { print; next } { print "pic", n++, $2, $3 }'
} || { echo "avc_headers: ffmpeg cannot read $stream" >&2; exit 1; }
