// A device for benchmarks, fast enough never to be what a client waits for:
// it speaks the FPGA update protocol over TCP on loopback, one connection at
// a time, and answers every command that arrived in one read with one write.
//
//   fastdev PORT [DELAY_US]   (port 0: a free one, printed on the first line;
//                              DELAY_US: held before each reply, in microseconds)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

std::vector<unsigned char> flash;
size_t pointer = 0;
size_t programmed = 0;
const char* version = "0.2.3.5";
long delay_us = 0;
size_t replies = 0;  // of the commands answered by the last call of answer()

bool starts_with(const std::string& s, size_t at, const char* prefix) {
    return s.compare(at, std::strlen(prefix), prefix) == 0;
}

// Answers the whole commands at the front of `in` into `out`; returns how
// many bytes of `in` they took.
size_t answer(const std::string& in, std::string& out) {
    size_t at = 0;
    replies = 0;
    while (at < in.size()) {
        replies++;
        if (starts_with(in, at, "FPGA_PROGRAM #")) {
            size_t hash = at + 13;
            if (in.size() < hash + 2) {
                replies--;
                break;
            }
            int digits = in[hash + 1] - '0';
            size_t width = digits < 2 ? 2 : static_cast<size_t>(digits);
            size_t start = hash + 2 + width;
            if (in.size() < start) {
                replies--;
                break;
            }
            size_t length = std::strtoul(in.substr(hash + 2, width).c_str(), nullptr, 10);
            size_t end = start + length + 2;  // CR LF
            if (in.size() < end) {
                replies--;
                break;
            }
            if (flash.size() < pointer + length) flash.resize(pointer + length, 0xFF);
            std::memcpy(flash.data() + pointer, in.data() + start, length);
            pointer += length;
            if (pointer > programmed) programmed = pointer;
            out += "0\r\n";
            at = end;
            continue;
        }
        size_t line_end = in.find('\n', at);
        if (line_end == std::string::npos) {
            replies--;
            break;
        }
        std::string line = in.substr(at, line_end - at);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        at = line_end + 1;
        if (line == "FPGA_READ") {
            size_t begin = pointer < programmed ? pointer : programmed;
            size_t stop = pointer + 16 < programmed ? pointer + 16 : programmed;
            char head[8];
            std::snprintf(head, sizeof head, "#2%02zu", stop - begin);
            out += head;
            out.append(reinterpret_cast<const char*>(flash.data()) + begin, stop - begin);
            out += "\r\n";
            pointer += 16;
        } else if (starts_with(line, 0, "FPGA_ERASE")) {
            flash.clear();
            programmed = pointer = 0;
            out += "0\r\n";
        } else if (starts_with(line, 0, "FPGA_RST_PAGE_PTR")) {
            pointer = 0;
            out += "0\r\n";
        } else if (line == "FPGA_REFRESH") {
            if (programmed) version = "0.2.4.0";
            out += "0\r\n";
        } else if (line == "GET_FPGA_VER") {
            out += version;
            out += "\r\n";
        } else if (line == "FPGA_GET_ID") {
            out += "0x0A3F5C21\r\n";
        } else if (line == "GET_FW_VER") {
            out += "0.1.0.8\r\n";
        } else if (line == "GET_FE_INFO") {
            out += std::string("{\"dev0\": {\"fpga_ver\": \"") + version + "\"}}\r\n";
        } else {
            out += "0\r\n";
        }
    }
    return at;
}

void serve(int client) {
    int one = 1;
    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::string in, out;
    std::vector<char> chunk(1 << 16);
    for (;;) {
        ssize_t got = recv(client, chunk.data(), chunk.size(), 0);
        if (got <= 0) return;
        in.append(chunk.data(), static_cast<size_t>(got));
        out.clear();
        in.erase(0, answer(in, out));
        if (delay_us && replies)
            std::this_thread::sleep_for(std::chrono::microseconds(delay_us * static_cast<long>(replies)));
        for (size_t sent = 0; sent < out.size();) {
            ssize_t n = send(client, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return;
            sent += static_cast<size_t>(n);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    int port = argc > 1 ? std::atoi(argv[1]) : 0;
    delay_us = argc > 2 ? std::atol(argv[2]) : 0;
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, 8) != 0) {
        std::perror("fastdev");
        return 1;
    }
    socklen_t size = sizeof address;
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size);
    std::printf("%d\n", ntohs(address.sin_port));
    std::fflush(stdout);
    for (;;) {
        int client = accept(listener, nullptr, nullptr);
        if (client < 0) continue;
        serve(client);
        close(client);
    }
}
