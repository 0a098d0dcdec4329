// The adapter simulator is the test equipment of every exchange test, so its framing, its default block
// and its scripted misbehaviour are checked here by talking to it through a raw pseudo-terminal
// descriptor, without the program's port layer.

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "coef/Crc.h"
#include "sim/Simulator.h"

namespace {
using TBytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;
constexpr auto kHang = 5000ms; // only to end a test that would otherwise hang

TBytes Framed(TBytes body) {
    AppendModbusCrc(body);
    return body;
}

bool ChecksumOk(const TBytes& frame) {
    return frame.size() >= 4 && ModbusCrcMatches(frame.data(), frame.size());
}

TBytes ReadSlotRequest(int k) {
    const int reg = 255 + 2 * k;
    return Framed(
        {0x00, 0x03, static_cast<std::uint8_t>(reg >> 8), static_cast<std::uint8_t>(reg), 0x00, 0x02});
}

const TBytes kIdentify = {0x00, 0x03, 0x00, 0x00, 0x00, 0x07, 0x05, 0xD9};

// The program's end of the line: the slave side opened raw, as a port layer would.
class TLine {
public:
    int Fd() const { return fd_; }
    explicit TLine(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)) {
        termios t{};
        if (fd_ >= 0 && tcgetattr(fd_, &t) == 0) {
            cfmakeraw(&t);
            tcsetattr(fd_, TCSANOW, &t);
        }
    }
    ~TLine() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    TLine(const TLine&) = delete;
    TLine& operator=(const TLine&) = delete;

    bool IsOpen() const { return fd_ >= 0; }
    void Send(const TBytes& bytes) const {
        ASSERT_EQ(write(fd_, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    }

    // Reads until n bytes have arrived (or the hang guard runs out).
    TBytes Receive(std::size_t n) const {
        TBytes got;
        const auto end = std::chrono::steady_clock::now() + kHang;
        while (got.size() < n && std::chrono::steady_clock::now() < end) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 50) > 0) {
                std::uint8_t buffer[512];
                const ssize_t r = read(fd_, buffer, sizeof buffer);
                if (r > 0) {
                    got.insert(got.end(), buffer, buffer + r);
                }
            }
        }
        return got;
    }

private:
    int fd_;
};

// Sends a request and returns the reply; the simulator has logged it once it has sent it all.
TBytes Exchange(TAdapterSimulator& sim, const TLine& line, const TBytes& request) {
    const std::size_t before = sim.Replies().size();
    line.Send(request);
    if (!sim.WaitForReplies(before + 1, kHang)) {
        return {};
    }
    return line.Receive(sim.Replies().back().Bytes.size());
}
} // namespace

TEST(Simulator, AnswersIdentifyAndSlotReadsWithItsOwnAddressInValidFrames) {
    TAdapterSimulator sim(7);
    TLine line(sim.DevicePath());
    ASSERT_TRUE(line.IsOpen());

    const TBytes identify = Exchange(sim, line, kIdentify);
    ASSERT_EQ(identify.size(), 19u);
    EXPECT_EQ(identify[0], 7);
    EXPECT_EQ(identify[1], 3);
    EXPECT_EQ(identify[2], 14);
    EXPECT_TRUE(ChecksumOk(identify));

    const TBytes slot5 = Exchange(sim, line, ReadSlotRequest(5));
    EXPECT_EQ(slot5, Framed({7, 3, 4, 0x00, 0x00, 0x43, 0x39})); // 185.0: channel 2 at 20 mA shows 85.00

    const auto requests = sim.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].Kind, TSimRecord::EKind::Request);
    EXPECT_EQ(requests[0].Bytes, kIdentify);
    EXPECT_LE(requests[0].Time, requests[1].Time);
}

