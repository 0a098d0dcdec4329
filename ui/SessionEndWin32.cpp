// The main window answers the session end through a native event filter: Qt's own window procedure
// would answer WM_QUERYENDSESSION with yes.

#include "ui/SessionEnd.h"

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QWidget>

#include "link/SessionEndWin32.h"

class TSessionEndGuard::TFilter final : public QAbstractNativeEventFilter {
public:
    explicit TFilter(HWND window) : window_(window) { AttachSessionEndWindow(window_); }
    ~TFilter() override { DetachSessionEndWindow(window_); }
    TFilter(const TFilter&) = delete;
    TFilter& operator=(const TFilter&) = delete;

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override {
        if (eventType != "windows_generic_MSG") {
            return false;
        }
        const MSG* msg = static_cast<const MSG*>(message);
        LRESULT answer = 0;
        // Every window of the program refuses while a block is under way. (The main window's reason is
        // set directly, on this thread, which runs the write: nothing is posted to Qt's windows.)
        if (msg->message != WM_QUERYENDSESSION || !AnswerSessionEnd(msg->hwnd, msg->message, &answer)) {
            return false;
        }
        // Qt's event loop hands posted messages (the hold's) over with no result to set.
        if (result != nullptr) {
            *result = static_cast<qintptr>(answer);
        }
        return true;
    }

private:
    HWND window_;
};

TSessionEndGuard::TSessionEndGuard(QWidget& mainWindow)
    : filter_(std::make_unique<TFilter>(reinterpret_cast<HWND>(mainWindow.winId()))) {
    QCoreApplication::instance()->installNativeEventFilter(filter_.get());
}

TSessionEndGuard::~TSessionEndGuard() {
    QCoreApplication::instance()->removeNativeEventFilter(filter_.get());
}
