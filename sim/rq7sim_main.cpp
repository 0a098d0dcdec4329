// rq7sim: an RQ7 adapter on a pseudo-terminal, for trying the program without the hardware.
//
//   rq7sim [--address N] [--link PATH] [--verbose] [--dump PATH] [--hang-up-on REGISTER]
//          [--store-wrongly SLOT] [--hold-confirmation SLOT] [--lose-request SLOT]
//          [--seed N] [--noise P] [--lose P] [--late P] [--late-ms MAX]
//
// Prints the device to open as the serial port, optionally makes PATH a symbolic link to it (removed on
// exit), and serves until SIGINT or SIGTERM. With --verbose every request and reply is printed in hex.
// With --hang-up-on, a function-6 write to REGISTER is not answered: the line is hung up, as when a
// cable is pulled, and the adapter comes back at once on a new pseudo-terminal, to which PATH then leads.
// With --store-wrongly, every write to slot SLOT is acknowledged but stored with its first data byte
// inverted, as a failing memory cell would keep it.
// With --hold-confirmation, the first write to slot SLOT is stored but its confirmation comes late: it is
// held back, and the next request to the adapter is lost on the line (not carried out, not answered)
// while that confirmation arrives in answer to it. With --lose-request, the first write to slot SLOT is
// lost on its way to the adapter: not stored, not answered. Either happens once.
// With --noise, --lose and --late, that share (in percent) of the requests gets a reply spoiled by noise
// (one byte changed, or random bytes before it), lost, or sent up to MAX milliseconds late (default 500),
// drawn at random from --seed (default 1): the same seed and the same requests misbehave alike.
// With --dump, on exit the adapter's final state (address, translation mode, the coefficient block in
// hex and decoded, the register writes) and the whole line log are written to a file.

#include "coef/CoefBlock.h"
#include "coef/DeviceMap.h"
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
#include <unistd.h>
#include <variant>
#include <vector>

namespace {
void Usage(FILE* out) {
    std::fprintf(
        out, "usage: rq7sim [--address N] [--link PATH] [--verbose] [--dump PATH] [--hang-up-on REGISTER]\n"
             "              [--store-wrongly SLOT] [--hold-confirmation SLOT] [--lose-request SLOT]\n"
             "              [--seed N] [--noise P] [--lose P] [--late P] [--late-ms MAX]\n"
             "  --address N  the adapter's address, 0..255 (default 1)\n"
             "  --link PATH  make PATH a symbolic link to the device (removed on exit)\n"
             "  --verbose    print every request and reply in hex\n"
             "  --dump PATH  on exit, write the final block and the line log to PATH\n"
             "  --hang-up-on REGISTER\n"
             "               a function-6 write to REGISTER (0..65535) hangs the line up; the\n"
             "               adapter comes back on a new device, to which PATH then leads\n"
             "  --store-wrongly SLOT\n"
             "               a write to slot SLOT (1..16) is acknowledged but stored with its\n"
             "               first data byte inverted\n"
             "  --hold-confirmation SLOT\n"
             "               the first write to slot SLOT (1..16) is stored, but its confirmation\n"
             "               is held back and sent in answer to the next request, which is lost\n"
             "  --lose-request SLOT\n"
             "               the first write to slot SLOT (1..16) is lost on the line: not\n"
             "               stored, not answered\n"
             "  --noise P    P percent of the replies spoiled by noise (one byte changed, or\n"
             "               random bytes before the reply)\n"
             "  --lose P     P percent of the replies lost (the request is carried out)\n"
             "  --late P     P percent of the replies sent late, by 1..MAX ms\n"
             "  --late-ms MAX  the longest delay of a late reply (default 500)\n"
             "  --seed N     the seed of that random misbehaviour (default 1); the same seed\n"
             "               and the same requests give the same misbehaviour\n");
}

std::optional<int> ParseNumber(const char* text, long largest) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < 0 || value > largest) {
        return std::nullopt;
    }
    return static_cast<int>(value);
}

// A line record's kind as --verbose shows it and as the dump names it.
struct TKindTexts {
    const char* Shown;
    const char* Dumped;
};
TKindTexts KindTexts(TSimRecord::EKind kind) {
    switch (kind) {
    case TSimRecord::EKind::Request:
        return {"<- request ", "request"};
    case TSimRecord::EKind::Noise:
        return {"<- noise   ", "noise"};
    case TSimRecord::EKind::Reply:
        return {"-> reply   ", "reply"};
    case TSimRecord::EKind::Unsolicited:
        return {"-> raw     ", "raw"};
    case TSimRecord::EKind::HangUp:
        return {"-- hang-up ", "hang-up"};
    }
    return {"?? ", "request"};
}