TEST(Simulator, DefaultBlockReadOverTheLineHasTheRealLayoutAndAValidChecksum) {
    TAdapterSimulator sim(1);
    TLine line(sim.DevicePath());
    TSimImage read{};
    for (int k = 1; k <= 16; ++k) {
        const TBytes reply = Exchange(sim, line, ReadSlotRequest(k));
        ASSERT_EQ(reply.size(), 9u) << "slot " << k;
        ASSERT_TRUE(ChecksumOk(reply)) << "slot " << k;
        std::copy(reply.begin() + 3, reply.begin() + 7, read.begin() + 4 * k);
    }
    EXPECT_EQ(read, sim.Image());

    EXPECT_TRUE(CrcStored(read.data() + 66, ModbusCrc16Of(read.data() + 1, 65)));
    EXPECT_EQ(TSimSlot({read[52], read[53], read[54], read[55]}),
              TSimSlot({0x89, 0x8A, 0x01, 0x00})); // 101001
    EXPECT_EQ(TSimSlot({read[56], read[57], read[58], read[59]}), TSimSlot({0xA5, 0x70, 0xE3, 0x40}));
    EXPECT_EQ(TSimSlot({read[60], read[61], read[62], read[63]}), TSimSlot({0, 1, 0, 0}));
    EXPECT_EQ(read[64], 0xFF);
    EXPECT_EQ(read[65], 0x00);

    // The device float: low register first, lowest mantissa bit cleared.
    EXPECT_EQ(EncodeSimFloat(20.0), TSimSlot({0x00, 0x00, 0x41, 0xA0}));
    EXPECT_EQ(EncodeSimFloat(-1.5), TSimSlot({0x00, 0x00, 0xBF, 0xC0}));
    EXPECT_EQ(EncodeSimFloat(0.1), TSimSlot({0xCC, 0xCC, 0x3D, 0xCC}));

    // A different address is part of the block and so of its checksum.
    const TSimImage other = DefaultSimImage(9);
    EXPECT_EQ(other[61], 9);
    EXPECT_NE(SimBlockChecksum(other), SimBlockChecksum(read));
    EXPECT_EQ(other[66] | (other[67] << 8), SimBlockChecksum(other));
}

TEST(Simulator, StoresSlotWritesAndRegisterWrites) {
    TAdapterSimulator sim(1);
    TLine line(sim.DevicePath());

    const TBytes write = Framed({0x00, 0x10, 0x01, 0x05, 0x00, 0x02, 0x04, 0x11, 0x22, 0x33, 0x44});
    EXPECT_EQ(Exchange(sim, line, write), Framed({0x01, 0x10, 0x01, 0x05, 0x00, 0x02}));
    EXPECT_EQ(sim.Slot(3), TSimSlot({0x11, 0x22, 0x33, 0x44}));
    EXPECT_EQ(Exchange(sim, line, ReadSlotRequest(3)), Framed({0x01, 0x03, 0x04, 0x11, 0x22, 0x33, 0x44}));

    const TBytes translation = {0x00, 0x06, 0x01, 0x75, 0x00, 0x01, 0x59, 0xFD};
    EXPECT_FALSE(sim.TranslationMode());
    EXPECT_EQ(Exchange(sim, line, translation), Framed({0x01, 0x06, 0x01, 0x75, 0x00, 0x01}));
    EXPECT_TRUE(sim.TranslationMode());

    // The address write is confirmed by the old address; later replies carry the new one.
    const TBytes address = {0x00, 0x06, 0x01, 0x77, 0x00, 0x05, 0xF9, 0xFE};
    EXPECT_EQ(Exchange(sim, line, address), Framed({0x01, 0x06, 0x01, 0x77, 0x00, 0x05}));
    EXPECT_EQ(sim.Address(), 5);
    EXPECT_EQ(Exchange(sim, line, kIdentify).at(0), 5);

    const auto writes = sim.RegisterWrites();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].Register, 373);
    EXPECT_EQ(writes[1].Register, 375);
    EXPECT_EQ(sim.RegisterValue(375), 5);
    EXPECT_FALSE(sim.RegisterValue(100).has_value());
}

