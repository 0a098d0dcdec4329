#include "sim/Simulator.h"

#include "coef/Crc.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <stdexcept>
#include <stdlib.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <system_error>
#include <termios.h>
#include <unistd.h>

namespace {
constexpr std::size_t kMaxInput = 1024; // more unframed input than this is noise whatever follows
constexpr std::uint8_t kIllegalFunction = 1;
constexpr std::uint8_t kIllegalAddress = 2;
constexpr std::uint8_t kIllegalValue = 3;
// Frame length not known from the bytes so far / a function whose frames end with a silence.
constexpr std::size_t kNotYet = 0;
constexpr std::size_t kUntilSilence = static_cast<std::size_t>(-1);

[[noreturn]] void ThrowErrno(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

void MakeRaw(int fd) {
    termios t{};
    if (tcgetattr(fd, &t) != 0) {
        ThrowErrno("tcgetattr");
    }
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    if (tcsetattr(fd, TCSANOW, &t) != 0) {
        ThrowErrno("tcsetattr");
    }
}

std::uint16_t Word(const std::uint8_t* p) {
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

// A request holds at least an address, a function and its checksum.
bool ChecksumOk(const std::uint8_t* p, std::size_t n) {
    return n >= 4 && ModbusCrcMatches(p, n);
}

// The length of the request that starts at p, as far as the bytes so far tell.
std::size_t ExpectedLength(const std::uint8_t* p, std::size_t available) {
    if (available < 2) {
        return kNotYet;
    }
    switch (p[1]) {
    case 3:
    case 6:
        return 8;
    case 16:
        return available < 7 ? kNotYet : 9 + static_cast<std::size_t>(p[6]);
    default:
        return kUntilSilence;
    }
}

void CloseIfOpen(int& fd) {
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

// While a reply is due but the line is full, how often writing is tried again at the latest.
constexpr int kBlockedRetryMs = 10;

// A new pseudo-terminal: its master (non-blocking) and the path of its slave side. The slave is never
// opened here: a program refuses a port that another process holds, so the simulator leaves it to the
// program. Settings made through the master are the slave's.
int OpenLine(std::string& slavePath) {
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master < 0) {
        ThrowErrno("posix_openpt");
    }
    try {
        char name[128] = {};
        if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0) {
            ThrowErrno("pseudo-terminal");
        }
        MakeRaw(master);
        slavePath = name;
    } catch (...) {
        CloseIfOpen(master);
        throw;
    }
    return master;
}

// Watched edge-triggered: with no slave open the master reports a hang-up for as long as that lasts,
// which a level-triggered wait would return on again and again; an edge is reported once, and the next
// one comes with the bytes of a program that has opened the slave.
void WatchMaster(int epoll, int master) {
    epoll_event event{};
    event.events = EPOLLIN | EPOLLOUT | EPOLLET;
    event.data.fd = master;
    if (epoll_ctl(epoll, EPOLL_CTL_ADD, master, &event) != 0) {
        ThrowErrno("epoll_ctl");
    }
}

// Makes path a symbolic link to target, replacing the link it was in one step.
void PointLink(const std::string& path, const std::string& target) {
    const std::string fresh = path + ".rq7sim-new";
    unlink(fresh.c_str());
    if (symlink(target.c_str(), fresh.c_str()) != 0) {
        throw std::system_error(errno, std::generic_category(), "cannot make " + path);
    }
    if (rename(fresh.c_str(), path.c_str()) != 0) {
        const int error = errno;
        unlink(fresh.c_str());
        throw std::system_error(error, std::generic_category(), "cannot make " + path);
    }
}

bool LinkLeadsTo(const std::string& path, const std::string& target) {
    char buffer[512] = {};
    const ssize_t n = readlink(path.c_str(), buffer, sizeof buffer - 1);
    return n > 0 && std::string(buffer, static_cast<std::size_t>(n)) == target;
}
} // namespace

bool TSimMatch::Matches(const TSimBytes& request) const {
    if (Function && (request.size() < 2 || request[1] != *Function)) {
        return false;
    }
    if (Register && (request.size() < 6 || Word(&request[2]) != *Register)) {
        return false;
    }
    return true;
}

TAdapterSimulator::TAdapterSimulator(std::uint8_t address)
    : image_(DefaultSimImage(address)), address_(address) {
    try {
        master_ = OpenLine(devicePath_);
        wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (wake_ < 0) {
            ThrowErrno("eventfd");
        }
        epoll_ = epoll_create1(EPOLL_CLOEXEC);
        if (epoll_ < 0) {
            ThrowErrno("epoll_create1");
        }
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = wake_;
        if (epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &event) != 0) {
            ThrowErrno("epoll_ctl");
        }
        WatchMaster(epoll_, master_);
        thread_ = std::thread(&TAdapterSimulator::Run, this);
    } catch (...) {
        CloseIfOpen(epoll_);
        CloseIfOpen(wake_);
        CloseIfOpen(master_);
        throw;
    }
}

