#include "ui/KoefPotrebUnit.h"

#include "ui/Rq7Program.h"

// Shell: filled in by the channel limits work.
TKoefForPotreb::TKoefForPotreb(TRq7Program& program, QWidget* parent) : QWidget(parent), program_(program) {}
TKoefForPotreb::~TKoefForPotreb() = default;
void TKoefForPotreb::N4Click() {}