TEST(Simulator, RefusesUnknownFunctionsRegistersAndCountsWithExceptionReplies) {
    TAdapterSimulator sim(1);
    TLine line(sim.DevicePath());
    EXPECT_EQ(Exchange(sim, line, Framed({0x00, 0x04, 0x00, 0x00, 0x00, 0x01})), Framed({0x01, 0x84, 0x01}));
    EXPECT_EQ(Exchange(sim, line, Framed({0x00, 0x03, 0x00, 0x64, 0x00, 0x02})), Framed({0x01, 0x83, 0x02}));
    EXPECT_EQ(Exchange(sim, line, Framed({0x00, 0x03, 0x01, 0x1F, 0x00, 0x03})), Framed({0x01, 0x83, 0x02}));
    EXPECT_EQ(Exchange(sim, line, Framed({0x00, 0x03, 0x01, 0x01, 0x00, 0x00})), Framed({0x01, 0x83, 0x03}));
    EXPECT_EQ(Exchange(sim, line, Framed({0x00, 0x06, 0x01, 0x76, 0x00, 0x01})), Framed({0x01, 0x86, 0x02}));
    EXPECT_EQ(Exchange(sim, line, Framed({0x00, 0x10, 0x01, 0x01, 0x00, 0x02, 0x02, 0x01, 0x02})),
              Framed({0x01, 0x90, 0x03}));
    EXPECT_EQ(sim.Image(), DefaultSimImage(1));
}

TEST(Simulator, SkipsBadFramesAndGarbageAndAnswersTheNextGoodRequest) {
    TAdapterSimulator sim(1);
    TLine line(sim.DevicePath());

    TBytes badChecksum = kIdentify;
    badChecksum.back() ^= 0x01;
    line.Send(badChecksum);
    ASSERT_TRUE(sim.WaitForRequests(1, kHang));
    line.Send(Framed({0x05, 0x03, 0x00, 0x00, 0x00, 0x07})); // another slave's identify
    ASSERT_TRUE(sim.WaitForRequests(2, kHang));
    line.Send({0x00, 0x03, 0x01}); // a torn frame
    TBytes garbageThenRequest = {0xFF, 0x10, 0x00, 0x7E};
    const TBytes request = ReadSlotRequest(1);
    garbageThenRequest.insert(garbageThenRequest.end(), request.begin(), request.end());
    line.Send(garbageThenRequest);

    // Only the good request was answered: its reply is the first byte on the line.
    EXPECT_EQ(line.Receive(9), Framed({0x01, 0x03, 0x04, 0x00, 0x00, 0x41, 0x80}));
    ASSERT_EQ(sim.Replies().size(), 1u);

    const auto log = sim.Requests();
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(log[0].Kind, TSimRecord::EKind::Noise);
    EXPECT_EQ(log[0].Bytes, badChecksum);
    EXPECT_EQ(log[1].Kind, TSimRecord::EKind::Request);
    EXPECT_EQ(log.back().Kind, TSimRecord::EKind::Request);
    EXPECT_EQ(log.back().Bytes, request);
}

TEST(Simulator, ScriptedSilenceAndSecondAttemptApplyOnlyToMatchingRequestsAndRunOut) {
    TAdapterSimulator sim(1);
    TLine line(sim.DevicePath());
    sim.AddRule(TSimMatch::ReadSlot(2), TSimAction::Silent(), 2);
    sim.AddRule(TSimMatch::ReadSlot(4), TSimAction::AnswerSecondAttempt());
    EXPECT_EQ(sim.ActiveRules(), 2u);

    // Slot 2 twice unanswered; slot 1 in between unaffected; the third slot 2 answered.
    line.Send(ReadSlotRequest(2));
    ASSERT_TRUE(sim.WaitForRequests(1, kHang));
    EXPECT_EQ(Exchange(sim, line, ReadSlotRequest(1)).size(), 9u);
    line.Send(ReadSlotRequest(2));
    ASSERT_TRUE(sim.WaitForRequests(3, kHang));
    const TBytes third = Exchange(sim, line, ReadSlotRequest(2));
    EXPECT_EQ(TBytes(third.begin() + 3, third.end() - 2), TBytes({0x00, 0x00, 0x00, 0x00})); // slot 2: 0.0
    EXPECT_EQ(sim.Replies().size(), 2u);

    // Slot 4: first attempt silent, the retry answered, and after that the rule is spent.
    line.Send(ReadSlotRequest(4));
    ASSERT_TRUE(sim.WaitForRequests(5, kHang));
    EXPECT_EQ(Exchange(sim, line, ReadSlotRequest(4)).size(), 9u);
    EXPECT_EQ(Exchange(sim, line, ReadSlotRequest(4)).size(), 9u);
    EXPECT_EQ(sim.Replies().size(), 4u);
    EXPECT_EQ(sim.ActiveRules(), 0u);
}