std::string Hex(const TSimBytes& bytes) {
    return SimHexText(bytes.data(), bytes.size());
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
//   misbehaviour noise 0 lost 0 late 0     (the replies random misbehaviour spoiled)
//   register 375 1                         (each function-6 register write, in order)
//   request 0.123 00 03 00 00 00 07 04 19  (the line log: seconds since start, then the bytes)
void WriteSlots(std::ostream& out, const TSimImage& image) {
    TCoefImageBytes coefImage{};
    std::copy(image.begin(), image.end(), coefImage.begin());
    // Decoded as the program reads the block.
    using namespace rq7map;
    for (int k = 1; k <= kSlotCount; ++k) {
        const TSlotBytes d{image[4 * k], image[4 * k + 1], image[4 * k + 2], image[4 * k + 3]};
        out << "slot " << k << " " << SimHexText(d.data(), d.size()) << " ";
        char text[64];
        TCoefBlock block;
        block.StoreSlotReply(k, d);
        if (k <= kValueSlots) {
            std::snprintf(text, sizeof text, "value %.7g", block.LastValue);
            out << text;
        } else if (k == kFactoryNumberSlot) {
            out << "number " << block.FactoryNumber;
        } else if (k == kRecordDateSlot) {
            out << "date " << block.RecordDateText;
        } else if (k == kAddressSlot) {
            out << "address " << static_cast<unsigned>(d[1]);
        } else {
            block.ReadImage = coefImage;
            out << "checksum " << (block.VerifyReadImage() ? "good" : "bad");
        }
        out << "\n";
    }
}

void WriteLineLog(std::ostream& out, const TAdapterSimulator& sim, TSimClock::time_point start) {
    std::vector<TSimRecord> log = sim.Requests();
    const std::vector<TSimRecord> replies = sim.Replies();
    log.insert(log.end(), replies.begin(), replies.end());
    std::stable_sort(log.begin(), log.end(),
                     [](const TSimRecord& a, const TSimRecord& b) { return a.Time < b.Time; });
    for (const auto& record : log) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.3f",
                      std::chrono::duration<double>(record.Time - start).count());
        out << KindTexts(record.Kind).Dumped << " " << seconds << " " << Hex(record.Bytes) << "\n";
    }
}

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
        out << "image " << SimHexText(image.data(), image.size()) << "\n";
        WriteSlots(out, image);
        const TAdapterSimulator::TRandomCounts spoiled = sim.RandomCounts();
        out << "misbehaviour noise " << spoiled.Noise << " lost " << spoiled.Lost << " late " << spoiled.Late
            << "\n";
        for (const auto& write : sim.RegisterWrites()) {
            out << "register " << write.Register << " " << write.Value << "\n";
        }
        WriteLineLog(out, sim, start);
        out.flush();
        if (!out) {
            return false;
        }
    }
    return std::rename(temporary.c_str(), path.c_str()) == 0;
}

struct TOptions {
    int Address = 1;
    std::string Link;
    bool Verbose = false;
    std::string Dump;
    std::optional<int> HangUpRegister;
    std::optional<int> WrongSlot;
    std::optional<int> HeldSlot; // --hold-confirmation
    std::optional<int> LostSlot; // --lose-request
    TSimRandomMisbehaviour Random;
};

std::optional<double> ParsePercent(const char* text) {
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !(value >= 0 && value <= 100)) {
        return std::nullopt;
    }
    return value;
}

// --noise, --lose, --late, --late-ms and --seed; false (with the message printed) for a bad value.
bool ParseRandomOption(std::string_view arg, const char* value, TSimRandomMisbehaviour& random) {
    if (arg == "--seed") {
        char* end = nullptr;
        errno = 0;
        const unsigned long long seed = std::strtoull(value, &end, 10);
        if (errno != 0 || end == value || *end != '\0' || value[0] == '-' || seed > 0xFFFFFFFFull) {
            std::fprintf(stderr, "rq7sim: bad seed '%s'\n", value);
            return false;
        }
        random.Seed = static_cast<std::uint32_t>(seed);
        return true;
    }
    if (arg == "--late-ms") {
        const auto ms = ParseNumber(value, 60000);
        if (!ms || *ms < 1) {
            std::fprintf(stderr, "rq7sim: bad delay '%s'\n", value);
            return false;
        }
        random.LateMaxMs = *ms;
        return true;
    }
    const auto percent = ParsePercent(value);
    if (!percent) {
        std::fprintf(stderr, "rq7sim: bad percentage '%s'\n", value);
        return false;
    }
    (arg == "--noise"  ? random.NoisePercent
     : arg == "--lose" ? random.LostPercent
                       : random.LatePercent) = *percent;
    return true;
}

bool IsSlotOption(std::string_view arg) {
    return arg == "--store-wrongly" || arg == "--hold-confirmation" || arg == "--lose-request";
}

bool IsRandomOption(std::string_view arg) {
    return arg == "--seed" || arg == "--noise" || arg == "--lose" || arg == "--late" || arg == "--late-ms";
}