TAdapterSimulator::~TAdapterSimulator() {
    stop_ = true;
    Wake();
    if (thread_.joinable()) {
        thread_.join();
    }
    if (!link_.empty() && LinkLeadsTo(link_, devicePath_)) {
        unlink(link_.c_str());
    }
    CloseIfOpen(epoll_);
    CloseIfOpen(wake_);
    CloseIfOpen(master_);
}

std::string TAdapterSimulator::DevicePath() const {
    std::lock_guard lock(mutex_);
    return devicePath_;
}

void TAdapterSimulator::SetLink(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        throw std::runtime_error(path + " exists and is not a symbolic link");
    }
    std::lock_guard lock(mutex_);
    PointLink(path, devicePath_);
    link_ = path;
}

void TAdapterSimulator::HangUp() {
    std::unique_lock lock(mutex_);
    const std::size_t before = hangUps_;
    hangUpRequested_ = true;
    lock.unlock();
    Wake();
    lock.lock();
    logChanged_.wait(lock, [&] { return hangUps_ > before || stop_; });
}

std::size_t TAdapterSimulator::HangUps() const {
    std::lock_guard lock(mutex_);
    return hangUps_;
}

// ---- the adapter's thread -------------------------------------------------------------------------

int TAdapterSimulator::WaitTimeoutMs(TSimClock::time_point now) {
    auto deadline = TSimClock::time_point::max();
    if (!input_.empty() || !noise_.empty()) {
        deadline = lastInput_ + kSimSilence;
    }
    {
        std::lock_guard lock(mutex_);
        if (!outgoing_.empty()) {
            // A reply that is due but did not fit into the line waits for room: the line reports
            // it, and writing is tried again after a while in any case.
            const auto due = outgoing_.front().Due <= now
                                 ? (outputBlocked_ ? now + std::chrono::milliseconds(kBlockedRetryMs) : now)
                                 : outgoing_.front().Due;
            deadline = std::min(deadline, due);
        }
    }
    if (deadline == TSimClock::time_point::max()) {
        return -1;
    }
    return static_cast<int>(
        std::max<std::int64_t>(0, std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count()));
}

std::optional<bool> TAdapterSimulator::WaitForLine(int timeoutMs) {
    epoll_event events[2];
    const int n = epoll_wait(epoll_, events, 2, timeoutMs);
    if (n < 0 && errno != EINTR) {
        return std::nullopt;
    }
    bool lineEvent = false;
    for (int i = 0; i < n; ++i) {
        if (events[i].data.fd == wake_) {
            std::uint64_t count = 0;
            [[maybe_unused]] const auto got = read(wake_, &count, sizeof count);
        } else {
            lineEvent = true;
        }
    }
    return lineEvent;
}

void TAdapterSimulator::NoteProgress() {
    std::lock_guard lock(mutex_);
    receivedShown_ = received_;
    const bool replyDue = !outgoing_.empty() && outgoing_.front().Due <= TSimClock::now();
    if (input_.empty() && noise_.empty() && !replyDue) {
        answered_ = received_;
    }
}

void TAdapterSimulator::Run() {
    while (!stop_) {
        const std::optional<bool> lineEvent = WaitForLine(WaitTimeoutMs(TSimClock::now()));
        if (!lineEvent) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        if (stop_) {
            break;
        }
        {
            std::lock_guard lock(mutex_);
            hangUpPending_ = hangUpPending_ || hangUpRequested_;
            hangUpRequested_ = false;
        }
        if (*lineEvent && !hangUpPending_) {
            ReadInput();
        }
        const auto now = TSimClock::now();
        if (!hangUpPending_ && (!input_.empty() || !noise_.empty()) && now - lastInput_ >= kSimSilence) {
            Extract(true, now);
        }
        if (hangUpPending_) {
            HangUpLine();
        }
        WriteDue();
        NotifyObserver();
        NoteProgress();
        logChanged_.notify_all();
    }
    // Whoever waits for a hang-up is not kept waiting by a simulator that stops.
    std::lock_guard lock(mutex_);
    logChanged_.notify_all();
}