TEST(Simulator, ScriptedSpoiledRepliesHaveTheShapeAsked) {
    TAdapterSimulator sim(1);
    TLine line(sim.DevicePath());
    const TBytes good = Framed({0x01, 0x03, 0x04, 0x00, 0x00, 0x41, 0x80});

    sim.AddRule(TSimMatch::Any(), TSimAction::BadChecksum());
    const TBytes bad = Exchange(sim, line, ReadSlotRequest(1));
    ASSERT_EQ(bad.size(), 9u);
    EXPECT_FALSE(ChecksumOk(bad));
    EXPECT_EQ(TBytes(bad.begin(), bad.begin() + 7), TBytes(good.begin(), good.begin() + 7));

    sim.AddRule(TSimMatch::Any(), TSimAction::Exception(4));
    EXPECT_EQ(Exchange(sim, line, ReadSlotRequest(1)), Framed({0x01, 0x83, 0x04}));

    sim.AddRule(TSimMatch::Any(), TSimAction::StrayBefore({0xAA, 0x55}));
    TBytes stray = {0xAA, 0x55};
    stray.insert(stray.end(), good.begin(), good.end());
    EXPECT_EQ(Exchange(sim, line, ReadSlotRequest(1)), stray);

    sim.AddRule(TSimMatch::Any(), TSimAction::Truncated(2));
    EXPECT_EQ(Exchange(sim, line, ReadSlotRequest(1)), TBytes({0x01, 0x03}));

    sim.AddRule(TSimMatch::Any(), TSimAction::Flood(300));
    const TBytes flood = Exchange(sim, line, ReadSlotRequest(1));
    EXPECT_EQ(flood.size(), 300u);
    EXPECT_NE(TBytes(flood.begin(), flood.begin() + 9), good);

    sim.ReplyOnce(TSimMatch::Identify(), {0x07, 0x03, 0x00});
    EXPECT_EQ(Exchange(sim, line, kIdentify), TBytes({0x07, 0x03, 0x00}));

    // A spoiled reply still means the adapter carried the write out.
    sim.AddRule(TSimMatch::WriteSlot(2), TSimAction::BadChecksum());
    const TBytes write = Framed({0x00, 0x10, 0x01, 0x03, 0x00, 0x02, 0x04, 0x01, 0x02, 0x03, 0x04});
    EXPECT_FALSE(ChecksumOk(Exchange(sim, line, write)));
    EXPECT_EQ(sim.Slot(2), TSimSlot({0x01, 0x02, 0x03, 0x04}));

    EXPECT_EQ(Exchange(sim, line, ReadSlotRequest(1)), good);
}

TEST(Simulator, LateRepliesAndUnsolicitedBytesReachTheLine) {
    TAdapterSimulator sim(1);
    TLine line(sim.DevicePath());
    sim.AddRule(TSimMatch::Identify(), TSimAction::Late(150), TSimRule::kAlways);
    const TBytes reply = Exchange(sim, line, kIdentify);
    EXPECT_EQ(reply.size(), 19u);
    const auto request = sim.Requests().back();
    const auto sent = sim.Replies().back();
    EXPECT_GE(sent.Time - request.Time, 150ms); // never earlier than asked
    EXPECT_EQ(sim.ActiveRules(), 1u);

    sim.SendRaw({0x01, 0x02, 0x03});
    ASSERT_TRUE(sim.WaitForReplies(2, kHang));
    EXPECT_EQ(sim.Replies().back().Kind, TSimRecord::EKind::Unsolicited);
    EXPECT_EQ(line.Receive(3), TBytes({0x01, 0x02, 0x03}));

    sim.ClearLog();
    EXPECT_TRUE(sim.Requests().empty());
    EXPECT_TRUE(sim.Replies().empty());
}

