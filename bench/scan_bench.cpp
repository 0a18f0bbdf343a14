// How fast the scanner gets through a stream, against the simpler ways of
// finding start codes.
//
//   ratefold_bench [stream.m2v] [--benchmark_...]
//   ratefold_bench --benchmark_repetitions=5   medians of five runs
//
// The stream (by default the 24 fps sample) is tiled to 8 MiB and scanned in
// place in chunks of 512 KiB, each chunk starting with the bytes the
// previous one held back, as the converter hands them to the scanner. Two
// worst cases are measured too: 8 MiB of zero bytes, and 8 MiB of picture
// start codes back to back.
//
// ScanChunk is the scanner itself. The other rows walk the same chunks with
// the scanner's own header handling, but find the next start code prefix
// another way: the word-at-a-time search, a memchr for the 0x01 byte of the prefix,
// and a byte-by-byte look. Every row must write the same bytes and end with
// the same counters; the program refuses to run if they do not. After the
// table it prints the scanner's throughput over each walk's on each buffer:
// the aim on the stream is at least 2 times the memchr walk and 8 times the
// byte-by-byte walk.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iomanip>
#include <iterator>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "convert/convert.h"
#include "stream/scanner.h"
#include "stream/start_code_search.h"
#include "stream/start_codes.h"
#include "bench/reference_walk.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr std::size_t kBenchBytes = 8u << 20;

// The 0x01 that ends every start code prefix 00 00 01, and where it stands.
constexpr uint8_t kPrefixLastByte = 0x01;
constexpr int32_t kPrefixLastOffset = 2;

// Candidates by memchr for the prefix's 0x01, each checked for its two zeros;
// the last two positions, where a prefix may be cut off, one at a time.
int32_t FindByMemchr(const uint8_t* chunk, int32_t from, int32_t length)
{
    int32_t j = from;
    while (length - j > kPrefixLastOffset) {
        const void* hit = std::memchr(chunk + j + kPrefixLastOffset, kPrefixLastByte,
                                      static_cast<std::size_t>(length - j - kPrefixLastOffset));
        if (hit == nullptr) {
            j = length - kPrefixLastOffset;
            break;
        }
        const int32_t candidate = static_cast<int32_t>(static_cast<const uint8_t*>(hit) - chunk) - kPrefixLastOffset;
        if (chunk[candidate] == 0x00 && chunk[candidate + 1] == 0x00) {
            return candidate;
        }
        j = candidate + 1;
    }
    return FindPrefixByteByByte(chunk, j, length);
}

using ChunkFunction = int32_t (*)(uint8_t* chunk, int32_t length, StreamCounters& counters);

// Scans the whole buffer in place in reads of kReadSize, the held bytes in
// front of each: the counters at the end.
template <ChunkFunction Scan>
StreamCounters ScanBuffer(Bytes& buffer)
{
    // Every buffer is taken as the middle of a stream: the zero bytes and
    // the picture headers have no sequence header of their own.
    StreamCounters counters;
    counters.sequenceSeen = true;
    std::size_t position = 0;
    for (std::size_t readEnd = kReadSize; position < buffer.size(); readEnd += kReadSize) {
        const std::size_t end = std::min(readEnd, buffer.size());
        const int32_t length = static_cast<int32_t>(end - position);
        position += static_cast<std::size_t>(Scan(buffer.data() + position, length, counters));
        if (end == buffer.size()) {
            break;
        }
    }
    return counters;
}

// The buffers measured: the pristine bytes and a copy to work on, since
// the scanner edits headers in place (and refuses a frame rate it has
// already raised).
struct BenchBuffer {
    Bytes pristine;
    Bytes work;
};

BenchBuffer g_stream;
BenchBuffer g_zeros;
BenchBuffer g_pictures;

Bytes Tile(const Bytes& piece, std::size_t size)
{
    Bytes out;
    out.reserve(size);
    while (out.size() < size) {
        const std::size_t take = std::min(piece.size(), size - out.size());
        out.insert(out.end(), piece.begin(), piece.begin() + static_cast<std::ptrdiff_t>(take));
    }
    return out;
}

// Picture headers only: the start code, then temporal_reference counting
// up, picture_coding_type 1 (6.2.3).
Bytes BackToBackPictureHeaders(std::size_t size)
{
    Bytes out;
    out.reserve(size + kPictureHeaderBytes);
    for (int temporalReference = 0; out.size() < size; temporalReference = (temporalReference + 1) % 1024) {
        out.insert(out.end(), {0x00, 0x00, 0x01, kPictureStartCode, static_cast<uint8_t>(temporalReference >> 2),
                               static_cast<uint8_t>(((temporalReference & 3) << 6) | 0x08)});
    }
    out.resize(size);
    return out;
}

