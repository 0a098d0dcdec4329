#pragma once
// Where the program's windows appear.

class QWidget;

// Moves the window so that its centre is over the centre of the other. Client areas are compared: the
// frame is not always known yet when a window is first shown, and the windows carry the same frame.
void CentreOver(QWidget& window, const QWidget& over);