TEST(Simulator, TellsWhenItHasAnsweredEverythingItReceived) {
    TAdapterSimulator sim(1);
    TLine line(sim.DevicePath());
    EXPECT_TRUE(sim.WaitUntilAnswered(0, 0ms));
    line.Send(kIdentify);
    ASSERT_TRUE(sim.WaitUntilAnswered(8, kHang));
    // Answered: the whole reply has been put on the line.
    EXPECT_EQ(sim.BytesReceived(), 8u);
    EXPECT_EQ(sim.BytesSent(), 19u);
    EXPECT_EQ(sim.Replies().size(), 1u);
    EXPECT_EQ(line.Receive(19).size(), 19u);

    // A request left unanswered, and one whose reply is due much later, are answered as far as they go.
    sim.AddRule(TSimMatch::Identify(), TSimAction::Silent());
    sim.AddRule(TSimMatch::ReadSlot(1), TSimAction::Late(60000));
    line.Send(kIdentify);
    line.Send(ReadSlotRequest(1));
    ASSERT_TRUE(sim.WaitUntilAnswered(24, kHang));
    EXPECT_EQ(sim.BytesSent(), 19u);
    EXPECT_EQ(sim.Requests().size(), 3u);
    // Bytes that never came are not answered.
    EXPECT_FALSE(sim.WaitUntilAnswered(25, 0ms));
}

TEST(Simulator, StaysUsableWhenTheProgramClosesAndReopensThePort) {
    TAdapterSimulator sim(1);
    {
        TLine first(sim.DevicePath());
        EXPECT_EQ(Exchange(sim, first, kIdentify).size(), 19u);
    }
    TLine second(sim.DevicePath());
    EXPECT_EQ(Exchange(sim, second, kIdentify).size(), 19u);
}

TEST(Simulator, StopsCleanlyWithRepliesPendingAndNoReader) {
    auto sim = std::make_unique<TAdapterSimulator>(1);
    sim->AddRule(TSimMatch::Any(), TSimAction::Late(60000));
    {
        TLine line(sim->DevicePath());
        line.Send(kIdentify);
        ASSERT_TRUE(sim->WaitForRequests(1, kHang));
    }
    sim->SendRaw(TBytes(200000, 0x55)); // far more than the line holds
    sim.reset();                        // must return: a hang here ends the test by its time-out
    SUCCEED();
}

namespace {
// How many descriptors of this process are open on a device.
int DescriptorsOn(const std::string& device) {
    int count = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (const dirent* e = readdir(d)) {
            char target[512] = {};
            const std::string link = std::string("/proc/self/fd/") + e->d_name;
            const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
            count += n > 0 && device == std::string(target, static_cast<std::size_t>(n)) ? 1 : 0;
        }
        closedir(d);
    }
    return count;
}

std::string LinkTarget(const std::string& path) {
    char target[512] = {};
    const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
}

double ProcessCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}
} // namespace

TEST(Simulator, HoldsNoDescriptorOnItsDeviceAndIdlesWhileNoProgramHasItOpen) {
    TAdapterSimulator sim(1);
    // A program refuses a port that another process holds: the simulator must leave it free.
    EXPECT_EQ(DescriptorsOn(sim.DevicePath()), 0);
    {
        TLine line(sim.DevicePath());
        EXPECT_EQ(DescriptorsOn(sim.DevicePath()), 1);
        EXPECT_EQ(Exchange(sim, line, kIdentify).size(), 19u);
    }
    // With no slave open the master reports a hang-up without end; the simulator must not spin on it.
    const double before = ProcessCpuSeconds();
    std::this_thread::sleep_for(500ms);
    EXPECT_LT(ProcessCpuSeconds() - before, 0.1)
        << "the simulator spins while no program has its device open";
    // And a program that opens the device again is answered at once.
    TLine again(sim.DevicePath());
    EXPECT_EQ(Exchange(sim, again, kIdentify).size(), 19u);
}

