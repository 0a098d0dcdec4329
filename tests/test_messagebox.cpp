// The message boxes of the real prompts show a text's lines as lines on every style. The program's
// messages separate lines by a bare carriage return ("Неудача при открытии порта" has three); the
// label of a message box draws its plain text itself where the style makes that text not selectable
// (the Windows styles), and there a carriage return is only a space.

#include <QLabel>
#include <QStyle>
#include <QStyleFactory>
#include <QTest>
#include <algorithm>
#include <gtest/gtest.h>
#include <memory>

#include "ui/Prompts.h"

namespace {

const QString kLine1 = QStringLiteral("Вероятно, выполняется другая программа,");
const QString kLine2 = QStringLiteral("открывшая порт COM1. Закройте программу,");
const QString kLine3 = QStringLiteral("захватившую порт, или укажите другой порт.");

// The lines the label shows when it draws its text itself, as wide as it likes.
int DrawnLines(const QLabel& label, int* width) {
    const QFontMetrics metrics(label.font());
    const QRect drawn = metrics.boundingRect(
        QRect(0, 0, 100000, 100000), static_cast<int>(label.alignment()) | Qt::TextWordWrap, label.text());
    *width = drawn.width();
    return drawn.height() / metrics.lineSpacing();
}

} // namespace

TEST(MessageBox, LinesSeparatedByABareCarriageReturnShowAsLinesWithTheWindowsStyle) {
    std::unique_ptr<QStyle> windows(QStyleFactory::create(QStringLiteral("Windows")));
    ASSERT_NE(windows, nullptr);
    const QString text = kLine1 + QLatin1Char('\r') + kLine2 + QLatin1Char('\r') + kLine3;
    auto box = NewMessageBox(QMessageBox::Critical, QStringLiteral("Неудача при открытии порта"), text,
                             QMessageBox::Ok);
    box->setStyle(windows.get());
    auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
    ASSERT_NE(label, nullptr);
    // The style under test draws the text itself: it is not selectable there.
    ASSERT_FALSE(label->textInteractionFlags() & Qt::TextSelectableByMouse);

    int width = 0;
    EXPECT_EQ(DrawnLines(*label, &width), 3) << label->text().toStdString();
    const QFontMetrics metrics(label->font());
    const int widest = std::max({metrics.horizontalAdvance(kLine1), metrics.horizontalAdvance(kLine2),
                                 metrics.horizontalAdvance(kLine3)});
    EXPECT_EQ(width, widest);
    EXPECT_EQ(box->windowTitle(), "Неудача при открытии порта");
    EXPECT_EQ(box->icon(), QMessageBox::Critical);
    box->setStyle(nullptr);
}

TEST(MessageBox, LineBreaksBecomeLineFeedsAndNothingElseChanges) {
    EXPECT_EQ(WithLineFeeds(QStringLiteral("a\rb\r\nc\nd")), "a\nb\nc\nd");
    EXPECT_EQ(WithLineFeeds(QStringLiteral("\r\r\n")), "\n\n");
    EXPECT_EQ(WithLineFeeds(QStringLiteral("Диск полон.")), "Диск полон.");
    EXPECT_EQ(WithLineFeeds(QString()), "");
}

TEST(MessageBox, StandsOverTheWindowInUse) {
    QWidget window;
    window.setGeometry(200, 150, 300, 200);
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    auto box = NewMessageBox(QMessageBox::NoIcon, QStringLiteral("rq7"), QStringLiteral("Нет ответа"),
                             QMessageBox::Ok);
    EXPECT_EQ(box->parentWidget(), &window);
    // Still a window of its own, not a part of the one it stands over.
    EXPECT_TRUE(box->isWindow());
}
