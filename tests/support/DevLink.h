#pragma once
// A symbolic link /dev/ttyS<n> to a device, made under the standard device folder so that the port
// list names it "COM<n+1>". The first n from 0 whose name is free is taken (a machine with a real first
// serial port gets another number); the link is removed at the end while it still leads to the device.

#include <cerrno>
#include <string>
#include <unistd.h>

class TTtySLink {
public:
    explicit TTtySLink(const std::string& target) : target_(target) {
        for (int n = 0; n < 999; ++n) {
            const std::string path = "/dev/ttyS" + std::to_string(n);
            if (::symlink(target.c_str(), path.c_str()) == 0) {
                number_ = n;
                path_ = path;
                return;
            }
            if (errno != EEXIST) {
                return; // not root, or no /dev to write in
            }
        }
    }
    ~TTtySLink() {
        char buffer[512] = {};
        if (number_ >= 0 && ::readlink(path_.c_str(), buffer, sizeof buffer - 1) > 0 && target_ == buffer) {
            ::unlink(path_.c_str());
        }
    }
    TTtySLink(const TTtySLink&) = delete;
    TTtySLink& operator=(const TTtySLink&) = delete;

    bool Made() const { return number_ >= 0; }
    // The name in the port list: ttyS<n>, and "COM<n+1>" that opens it.
    std::string DeviceName() const { return "ttyS" + std::to_string(number_); }
    std::string ComName() const { return "COM" + std::to_string(number_ + 1); }
    const std::string& Path() const { return path_; }

private:
    std::string target_;
    std::string path_;
    int number_ = -1;
};

// A symbolic link /dev/COM<n> to a device, as a user makes one for a virtual port; removed at the end
// while it still leads to the device. Not made when the name is taken or /dev is not writable.
class TComNameLink {
public:
    TComNameLink(int number, const std::string& target)
        : target_(target), path_("/dev/COM" + std::to_string(number)), number_(number) {
        made_ = ::symlink(target.c_str(), path_.c_str()) == 0;
    }
    ~TComNameLink() {
        char buffer[512] = {};
        if (made_ && ::readlink(path_.c_str(), buffer, sizeof buffer - 1) > 0 && target_ == buffer) {
            ::unlink(path_.c_str());
        }
    }
    TComNameLink(const TComNameLink&) = delete;
    TComNameLink& operator=(const TComNameLink&) = delete;

    bool Made() const { return made_; }
    std::string Name() const { return "COM" + std::to_string(number_); }

private:
    std::string target_;
    std::string path_;
    int number_;
    bool made_ = false;
};
