// Copies a file through CFileStream with 16-byte reads and 1-byte writes (as encryption does)
// and with 16-byte writes (as decryption does), against a plain 64 KiB read/write loop on the
// same files, and prints the throughput of each and the ratios.
//
//   filestream_bench [MiB = 256] [folder = /dev/shm] [rounds = 3]

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "filestream/file_stream.h"
#include "filestream/text_convert.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void MakeSource(const std::string& path, std::size_t bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) {
        std::perror(path.c_str());
        std::exit(1);
    }
    std::vector<unsigned char> chunk(1 << 20);
    std::uint32_t x = 12345;
    for (auto& b : chunk) b = static_cast<unsigned char>((x = x * 1103515245u + 12345u) >> 24);
    for (std::size_t done = 0; done < bytes;) {
        const std::size_t n = std::min(chunk.size(), bytes - done);
        if (::write(fd, chunk.data(), n) != static_cast<ssize_t>(n)) std::exit(1);
        done += n;
    }
    ::close(fd);
}

double PlainCopy(const std::string& from, const std::string& to) {
    const auto start = Clock::now();
    const int in = ::open(from.c_str(), O_RDONLY);
    const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char> buf(64 * 1024);
    for (;;) {
        const ssize_t n = ::read(in, buf.data(), buf.size());
        if (n <= 0) break;
        if (::write(out, buf.data(), static_cast<std::size_t>(n)) != n) std::exit(1);
    }
    ::fsync(out);
    ::close(out);
    ::close(in);
    return Seconds(start);
}

enum class Writes { SingleBytes, Blocks, GatheredSingleBytes };

double StreamCopy(const std::string& from, const std::string& to, Writes writes) {
    const auto start = Clock::now();
    CFileStream in;
    CFileStream out;
    if (!in.Open(PathFromOsBytes(from), CFileStream::ModeRead) ||
        !out.Open(PathFromOsBytes(to), CFileStream::ModeCreate)) {
        std::exit(1);
    }
    unsigned char block[16];
    for (;;) {
        const std::int32_t n = in.Read(block, 16);
        if (n == 0) break;
        if (writes == Writes::SingleBytes) {
            for (std::int32_t i = 0; i < n; ++i) out.Write(&block[i], 1);
        } else if (writes == Writes::Blocks) {
            out.Write(block, n);
        } else {
            out.WriteSingleBytes(block, n);
        }
    }
    out.Close();
    in.Close();
    return Seconds(start);
}

bool SameContent(const std::string& a, const std::string& b) {
    struct stat sa {
    }, sb{};
    if (::stat(a.c_str(), &sa) != 0 || ::stat(b.c_str(), &sb) != 0) return false;
    if (sa.st_size != sb.st_size) return false;
    const int fa = ::open(a.c_str(), O_RDONLY);
    const int fb = ::open(b.c_str(), O_RDONLY);
    std::vector<char> x(1 << 20), y(1 << 20);
    bool same = true;
    for (;;) {
        const ssize_t n = ::read(fa, x.data(), x.size());
        const ssize_t m = ::read(fb, y.data(), y.size());
        if (n != m || (n > 0 && !std::equal(x.begin(), x.begin() + n, y.begin()))) same = false;
        if (n <= 0 || !same) break;
    }
    ::close(fa);
    ::close(fb);
    return same;
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
    std::string folder = argc > 2 ? argv[2] : "/dev/shm";
    const int rounds = argc > 3 ? std::atoi(argv[3]) : 3;
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0) folder = "/tmp";
    const std::string source = folder + "/vyx-bench-source.bin";
    const std::string plainOut = folder + "/vyx-bench-plain.bin";
    const std::string streamOut = folder + "/vyx-bench-stream.bin";
    const std::size_t bytes = mib << 20;
    MakeSource(source, bytes);

    double plain = 1e30, bytesWise = 1e30, blockWise = 1e30, gathered = 1e30;
    for (int r = 0; r < rounds; ++r) {
        plain = std::min(plain, PlainCopy(source, plainOut));
        bytesWise = std::min(bytesWise, StreamCopy(source, streamOut, Writes::SingleBytes));
        blockWise = std::min(blockWise, StreamCopy(source, streamOut, Writes::Blocks));
        gathered = std::min(gathered, StreamCopy(source, streamOut, Writes::GatheredSingleBytes));
    }
    const bool same = SameContent(source, streamOut);
    ::unlink(source.c_str());
    ::unlink(plainOut.c_str());
    ::unlink(streamOut.c_str());

    const double size = static_cast<double>(bytes) / (1 << 20);
    std::printf("file: %zu MiB in %s, best of %d rounds\n", mib, folder.c_str(), rounds);
    std::printf("plain 64 KiB loop          : %8.1f MiB/s\n", size / plain);
    std::printf("stream, 16 B reads, 1 B writes : %8.1f MiB/s  ratio %.2f\n", size / bytesWise,
                plain / bytesWise);
    std::printf("stream, 16 B reads, 16 B writes: %8.1f MiB/s  ratio %.2f\n", size / blockWise,
                plain / blockWise);
    std::printf("stream, 16 B reads, WriteSingleBytes(16): %8.1f MiB/s  ratio %.2f\n",
                size / gathered, plain / gathered);
    if (!same) {
        std::printf("copy differs from the source\n");
        return 1;
    }
    return 0;
}