void Restore(benchmark::State& state, BenchBuffer& buffer)
{
    state.PauseTiming();
    std::memcpy(buffer.work.data(), buffer.pristine.data(), buffer.pristine.size());
    state.ResumeTiming();
}

template <ChunkFunction Scan>
void BM_Scan(benchmark::State& state, BenchBuffer* buffer)
{
    for (auto _ : state) {
        Restore(state, *buffer);
        benchmark::DoNotOptimize(ScanBuffer<Scan>(buffer->work).pictureCount);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(buffer->pristine.size()));
}

// The rows of the table: the scanner, then the walk with each other search.
struct Row {
    const char* name;
    void (*bench)(benchmark::State&, BenchBuffer*);
    StreamCounters (*scan)(Bytes&);
};

template <ChunkFunction Scan>
constexpr Row MakeRow(const char* name)
{
    return {name, BM_Scan<Scan>, ScanBuffer<Scan>};
}

const Row kRows[] = {
    MakeRow<ScanChunk>("ScanChunk"),
#if defined(RATEFOLD_HAVE_SSE2_SEARCH)
    MakeRow<WalkChunk<FindStartCodeSse2>>("WalkSse2"),
#endif
    MakeRow<WalkChunk<FindStartCodeScalar>>("WalkScalar"),
    MakeRow<WalkChunk<FindByMemchr>>("WalkMemchr"),
    MakeRow<WalkChunk<FindPrefixByteByByte>>("WalkByteByByte"),
};

bool ReadFile(const std::string& path, Bytes& bytes)
{
    std::ifstream in(path, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return in.good() || in.eof();
}

// Every row writes the same bytes and ends with the same counters.
bool RowsAgree(const char* name, BenchBuffer& buffer)
{
    Bytes scanned = buffer.pristine;
    const StreamCounters counters = ScanBuffer<ScanChunk>(scanned);
    if (counters.refusal != Refusal::kNone) {
        std::fprintf(stderr, "%s: %s", name, DescribeRefusal(counters).c_str());
        return false;
    }
    for (const Row& row : kRows) {
        buffer.work = buffer.pristine;
        const StreamCounters got = row.scan(buffer.work);
        if (buffer.work != scanned || got.pictureCount != counters.pictureCount ||
            got.temporalReference != counters.temporalReference || got.gopPictureBase != counters.gopPictureBase ||
            got.refusal != counters.refusal) {
            std::fprintf(stderr, "%s: %s does not do what ScanChunk does\n", name, row.name);
            return false;
        }
    }
    return true;
}

void Register(const char* bufferName, BenchBuffer* buffer)
{
    for (const Row& row : kRows) {
        benchmark::RegisterBenchmark((std::string(row.name) + "/" + bufferName).c_str(), row.bench, buffer);
    }
}

// The usual table, then the scanner against each walk on the same buffer
// (from the medians when there are repetitions).
class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Color : OO_None) {}

    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            const auto rate = run.counters.find("bytes_per_second");
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (!run.error_occurred && rate != run.counters.end() && (run.run_type == Run::RT_Iteration || median)) {
                rates_[run.run_name.function_name] = rate->second.value;
            }
        }
    }

    void Finalize() override
    {
        ConsoleReporter::Finalize();
        std::ostream& out = GetOutputStream();
        out << std::fixed << std::setprecision(1);
        for (const char* buffer : {"stream", "zeros", "pictures"}) {
            const auto scan = rates_.find(std::string("ScanChunk/") + buffer);
            if (scan == rates_.end()) {
                continue;
            }
            out << "ScanChunk/" << buffer << " " << scan->second / (1u << 30) << " GiB/s:";
            for (const char* walk : {"WalkMemchr", "WalkByteByByte", "WalkScalar"}) {
                const auto other = rates_.find(std::string(walk) + "/" + buffer);
                if (other != rates_.end()) {
                    out << "  " << scan->second / other->second << "x " << walk;
                }
            }
            out << "\n";
        }
    }

private:
    std::map<std::string, double> rates_;
};

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    const std::string path = argc > 1 ? argv[1] : RATEFOLD_BENCH_SAMPLE;
    Bytes sample;
    if (!ReadFile(path, sample) || sample.empty()) {
        std::fprintf(stderr, "can't read %s\n", path.c_str());
        return 1;
    }
    benchmark::AddCustomContext("stream", path + " tiled to 8 MiB, 512 KiB reads");

    g_stream.pristine = Tile(sample, kBenchBytes);
    g_zeros.pristine = Bytes(kBenchBytes, 0x00);
    g_pictures.pristine = BackToBackPictureHeaders(kBenchBytes);
    if (!RowsAgree("stream", g_stream) || !RowsAgree("zeros", g_zeros) || !RowsAgree("pictures", g_pictures)) {
        return 1;
    }

    Register("stream", &g_stream);
    Register("zeros", &g_zeros);
    Register("pictures", &g_pictures);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
