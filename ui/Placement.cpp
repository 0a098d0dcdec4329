#include "ui/Placement.h"

#include <QRect>
#include <QWidget>

void CentreOver(QWidget& window, const QWidget& over) {
    QRect area = window.geometry();
    area.moveCenter(over.geometry().center());
    window.setGeometry(area);
}
