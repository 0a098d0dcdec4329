#include "ui/WordWrapButton.h"

#include <QStyleOptionButton>
#include <QStylePainter>

TWordWrapButton::TWordWrapButton(QWidget* parent) : QPushButton(parent) {}

void TWordWrapButton::paintEvent(QPaintEvent* /*event*/) {
    QStylePainter painter(this);
    QStyleOptionButton option;
    initStyleOption(&option);
    // The style draws the frame and the focus; the caption is drawn here, wrapped at word boundaries.
    const QString caption = option.text;
    option.text.clear();
    painter.drawControl(QStyle::CE_PushButton, option);
    const QRect contents = style()->subElementRect(QStyle::SE_PushButtonContents, &option, this);
    painter.drawItemText(contents, Qt::AlignCenter | Qt::TextWordWrap, option.palette, isEnabled(), caption,
                         QPalette::ButtonText);
}
