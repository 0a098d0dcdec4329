// rq7sim: an RQ7 adapter on a pseudo-terminal, for trying the program without the hardware.
//
//   rq7sim [--address N] [--link PATH] [--verbose] [--dump PATH]
//
// Prints the device to open as the serial port, optionally makes PATH a symbolic link to it (removed on
// exit), and serves until SIGINT or SIGTERM. With --verbose every request and reply is printed in hex.
// With --dump, on exit the adapter's final state (address, translation mode, the coefficient block in
// hex and decoded, the register writes) and the whole line log are written to a file.

#include "coef/CoefBlock.h"
#include "sim/Simulator.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <optional>
#include <pthread.h>
#include <signal.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {
void Usage(FILE* out) {
    std::fprintf(out, "usage: rq7sim [--address N] [--link PATH] [--verbose] [--dump PATH]\n"
                      "  --address N  the adapter's address, 0..255 (default 1)\n"
                      "  --link PATH  make PATH a symbolic link to the device (removed on exit)\n"
                      "  --verbose    print every request and reply in hex\n"
                      "  --dump PATH  on exit, write the final block and the line log to PATH\n");
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
std::string Hex(const std::uint8_t* bytes, std::size_t n) {
    std::string hex;
    for (std::size_t i = 0; i < n; ++i) {
        char text[4];
        std::snprintf(text, sizeof text, i == 0 ? "%02X" : " %02X", bytes[i]);
        hex += text;
    }
    return hex;
}

std::string Hex(const TSimBytes& bytes) {
    return Hex(bytes.data(), bytes.size());
}

// The adapter's final state and the line log, one item a line, for people and scripts:
//   address 1
//   translation off
//   image 00 00 00 00 ...                  (68 bytes: 4 zero bytes, then slots 1..16)
//   slot 1 44 7C 80 00 value 1010          (slots 1..12: the device float)
//   slot 13 ... number 101001              (the factory number)
//   slot 14 ... date 03/07/2012(14:05:10)  (the recording date as the program shows it)
//   slot 15 ... address 1                  (the address byte D1)
//   slot 16 ... checksum good              (the block checksum against slots 1..15)
//   register 375 1                         (each function-6 register write, in order)
//   request 0.123 00 03 00 00 00 07 04 19  (the line log: seconds since start, then the bytes)
// Written to a temporary file and renamed, so a reader never sees half of it.
bool WriteDump(const std::string& path, const TAdapterSimulator& sim, TSimClock::time_point start) {
    const std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out) {
            return false;
        }
        out << "address " << static_cast<unsigned>(sim.Address()) << "\n";
        out << "translation " << (sim.TranslationMode() ? "on" : "off") << "\n";
        const TSimImage image = sim.Image();
        out << "image " << Hex(image.data(), image.size()) << "\n";
        TCoefImageBytes coefImage{};
        std::copy(image.begin(), image.end(), coefImage.begin());
        for (int k = 1; k <= 16; ++k) {
            const TSlotBytes d{image[4 * k], image[4 * k + 1], image[4 * k + 2], image[4 * k + 3]};
            out << "slot " << k << " " << Hex(d.data(), d.size()) << " ";
            char text[64];
            if (k <= 12) {
                std::snprintf(text, sizeof text, "value %.7g", DecodeDeviceFloat(d));
                out << text;
            } else if (k == 13 || k == 14) {
                TCoefBlock block;
                block.StoreSlotReply(k, d);
                if (k == 13) {
                    out << "number " << block.FactoryNumber;
                } else {
                    out << "date " << block.RecordDateText;
                }
            } else if (k == 15) {
                out << "address " << static_cast<unsigned>(d[1]);
            } else {
                const std::uint16_t sum = BlockChecksum(coefImage);
                const bool good = image[66] == (sum & 0xFF) && image[67] == (sum >> 8);
                out << "checksum " << (good ? "good" : "bad");
            }
            out << "\n";
        }
        for (const auto& write : sim.RegisterWrites()) {
            out << "register " << write.Register << " " << write.Value << "\n";
        }
        std::vector<TSimRecord> log = sim.Requests();
        const std::vector<TSimRecord> replies = sim.Replies();
        log.insert(log.end(), replies.begin(), replies.end());
        std::stable_sort(log.begin(), log.end(),
                         [](const TSimRecord& a, const TSimRecord& b) { return a.Time < b.Time; });
        for (const auto& record : log) {
            const char* kind = "request";
            switch (record.Kind) {
            case TSimRecord::EKind::Request:
                kind = "request";
                break;
            case TSimRecord::EKind::Noise:
                kind = "noise";
                break;
            case TSimRecord::EKind::Reply:
                kind = "reply";
                break;
            case TSimRecord::EKind::Unsolicited:
                kind = "raw";
                break;
            }
            char seconds[32];
            std::snprintf(seconds, sizeof seconds, "%.3f",
                          std::chrono::duration<double>(record.Time - start).count());
            out << kind << " " << seconds << " " << Hex(record.Bytes) << "\n";
        }
        out.flush();
        if (!out) {
            return false;
        }
    }
    return std::rename(temporary.c_str(), path.c_str()) == 0;
}
} // namespace

int main(int argc, char** argv) {
    int address = 1;
    std::string link;
    bool verbose = false;
    std::string dump;
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
        } else if (arg == "--dump" && i + 1 < argc) {
            dump = argv[++i];
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
                std::printf("%10.3f %s %s\n", seconds, KindText(record.Kind), Hex(record.Bytes).c_str());
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
        if (!dump.empty() && !WriteDump(dump, sim, start)) {
            std::fprintf(stderr, "rq7sim: cannot write %s: %s\n", dump.c_str(), std::strerror(errno));
            return 1;
        }
        std::printf("rq7sim: stopped (address %u, translation mode %s)\n", sim.Address(),
                    sim.TranslationMode() ? "on" : "off");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "rq7sim: %s\n", e.what());
        return 1;
    }
    return 0;
}
