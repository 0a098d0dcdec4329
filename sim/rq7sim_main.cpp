// rq7sim: an RQ7 adapter on a pseudo-terminal, for trying the program without the hardware.
//
//   rq7sim [--address N] [--link PATH] [--verbose]
//
// Prints the device to open as the serial port, optionally makes PATH a symbolic link to it (removed on
// exit), and serves until SIGINT or SIGTERM. With --verbose every request and reply is printed in hex.

#include "sim/Simulator.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <optional>
#include <pthread.h>
#include <signal.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace {
void Usage(FILE* out) {
    std::fprintf(out, "usage: rq7sim [--address N] [--link PATH] [--verbose]\n"
                      "  --address N  the adapter's address, 0..255 (default 1)\n"
                      "  --link PATH  make PATH a symbolic link to the device (removed on exit)\n"
                      "  --verbose    print every request and reply in hex\n");
}

std::optional<int> ParseAddress(const char* text) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < 0 || value > 255) {
        return std::nullopt;
    }
    return static_cast<int>(value);
}

const char* KindText(TSimRecord::EKind kind) {
    switch (kind) {
    case TSimRecord::EKind::Request:
        return "<- request ";
    case TSimRecord::EKind::Noise:
        return "<- noise   ";
    case TSimRecord::EKind::Reply:
        return "-> reply   ";
    case TSimRecord::EKind::Unsolicited:
        return "-> raw     ";
    }
    return "?? ";
}

// Replaces PATH with a link to target, unless PATH is something other than a symbolic link.
bool MakeLink(const std::string& path, const std::string& target) {
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            std::fprintf(stderr, "rq7sim: %s exists and is not a symbolic link\n", path.c_str());
            return false;
        }
        unlink(path.c_str());
    }
    if (symlink(target.c_str(), path.c_str()) != 0) {
        std::fprintf(stderr, "rq7sim: cannot make %s: %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    return true;
}

// Removes PATH only while it still leads to our device.
void RemoveLink(const std::string& path, const std::string& target) {
    char buffer[512] = {};
    const ssize_t n = readlink(path.c_str(), buffer, sizeof buffer - 1);
    if (n > 0 && std::string_view(buffer, static_cast<std::size_t>(n)) == target) {
        unlink(path.c_str());
    }
}
} // namespace

int main(int argc, char** argv) {
    int address = 1;
    std::string link;
    bool verbose = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--address" && i + 1 < argc) {
            const auto parsed = ParseAddress(argv[++i]);
            if (!parsed) {
                std::fprintf(stderr, "rq7sim: bad address '%s'\n", argv[i]);
                return 2;
            }
            address = *parsed;
        } else if (arg == "--link" && i + 1 < argc) {
            link = argv[++i];
        } else if (arg == "--verbose" || arg == "-v") {
            verbose = true;
        } else if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            return 0;
        } else {
            Usage(stderr);
            return 2;
        }
    }

    // Block the stop signals before the simulator's thread starts, so only sigwait below takes them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    try {
        TAdapterSimulator sim(static_cast<std::uint8_t>(address));
        const auto start = TSimClock::now();
        if (verbose) {
            sim.SetObserver([start](const TSimRecord& record) {
                const double seconds = std::chrono::duration<double>(record.Time - start).count();
                std::string hex;
                for (const auto b : record.Bytes) {
                    char text[4];
                    std::snprintf(text, sizeof text, " %02X", b);
                    hex += text;
                }
                std::printf("%10.3f %s%s\n", seconds, KindText(record.Kind), hex.c_str());
                std::fflush(stdout);
            });
        }
        if (!link.empty() && !MakeLink(link, sim.DevicePath())) {
            return 1;
        }
        std::printf("rq7sim: adapter at address %d on %s\n", address, sim.DevicePath().c_str());
        if (!link.empty()) {
            std::printf("rq7sim: %s -> %s\n", link.c_str(), sim.DevicePath().c_str());
        }
        std::printf("rq7sim: serving until Ctrl+C\n");
        std::fflush(stdout);

        int signal = 0;
        sigwait(&stopSignals, &signal);

        if (!link.empty()) {
            RemoveLink(link, sim.DevicePath());
        }
        std::printf("rq7sim: stopped (address %u, translation mode %s)\n", sim.Address(),
                    sim.TranslationMode() ? "on" : "off");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "rq7sim: %s\n", e.what());
        return 1;
    }
    return 0;
}