void TAdapterSimulator::HangUpLine() {
    const auto now = TSimClock::now();
    // What arrived on the old line goes with it.
    FlushNoise(now);
    input_.clear();
    // Closing the master hangs the far end up: every call on the program's descriptor fails from now on.
    CloseIfOpen(master_);
    std::string path;
    int master = -1;
    try {
        master = OpenLine(path);
        WatchMaster(epoll_, master);
    } catch (const std::exception&) {
        CloseIfOpen(master); // no new line: the adapter stays unreachable
    }
    std::lock_guard lock(mutex_);
    master_ = master;
    outgoing_.clear(); // replies on their way are lost with the line, a held one too
    heldReply_.reset();
    outputBlocked_ = false;
    if (master >= 0) {
        devicePath_ = path;
        if (!link_.empty()) {
            try {
                PointLink(link_, devicePath_);
            } catch (const std::exception&) {
                // The link stays as it was; the new device is still named by DevicePath().
            }
        }
    }
    if (observer_) {
        toNotify_.push_back({TSimRecord::EKind::HangUp, {}, now});
    }
    ++hangUps_;
    hangUpPending_ = false;
    logChanged_.notify_all();
}

void TAdapterSimulator::ReadInput() {
    std::uint8_t buffer[4096];
    bool got = false;
    for (;;) {
        const ssize_t n = read(master_, buffer, sizeof buffer);
        if (n > 0) {
            input_.insert(input_.end(), buffer, buffer + n);
            received_ += static_cast<std::uint64_t>(n);
            got = true;
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        // EAGAIN: all read; EIO: no program has the slave open (its last descriptor has closed).
        break;
    }
    if (got) {
        lastInput_ = TSimClock::now();
        Extract(false, lastInput_);
    }
}

void TAdapterSimulator::Extract(bool afterSilence, TSimClock::time_point now) {
    std::size_t pos = 0;
    while (pos < input_.size()) {
        const std::uint8_t* p = input_.data() + pos;
        const std::size_t available = input_.size() - pos;
        const std::size_t need = ExpectedLength(p, available);
        std::size_t frameLength = 0;
        if (need != kNotYet && need != kUntilSilence && available >= need) {
            if (ChecksumOk(p, need)) {
                frameLength = need;
            }
        } else if (!afterSilence) {
            break; // wait for the rest of the frame or for a silence
        } else if (need == kUntilSilence && ChecksumOk(p, available)) {
            frameLength = available;
        }
        if (frameLength == 0) {
            noise_.push_back(*p);
            ++pos;
            continue;
        }
        FlushNoise(now);
        HandleFrame(TSimBytes(p, p + frameLength), now);
        pos += frameLength;
        if (hangUpPending_) {
            return; // the rest of the input goes with the line
        }
    }
    input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(pos));
    if (input_.size() > kMaxInput) {
        const auto excess = static_cast<std::ptrdiff_t>(input_.size() - kMaxInput);
        noise_.insert(noise_.end(), input_.begin(), input_.begin() + excess);
        input_.erase(input_.begin(), input_.begin() + excess);
    }
    if (afterSilence || noise_.size() > kMaxInput) {
        FlushNoise(now);
    }
}

void TAdapterSimulator::FlushNoise(TSimClock::time_point now) {
    if (noise_.empty()) {
        return;
    }
    std::lock_guard lock(mutex_);
    Log({TSimRecord::EKind::Noise, std::move(noise_), now});
    noise_.clear();
}

