// The H.264 converter over x264's sample films: what each job writes, read
// back with the syntax readers, whatever the chunks the stream comes in.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "avc/avc_stream.h"
#include "stream/scanner.h"
#include "tests/stream_helpers.h"

namespace {

Bytes ReadSample(const std::string& name)
{
    std::ifstream file(std::string(RATEFOLD_SAMPLES) + "/" + name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

Bytes operator+(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct Converted {
    Bytes output;
    StreamCounters counters;
};

// The whole stream through the converter in chunks of `chunk` bytes; with
// `directBytes`, NAL units that long go to a sink appending to the output.
Converted Convert(const Bytes& input, JobKind kind, int targetCode = 0, std::size_t chunk = 65536,
                  std::size_t mostHeldBytes = kMostHeldBytes, bool keepTiming = false, std::size_t directBytes = 0)
{
    Converted c;
    c.counters.job.kind = kind;
    c.counters.job.targetCode = targetCode;
    c.counters.job.keepTiming = keepTiming;
    c.counters.listPictures = true;
    AvcConverter converter;
    converter.mostHeldBytes = mostHeldBytes;
    if (directBytes > 0) {
        const auto append = [](void* to, const uint8_t* bytes, std::size_t count) {
            static_cast<Bytes*>(to)->insert(static_cast<Bytes*>(to)->end(), bytes, bytes + count);
            return true;
        };
        converter.sink = {append, &c.output, directBytes};
    }
    Bytes handed;
    for (std::size_t at = 0; at < input.size() && c.counters.refusal == Refusal::kNone; at += chunk) {
        AvcTake(converter, input.data() + at, std::min(chunk, input.size() - at), c.counters, handed);
        c.output.insert(c.output.end(), handed.begin(), handed.end());
        handed.clear();
    }
    AvcFinish(converter, c.counters, handed);
    c.output.insert(c.output.end(), handed.begin(), handed.end());
    if (c.counters.refusal == Refusal::kNone) {
        FinishStream(c.counters);
    }
    return c;
}

// A NAL unit of a stream: its type and payload (emulation prevention out).
struct Nal {
    int type;
    Bytes rbsp;
    Bytes raw;  // header and payload as they stand
};

std::vector<Nal> Split(const Bytes& stream)
{
    std::vector<Nal> nals;
    std::size_t begin = std::string::npos;
    const auto finish = [&](std::size_t end) {
        while (end > begin && stream[end - 1] == 0) {
            --end;
        }
        nals.push_back({stream[begin] & 0x1F, {}, Bytes(stream.begin() + begin, stream.begin() + end)});
        Unescape(stream.data() + begin + 1, end - begin - 1, nals.back().rbsp);
    };
    for (std::size_t k = 0; k + 2 < stream.size(); ++k) {
        if (stream[k] == 0 && stream[k + 1] == 0 && stream[k + 2] == 1) {
            if (begin != std::string::npos) {
                finish(k);
            }
            begin = k + 3;
            k += 2;
        }
    }
    finish(stream.size());
    return nals;
}

// A stream of the NAL units with the payloads `rbsp` gives them.
Bytes Joined(const std::vector<Nal>& nals, const std::function<Bytes(const Nal&)>& rbsp,
             const Bytes& prefix = {0x00, 0x00, 0x00, 0x01})
{
    Bytes stream;
    for (const Nal& nal : nals) {
        const Bytes payload = rbsp(nal);
        stream.insert(stream.end(), prefix.begin(), prefix.end());
        stream.push_back(nal.raw[0]);
        Escape(payload.data(), payload.size(), stream);
    }
    return stream;
}

// A payload with `drop` bits from bit `at` on replaced by `value` in `bits`.
Bytes Spliced(const Bytes& rbsp, std::size_t at, std::size_t drop, uint32_t value, int bits)
{
    BitReader reader{rbsp.data(), rbsp.size()};
    BitWriter writer;
    while (reader.bit < at) {
        WriteBits(writer, ReadBits(reader, 1), 1);
    }
    WriteBits(writer, value, bits);
    for (reader.bit = at + drop; MoreRbspData(reader);) {
        WriteBits(writer, ReadBits(reader, 1), 1);
    }
    WriteTrailingBits(writer);
    return writer.bytes;
}

// What the output says of its timing: each SPS's, and each picture's
// pic_timing in coded order.
struct Timing {
    std::vector<AvcSps> sps;
    std::vector<PicTiming> pictures;
    std::vector<bool> bufferingPeriod;  // a picture begins one
    std::vector<int> timingsPerPicture;
    Bytes slices;  // every slice NAL unit, as it stands
};

Timing ReadTiming(const Bytes& stream)
{
    Timing t;
    AvcSps sps;
    PicTiming pending;
    int timings = 0;
    bool period = false;
    for (const Nal& nal : Split(stream)) {
        if (nal.type == kNalSps) {
            EXPECT_EQ(ParseSps(nal.rbsp.data(), nal.rbsp.size(), sps), SyntaxError::kNone);
            t.sps.push_back(sps);
        } else if (nal.type == kNalSei) {
            std::vector<SeiMessage> messages;
            EXPECT_EQ(ParseSeiMessages(nal.rbsp.data(), nal.rbsp.size(), messages), SyntaxError::kNone);
            for (const SeiMessage& m : messages) {
                period |= m.type == kSeiBufferingPeriod;
                if (m.type == kSeiPicTiming) {
                    EXPECT_EQ(ParsePicTiming(nal.rbsp.data() + m.offset, m.size, sps, pending), SyntaxError::kNone);
                    ++timings;
                }
            }
        } else if (nal.type == kNalSliceIdr || nal.type == kNalSliceNonIdr) {
            // x264 codes one slice a picture.
            t.pictures.push_back(pending);
            t.bufferingPeriod.push_back(period);
            t.timingsPerPicture.push_back(timings);
            t.slices.insert(t.slices.end(), nal.raw.begin(), nal.raw.end());
            pending = PicTiming();
            timings = 0;
            period = false;
        }
    }
    return t;
}

// Coded order to display order, from the pictures the counters listed.
std::vector<int64_t> DisplayOfCoded(const StreamCounters& counters)
{
    std::vector<int64_t> display(counters.shown.size());
    for (const ShownPicture& p : counters.shown) {
        display.at(p.coded) = static_cast<int64_t>(p.display);
    }
    return display;
}

// Fields (ticks) each pic_struct shows (Table D-1, DeltaTfiDivisor).
int Ticks(int picStruct)
{
    static const int kTicks[] = {2, 1, 1, 2, 2, 3, 3, 4, 6};
    return kTicks[picStruct];
}

}  // namespace

// The kind of stream, told from its first 64 bytes: H.264 by an access
// unit delimiter, SEI, SPS or PPS first (with the nal_ref_idc each must
// have), H.265 by a VPS, SPS, PPS, access unit delimiter or prefix SEI of
// layer 0 (nuh_temporal_id_plus1 not 0), anything else MPEG-2.
TEST(AvcStream, RecognizesTheKindOfStream)
{
    const std::string zeros(122, '0');  // 61 zero bytes
    const std::pair<InputKind, std::vector<std::string>> cases[] = {
        {InputKind::kAvc, {"00000001 09f0", "000001 0605", "000001 6764", "000001 68ee", zeros + "01 6764"}},
        {InputKind::kHevc, {"00000001 40010c", "000001 420101", "000001 4401c1", "000001 460150", "000001 4e0105"}},
        // MPEG-2; an SPS's second byte beyond the 64; an SPS of nal_ref_idc
        // 0, an SEI of 1; a slice first; forbidden_zero_bit; H.265's
        // nuh_temporal_id_plus1 0, nuh_layer_id 1 and 32; one zero byte; cut off
        {InputKind::kMpegVideo,
         {"000001 b314", zeros + "00 016764", "000001 0764", "000001 2605", "000001 6588", "000001 e764",
          "000001 40000c", "000001 40090c", "000001 41010c", "0001 6764", "000001 67"}},
    };
    for (const auto& [kind, streams] : cases) {
        for (const std::string& hex : streams) {
            const Bytes bytes = Hex(hex);
            EXPECT_EQ(RecognizeInput(bytes.data(), bytes.size()), kind) << hex;
        }
    }
}

// Each job on x264's films: the pic_structs in display order (a cycle, or
// the first few), the fields, the SPS timing, not a slice re-coded, and the
// same bytes whatever the chunks, with a sink or not. Undone with the
// timing kept (a hybrid's), pictures of two fields keep their field order.
// With HRD parameters, each picture is output at the tick of its first
// field and leaves the buffer in decoding order, no later before its
// output than in the input.
TEST(AvcStream, JobsAndTheirPicStructs)
{
    struct Case {
        const char* what;
        Bytes input;
        JobKind kind;
        int targetCode;
        bool keepTiming;
        uint32_t timeScale;
        std::vector<int> picStructs;
        bool cycle;
        int ticks;
    };
    const Bytes film = ReadSample("film_23976.264");
    const Bytes anchor = ReadSample("film_pulldown.264");
    // Two films, each with its buffering period, and an access unit
    // delimiter after the last picture: an access unit with no picture.
    const Bytes hrd = ReadSample("film_hrd.264") + ReadSample("film_hrd.264") + Bytes{0, 0, 0, 1, 0x09, 0xF0};
    const Case cases[] = {
        {"3:2", film, JobKind::kPulldown, kRate2997, false, 60000, {5, 4, 6, 3}, true, 120},
        {"59.94", film, JobKind::kPulldown, kRate5994, false, 120000, {8, 7}, true, 240},  // frames tripled and doubled
        {"25", film, JobKind::kPulldown, kRate25, false, 50050, {5, 4, 4, 4, 4}, false, 101},  // a field in about
                                                                                               // twelve
        {"HRD", hrd, JobKind::kPulldown, kRate2997, false, 60000, {5, 4, 6, 3}, true, 240},
        {"HRD undone", Convert(hrd, JobKind::kPulldown).output, JobKind::kUndo, 0, false, 48000, {0}, true, 192},
        {"x264's 3:2 undone", anchor, JobKind::kUndo, 0, false, 48000, {0}, true, 96},
        {"timing kept", anchor, JobKind::kUndo, 0, true, 48000, {0, 4, 0, 3}, true, 96},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto convert = [&](std::size_t chunk, std::size_t direct) {
            return Convert(c.input, c.kind, c.targetCode, chunk, kMostHeldBytes, c.keepTiming, direct);
        };
        const Converted converted = convert(c.input.size(), 0);
        ASSERT_EQ(converted.counters.refusal, Refusal::kNone);
        EXPECT_EQ(converted.counters.display.breaks32, 0U);
        for (const auto& [chunk, direct] :
             {std::pair<std::size_t, std::size_t>{1, 0}, {13, 0}, {31, 100}, {4096, 100}}) {
            EXPECT_EQ(convert(chunk, direct).output, converted.output) << chunk;
        }
        const Timing in = ReadTiming(c.input);
        const Timing out = ReadTiming(converted.output);
        EXPECT_EQ(out.slices, in.slices);
        for (const AvcSps& sps : out.sps) {
            EXPECT_EQ(sps.numUnitsInTick, 1001U);
            EXPECT_EQ(sps.timeScale, c.timeScale);
            EXPECT_TRUE(sps.fixedFrameRate && sps.picStructPresent);
        }
        const std::vector<int64_t> display = DisplayOfCoded(converted.counters);
        ASSERT_EQ(out.pictures.size(), display.size());
        ASSERT_EQ(in.pictures.size(), display.size());
        const AvcSps& from = in.sps.at(0);
        const AvcSps& to = out.sps.at(0);
        const bool hrdTimed = CpbDpbDelaysPresent(to);
        std::vector<int> shown(display.size());
        std::vector<int64_t> outputTick(display.size());
        int ticks = 0;
        int64_t anchorRemoval = 0;
        int64_t lastRemoval = -1;
        for (std::size_t k = 0; k < out.pictures.size(); ++k) {
            const PicTiming& p = out.pictures[k];
            const auto d = static_cast<std::size_t>(display[k]);
            shown[d] = p.picStruct;
            ticks += Ticks(p.picStruct);
            EXPECT_EQ(out.timingsPerPicture[k], 1) << k;  // x264's rewritten, not doubled
            const int64_t removal = k == 0 ? 0 : anchorRemoval + p.cpbRemovalDelay;
            anchorRemoval = out.bufferingPeriod[k] ? removal : anchorRemoval;
            EXPECT_TRUE(!hrdTimed || removal > lastRemoval) << k;
            lastRemoval = removal;
            outputTick[d] = removal + p.dpbOutputDelay;
            // dpb_output_delay in seconds no shorter than the input's.
            EXPECT_GE(uint64_t{p.dpbOutputDelay} * to.numUnitsInTick * from.timeScale,
                      uint64_t{in.pictures[k].dpbOutputDelay} * from.numUnitsInTick * to.timeScale)
                << k;
        }
        for (std::size_t d = 0; d < shown.size(); ++d) {
            if (c.cycle || d < c.picStructs.size()) {
                EXPECT_EQ(shown[d], c.picStructs[d % c.picStructs.size()]) << d;
            }
            EXPECT_TRUE(!hrdTimed || d == 0 || outputTick[d] - outputTick[d - 1] == Ticks(shown[d - 1])) << d;
        }
        EXPECT_EQ(ticks, c.ticks);
    }
}

// A sink whose write fails: nothing is written after it.
TEST(AvcStream, NothingWrittenAfterTheSinkFails)
{
    const Bytes input = ReadSample("film_hrd.264");
    int writes = 0;
    AvcConverter converter;
    converter.sink = {[](void* count, const uint8_t*, std::size_t) { return ++*static_cast<int*>(count) < 4; }, &writes,
                      100};
    StreamCounters counters;
    Bytes handed;
    AvcTake(converter, input.data(), input.size(), counters, handed);
    AvcFinish(converter, counters, handed);
    EXPECT_TRUE(converter.sink.failed);
    EXPECT_EQ(writes, 4);
}

// Streams joined or ended otherwise than x264's convert as their parts do,
// whatever the chunks (from 16 to 48 bytes, some start code lies across the
// end of a read): an SPS after an access unit delimiter; a picture timed by
// its own SPS, though a later one with the same id (without HRD) comes
// before it is written; a stream cut before its last picture's slices (its
// pic_timing is left out: it would not read by the SPS anew); any ending;
// three-byte start codes (x264 writes four).
TEST(AvcStream, JoinedAndEndedStreams)
{
    const Bytes film = ReadSample("film_23976.264");
    const Bytes hrd = ReadSample("film_hrd.264");
    const std::vector<Nal> nals = Split(hrd);
    ASSERT_EQ(nals[nals.size() - 2].type, kNalSei);  // x264: each picture's pic_timing before its slice
    const Bytes lastSei = Bytes{0x00, 0x00, 0x00, 0x01} + nals[nals.size() - 2].raw;
    const Bytes delimiter = {0x00, 0x00, 0x00, 0x01, 0x09, 0xF0};
    const auto pulldown = [](const Bytes& input) { return Convert(input, JobKind::kPulldown).output; };
    const Bytes shortCodes = Joined(Split(film), [](const Nal& nal) { return nal.rbsp; }, {0x00, 0x00, 0x01});
    struct Case {
        JobKind kind;
        Bytes input;
        Bytes output;
    };
    std::vector<Case> cases = {
        {JobKind::kPulldown, delimiter + film, delimiter + pulldown(film)},
        {JobKind::kPulldown, hrd + film, pulldown(hrd) + pulldown(film)},
        {JobKind::kPulldown, hrd + lastSei + Bytes{0x00, 0x00}, pulldown(hrd) + Bytes{0x00, 0x00}},
        {JobKind::kPulldown, shortCodes, pulldown(shortCodes)},
    };
    ASSERT_EQ(ReadTiming(cases.back().output).pictures.size(), 48U);
    for (const Bytes& end : {Bytes{0, 0, 1}, Bytes{0, 0, 0, 1}, Bytes{0, 0, 0}, Bytes{0, 0, 1, 0x09}, Bytes{0x80}}) {
        cases.push_back({JobKind::kDescribe, film + end, film + end});
        cases.push_back({JobKind::kPulldown, film + end, pulldown(film) + end});
    }
    std::vector<std::size_t> chunks = {1, 65536};
    for (std::size_t chunk = 16; chunk <= 48; ++chunk) {
        chunks.push_back(chunk);
    }
    for (std::size_t k = 0; k < cases.size(); ++k) {
        for (const std::size_t chunk : chunks) {
            const Converted converted = Convert(cases[k].input, cases[k].kind, 0, chunk);
            EXPECT_EQ(converted.counters.refusal, Refusal::kNone) << k << ", chunk " << chunk;
            EXPECT_TRUE(converted.output == cases[k].output) << k << ", chunk " << chunk;
        }
    }
}

// x264's HRD film with cpb_removal_delay in 7 bits (x264 gives it 13): at
// 29.97 every delay still fits, at 59.94 (a tick a fifth of a film frame)
// the later ones do not, and the first that does not is named.
TEST(AvcStream, RefusesAnHrdDelayItsFieldCannotHold)
{
    const std::vector<Nal> nals = Split(ReadSample("film_hrd.264"));
    AvcSps from;
    ASSERT_EQ(ParseSps(nals.at(0).rbsp.data(), nals.at(0).rbsp.size(), from), SyntaxError::kNone);
    ASSERT_TRUE(from.nalHrd && !from.vclHrd);
    // hrd_parameters (E.1.2) after timing_info and nal_hrd_parameters_present_flag.
    BitReader reader{nals[0].rbsp.data(), nals[0].rbsp.size()};
    reader.bit = static_cast<std::size_t>(from.timingBit) + 32 + 32 + 1 + 1;
    const uint32_t cpbCount = ReadUe(reader) + 1;
    ReadBits(reader, 8);  // bit_rate_scale, cpb_size_scale
    for (uint32_t k = 0; k < cpbCount; ++k) {
        ReadUe(reader);  // bit_rate_value_minus1, cpb_size_value_minus1, cbr_flag
        ReadUe(reader);
        ReadFlag(reader);
    }
    ReadBits(reader, 5);  // initial_cpb_removal_delay_length_minus1
    AvcSps to = from;
    to.cpbRemovalDelayLength = 7;
    const Bytes stream = Joined(nals, [&](const Nal& nal) -> Bytes {
        if (nal.type == kNalSps) {
            return Spliced(nal.rbsp, reader.bit, 5, to.cpbRemovalDelayLength - 1, 5);
        }
        std::vector<SeiMessage> messages;
        if (nal.type != kNalSei || ParseSeiMessages(nal.rbsp.data(), nal.rbsp.size(), messages) != SyntaxError::kNone) {
            return nal.rbsp;
        }
        std::vector<int> types;
        std::vector<Bytes> payloads;
        for (const SeiMessage& m : messages) {
            types.push_back(m.type);
            payloads.emplace_back(nal.rbsp.begin() + static_cast<std::ptrdiff_t>(m.offset),
                                  nal.rbsp.begin() + static_cast<std::ptrdiff_t>(m.offset + m.size));
            PicTiming timing;
            if (m.type == kSeiPicTiming &&
                ParsePicTiming(payloads.back().data(), m.size, from, timing) == SyntaxError::kNone) {
                EXPECT_LT(timing.cpbRemovalDelay, 128U);
                payloads.back() = BuildPicTiming(to, timing);
            }
        }
        const Bytes sei = BuildSeiNal(types, payloads);
        Bytes rbsp;
        Unescape(sei.data() + 1, sei.size() - 1, rbsp);
        return rbsp;
    });
    EXPECT_EQ(Convert(stream, JobKind::kPulldown).counters.refusal, Refusal::kNone);
    const Converted frames = Convert(stream, JobKind::kPulldown, kRate5994);
    EXPECT_EQ(frames.counters.refusal, Refusal::kCpbRemovalDelay);
    EXPECT_GE(frames.counters.refusalCount, 128);
    EXPECT_LT(frames.counters.refusalCount, 128 + 10);  // the first that does not fit
    EXPECT_GT(frames.counters.refusalValue, 0);
}

// Refused: x264's 3:2 stream converted again, film undone, a stream cut
// inside its first SPS, one of no NAL unit but a header, and x264's film
// with its VUI's timing_info taken out. Described all the same, that film
// shows x264's GOP (an IDR picture, then B- and P-pictures, picture order
// counts two a frame), its size, and two fields a picture without pic_struct.
TEST(AvcStream, Refusals)
{
    const Bytes film = ReadSample("film_23976.264");
    EXPECT_EQ(Convert(ReadSample("film_pulldown.264"), JobKind::kPulldown).counters.refusal, Refusal::kFrameRate);
    EXPECT_EQ(Convert(film, JobKind::kUndo).counters.refusal, Refusal::kUndoRate);
    const Converted cutOff = Convert(Bytes(film.begin(), film.begin() + 12), JobKind::kPulldown);
    EXPECT_EQ(cutOff.counters.refusal, Refusal::kAvcSyntax);
    EXPECT_EQ(cutOff.counters.refusalCount, kNalSps);
    EXPECT_EQ(Convert(Bytes{0, 0, 1, 0x09, 0xF0}, JobKind::kPulldown).counters.refusal, Refusal::kNotElementaryStream);
    const std::vector<Nal> nals = Split(film);
    AvcSps sps;
    ASSERT_EQ(ParseSps(nals.at(0).rbsp.data(), nals.at(0).rbsp.size(), sps), SyntaxError::kNone);
    // timing_info_present_flag 0, and its 65 bits gone.
    const auto flag = static_cast<std::size_t>(sps.timingBit - 1);
    const Bytes untimed = Joined(
        nals, [&](const Nal& nal) { return nal.type == kNalSps ? Spliced(nal.rbsp, flag, 66, 0, 1) : nal.rbsp; });
    const Converted converted = Convert(untimed, JobKind::kPulldown);
    EXPECT_EQ(converted.counters.refusal, Refusal::kAvcNoTiming);
    EXPECT_NE(DescribeRefusal(converted.counters).find("(timing_info_present_flag 0)"), std::string::npos);
    const Converted described = Convert(untimed, JobKind::kDescribe);
    EXPECT_EQ(described.counters.refusal, Refusal::kNone);
    EXPECT_EQ(described.output, untimed);
    const StreamCounters& counters = described.counters;
    EXPECT_EQ(counters.display.pictures, 48U);
    EXPECT_EQ(counters.display.units, 96U);
    EXPECT_FALSE(counters.display.everyPictureProgressive);
    EXPECT_EQ(counters.shown.at(0).type, PictureType::kIntra);
    EXPECT_EQ(counters.shown.at(1).type, PictureType::kBidirectional);
    EXPECT_EQ(counters.shown.at(3).temporalReference, 6);
    EXPECT_TRUE(counters.horizontalSize == 320 && counters.verticalSize == 240 && counters.chromaFormat == 1);
}

// Memory stays bounded: what would hold more than the bound is refused at
// the NAL unit that passes it, the same whatever the chunks.
TEST(AvcStream, RefusesWhatWouldHoldTooMuch)
{
    const Bytes film = ReadSample("film_23976.264");
    const std::vector<Nal> nals = Split(film);
    ASSERT_EQ(nals[2].type, kNalSei);
    const std::size_t headers = 37;  // the SPS and PPS with their start codes: x264's SEI is at byte 37
    const auto stream = [&](const Bytes& after, std::size_t repeats) {
        // Sized once and copied into: inserting piece by piece makes mingw's
        // 32-bit g++ 12 warn of a bound it cannot see.
        Bytes bytes(headers + repeats * after.size());
        std::copy(film.begin(), film.begin() + static_cast<std::ptrdiff_t>(headers), bytes.begin());
        for (std::size_t k = 0; k < repeats; ++k) {
            std::copy(after.begin(), after.end(),
                      bytes.begin() + static_cast<std::ptrdiff_t>(headers + k * after.size()));
        }
        return bytes;
    };
    struct Case {
        const char* what;
        Bytes input;
        std::size_t most;
        int64_t first, last;   // where the NAL unit refused begins
        std::size_t step = 1;  // from the headers on, a multiple of this
    };
    constexpr std::size_t kLimit = 65536;
    const Bytes sei = Bytes{0, 0, 0, 1} + nals[2].raw;
    const Case cases[] = {
        // SEI NAL units without end, and no slice: one access unit growing,
        // each NAL unit held with its place.
        {"SEI only", stream(sei, 200), kLimit, kLimit / 2, kLimit, sei.size()},
        // A slice that never ends, or zero bytes that never do.
        {"endless slice", stream(Bytes{0, 0, 1, 0x65, 0x88} + Bytes(kLimit, 0xFF), 1), kLimit, headers, headers},
        {"endless zeros", stream(Bytes(kLimit, 0x00), 1), kLimit, 27, 27},  // from the PPS on
        {"no start code", Bytes(kLimit + 1, 0x00), kLimit, 0, 0},
        // An SEI NAL unit over 1 MiB, whatever the bound on the rest.
        {"long SEI", stream(Bytes{0, 0, 1, 0x06, 0x05, 0x80} + Bytes(kMostHeaderNalBytes, 0x11), 1), kMostHeldBytes,
         headers, headers},
    };
    for (const Case& c : cases) {
        for (const std::size_t chunk : {std::size_t{4093}, c.input.size()}) {
            const Converted converted = Convert(c.input, JobKind::kDescribe, 0, chunk, c.most);
            EXPECT_EQ(converted.counters.refusal, Refusal::kAvcTooLarge) << c.what << ", chunk " << chunk;
            const int64_t offset = converted.counters.refusalValue;
            EXPECT_TRUE(offset >= c.first && offset <= c.last &&
                        (offset - static_cast<int64_t>(headers)) % static_cast<int64_t>(c.step) == 0)
                << c.what << ", chunk " << chunk << ": " << offset;
        }
    }
    // Converted, each SPS written anew is held too: refused sooner.
    const Bytes spsOnly = stream(Bytes{0, 0, 0, 1} + nals[0].raw, 4000);
    const StreamCounters described = Convert(spsOnly, JobKind::kDescribe, 0, 4096, kLimit).counters;
    const StreamCounters converted = Convert(spsOnly, JobKind::kPulldown, 0, 4096, kLimit).counters;
    EXPECT_EQ(described.refusal, Refusal::kAvcTooLarge);
    EXPECT_EQ(converted.refusal, Refusal::kAvcTooLarge);
    EXPECT_LT(converted.refusalValue, described.refusalValue);
    // Within the bound the film is read to its end.
    EXPECT_EQ(Convert(film, JobKind::kPulldown, 0, 4096, 4 * film.size()).counters.refusal, Refusal::kNone);
}
