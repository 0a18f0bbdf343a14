#include "stream/stream_counters.h"

#include <cstdio>

std::string DescribeRefusal(const StreamCounters& counters)
{
    switch (counters.refusal) {
    case Refusal::kNone:
        break;
    case Refusal::kNotElementaryStream:
        return "not an MPEG-2 video elementary stream (take the video out of a container first: "
               "ffmpeg -i film.vob -map 0:v:0 -c copy -f mpeg2video film.m2v)\n";
    case Refusal::kFrameRate:
        return "sequence frame rate is not 24/23.976\n";
    case Refusal::kFieldPicture:
        return "can't treat field structured picture\n";
    case Refusal::kProgressiveLines: {
        char line[64];
        std::snprintf(line, sizeof line, "can't treat progressive sequence of %lld lines\n",
                      static_cast<long long>(counters.refusalValue));
        return line;
    }
    case Refusal::kMpeg1:
        return "can't treat MPEG-1 stream\n";
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
