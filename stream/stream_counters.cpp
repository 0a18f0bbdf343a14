// Rate names and the message that says why a stream is refused.
#include "stream/stream_counters.h"

#include <cstdio>

#include "stream/timeline.h"

namespace {

// "23.976", or the code itself where it names no rate.
std::string RateText(int code)
{
    if (IsKnownRate(code)) {
        return std::string(RateName(code)) + " fps";
    }
    return "frame_rate_code " + std::to_string(code);
}

// The rates from which a stream can be shown at the target, as "23.976, 24
// or 25".
std::string SourcesFor(int targetCode)
{
    std::string list;
    for (int code = kFirstFrameRateCode; code <= kLastFrameRateCode; ++code) {
        if (SourceShowsAt(code, targetCode)) {
            list += list.empty() ? "" : ", ";
            list += RateName(code);
        }
    }
    const std::size_t last = list.rfind(", ");
    return last == std::string::npos ? list : list.replace(last, 2, " or ");
}

}  // namespace

std::string DescribeRefusal(const StreamCounters& counters)
{
    const std::string target = counters.job.targetCode != 0 ? RateName(counters.job.targetCode) : "";
    switch (counters.refusal) {
    case Refusal::kNone:
        break;
    case Refusal::kNotElementaryStream:
        return "not an MPEG-2 or H.264 video elementary stream (take the video out of a container first: "
               "ffmpeg -i film.vob -map 0:v:0 -c copy -f mpeg2video film.m2v, or -f h264 film.264)\n";
    case Refusal::kHevc:
        return "can't treat H.265 (HEVC) stream: ratefold takes MPEG-2 and H.264 video\n";
    case Refusal::kAvcNoTiming:
        return std::string("can't convert: the H.264 stream's sequence parameter set has no frame rate (") +
               (counters.refusalValue == 0 ? "vui_parameters_present_flag" : "timing_info_present_flag") + " 0)\n";
    case Refusal::kAvcSyntax:
        return "can't read the H.264 stream: its NAL unit of type " + std::to_string(counters.refusalCount) +
               " at byte " + std::to_string(counters.refusalValue) +
               " is cut off, holds a value out of range or refers to a parameter set not sent\n";
    case Refusal::kAvcNoPicTiming:
        return "can't convert: access unit " + std::to_string(counters.refusalValue) +
               " (in decoding order, from 0) has no picture timing SEI message, though the stream's HRD "
               "parameters ask for one in each\n";
    case Refusal::kAvcDisplayOrder:
        return "can't convert: picture " + std::to_string(counters.refusalValue) +
               " (in decoding order, from 0) is not shown before a thousand more are decoded: its picture "
               "order counts are not a stream's that a decoder can show\n";
    case Refusal::kAvcTooLarge:
        return "can't read the H.264 stream: from its NAL unit at byte " + std::to_string(counters.refusalValue) +
               " on, more than " + std::to_string(counters.refusalCount >> 20) +
               " MiB would wait to be written (a NAL unit or an access unit that long, or pictures not shown in "
               "time)\n";
    case Refusal::kCpbRemovalDelay:
    case Refusal::kDpbOutputDelay:
        return "can't convert: picture " + std::to_string(counters.refusalValue) +
               " (in display order, from 0) would need a " +
               (counters.refusal == Refusal::kCpbRemovalDelay ? "cpb_removal_delay" : "dpb_output_delay") + " of " +
               std::to_string(counters.refusalCount) + " clock ticks, which its field cannot hold\n";
    case Refusal::kFrameRate:
        return "sequence frame rate is not 24/23.976\n";
    case Refusal::kFieldPicture:
        return "can't treat field structured picture\n";
    case Refusal::kProgressiveLines:
        return "can't treat progressive sequence of " + std::to_string(counters.refusalValue) + " lines\n";
    case Refusal::kMpeg1:
        return "can't treat MPEG-1 stream\n";
    case Refusal::kRatePair:
        if (counters.job.timeline != nullptr) {
            return "can't show " + RateText(static_cast<int>(counters.refusalValue)) +
                   " at its timestamps: --timestamps-in takes a stream at 23.976, 24, 25, 29.97, 30, 50, 59.94 "
                   "or 60 fps\n";
        }
        return "can't show " + RateText(static_cast<int>(counters.refusalValue)) + " at " + target + " fps: --to " +
               target + " takes " + (IsFrameTarget(counters.job.targetCode) ? "a progressive sequence at " : "") +
               SourcesFor(counters.job.targetCode) + " fps\n";
    case Refusal::kInterlacedFrameRepetition:
        return "can't repeat whole frames of an interlaced sequence: --to " + target +
               " takes a progressive sequence (--to 25, 29.97 or 30 repeat fields)\n";
    case Refusal::kRateChange:
        return "sequence frame rate changes within the stream\n";
    case Refusal::kRateExtension:
        return "sequence frame rate is " + RateText(counters.frameRateCode) + " times " +
               std::to_string(counters.frameRateExtensionN + 1) + "/" +
               std::to_string(counters.frameRateExtensionD + 1) +
               " (frame_rate_extension): not a rate ratefold converts\n";
    case Refusal::kUndoRate:
        return "can't take pulldown off a sequence at " + RateText(static_cast<int>(counters.refusalValue)) +
               ": --undo takes 29.97 or 30 fps shown by repeated fields (not a progressive sequence), "
               "or 59.94 or 60 fps shown by repeated frames (a progressive sequence)\n";
    case Refusal::kUndoInterlacedPicture:
        return "can't take pulldown off: picture " + std::to_string(counters.refusalValue) +
               " (in display order, from 0) is coded interlaced: video, not film (for a hybrid of film and "
               "video, --timestamps-out FILE keeps the timing of both)\n";
    case Refusal::kUndoNoRepeats:
        return "can't take pulldown off: no field or frame is repeated, so this is no film shown by "
               "pulldown\n";
    case Refusal::kUndoNotFilm:
        return "can't take pulldown off: " + std::to_string(counters.refusalCount) + " pictures show " +
               std::to_string(counters.refusalValue) + (counters.progressiveSequence ? " frames" : " fields") +
               ", not 5 for every 2 as film by 3:2 pulldown does (for a hybrid of film and video, "
               "--timestamps-out FILE keeps the timing of both)\n";
    case Refusal::kAlreadyRepeated:
        return "can't convert: picture " + std::to_string(counters.refusalValue) +
               " (in display order, from 0) already shows a " + (counters.progressiveSequence ? "frame" : "field") +
               " repeated: take the repeats off first (ratefold --undo)\n";
    case Refusal::kTimestamps:
        return counters.job.timeline != nullptr ? counters.job.timeline->refusal : std::string();
    case Refusal::kNotSequenceHeader:
        return "non sequence header data incomming\n";
    case Refusal::kNotSequenceExtension:
        return "non sequence extension data incomming\n";
    case Refusal::kNotPictureCodingExtension:
        return "non picture coding extension data incomming\n";
    case Refusal::kNotGopHeader:
        return "non gop header data\n";
    }
    return std::string();
}