TEST(Simulator, HangUpFailsTheProgramsLineAndComesBackOnANewDeviceBehindTheSameLink) {
    TAdapterSimulator sim(1);
    char pattern[] = "/tmp/rq7-simlink-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string folder = pattern;
    const std::string link = folder + "/ttyRQ7";
    sim.SetLink(link);
    const std::string first = sim.DevicePath();
    EXPECT_EQ(LinkTarget(link), first);

    // A request under the rule is not answered: the line is hung up instead.
    sim.AddRule(TSimMatch::ReadSlot(5), TSimAction::HangUp());
    TLine line(link);
    ASSERT_TRUE(line.IsOpen());
    EXPECT_EQ(Exchange(sim, line, kIdentify).size(), 19u);
    line.Send(ReadSlotRequest(5));
    ASSERT_TRUE(sim.WaitForHangUps(1, 10s));
    EXPECT_EQ(sim.HangUps(), 1u);
    EXPECT_EQ(sim.RequestFrames().size(), 2u) << "the request that hung the line up is logged";
    EXPECT_EQ(sim.Replies().size(), 1u);
    // The program's descriptor is of no further use.
    EXPECT_EQ(write(line.Fd(), "x", 1), -1);
    EXPECT_EQ(errno, EIO);

    // Back at once on a new device, which the link leads to.
    const std::string second = sim.DevicePath();
    EXPECT_NE(second, first) << "the old device is still held by the program";
    EXPECT_EQ(LinkTarget(link), second);
    {
        TLine fresh(link);
        ASSERT_TRUE(fresh.IsOpen());
        EXPECT_EQ(Exchange(sim, fresh, ReadSlotRequest(5)).size(), 9u);
    }

    // Hung up from outside, the same.
    TLine held(link);
    sim.HangUp();
    EXPECT_EQ(sim.HangUps(), 2u);
    EXPECT_EQ(write(held.Fd(), "x", 1), -1);
    EXPECT_EQ(LinkTarget(link), sim.DevicePath());
    TLine third(link);
    EXPECT_EQ(Exchange(sim, third, kIdentify).size(), 19u);

    // The link goes with its simulator.
    {
        TAdapterSimulator other(2);
        const std::string otherLink = folder + "/other";
        other.SetLink(otherLink);
        EXPECT_EQ(LinkTarget(otherLink), other.DevicePath());
    }
    struct stat st {};
    EXPECT_NE(lstat((folder + "/other").c_str(), &st), 0) << "the link outlived its simulator";

    // Something other than a link is never replaced.
    const std::string plain = folder + "/plain";
    ASSERT_EQ(std::system(("touch '" + plain + "'").c_str()), 0);
    EXPECT_THROW(sim.SetLink(plain), std::runtime_error);
    std::system(("rm -rf '" + folder + "'").c_str());
}