void TAdapterSimulator::HandleFrame(const TSimBytes& frame, TSimClock::time_point now) {
    std::lock_guard lock(mutex_);
    Log({TSimRecord::EKind::Request, frame, now});
    if (frame[0] != 0 && frame[0] != address_) {
        return; // another slave's request
    }
    if (heldReply_ && heldAnsweredFirst_ > 0) {
        --heldAnsweredFirst_;
    } else if (heldReply_) {
        // This request is lost on the line; the reply held back arrives in its place.
        Queue(std::move(*heldReply_), now, TSimRecord::EKind::Reply);
        heldReply_.reset();
        return;
    }
    const auto rule = std::find_if(rules_.begin(), rules_.end(), [&](const TSimRule& r) {
        return r.Remaining != 0 && r.Match.Matches(frame);
    });
    if (rule == rules_.end()) {
        if (const std::optional<TSimAction> drawn = DrawMisbehaviour()) {
            Perform(*drawn, frame, now);
        } else {
            Queue(Execute(frame), now, TSimRecord::EKind::Reply);
        }
        return;
    }
    const TSimAction action = rule->Action;
    if (action.Kind == TSimAction::EKind::AnswerSecondAttempt && !rule->FirstAttemptSeen) {
        rule->FirstAttemptSeen = true;
        return;
    }
    rule->FirstAttemptSeen = false;
    if (rule->Remaining > 0) {
        --rule->Remaining;
    }
    Perform(action, frame, now);
}

void TAdapterSimulator::Perform(const TSimAction& action, const TSimBytes& frame, TSimClock::time_point now) {
    switch (action.Kind) {
    case TSimAction::EKind::Silent:
        return;
    case TSimAction::EKind::HangUp:
        hangUpPending_ = true;
        return;
    case TSimAction::EKind::AnswerSecondAttempt:
        Queue(Execute(frame), now, TSimRecord::EKind::Reply);
        return;
    case TSimAction::EKind::Exception:
        Queue(ExceptionReply(frame[1], action.Code), now, TSimRecord::EKind::Reply);
        return;
    case TSimAction::EKind::Flood:
        Queue(Noise(action.Count), now, TSimRecord::EKind::Reply);
        return;
    case TSimAction::EKind::RawReply:
        Queue(action.Bytes, now, TSimRecord::EKind::Reply);
        return;
    case TSimAction::EKind::BadChecksum: {
        TSimBytes reply = Execute(frame);
        reply[reply.size() - 2] ^= 0xFF;
        Queue(std::move(reply), now, TSimRecord::EKind::Reply);
        return;
    }
    case TSimAction::EKind::StrayBefore: {
        TSimBytes bytes = action.Bytes;
        const TSimBytes reply = Execute(frame);
        bytes.insert(bytes.end(), reply.begin(), reply.end());
        Queue(std::move(bytes), now, TSimRecord::EKind::Reply);
        return;
    }
    case TSimAction::EKind::Late:
        Queue(Execute(frame), now + std::chrono::milliseconds(action.DelayMs), TSimRecord::EKind::Reply);
        return;
    case TSimAction::EKind::Truncated: {
        TSimBytes reply = Execute(frame);
        reply.resize(std::min(reply.size(), action.Count));
        Queue(std::move(reply), now, TSimRecord::EKind::Reply);
        return;
    }
    case TSimAction::EKind::StoreWrongly: {
        // A function 16 request's data start at byte 7; the reply echoes no data, so it reads as if the
        // bytes sent had been stored.
        constexpr std::size_t kFirstDataByte = 7;
        TSimBytes stored = frame;
        const std::size_t at = kFirstDataByte + action.Count;
        if (frame[1] == 16 && at + 2 < stored.size()) {
            stored[at] = static_cast<std::uint8_t>(stored[at] ^ action.Code);
        }
        Queue(Execute(stored), now, TSimRecord::EKind::Reply);
        return;
    }
    case TSimAction::EKind::Notify:
        if (action.Call) {
            action.Call();
        }
        Queue(Execute(frame), now, TSimRecord::EKind::Reply);
        return;
    case TSimAction::EKind::LostReply:
        Execute(frame);
        return;
    case TSimAction::EKind::HoldReply:
        heldReply_ = Execute(frame);
        heldAnsweredFirst_ = action.Count;
        return;
    case TSimAction::EKind::Garbled: {
        TSimBytes reply = Execute(frame);
        reply[action.Count % reply.size()] ^= action.Code;
        Queue(std::move(reply), now, TSimRecord::EKind::Reply);
        return;
    }
    }
}

