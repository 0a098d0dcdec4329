// Linux has no session end to refuse.

#include "ui/SessionEnd.h"

class TSessionEndGuard::TFilter {};

TSessionEndGuard::TSessionEndGuard(QWidget& /*mainWindow*/) {}

TSessionEndGuard::~TSessionEndGuard() = default;