namespace {
// What became of one request under random misbehaviour.
enum class TFate { Normal, Spoiled, Lost };

// Sends each request in turn and waits until the simulator has dealt with it; the fate of each, told
// by the bytes it put on the line against the normal reply. A spoiled reply must fail its checksum.
std::vector<TFate> Fates(TAdapterSimulator& sim, const TLine& line, const std::vector<TBytes>& requests,
                         const std::vector<TBytes>& normal) {
    std::vector<TFate> fates;
    std::uint64_t sent = 0;
    for (std::size_t i = 0; i < requests.size(); ++i) {
        const std::size_t before = sim.Replies().size();
        line.Send(requests[i]);
        sent += requests[i].size();
        if (!sim.WaitUntilAnswered(sent, kHang)) {
            ADD_FAILURE() << "request " << i << " not dealt with";
            return fates;
        }
        const auto replies = sim.Replies();
        if (replies.size() == before) {
            fates.push_back(TFate::Lost);
            continue;
        }
        const TBytes got = line.Receive(replies.back().Bytes.size());
        EXPECT_EQ(got, replies.back().Bytes);
        if (got == normal[i]) {
            fates.push_back(TFate::Normal);
        } else {
            EXPECT_FALSE(ChecksumOk(got)) << "request " << i << ": a spoiled reply passes its checksum";
            fates.push_back(TFate::Spoiled);
        }
    }
    return fates;
}

TBytes WriteSlotRequest(int k, std::uint8_t value) {
    const int reg = 255 + 2 * k;
    return Framed({0x00, 0x10, static_cast<std::uint8_t>(reg >> 8), static_cast<std::uint8_t>(reg), 0x00,
                   0x02, 0x04, value, value, value, value});
}
} // namespace

TEST(Simulator, RandomMisbehaviourSpoilsOrLosesRepliesAsSeededAndStillCarriesRequestsOut) {
    // Writes of slots 1..15 over and over, each slot its own bytes: a lost or spoiled reply still
    // leaves the slot written.
    std::vector<TBytes> requests, normal;
    for (int i = 0; i < 120; ++i) {
        const int k = 1 + i % 15;
        requests.push_back(WriteSlotRequest(k, static_cast<std::uint8_t>(i)));
        const int reg = 255 + 2 * k;
        normal.push_back(Framed(
            {0x01, 0x10, static_cast<std::uint8_t>(reg >> 8), static_cast<std::uint8_t>(reg), 0x00, 0x02}));
    }
    const TSimRandomMisbehaviour misbehaviour{11, 30, 30, 0, 500};
    auto run = [&](const TSimRandomMisbehaviour& m, TAdapterSimulator::TRandomCounts& counts) {
        TAdapterSimulator sim(1);
        sim.SetRandomMisbehaviour(m);
        TLine line(sim.DevicePath());
        const std::vector<TFate> fates = Fates(sim, line, requests, normal);
        for (int k = 1; k <= 15; ++k) {
            const std::uint8_t last = static_cast<std::uint8_t>(105 + k - 1);
            EXPECT_EQ(sim.Slot(k), TSimSlot({last, last, last, last})) << "slot " << k;
        }
        counts = sim.RandomCounts();
        return fates;
    };
    TAdapterSimulator::TRandomCounts counts, again, other;
    const std::vector<TFate> fates = run(misbehaviour, counts);
    ASSERT_EQ(fates.size(), requests.size());
    const auto count = [&](TFate f) {
        return static_cast<std::size_t>(std::count(fates.begin(), fates.end(), f));
    };
    EXPECT_EQ(count(TFate::Spoiled), counts.Noise);
    EXPECT_EQ(count(TFate::Lost), counts.Lost);
    EXPECT_EQ(counts.Late, 0u);
    EXPECT_GT(counts.Noise, 0u);
    EXPECT_GT(counts.Lost, 0u);
    EXPECT_GT(count(TFate::Normal), 0u);

    // The same seed, the same misbehaviour; another seed, another.
    EXPECT_EQ(run(misbehaviour, again), fates);
    TSimRandomMisbehaviour reseeded = misbehaviour;
    reseeded.Seed = 12;
    EXPECT_NE(run(reseeded, other), fates);
}

