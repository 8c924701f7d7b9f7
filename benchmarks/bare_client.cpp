// The least a client can do for an update, in C++: the same exchanges as
// the library's (erase, page pointer, one program command per 16 bytes, page
// pointer, one read per page, done, refresh), up to W commands in flight,
// gathered into one write per batch, replies split as they come, and the
// SHA-256 digests of what was written and read back (OpenSSL).  Nothing
// else: no checks, no progress, no errors beyond giving up.
//
//   bare_client PORT IMAGE WINDOW    prints "seconds cpu_us_per_command equal"
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/sha.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

int sock = -1;
std::string in;  // received, not yet taken
size_t at = 0;

void fail(const char* what) {
    std::perror(what);
    std::exit(2);
}

void send_all(const std::string& data) {
    for (size_t done = 0; done < data.size();) {
        ssize_t n = ::send(sock, data.data() + done, data.size() - done, 0);
        if (n <= 0) fail("send");
        done += static_cast<size_t>(n);
    }
}

// The next whole reply in the buffer (a "#<x><len>" block with its CR LF,
// or a line), or "" when none is whole yet.
std::string take() {
    if (at >= in.size()) return "";
    if (in[at] == '#' && at + 1 < in.size()) {
        size_t digits = static_cast<size_t>(in[at + 1] - '0');
        size_t start = at + 2 + digits;
        if (start > in.size()) return "";
        size_t length = std::strtoul(in.substr(at + 2, digits).c_str(), nullptr, 10);
        if (start + length + 2 > in.size()) return "";
        std::string r = in.substr(at, start + length + 2 - at);
        at = start + length + 2;
        return r;
    }
    size_t end = in.find('\n', at);
    if (end == std::string::npos) return "";
    std::string r = in.substr(at, end + 1 - at);
    at = end + 1;
    return r;
}

void receive() {
    in.erase(0, at);
    at = 0;
    char buf[65536];
    ssize_t n = ::recv(sock, buf, sizeof buf, 0);
    if (n <= 0) fail("recv");
    in.append(buf, static_cast<size_t>(n));
}

// The replies already received, at least one (waited for), at most `limit`.
std::vector<std::string> replies(size_t limit) {
    std::vector<std::string> out;
    for (;;) {
        for (std::string r = out.size() < limit ? take() : ""; !r.empty(); r = out.size() < limit ? take() : "")
            out.push_back(r);
        if (!out.empty()) return out;
        receive();
    }
}

std::string reply() { return replies(1)[0]; }

std::string listed(const char* command) {
    send_all(std::string(command) + "\r\n");
    return reply();
}

std::string program_command(const unsigned char* data, size_t size) {
    char header[40];
    int digits = std::snprintf(header, sizeof header, "%zu", size);
    std::snprintf(header, sizeof header, "FPGA_PROGRAM #%d%02zu", digits, size);
    return std::string(header) + std::string(reinterpret_cast<const char*>(data), size) + "\r\n";
}

double cpu_seconds() {
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: bare_client PORT IMAGE WINDOW\n");
        return 2;
    }
    std::ifstream file(argv[2], std::ios::binary);
    std::vector<unsigned char> image((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    size_t window = std::strtoul(argv[3], nullptr, 10);
    auto started = std::chrono::steady_clock::now();
    double cpu = cpu_seconds();

    sock = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(std::atoi(argv[1])));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) fail("connect");
    int one = 1;
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

    listed("FPGA_ERASE 12");
    listed("FPGA_RST_PAGE_PTR CFG");
    SHA256_CTX written;
    SHA256_Init(&written);
    size_t blocks = (image.size() + 15) / 16, sent = 0, acknowledged = 0;
    while (acknowledged < blocks) {  // as many commands in flight as the window allows, refilled in one send
        std::string batch;
        for (; sent < blocks && sent - acknowledged < window; sent++) {
            size_t size = std::min<size_t>(16, image.size() - sent * 16);
            batch += program_command(image.data() + sent * 16, size);
            SHA256_Update(&written, image.data() + sent * 16, size);
        }
        if (!batch.empty()) send_all(batch);
        for (const std::string& r : replies(sent - acknowledged)) {
            if (r != "0\r\n") fail("a refused block");
            acknowledged++;
        }
    }
    listed("FPGA_RST_PAGE_PTR CFG");
    SHA256_CTX read;
    SHA256_Init(&read);
    size_t asked = 0, got = 0;
    while (got < blocks) {
        std::string batch;
        for (; asked < blocks && asked - got < window; asked++) batch += "FPGA_READ\r\n";
        if (!batch.empty()) send_all(batch);
        for (const std::string& r : replies(asked - got)) {
            if (r.size() > 6) SHA256_Update(&read, r.data() + 4, r.size() - 6);
            got++;
        }
    }
    unsigned char a[32], b[32];
    SHA256_Final(a, &written);
    SHA256_Final(b, &read);
    listed("FPGA_DONE");
    listed("FPGA_REFRESH");
    ::close(sock);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("%.6f %.3f %d\n", seconds, (cpu_seconds() - cpu) / (2.0 * blocks) * 1e6, std::memcmp(a, b, 32) == 0);
    return 0;
}