std::uint32_t TAdapterSimulator::NextRandom() {
    // splitmix64: the same seed gives the same draws on every machine.
    std::uint64_t z = (randomState_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return static_cast<std::uint32_t>((z ^ (z >> 31)) >> 32);
}

std::optional<TSimAction> TAdapterSimulator::DrawMisbehaviour() {
    const TSimRandomMisbehaviour& r = random_;
    if (r.NoisePercent + r.LostPercent + r.LatePercent <= 0) {
        return std::nullopt;
    }
    constexpr std::uint32_t kSteps = 1000000; // a draw in steps of 0.0001 %
    const double roll = static_cast<double>(NextRandom() % kSteps) * 100.0 / kSteps;
    if (roll < r.NoisePercent) {
        ++randomCounts_.Noise;
        if (NextRandom() % 2 == 0) {
            return TSimAction::Garbled(NextRandom() % 64, static_cast<std::uint8_t>(1 + NextRandom() % 255));
        }
        TSimBytes stray(1 + NextRandom() % 6);
        for (auto& b : stray) {
            b = static_cast<std::uint8_t>(NextRandom());
        }
        return TSimAction::StrayBefore(std::move(stray));
    }
    if (roll < r.NoisePercent + r.LostPercent) {
        ++randomCounts_.Lost;
        return TSimAction::LostReply();
    }
    if (roll < r.NoisePercent + r.LostPercent + r.LatePercent) {
        ++randomCounts_.Late;
        return TSimAction::Late(1 + static_cast<int>(NextRandom() % static_cast<std::uint32_t>(r.LateMaxMs)));
    }
    return std::nullopt;
}

TSimBytes TAdapterSimulator::Execute(const TSimBytes& request) {
    const std::uint8_t function = request[1];
    if (function != 3 && function != 6 && function != 16) {
        return ExceptionReply(function, kIllegalFunction);
    }
    const std::uint16_t first = Word(&request[2]);
    const std::uint16_t second = Word(&request[4]);
    if (function == 3) {
        const std::uint16_t count = second;
        if (count < 1 || count > 125) {
            return ExceptionReply(function, kIllegalValue);
        }
        TSimBytes body{address_, 3, static_cast<std::uint8_t>(2 * count)};
        for (std::uint32_t reg = first; reg < std::uint32_t{first} + count; ++reg) {
            const auto value = reg <= 0xFFFFu ? ReadRegister(static_cast<std::uint16_t>(reg)) : std::nullopt;
            if (!value) {
                return ExceptionReply(function, kIllegalAddress);
            }
            body.push_back(static_cast<std::uint8_t>(*value >> 8));
            body.push_back(static_cast<std::uint8_t>(*value & 0xFFu));
        }
        return Framed(std::move(body));
    }
    if (function == 16) {
        const std::uint16_t count = second;
        if (count < 1 || count > 123 || request[6] != 2 * count) {
            return ExceptionReply(function, kIllegalValue);
        }
        if (first < kSimFirstBlockRegister || std::uint32_t{first} + count - 1 > kSimLastBlockRegister) {
            return ExceptionReply(function, kIllegalAddress);
        }
        const std::size_t at = 4 + 2 * static_cast<std::size_t>(first - kSimFirstBlockRegister);
        std::copy_n(request.begin() + 7, 2 * count, image_.begin() + static_cast<std::ptrdiff_t>(at));
        return Framed({address_, 16, request[2], request[3], request[4], request[5]});
    }
    // Function 6.
    if (first != kSimTranslationRegister && first != kSimAddressRegister) {
        return ExceptionReply(function, kIllegalAddress);
    }
    TSimBytes echo = Framed({address_, 6, request[2], request[3], request[4], request[5]});
    registerWrites_.push_back({first, second});
    registerValues_[first] = second;
    if (first == kSimTranslationRegister) {
        translation_ = second;
    } else {
        address_ = static_cast<std::uint8_t>(second & 0xFFu);
    }
    return echo;
}

std::optional<std::uint16_t> TAdapterSimulator::ReadRegister(std::uint16_t reg) const {
    if (reg <= 6) {
        // Identification: "RQ7", a zero, firmware 1.2, the address, the factory number, a zero word.
        const std::uint32_t factory = static_cast<std::uint32_t>(image_[52]) | (image_[53] << 8) |
                                      (image_[54] << 16) | (static_cast<std::uint32_t>(image_[55]) << 24);
        const std::uint16_t ident[7] = {0x5251,
                                        0x3700,
                                        0x0102,
                                        address_,
                                        static_cast<std::uint16_t>(factory >> 16),
                                        static_cast<std::uint16_t>(factory & 0xFFFFu),
                                        0};
        return ident[reg];
    }
    if (reg >= kSimFirstBlockRegister && reg <= kSimLastBlockRegister) {
        return Word(&image_[4 + 2 * static_cast<std::size_t>(reg - kSimFirstBlockRegister)]);
    }
    if (reg == kSimTranslationRegister) {
        return translation_;
    }
    if (reg == kSimAddressRegister) {
        return address_;
    }
    return std::nullopt;
}

TSimBytes TAdapterSimulator::Framed(TSimBytes body) const {
    AppendModbusCrc(body);
    return body;
}

TSimBytes TAdapterSimulator::ExceptionReply(std::uint8_t function, std::uint8_t code) const {
    return Framed({address_, static_cast<std::uint8_t>(function | 0x80u), code});
}

TSimBytes TAdapterSimulator::Noise(std::size_t count) {
    TSimBytes bytes(count);
    for (auto& b : bytes) {
        noiseSeed_ ^= noiseSeed_ << 13;
        noiseSeed_ ^= noiseSeed_ >> 17;
        noiseSeed_ ^= noiseSeed_ << 5;
        b = static_cast<std::uint8_t>(noiseSeed_ >> 24);
    }
    return bytes;
}

void TAdapterSimulator::Queue(TSimBytes bytes, TSimClock::time_point due, TSimRecord::EKind kind) {
    if (bytes.empty()) {
        return;
    }
    TOutgoing item{due, sequence_++, std::move(bytes), 0, kind};
    const auto at =
        std::upper_bound(outgoing_.begin(), outgoing_.end(), item, [](const auto& a, const auto& b) {
            return a.Due < b.Due || (a.Due == b.Due && a.Sequence < b.Sequence);
        });
    outgoing_.insert(at, std::move(item));
}

void TAdapterSimulator::WriteDue() {
    std::lock_guard lock(mutex_);
    const auto now = TSimClock::now();
    outputBlocked_ = false;
    while (master_ >= 0 && !outgoing_.empty() && outgoing_.front().Due <= now) {
        TOutgoing& item = outgoing_.front();
        const ssize_t n = write(master_, item.Bytes.data() + item.Sent, item.Bytes.size() - item.Sent);
        if (n > 0) {
            item.Sent += static_cast<std::size_t>(n);
            sent_ += static_cast<std::uint64_t>(n);
            if (item.Sent == item.Bytes.size()) {
                Log({item.Kind, std::move(item.Bytes), TSimClock::now()});
                outgoing_.erase(outgoing_.begin());
            }
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN) {
            outgoing_.erase(outgoing_.begin()); // the line is gone; nothing to keep it for
            continue;
        }
        outputBlocked_ = true; // the line is full: wait for room
        break;
    }
}

void TAdapterSimulator::Log(TSimRecord record) {
    if (observer_) {
        toNotify_.push_back(record);
    }
    const bool request = record.Kind == TSimRecord::EKind::Request || record.Kind == TSimRecord::EKind::Noise;
    (request ? requests_ : replies_).push_back(std::move(record));
    logChanged_.notify_all();
}

void TAdapterSimulator::NotifyObserver() {
    std::function<void(const TSimRecord&)> observer;
    std::vector<TSimRecord> records;
    {
        std::lock_guard lock(mutex_);
        observer = observer_;
        records.swap(toNotify_);
    }
    if (observer) {
        for (const auto& record : records) {
            observer(record);
        }
    }
}

void TAdapterSimulator::Wake() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = write(wake_, &one, sizeof one);
}

