// The streaming image download through a pseudo-terminal against modemsim:
// the library's dload_stream_download (stop-and-wait, 1 KiB blocks) against
// the least a stop-and-wait loop can do on the same kind of port and modem
// (write one prebuilt stream-write frame, read its 9-byte answer).
//
// Run: build/bin/bench_stream [--benchmark_repetitions=N] [--benchmark_format=json]
// (any of the library's flags). Real time, no time scale: what is measured
// is the port round trip.
#include <benchmark/benchmark.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "bench_errors.h"
#include "dload_commands.h"
#include "dload_stream.h"
#include "hdlc_frame.h"
#include "kq_log.h"
#include "serial_port.h"
#include "up_bytes.h"

#ifndef UP_BIN_DIR
#error "UP_BIN_DIR must name the folder of the built programs"
#endif

namespace {

constexpr uint32_t IMAGE_SIZE = 4u << 20;
constexpr uint32_t BLOCK = 1024;

struct bench_modem {
    std::string root;
    pid_t pid = -1;
    int port = -1;
    int package = -1;
};
bench_modem g;

int remove_entry(const char *path, const struct stat *, int, struct FTW *)
{
    return remove(path);
}

bool start_modem(void)
{
    char tmpl[] = "/tmp/benchstream.XXXXXX";
    if (mkdtemp(tmpl) == nullptr)
        return false;
    g.root = tmpl;
    std::string state = g.root + "/modem", links = g.root + "/dev";
    g.pid = fork();
    if (g.pid == 0) {
        execl(UP_BIN_DIR "/modemsim", "modemsim", state.c_str(), "--link-dir", links.c_str(), "--start",
              "programmer", (char *)nullptr);
        _exit(127);
    }
    std::string diag = links + "/ttyUSB0";
    for (int i = 0; i < 500 && access(diag.c_str(), F_OK) != 0; i++)
        usleep(10000);
    g.port = OpenAndInitSerialCom(diag.c_str(), 1);
    if (g.port < 0 || dload_hello_cmd(g.port) != 0 || dload_security_cmd(g.port) != 0)
        return false;
    // The programmer opens no image before it has a partition table, as the
    // modem step sends one after the greeting.
    std::string table_path = g.root + "/partition.mbn";
    std::vector<uint8_t> table(64);
    for (size_t i = 0; i < table.size(); i++)
        table[i] = (uint8_t)(i + 1);
    int table_fd = open(table_path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    bool table_sent = table_fd >= 0 && write(table_fd, table.data(), table.size()) == (ssize_t)table.size() &&
                      dload_partition_table_cmd(g.port, package_span{table_fd, 0, table.size()}) == 0;
    if (table_fd >= 0)
        close(table_fd);
    if (!table_sent)
        return false;

    std::vector<uint8_t> image(IMAGE_SIZE);
    for (uint32_t i = 0; i < IMAGE_SIZE; i++)
        image[i] = (uint8_t)(i * 131u + (i >> 9));
    std::string pkg = g.root + "/package.bin";
    int fd = open(pkg.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || write(fd, image.data(), image.size()) != (ssize_t)image.size())
        return false;
    g.package = fd;
    return true;
}

void stop_modem(void)
{
    if (g.port >= 0)
        close(g.port);
    if (g.package >= 0)
        close(g.package);
    if (g.pid > 0) {
        kill(g.pid, SIGTERM);
        waitpid(g.pid, nullptr, 0);
    }
    if (!g.root.empty())
        nftw(g.root.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

// Reads one answer frame (up to its closing flag) with nothing else done.
bool read_answer(int fd)
{
    uint8_t buf[64];
    size_t have = 0;
    while (have < sizeof buf) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 10500) <= 0)
            return false;
        ssize_t n = read(fd, buf + have, sizeof buf - have);
        if (n <= 0)
            return false;
        for (ssize_t i = 0; i < n; i++) {
            if (buf[have + (size_t)i] == HDLC_FLAG && have + (size_t)i > 0)
                return true;
        }
        have += (size_t)n;
    }
    return false;
}

void BM_LibraryStreamDownload(benchmark::State &state)
{
    for (auto _ : state) {
        state.PauseTiming();
        bool opened = dload_Dbl_cmd(g.port) == 0;
        state.ResumeTiming();
        if (!opened || dload_stream_download(g.port, package_span{g.package, 0, IMAGE_SIZE}, BLOCK) != 0) {
            state.SkipWithError("stream download failed");
            break;
        }
        state.PauseTiming();
        dload_close_packet_cmd(g.port);
        state.ResumeTiming();
    }
    state.SetBytesProcessed((int64_t)state.iterations() * IMAGE_SIZE);
}

// Extra work the minimal loop can be told to do, to tell where the library's
// time goes (benchmark argument, bits): the input flush that precedes every
// write of the library, and its log line per block.
enum { WITH_FLUSH = 1, WITH_LOG = 2 };

// Every frame of the image built beforehand: the minimal loop only writes
// and reads.
bool build_frames(std::vector<std::vector<uint8_t>> *frames)
{
    frames->assign(IMAGE_SIZE / BLOCK, {});
    std::vector<uint8_t> payload(5 + BLOCK);
    for (uint32_t b = 0; b < frames->size(); b++) {
        payload[0] = STREAM_WRITE;
        put_le32(&payload[1], b * BLOCK);
        if (pread(g.package, &payload[5], BLOCK, (off_t)b * BLOCK) != (ssize_t)BLOCK)
            return false;
        auto &f = (*frames)[b];
        f.resize(2 * payload.size() + 8);
        ssize_t n = hdlc_frame_payload(payload.data(), payload.size(), true, f.data(), f.size());
        if (n < 0)
            return false;
        f.resize((size_t)n);
    }
    return true;
}

bool minimal_loop(const std::vector<std::vector<uint8_t>> &frames, int extra)
{
    for (auto &f : frames) {
        if (extra & WITH_FLUSH)
            tcflush(g.port, TCIFLUSH);
        if (extra & WITH_LOG)
            UP_LOG(KQ_LOG_DEBUG, "[%s:%d].\n");
        if (write(g.port, f.data(), f.size()) != (ssize_t)f.size() || !read_answer(g.port))
            return false;
    }
    return true;
}

void BM_MinimalStopAndWaitLoop(benchmark::State &state)
{
    const int extra = (int)state.range(0);
    std::vector<std::vector<uint8_t>> frames;
    if (!build_frames(&frames)) {
        state.SkipWithError("package read failed");
        return;
    }
    for (auto _ : state) {
        state.PauseTiming();
        bool opened = dload_Dbl_cmd(g.port) == 0;
        state.ResumeTiming();
        if (!opened || !minimal_loop(frames, extra)) {
            state.SkipWithError("minimal loop failed");
            return;
        }
        state.PauseTiming();
        dload_close_packet_cmd(g.port);
        state.ResumeTiming();
    }
    state.SetBytesProcessed((int64_t)state.iterations() * IMAGE_SIZE);
}

double seconds_since(const std::chrono::steady_clock::time_point &t0)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

double thread_cpu_seconds()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

// The library, the bare loop and the bare loop with the input flush and the
// log line alternate in rounds of 1 MiB each (the order alternates too), so
// all see the same load on a shared machine; "ratio" is library throughput /
// bare loop throughput over the whole run, "ratio_vs_flush_log" the same
// against the bare loop with flush and log line. Each library round includes
// the 2 ms pause the download makes before its first block, so rounds are not
// made smaller than 1 MiB (about 0.5 % of a round on an idle machine). The *_cpu_us
// counters are this thread's processor time per 1 KiB block: the host side's
// own work, which the load of other programs does not inflate.
constexpr uint32_t ROUND_BYTES = 1u << 20;
constexpr uint32_t ROUND_BLOCKS = ROUND_BYTES / BLOCK;

struct side_time {
    double wall = 0, cpu = 0;
};

bool library_round(uint32_t round, side_time *t)
{
    if (dload_Dbl_cmd(g.port) != 0)
        return false;
    auto t0 = std::chrono::steady_clock::now();
    double c0 = thread_cpu_seconds();
    bool ok = dload_stream_download(g.port, package_span{g.package, (uint64_t)round * ROUND_BYTES, ROUND_BYTES}, BLOCK) == 0;
    t->cpu += thread_cpu_seconds() - c0;
    t->wall += seconds_since(t0);
    return dload_close_packet_cmd(g.port) == 0 && ok;
}

bool minimal_round(const std::vector<std::vector<uint8_t>> &frames, uint32_t round, side_time *t,
                   int extra = 0)
{
    if (dload_Dbl_cmd(g.port) != 0)
        return false;
    std::vector<std::vector<uint8_t>> part(frames.begin() + round * ROUND_BLOCKS,
                                           frames.begin() + (round + 1) * ROUND_BLOCKS);
    auto t0 = std::chrono::steady_clock::now();
    double c0 = thread_cpu_seconds();
    bool ok = minimal_loop(part, extra);
    t->cpu += thread_cpu_seconds() - c0;
    t->wall += seconds_since(t0);
    return dload_close_packet_cmd(g.port) == 0 && ok;
}

void BM_InterleavedRatio(benchmark::State &state)
{
    std::vector<std::vector<uint8_t>> frames;
    if (!build_frames(&frames)) {
        state.SkipWithError("package read failed");
        return;
    }
    side_time lib, min, mandated;
    for (auto _ : state) {
        for (uint32_t round = 0; round < IMAGE_SIZE / ROUND_BYTES; round++) {
            bool ok = (round % 2 == 0)
                          ? library_round(round, &lib) && minimal_round(frames, round, &min) &&
                                minimal_round(frames, round, &mandated, WITH_FLUSH | WITH_LOG)
                          : minimal_round(frames, round, &mandated, WITH_FLUSH | WITH_LOG) &&
                                minimal_round(frames, round, &min) && library_round(round, &lib);
            if (!ok) {
                state.SkipWithError("download failed");
                return;
            }
        }
    }
    double n = (double)state.iterations();
    double blocks = n * (IMAGE_SIZE / BLOCK);
    state.counters["library_ms"] = 1000 * lib.wall / n;
    state.counters["minimal_ms"] = 1000 * min.wall / n;
    state.counters["ratio"] = lib.wall > 0 ? min.wall / lib.wall : 0;
    state.counters["library_cpu_us"] = 1e6 * lib.cpu / blocks;
    state.counters["minimal_cpu_us"] = 1e6 * min.cpu / blocks;
    // The bare loop plus the two steps the protocol's code keeps per block
    // (input flush before the write, the debug line after the answer).
    state.counters["ratio_vs_flush_log"] = lib.wall > 0 ? mandated.wall / lib.wall : 0;
    state.counters["flush_log_cpu_us"] = 1e6 * mandated.cpu / blocks;
}

BENCHMARK(BM_LibraryStreamDownload)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_MinimalStopAndWaitLoop)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2.0)
    ->Arg(0)
    ->Arg(WITH_FLUSH)
    ->Arg(WITH_LOG)
    ->Arg(WITH_FLUSH | WITH_LOG);
BENCHMARK(BM_InterleavedRatio)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(8);

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    if (!start_modem()) {
        fprintf(stderr, "bench_stream: cannot start modemsim: %s\n", strerror(errno));
        stop_modem();
        return 1;
    }
    int rc = run_benchmarks_failing_on_error("bench_stream");
    benchmark::Shutdown();
    stop_modem();
    return rc;
}
