// Prints what loading odd files costs the real windows (offscreen): wall time of the command and the
// program's peak resident memory, for
//
//   - a coefficient file of 100 MB of bare line ends, loaded by "Чтение коэф. из файла";
//   - a coefficient file of one line of 100 MB, loaded the same way;
//   - a "tmp.dat" of 100 MB of bare line ends, put back by the channel limits window's restore.
//
// Each load runs in a fresh process, so each peak is its own. Figures only: nothing passes or fails.
//
//   bench_files                 (the files are made in a temporary folder and removed after)

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QLineEdit>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "bench/BenchSupport.h"
#include "ui/KoefPotrebUnit.h"
#include "ui/Prompts.h"
#include "ui/Rq7Program.h"
#include "ui/TechKoefUnit.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kFileBytes = 100u * 1000u * 1000u;

// Answers the open dialog with one file; shows nothing but records the last text.
class TFilePrompts : public IPrompts {
public:
    QString File;
    QString LastShown;
    void ShowMessage(const QString& text) override { LastShown = text; }
    void ShowError(const QString&, const QString& text) override { LastShown = text; }
    bool AskYesNo(const QString&, QMessageBox::Icon) override { return false; }
    QString AskSaveFileName(QWidget*, const QString&, const QString&, const QString&) override { return {}; }
    QString AskOpenFileName(QWidget*, const QString&) override { return File; }
    int ExecDialog(QDialog&) override { return 0; }
    QPoint CursorPos() override { return {100, 100}; }
};

long PeakKilobytes() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// One load, in this process: prints "seconds peak-before-kB peak-after-kB" on one line.
int Child(const std::string& kind, const std::string& file) {
    int argc = 1;
    char name[] = "bench_files";
    char* argv[] = {name, nullptr};
    QApplication app(argc, argv);
    TFilePrompts prompts;
    prompts.File = QString::fromStdString(file);
    TRq7Program program(prompts);
    program.Create();
    const long before = PeakKilobytes();
    const Clock::time_point start = Clock::now();
    if (kind == "restore") {
        QDir::setCurrent(QString::fromStdString(file.substr(0, file.rfind('/'))));
        program.KoefForPotreb->IschodButtonClick();
    } else {
        program.TehForm->ReadFileButtonClick();
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("%.6f %ld %ld\n", seconds, before, PeakKilobytes());
    return 0;
}

void WriteFile(const std::string& path, char fill) {
    FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr) {
        std::perror(path.c_str());
        std::exit(1);
    }
    const std::string chunk(1u << 20, fill);
    for (std::size_t done = 0; done < kFileBytes; done += chunk.size()) {
        std::fwrite(chunk.data(), 1, std::min(chunk.size(), kFileBytes - done), out);
    }
    std::fclose(out);
}

void Measure(const char* self, const char* what, const std::string& kind, const std::string& file) {
    const std::string command = std::string("'") + self + "' --child " + kind + " '" + file + "'";
    FILE* child = popen(command.c_str(), "r");
    double seconds = 0;
    long before = 0, after = 0;
    if (child == nullptr || std::fscanf(child, "%lf %ld %ld", &seconds, &before, &after) != 3) {
        std::printf("%s: the load did not finish\n", what);
    } else {
        std::printf("%-52s %10.6f s   peak %7.1f MB (%.1f MB before the command)\n", what, seconds,
                    static_cast<double>(after) / 1024.0, static_cast<double>(before) / 1024.0);
    }
    if (child != nullptr) {
        pclose(child);
    }
}

} // namespace

int main(int argc, char** argv) {
    rq7bench::UseOffscreenWindows();
    if (argc == 4 && std::strcmp(argv[1], "--child") == 0) {
        return Child(argv[2], argv[3]);
    }
    const std::string self = rq7bench::SelfPath();
    if (self.empty()) {
        return 1;
    }
    char pattern[] = "/tmp/rq7-bench-files-XXXXXX";
    const char* made = mkdtemp(pattern);
    if (made == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string dir = made;
    WriteFile(dir + "/lineends.dat", '\n');
    WriteFile(dir + "/oneline.dat", '7');
    WriteFile(dir + "/tmp.dat", '\n');
    Measure(self.c_str(), "coefficient file, 100 MB of line ends (load)", "coef", dir + "/lineends.dat");
    Measure(self.c_str(), "coefficient file, one line of 100 MB (load)", "coef", dir + "/oneline.dat");
    Measure(self.c_str(), "tmp.dat, 100 MB of line ends (restore)", "restore", dir + "/tmp.dat");
    std::system(("rm -rf '" + dir + "'").c_str());
    return 0;
}