// ---- accessors ------------------------------------------------------------------------------------

TSimImage TAdapterSimulator::Image() const {
    std::lock_guard lock(mutex_);
    return image_;
}

void TAdapterSimulator::SetImage(const TSimImage& image) {
    std::lock_guard lock(mutex_);
    image_ = image;
}

TSimSlot TAdapterSimulator::Slot(int k) const {
    if (k < 1 || k > kSimSlotCount) {
        throw std::out_of_range("slot number out of range");
    }
    std::lock_guard lock(mutex_);
    TSimSlot slot{};
    std::copy_n(image_.begin() + 4 * k, 4, slot.begin());
    return slot;
}

void TAdapterSimulator::SetSlot(int k, const TSimSlot& bytes) {
    if (k < 1 || k > kSimSlotCount) {
        throw std::out_of_range("slot number out of range");
    }
    std::lock_guard lock(mutex_);
    std::copy(bytes.begin(), bytes.end(), image_.begin() + 4 * k);
}

void TAdapterSimulator::SealImage() {
    std::lock_guard lock(mutex_);
    SealSimImage(image_);
}

std::uint8_t TAdapterSimulator::Address() const {
    std::lock_guard lock(mutex_);
    return address_;
}

void TAdapterSimulator::SetAddress(std::uint8_t address) {
    std::lock_guard lock(mutex_);
    address_ = address;
}

