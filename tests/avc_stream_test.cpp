// The H.264 converter over x264's sample films: what each job writes, read
// back with the syntax readers, whatever the chunks the stream comes in.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "convert/convert.h"
#include "avc/avc_stream.h"
#include "stream/scanner.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes ReadSample(const std::string& name)
{
    std::ifstream file(std::string(RATEFOLD_SAMPLES) + "/" + name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

struct Converted {
    Bytes output;
    StreamCounters counters;
};

// The whole stream through the converter in chunks of `chunk` bytes.
Converted Convert(const Bytes& input, JobKind kind, int targetCode = 0, std::size_t chunk = 65536,
                  std::size_t mostHeldBytes = kMostHeldBytes, bool keepTiming = false)
{
    Converted c;
    c.counters.job.kind = kind;
    c.counters.job.targetCode = targetCode;
    c.counters.job.keepTiming = keepTiming;
    c.counters.listPictures = true;
    AvcConverter converter;
    converter.mostHeldBytes = mostHeldBytes;
    for (std::size_t at = 0; at < input.size() && c.counters.refusal == Refusal::kNone; at += chunk) {
        AvcTake(converter, input.data() + at, std::min(chunk, input.size() - at), c.counters, c.output);
    }
    AvcFinish(converter, c.counters, c.output);
    if (c.counters.refusal == Refusal::kNone) {
        FinishStream(c.counters);
    }
    return c;
}

// The whole stream through the program's own loop, the first reads of the
// sizes given, the rest in reads of 4096 bytes.
Converted ConvertInLoop(const Bytes& input, JobKind kind, std::vector<int32_t> firstReads)
{
    struct Reads {
        const Bytes& in;
        std::size_t at;
        std::vector<int32_t> sizes;
        Converted c;
    } reads{input, 0, std::move(firstReads), {}};
    const auto read = [](void* context, uint8_t* into, int32_t capacity) {
        Reads& r = *static_cast<Reads*>(context);
        const std::size_t wanted = r.sizes.empty() ? 4096 : static_cast<std::size_t>(r.sizes.front());
        const auto n = std::min({wanted, r.in.size() - r.at, static_cast<std::size_t>(capacity)});
        if (!r.sizes.empty()) {
            r.sizes.erase(r.sizes.begin());
        }
        std::copy_n(r.in.begin() + static_cast<std::ptrdiff_t>(r.at), n, into);
        r.at += n;
        return static_cast<int32_t>(n);
    };
    const auto write = [](void* context, const uint8_t* bytes, int32_t n) {
        Bytes& out = static_cast<Reads*>(context)->c.output;
        out.insert(out.end(), bytes, bytes + n);
        return true;
    };
    reads.c.counters.job.kind = kind;
    ConvertStream({read, write, [](void*, int64_t, uint8_t) { return false; }, [](void*, int64_t) {}, &reads},
                  reads.c.counters);
    return reads.c;
}

Bytes operator+(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
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
    std::size_t k = 0;
    std::size_t begin = std::string::npos;
    const auto finish = [&](std::size_t end) {
        while (end > begin && stream[end - 1] == 0) {
            --end;
        }
        Nal nal{stream[begin] & 0x1F, {}, Bytes(stream.begin() + begin, stream.begin() + end)};
        Unescape(stream.data() + begin + 1, end - begin - 1, nal.rbsp);
        nals.push_back(nal);
    };
    for (; k + 2 < stream.size(); ++k) {
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

TEST(AvcStream, RecognizesTheKindOfStream)
{
    struct Case {
        Bytes bytes;
        InputKind kind;
    };
    const auto afterZeros = [](std::size_t zeros) {
        Bytes bytes(zeros, 0x00);
        bytes.insert(bytes.end(), {0x01, 0x67, 0x64});
        return bytes;
    };
    const Case cases[] = {
        {afterZeros(61), InputKind::kAvc},        // the SPS within the first 64 bytes
        {afterZeros(62), InputKind::kMpegVideo},  // its second byte beyond them
        {{0x00, 0x00, 0x01, 0xB3, 0x14}, InputKind::kMpegVideo},
        {{0x00, 0x00, 0x00, 0x01, 0x09, 0xF0}, InputKind::kAvc},  // access unit delimiter
        {{0x00, 0x00, 0x01, 0x06, 0x05}, InputKind::kAvc},        // SEI
        {{0x00, 0x00, 0x01, 0x67, 0x64}, InputKind::kAvc},        // SPS
        {{0x00, 0x00, 0x01, 0x68, 0xEE}, InputKind::kAvc},        // PPS
        {{0x00, 0x00, 0x01, 0x07, 0x64}, InputKind::kMpegVideo},  // SPS with nal_ref_idc 0
        {{0x00, 0x00, 0x01, 0x26, 0x05}, InputKind::kMpegVideo},  // SEI with nal_ref_idc 1
        {{0x00, 0x00, 0x01, 0x65, 0x88}, InputKind::kMpegVideo},  // a slice first
        {{0x00, 0x00, 0x01, 0xE7, 0x64}, InputKind::kMpegVideo},  // forbidden_zero_bit
        {{0x00, 0x00, 0x00, 0x01, 0x40, 0x01, 0x0C}, InputKind::kHevc},  // VPS
        {{0x00, 0x00, 0x01, 0x42, 0x01, 0x01}, InputKind::kHevc},        // SPS
        {{0x00, 0x00, 0x01, 0x44, 0x01, 0xC1}, InputKind::kHevc},        // PPS
        {{0x00, 0x00, 0x01, 0x46, 0x01, 0x50}, InputKind::kHevc},        // access unit delimiter
        {{0x00, 0x00, 0x01, 0x4E, 0x01, 0x05}, InputKind::kHevc},        // prefix SEI
        {{0x00, 0x00, 0x01, 0x40, 0x00, 0x0C}, InputKind::kMpegVideo},  // nuh_temporal_id_plus1 0
        {{0x00, 0x00, 0x01, 0x40, 0x09, 0x0C}, InputKind::kMpegVideo},  // nuh_layer_id 1
        {{0x00, 0x00, 0x01, 0x41, 0x01, 0x0C}, InputKind::kMpegVideo},  // nuh_layer_id 32
        {{0x00, 0x01, 0x67, 0x64}, InputKind::kMpegVideo},              // one zero byte
        {{0x00, 0x00, 0x01, 0x67}, InputKind::kMpegVideo},              // cut off
    };
    for (const Case& c : cases) {
        EXPECT_EQ(RecognizeInput(c.bytes.data(), c.bytes.size()), c.kind) << ::testing::PrintToString(c.bytes);
    }
}

TEST(AvcStream, ThreeTwoPulldownWhateverTheChunks)
{
    const Bytes input = ReadSample("film_23976.264");
    ASSERT_FALSE(input.empty());
    const Converted whole = Convert(input, JobKind::kPulldown, 0, input.size());
    ASSERT_EQ(whole.counters.refusal, Refusal::kNone);
    for (const std::size_t chunk : {std::size_t{1}, std::size_t{7}, std::size_t{13}, std::size_t{31}, std::size_t{4096}}) {
        EXPECT_EQ(Convert(input, JobKind::kPulldown, 0, chunk).output, whole.output) << chunk;
    }
    const Timing in = ReadTiming(input);
    const Timing out = ReadTiming(whole.output);
    EXPECT_EQ(out.slices, in.slices);  // not a picture re-coded
    for (const AvcSps& sps : out.sps) {
        EXPECT_EQ(sps.numUnitsInTick, 1001U);
        EXPECT_EQ(sps.timeScale, 60000U);
        EXPECT_TRUE(sps.fixedFrameRate);
        EXPECT_TRUE(sps.picStructPresent);
    }
    const std::vector<int64_t> display = DisplayOfCoded(whole.counters);
    ASSERT_EQ(out.pictures.size(), display.size());
    // x264's GOP: an IDR picture, then P- and B-pictures.
    EXPECT_EQ(whole.counters.shown.at(0).type, PictureType::kIntra);
    EXPECT_EQ(whole.counters.shown.at(1).type, PictureType::kBidirectional);
    EXPECT_EQ(whole.counters.shown.at(3).temporalReference, 6);  // x264 counts two a frame
    EXPECT_EQ(whole.counters.horizontalSize, 320);
    EXPECT_EQ(whole.counters.verticalSize, 240);
    EXPECT_EQ(whole.counters.chromaFormat, 1);
    const int cadence[] = {kPicStructTopBottomTop, kPicStructBottomTop, kPicStructBottomTopBottom,
                           kPicStructTopBottom};
    for (std::size_t k = 0; k < out.pictures.size(); ++k) {
        EXPECT_EQ(out.timingsPerPicture[k], 1) << k;
        EXPECT_EQ(out.pictures[k].picStruct, cadence[display[k] % 4]) << k;
    }
}

// The kind of stream is told from its first bytes however the first reads
// cut them.
TEST(AvcStream, TheLoopTellsTheKindFromShortReads)
{
    const Bytes input = ReadSample("film_23976.264");
    const Bytes output = Convert(input, JobKind::kPulldown).output;
    for (const std::vector<int32_t>& firstReads : {std::vector<int32_t>{1}, {3, 2, 100}, {4, 60, 1}}) {
        const Converted looped = ConvertInLoop(input, JobKind::kPulldown, firstReads);
        EXPECT_EQ(looped.counters.refusal, Refusal::kNone) << firstReads[0];
        EXPECT_TRUE(looped.output == output) << firstReads[0];
    }
    // Shorter than the bytes that tell the kind: read to its end all the same.
    EXPECT_EQ(ConvertInLoop(Bytes{0, 0, 1, 0x09, 0xF0}, JobKind::kPulldown, {1, 1}).counters.refusal,
              Refusal::kNotElementaryStream);
}

// Long NAL units written straight to a sink, the rest handed back: the same
// bytes in the same order; a failed write writes nothing more.
TEST(AvcStream, SinkTakesLongNalUnitsInOrder)
{
    const Bytes input = ReadSample("film_hrd.264");
    const Bytes whole = Convert(input, JobKind::kPulldown).output;
    struct Collected {
        Bytes bytes;
        int writes = 0;
        int failAt = -1;
    };
    for (const int failAt : {-1, 3}) {
        Collected collected;
        collected.failAt = failAt;
        AvcConverter converter;
        converter.sink.context = &collected;
        converter.sink.directBytes = 100;
        converter.sink.write = [](void* context, const uint8_t* bytes, std::size_t count) {
            Collected& to = *static_cast<Collected*>(context);
            if (to.writes++ == to.failAt) {
                return false;
            }
            to.bytes.insert(to.bytes.end(), bytes, bytes + count);
            return true;
        };
        StreamCounters counters;
        Bytes handed;
        for (std::size_t at = 0; at < input.size(); at += 1000) {
            AvcTake(converter, input.data() + at, std::min<std::size_t>(1000, input.size() - at), counters, handed);
            collected.bytes.insert(collected.bytes.end(), handed.begin(), handed.end());
            handed.clear();
        }
        AvcFinish(converter, counters, handed);
        collected.bytes.insert(collected.bytes.end(), handed.begin(), handed.end());
        EXPECT_EQ(converter.sink.failed, failAt >= 0);
        if (failAt < 0) {
            EXPECT_EQ(collected.bytes, whole);
            EXPECT_GT(collected.writes, 10);
        } else {
            EXPECT_EQ(collected.writes, failAt + 1);  // none after the failure
        }
    }
}

// Three-byte start codes (x264 writes four): each chunk size from 16 to 48
// puts some start code across the end of a read.
TEST(AvcStream, ShortStartCodesAcrossReads)
{
    Bytes input;
    const Bytes film = ReadSample("film_23976.264");
    for (std::size_t k = 0; k < film.size(); ++k) {
        const bool zeroByte = k + 3 < film.size() && film[k] == 0 && film[k + 1] == 0 && film[k + 2] == 0 &&
                              film[k + 3] == 1;
        if (!zeroByte || k == 0) {
            input.push_back(film[k]);
        }
    }
    ASSERT_LT(input.size(), film.size() - 40);
    const Converted whole = Convert(input, JobKind::kPulldown, 0, input.size());
    ASSERT_EQ(whole.counters.refusal, Refusal::kNone);
    EXPECT_EQ(ReadTiming(whole.output).pictures.size(), 48U);
    for (std::size_t chunk = 16; chunk <= 48; ++chunk) {
        EXPECT_EQ(Convert(input, JobKind::kPulldown, 0, chunk).output, whole.output) << chunk;
    }
    // A start code with nothing after it ends the stream: kept as it is.
    Bytes cut = input;
    cut.insert(cut.end(), {0x00, 0x00, 0x01});
    const Converted ended = Convert(cut, JobKind::kPulldown);
    ASSERT_EQ(ended.counters.refusal, Refusal::kNone);
    EXPECT_EQ(Bytes(ended.output.end() - 3, ended.output.end()), (Bytes{0x00, 0x00, 0x01}));
    EXPECT_EQ(Bytes(ended.output.begin(), ended.output.end() - 3), whole.output);
}

// An access unit delimiter first: the SPS after it is rewritten where it
// stands, and nothing else changes.
TEST(AvcStream, SpsAfterADelimiter)
{
    const Bytes film = ReadSample("film_23976.264");
    const Bytes delimiter = {0x00, 0x00, 0x00, 0x01, 0x09, 0xF0};
    Bytes input = delimiter;
    input.insert(input.end(), film.begin(), film.end());
    Bytes expected = delimiter;
    const Bytes converted = Convert(film, JobKind::kPulldown).output;
    expected.insert(expected.end(), converted.begin(), converted.end());
    EXPECT_EQ(Convert(input, JobKind::kPulldown).output, expected);
    // Described: a picture without pic_struct shows two fields.
    const Converted described = Convert(film, JobKind::kDescribe);
    EXPECT_EQ(described.counters.display.units, 96U);
    EXPECT_FALSE(described.counters.display.everyPictureProgressive);
}

TEST(AvcStream, RatesAndTheirPicStructs)
{
    struct Case {
        int targetCode;
        uint32_t timeScale;
        std::vector<int> firstPicStructs;  // in display order
        int ticks;                         // over the stream's 48 pictures
    };
    const Case cases[] = {
        {kRate2997, 60000, {5, 4, 6, 3, 5}, 120},
        {kRate5994, 120000, {8, 7, 8, 7, 8}, 240},  // frames tripled and doubled
        {kRate25, 50050, {5, 4, 4, 4, 4}, 101},     // one field repeated in about twelve
    };
    const Bytes input = ReadSample("film_23976.264");
    for (const Case& c : cases) {
        const Converted converted = Convert(input, JobKind::kPulldown, c.targetCode);
        ASSERT_EQ(converted.counters.refusal, Refusal::kNone) << c.targetCode;
        const Timing out = ReadTiming(converted.output);
        EXPECT_EQ(out.sps.at(0).timeScale, c.timeScale);
        const std::vector<int64_t> display = DisplayOfCoded(converted.counters);
        std::vector<int> shown(display.size());
        int ticks = 0;
        for (std::size_t k = 0; k < display.size(); ++k) {
            shown[static_cast<std::size_t>(display[k])] = out.pictures[k].picStruct;
            ticks += Ticks(out.pictures[k].picStruct);
        }
        EXPECT_EQ(std::vector<int>(shown.begin(), shown.begin() + 5), c.firstPicStructs);
        EXPECT_EQ(ticks, c.ticks);
    }
}

// Each picture is output at the tick of its first field and leaves the
// buffer in the order it is decoded, no later before its output than in
// the input.
TEST(AvcStream, HrdDelaysFollowTheFields)
{
    // An access unit delimiter after the last picture: an access unit of
    // its own, with no picture to time.
    Bytes input = ReadSample("film_hrd.264");
    input.insert(input.end(), {0x00, 0x00, 0x00, 0x01, 0x09, 0xF0});
    for (const JobKind kind : {JobKind::kPulldown, JobKind::kUndo}) {
        const Bytes source = kind == JobKind::kUndo ? Convert(input, JobKind::kPulldown).output : input;
        const Converted converted = Convert(source, kind);
        ASSERT_EQ(converted.counters.refusal, Refusal::kNone);
        const Timing in = ReadTiming(source);
        const Timing out = ReadTiming(converted.output);
        const std::vector<int64_t> display = DisplayOfCoded(converted.counters);
        ASSERT_EQ(out.pictures.size(), display.size());
        const AvcSps& from = in.sps.at(0);
        const AvcSps& to = out.sps.at(0);
        std::map<int64_t, std::pair<int64_t, int>> outputTick;  // display: tick, pic_struct
        int64_t anchor = 0;
        int64_t lastRemoval = -1;
        for (std::size_t k = 0; k < out.pictures.size(); ++k) {
            const PicTiming& p = out.pictures[k];
            const int64_t removal = k == 0 ? 0 : anchor + p.cpbRemovalDelay;
            if (out.bufferingPeriod[k] || k == 0) {
                anchor = removal;
            }
            EXPECT_GT(removal, lastRemoval) << k;
            EXPECT_EQ(out.timingsPerPicture[k], 1) << k;  // x264's rewritten, not doubled
            lastRemoval = removal;
            outputTick[display[k]] = {removal + p.dpbOutputDelay, p.picStruct};
            // dpb_output_delay in seconds no shorter than the input's.
            EXPECT_GE(uint64_t{p.dpbOutputDelay} * to.numUnitsInTick * from.timeScale,
                      uint64_t{in.pictures[k].dpbOutputDelay} * from.numUnitsInTick * to.timeScale)
                << k;
        }
        for (auto it = std::next(outputTick.begin()); it != outputTick.end(); ++it) {
            const auto& before = std::prev(it)->second;
            EXPECT_EQ(it->second.first - before.first, Ticks(before.second)) << it->first;
        }
    }
}

// x264's HRD film with cpb_removal_delay in 7 bits (x264 gives it 13): at
// 29.97 every delay still fits, at 59.94 (a tick a fifth of a film frame)
// the later ones do not, and the first that does not is named.
TEST(AvcStream, RefusesAnHrdDelayItsFieldCannotHold)
{
    const Bytes film = ReadSample("film_hrd.264");
    const std::vector<Nal> nals = Split(film);
    AvcSps from;
    ASSERT_EQ(ParseSps(nals.at(0).rbsp.data(), nals.at(0).rbsp.size(), from), SyntaxError::kNone);
    ASSERT_TRUE(from.nalHrd && !from.vclHrd);
    // hrd_parameters (E.1.2) after timing_info and nal_hrd_parameters_present_flag.
    BitReader reader{nals[0].rbsp.data(), nals[0].rbsp.size()};
    reader.bit = static_cast<std::size_t>(from.timingBit) + 32 + 32 + 1 + 1;
    const uint32_t cpbCount = ReadUe(reader) + 1;
    ReadBits(reader, 8);  // bit_rate_scale, cpb_size_scale
    for (uint32_t k = 0; k < cpbCount; ++k) {
        ReadUe(reader);
        ReadUe(reader);
        ReadFlag(reader);
    }
    ReadBits(reader, 5);  // initial_cpb_removal_delay_length_minus1
    const std::size_t lengthBit = reader.bit;
    AvcSps to = from;
    to.cpbRemovalDelayLength = 7;
    Bytes stream;
    for (const Nal& nal : nals) {
        Bytes rbsp = nal.rbsp;
        if (nal.type == kNalSps) {
            for (int b = 0; b < 5; ++b) {  // cpb_removal_delay_length_minus1 = 6
                const std::size_t at = lengthBit + static_cast<std::size_t>(b);
                const uint8_t mask = static_cast<uint8_t>(0x80 >> (at % 8));
                rbsp[at / 8] = static_cast<uint8_t>(((6 >> (4 - b)) & 1) != 0 ? rbsp[at / 8] | mask : rbsp[at / 8] & ~mask);
            }
        } else if (nal.type == kNalSei) {
            std::vector<SeiMessage> messages;
            ASSERT_EQ(ParseSeiMessages(rbsp.data(), rbsp.size(), messages), SyntaxError::kNone);
            std::vector<int> types;
            std::vector<Bytes> payloads;
            for (const SeiMessage& m : messages) {
                types.push_back(m.type);
                payloads.emplace_back(rbsp.begin() + static_cast<std::ptrdiff_t>(m.offset),
                                      rbsp.begin() + static_cast<std::ptrdiff_t>(m.offset + m.size));
                PicTiming timing;
                if (m.type == kSeiPicTiming) {
                    ASSERT_EQ(ParsePicTiming(payloads.back().data(), m.size, from, timing), SyntaxError::kNone);
                    ASSERT_LT(timing.cpbRemovalDelay, 128U);
                    payloads.back() = BuildPicTiming(to, timing);
                }
            }
            const Bytes sei = BuildSeiNal(types, payloads);
            stream.insert(stream.end(), {0x00, 0x00, 0x00, 0x01});
            stream.insert(stream.end(), sei.begin(), sei.end());
            continue;
        }
        stream.insert(stream.end(), {0x00, 0x00, 0x00, 0x01, nal.raw[0]});
        Escape(rbsp.data(), rbsp.size(), stream);
    }
    EXPECT_EQ(Convert(stream, JobKind::kPulldown).counters.refusal, Refusal::kNone);
    const Converted frames = Convert(stream, JobKind::kPulldown, kRate5994);
    EXPECT_EQ(frames.counters.refusal, Refusal::kCpbRemovalDelay);
    EXPECT_GE(frames.counters.refusalCount, 128);
    EXPECT_LT(frames.counters.refusalCount, 128 + 10);  // the first that does not fit
    EXPECT_GT(frames.counters.refusalValue, 0);
}

TEST(AvcStream, UndoGivesTheFilmBack)
{
    const Bytes anchor = ReadSample("film_pulldown.264");
    const Converted undone = Convert(anchor, JobKind::kUndo);
    ASSERT_EQ(undone.counters.refusal, Refusal::kNone);
    EXPECT_EQ(undone.counters.display.breaks32, 0U);
    const Timing out = ReadTiming(undone.output);
    EXPECT_EQ(out.slices, ReadTiming(anchor).slices);
    EXPECT_EQ(out.sps.at(0).timeScale, 48000U);
    for (const PicTiming& p : out.pictures) {
        EXPECT_EQ(p.picStruct, kPicStructFrame);
    }
    // Keeping the timing (a hybrid's), pictures of two fields keep their
    // field order, those of three show two.
    const Timing kept = ReadTiming(Convert(anchor, JobKind::kUndo, 0, 65536, kMostHeldBytes, true).output);
    const Timing input = ReadTiming(anchor);
    ASSERT_EQ(kept.pictures.size(), input.pictures.size());
    for (std::size_t k = 0; k < kept.pictures.size(); ++k) {
        const int was = input.pictures[k].picStruct;
        EXPECT_EQ(kept.pictures[k].picStruct, was == kPicStructTopBottom || was == kPicStructBottomTop ? was : 0);
    }
    // And pulldown put on again shows as x264's own did.
    const Converted again = Convert(undone.output, JobKind::kPulldown);
    ASSERT_EQ(again.counters.refusal, Refusal::kNone);
    const Timing redone = ReadTiming(again.output);
    const Timing original = ReadTiming(anchor);
    ASSERT_EQ(redone.pictures.size(), original.pictures.size());
    for (std::size_t k = 0; k < redone.pictures.size(); ++k) {
        EXPECT_EQ(redone.pictures[k].picStruct, original.pictures[k].picStruct) << k;
    }
}

TEST(AvcStream, Refusals)
{
    const Bytes film = ReadSample("film_23976.264");
    const Bytes pulldown = ReadSample("film_pulldown.264");
    EXPECT_EQ(Convert(pulldown, JobKind::kPulldown).counters.refusal, Refusal::kFrameRate);
    EXPECT_EQ(Convert(film, JobKind::kUndo).counters.refusal, Refusal::kUndoRate);
    // Cut inside the first SPS: it cannot be read.
    const Bytes cut(film.begin(), film.begin() + 12);
    const Converted cutOff = Convert(cut, JobKind::kPulldown);
    EXPECT_EQ(cutOff.counters.refusal, Refusal::kAvcSyntax);
    EXPECT_EQ(cutOff.counters.refusalCount, kNalSps);
    // Nothing but a NAL unit header: no stream at all.
    EXPECT_EQ(Convert(Bytes{0, 0, 1, 0x09, 0xF0}, JobKind::kPulldown).counters.refusal,
              Refusal::kNotElementaryStream);
}

// Memory stays bounded: what would hold more than the bound is refused at
// the NAL unit that passes it, the same whatever the chunks.
TEST(AvcStream, RefusesWhatWouldHoldTooMuch)
{
    const Bytes film = ReadSample("film_23976.264");
    const std::vector<Nal> nals = Split(film);
    ASSERT_EQ(nals[2].type, kNalSei);
    const std::size_t headers = 37;  // the SPS and PPS with their start codes: x264's SEI is at byte 37
    const Bytes sei = Bytes{0, 0, 0, 1} + nals[2].raw;
    const Bytes sps = Bytes{0, 0, 0, 1} + nals[0].raw;
    const auto stream = [&](const Bytes& after, std::size_t repeats) {
        Bytes bytes(headers + repeats * after.size());
        std::copy_n(film.begin(), headers, bytes.begin());
        for (std::size_t k = 0; k < repeats; ++k) {
            std::copy(after.begin(), after.end(), bytes.begin() + static_cast<std::ptrdiff_t>(headers + k * after.size()));
        }
        return bytes;
    };
    struct Case {
        const char* what;
        Bytes input;
        std::size_t most;
        int64_t first, last;  // where the NAL unit refused begins
        std::size_t step = 1;  // from the headers on, a multiple of this
    };
    constexpr std::size_t kLimit = 65536;
    const Bytes endless(kLimit, 0xFF);
    const Case cases[] = {
        // SEI NAL units without end, and no slice: one access unit growing.
        // Held: the SEI NAL units before it, each with its place (less
        // than the NAL unit itself).
        {"SEI only", stream(sei, 200), kLimit, kLimit / 2, kLimit, sei.size()},
        // A slice that never ends, or zero bytes that never do.
        {"endless slice", stream(Bytes{0, 0, 1, 0x65, 0x88} + endless, 1), kLimit, headers, headers},
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
    const Bytes spsOnly = stream(sps, 4000);
    const StreamCounters described = Convert(spsOnly, JobKind::kDescribe, 0, 4096, kLimit).counters;
    const StreamCounters converted = Convert(spsOnly, JobKind::kPulldown, 0, 4096, kLimit).counters;
    EXPECT_EQ(described.refusal, Refusal::kAvcTooLarge);
    EXPECT_EQ(converted.refusal, Refusal::kAvcTooLarge);
    EXPECT_LT(converted.refusalValue, described.refusalValue);
    // Within the bound the film is read to its end.
    EXPECT_EQ(Convert(film, JobKind::kPulldown, 0, 4096, 4 * film.size()).counters.refusal, Refusal::kNone);
}

// Each picture is timed by the SPS it was coded with, though a later SPS
// with the same id (here one without HRD parameters) comes before it is
// written.
TEST(AvcStream, PicturesKeepTheirOwnSps)
{
    const Bytes hrd = ReadSample("film_hrd.264");
    const Bytes film = ReadSample("film_23976.264");
    const Converted alone = Convert(hrd, JobKind::kPulldown);
    const Converted joined = Convert(hrd + film, JobKind::kPulldown);
    ASSERT_EQ(joined.counters.refusal, Refusal::kNone);
    EXPECT_TRUE(std::equal(alone.output.begin(), alone.output.end(), joined.output.begin()));
}

// A stream cut between a picture's SEI and its slices: converted, the
// picture timing message of no picture is left out, since it would not
// read by the SPS anew.
TEST(AvcStream, LeavesOutThePicTimingOfNoPicture)
{
    const Bytes hrd = ReadSample("film_hrd.264");
    const std::vector<Nal> nals = Split(hrd);
    ASSERT_EQ(nals[nals.size() - 2].type, kNalSei);  // x264: each picture's pic_timing before its slice
    const Bytes cut = hrd + Bytes{0, 0, 0, 1} + nals[nals.size() - 2].raw;
    const Converted converted = Convert(cut, JobKind::kPulldown);
    ASSERT_EQ(converted.counters.refusal, Refusal::kNone);
    EXPECT_TRUE(converted.output == Convert(hrd, JobKind::kPulldown).output);
}

// Described, a stream is written as it is to its last byte, whatever it
// ends with.
TEST(AvcStream, DescribingKeepsEveryByte)
{
    const Bytes film = ReadSample("film_23976.264");
    for (const Bytes& end : {Bytes{0, 0, 1}, Bytes{0, 0, 0, 1}, Bytes{0, 0, 0}, Bytes{0, 0, 1, 0x09}, Bytes{0x80}}) {
        for (const std::size_t chunk : {std::size_t{1}, film.size() + end.size()}) {
            const Converted described = Convert(film + end, JobKind::kDescribe, 0, chunk);
            EXPECT_EQ(described.counters.refusal, Refusal::kNone) << ::testing::PrintToString(end);
            EXPECT_TRUE(described.output == film + end) << ::testing::PrintToString(end) << ", chunk " << chunk;
        }
    }
}

// x264's film with its VUI's timing_info taken out: no rate to convert.
TEST(AvcStream, RefusesAnSpsWithoutTiming)
{
    Bytes film = ReadSample("film_23976.264");
    std::vector<Nal> nals = Split(film);
    std::size_t spsEnd = 0;
    for (std::size_t k = 0; k + 3 < film.size(); ++k) {
        if (film[k] == 0 && film[k + 1] == 0 && film[k + 2] == 1 && (film[k + 3] & 0x1F) == kNalSps) {
            spsEnd = k + 3 + nals[0].raw.size();
            break;
        }
    }
    const Nal& sps = nals[0];
    ASSERT_EQ(sps.type, kNalSps);
    AvcSps parsed;
    ASSERT_EQ(ParseSps(sps.rbsp.data(), sps.rbsp.size(), parsed), SyntaxError::kNone);
    // timing_info_present_flag 0, and its 65 bits gone.
    BitReader reader{sps.rbsp.data(), sps.rbsp.size()};
    BitWriter writer;
    const auto timingFlag = static_cast<std::size_t>(parsed.timingBit - 1);
    while (reader.bit < timingFlag) {
        WriteBits(writer, ReadBits(reader, 1), 1);
    }
    WriteBits(writer, 0, 1);
    reader.bit = timingFlag + 1 + 65;
    while (MoreRbspData(reader)) {
        WriteBits(writer, ReadBits(reader, 1), 1);
    }
    WriteTrailingBits(writer);
    Bytes stream = {0, 0, 0, 1, sps.raw[0]};
    Escape(writer.bytes.data(), writer.bytes.size(), stream);
    stream.insert(stream.end(), film.begin() + static_cast<std::ptrdiff_t>(spsEnd), film.end());
    const Converted converted = Convert(stream, JobKind::kPulldown);
    EXPECT_EQ(converted.counters.refusal, Refusal::kAvcNoTiming);
    EXPECT_EQ(converted.counters.refusalValue, 1);
    // Described, it is still read to the end.
    const Converted described = Convert(stream, JobKind::kDescribe);
    EXPECT_EQ(described.counters.refusal, Refusal::kNone);
    EXPECT_EQ(described.counters.display.pictures, 48U);
    EXPECT_EQ(described.output, stream);
}