// The command line's options, or the exit code when the program is to end at once.
std::variant<TOptions, int> ParseOptions(int argc, char** argv) {
    TOptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--address" && i + 1 < argc) {
            const auto parsed = ParseNumber(argv[++i], 255);
            if (!parsed) {
                std::fprintf(stderr, "rq7sim: bad address '%s'\n", argv[i]);
                return 2;
            }
            options.Address = *parsed;
        } else if (arg == "--link" && i + 1 < argc) {
            options.Link = argv[++i];
        } else if (arg == "--dump" && i + 1 < argc) {
            options.Dump = argv[++i];
        } else if (arg == "--hang-up-on" && i + 1 < argc) {
            options.HangUpRegister = ParseNumber(argv[++i], 65535);
            if (!options.HangUpRegister) {
                std::fprintf(stderr, "rq7sim: bad register '%s'\n", argv[i]);
                return 2;
            }
        } else if (IsSlotOption(arg) && i + 1 < argc) {
            std::optional<int>& slot = arg == "--store-wrongly"       ? options.WrongSlot
                                       : arg == "--hold-confirmation" ? options.HeldSlot
                                                                      : options.LostSlot;
            slot = ParseNumber(argv[++i], kSimSlotCount);
            if (!slot || *slot < 1) {
                std::fprintf(stderr, "rq7sim: bad slot '%s'\n", argv[i]);
                return 2;
            }
        } else if (IsRandomOption(arg) && i + 1 < argc) {
            if (!ParseRandomOption(arg, argv[++i], options.Random)) {
                return 2;
            }
        } else if (arg == "--verbose" || arg == "-v") {
            options.Verbose = true;
        } else if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            return 0;
        } else {
            Usage(stderr);
            return 2;
        }
    }
    const TSimRandomMisbehaviour& r = options.Random;
    if (r.NoisePercent + r.LostPercent + r.LatePercent > 100) {
        std::fprintf(stderr, "rq7sim: --noise, --lose and --late add up to more than 100\n");
        return 2;
    }
    return options;
}

// Hang-ups are always told, with the device the adapter is now on; the line only with --verbose.
void ShowLine(TAdapterSimulator& sim, TSimClock::time_point start, bool verbose) {
    sim.SetObserver([start, verbose, &sim](const TSimRecord& record) {
        const double seconds = std::chrono::duration<double>(record.Time - start).count();
        if (record.Kind == TSimRecord::EKind::HangUp) {
            std::printf("%10.3f %s now on %s\n", seconds, KindTexts(record.Kind).Shown,
                        sim.DevicePath().c_str());
        } else if (verbose) {
            std::printf("%10.3f %s %s\n", seconds, KindTexts(record.Kind).Shown, Hex(record.Bytes).c_str());
        } else {
            return;
        }
        std::fflush(stdout);
    });
}
} // namespace

int main(int argc, char** argv) {
    const std::variant<TOptions, int> parsed = ParseOptions(argc, argv);
    if (const int* exitCode = std::get_if<int>(&parsed)) {
        return *exitCode;
    }
    const TOptions& options = std::get<TOptions>(parsed);

    // Block the stop signals before the simulator's thread starts, so only sigwait below takes them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    try {
        TAdapterSimulator sim(static_cast<std::uint8_t>(options.Address));
        const auto start = TSimClock::now();
        if (options.HangUpRegister) {
            sim.AddRule(TSimMatch::WriteRegister(static_cast<std::uint16_t>(*options.HangUpRegister)),
                        TSimAction::HangUp(), TSimRule::kAlways);
        }
        // The once-only rules first: a rule for every write to the same slot would take their turn.
        if (options.HeldSlot) {
            sim.AddRule(TSimMatch::WriteSlot(*options.HeldSlot), TSimAction::HoldReply());
        }
        if (options.LostSlot) {
            sim.AddRule(TSimMatch::WriteSlot(*options.LostSlot), TSimAction::LoseRequest());
        }
        if (options.WrongSlot) {
            sim.AddRule(TSimMatch::WriteSlot(*options.WrongSlot), TSimAction::StoreWrongly(0),
                        TSimRule::kAlways);
        }
        sim.SetRandomMisbehaviour(options.Random);
        ShowLine(sim, start, options.Verbose);
        if (!options.Link.empty()) {
            sim.SetLink(options.Link);
        }
        std::printf("rq7sim: adapter at address %d on %s\n", options.Address, sim.DevicePath().c_str());
        if (!options.Link.empty()) {
            std::printf("rq7sim: %s -> %s\n", options.Link.c_str(), sim.DevicePath().c_str());
        }
        std::printf("rq7sim: serving until Ctrl+C\n");
        std::fflush(stdout);

        int signal = 0;
        sigwait(&stopSignals, &signal);

        if (!options.Dump.empty() && !WriteDump(options.Dump, sim, start)) {
            std::fprintf(stderr, "rq7sim: cannot write %s: %s\n", options.Dump.c_str(), std::strerror(errno));
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