TEST(Simulator, RandomlyLateRepliesComeWholeAndNotBeforeTheirDelay) {
    TAdapterSimulator sim(1);
    sim.SetRandomMisbehaviour({5, 0, 0, 100, 40});
    TLine line(sim.DevicePath());
    for (int k = 1; k <= 5; ++k) {
        const TBytes reply = Exchange(sim, line, ReadSlotRequest(k));
        EXPECT_EQ(reply.size(), 9u);
        EXPECT_TRUE(ChecksumOk(reply));
        EXPECT_GE(sim.Replies().back().Time - sim.Requests().back().Time, 1ms);
    }
    EXPECT_EQ(sim.RandomCounts().Late, 5u);

    // Rules come first; switched off, the adapter answers normally again.
    sim.AddRule(TSimMatch::Any(), TSimAction::Exception(4));
    EXPECT_EQ(Exchange(sim, line, ReadSlotRequest(1)), Framed({0x01, 0x83, 0x04}));
    sim.SetRandomMisbehaviour({});
    EXPECT_EQ(Exchange(sim, line, ReadSlotRequest(1)), Framed({0x01, 0x03, 0x04, 0x00, 0x00, 0x41, 0x80}));
    EXPECT_EQ(sim.RandomCounts().Late, 0u);

    EXPECT_THROW(sim.SetRandomMisbehaviour({1, 50, 40, 20, 500}), std::invalid_argument);
    EXPECT_THROW(sim.SetRandomMisbehaviour({1, -1, 0, 0, 500}), std::invalid_argument);
    EXPECT_THROW(sim.SetRandomMisbehaviour({1, 0, 0, 10, 0}), std::invalid_argument);
}

TEST(Simulator, HeldConfirmationComesInAnswerToTheNextRequestWhichIsLost) {
    const TBytes slot3Confirmation = Framed({0x01, 0x10, 0x01, 0x05, 0x00, 0x02});
    const TBytes slot4Confirmation = Framed({0x01, 0x10, 0x01, 0x07, 0x00, 0x02});
    struct TCase {
        const char* Name;
        TBytes OtherSlave; // sent first when not empty: not to the adapter, so it releases nothing
        TBytes Next;       // the request that is lost and gets slot 3's confirmation
    };
    const TCase cases[] = {
        {"the write of slot 4", {}, WriteSlotRequest(4, 0x44)},
        {"a read of slot 3", {}, ReadSlotRequest(3)},
        {"an address write", {}, Framed({0x00, 0x06, 0x01, 0x77, 0x00, 0x05})},
        {"a read after another slave's request", Framed({0x05, 0x03, 0x00, 0x00, 0x00, 0x07}), kIdentify},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TAdapterSimulator sim(1);
        TLine line(sim.DevicePath());
        sim.AddRule(TSimMatch::WriteSlot(3), TSimAction::HoldReply());
        // An exception for whatever comes next: a request lost on the line must not take it.
        sim.AddRule(TSimMatch::Any(), TSimAction::Exception(4));

        const TBytes write3 = WriteSlotRequest(3, 0x33);
        line.Send(write3);
        std::uint64_t sent = write3.size();
        if (!c.OtherSlave.empty()) {
            line.Send(c.OtherSlave);
            sent += c.OtherSlave.size();
        }
        ASSERT_TRUE(sim.WaitUntilAnswered(sent, kHang));
        EXPECT_EQ(sim.Slot(3), TSimSlot({0x33, 0x33, 0x33, 0x33})) << "the held write is stored";
        EXPECT_TRUE(sim.Replies().empty()) << "the held confirmation went out early";
        const TSimImage stored = sim.Image();

        EXPECT_EQ(Exchange(sim, line, c.Next), slot3Confirmation);
        EXPECT_EQ(sim.RequestFrames().back(), c.Next) << "the lost request is logged";
        EXPECT_EQ(sim.Image(), stored);
        EXPECT_EQ(sim.Address(), 1);
        EXPECT_TRUE(sim.RegisterWrites().empty());

        // The rules run on as before: the exception, then normal answers.
        EXPECT_EQ(Exchange(sim, line, c.Next),
                  Framed({0x01, static_cast<std::uint8_t>(c.Next[1] | 0x80), 0x04}));
        EXPECT_EQ(Exchange(sim, line, WriteSlotRequest(4, 0x44)), slot4Confirmation);
        EXPECT_EQ(sim.Slot(4), TSimSlot({0x44, 0x44, 0x44, 0x44}));
    }
}