std::vector<TSimRegisterWrite> TAdapterSimulator::RegisterWrites() const {
    std::lock_guard lock(mutex_);
    return registerWrites_;
}

std::optional<std::uint16_t> TAdapterSimulator::RegisterValue(std::uint16_t reg) const {
    std::lock_guard lock(mutex_);
    const auto it = registerValues_.find(reg);
    if (it == registerValues_.end()) {
        return std::nullopt;
    }
    return it->second;
}

bool TAdapterSimulator::TranslationMode() const {
    std::lock_guard lock(mutex_);
    return translation_ == 1;
}

std::vector<TSimRecord> TAdapterSimulator::Requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::vector<TSimBytes> TAdapterSimulator::RequestFrames() const {
    std::lock_guard lock(mutex_);
    std::vector<TSimBytes> frames;
    for (const auto& record : requests_) {
        if (record.Kind == TSimRecord::EKind::Request) {
            frames.push_back(record.Bytes);
        }
    }
    return frames;
}

std::vector<TSimRecord> TAdapterSimulator::Replies() const {
    std::lock_guard lock(mutex_);
    return replies_;
}

bool TAdapterSimulator::WaitForRequests(std::size_t n, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return logChanged_.wait_for(lock, timeout, [&] { return requests_.size() >= n; });
}

bool TAdapterSimulator::WaitForHangUps(std::size_t n, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return logChanged_.wait_for(lock, timeout, [&] { return hangUps_ >= n; });
}

bool TAdapterSimulator::WaitForReplies(std::size_t n, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return logChanged_.wait_for(lock, timeout, [&] { return replies_.size() >= n; });
}

std::uint64_t TAdapterSimulator::BytesReceived() const {
    std::lock_guard lock(mutex_);
    return receivedShown_;
}

std::uint64_t TAdapterSimulator::BytesSent() const {
    std::lock_guard lock(mutex_);
    return sent_;
}

bool TAdapterSimulator::WaitUntilAnswered(std::uint64_t n, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return logChanged_.wait_for(lock, timeout, [&] { return answered_ >= n; });
}

void TAdapterSimulator::ClearLog() {
    std::lock_guard lock(mutex_);
    requests_.clear();
    replies_.clear();
}

void TAdapterSimulator::SetObserver(std::function<void(const TSimRecord&)> observer) {
    std::lock_guard lock(mutex_);
    observer_ = std::move(observer);
}

void TAdapterSimulator::AddRule(const TSimMatch& match, const TSimAction& action, int times) {
    std::lock_guard lock(mutex_);
    rules_.push_back({match, action, times, false});
}

void TAdapterSimulator::ClearRules() {
    std::lock_guard lock(mutex_);
    rules_.clear();
}

std::size_t TAdapterSimulator::ActiveRules() const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(
        std::count_if(rules_.begin(), rules_.end(), [](const TSimRule& r) { return r.Remaining != 0; }));
}

void TAdapterSimulator::SetRandomMisbehaviour(const TSimRandomMisbehaviour& misbehaviour) {
    const TSimRandomMisbehaviour& m = misbehaviour;
    if (m.NoisePercent < 0 || m.LostPercent < 0 || m.LatePercent < 0 ||
        m.NoisePercent + m.LostPercent + m.LatePercent > 100 || m.LateMaxMs < 1) {
        throw std::invalid_argument(
            "random misbehaviour: percentages 0..100 in all, late replies 1 ms at least");
    }
    std::lock_guard lock(mutex_);
    random_ = m;
    randomState_ = m.Seed;
    randomCounts_ = {};
}

TAdapterSimulator::TRandomCounts TAdapterSimulator::RandomCounts() const {
    std::lock_guard lock(mutex_);
    return randomCounts_;
}

void TAdapterSimulator::SendRaw(TSimBytes bytes) {
    {
        std::lock_guard lock(mutex_);
        Queue(std::move(bytes), TSimClock::now(), TSimRecord::EKind::Unsolicited);
    }
    Wake();
}
