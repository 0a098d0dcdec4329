#include "ui/TavixCPortSetup.h"

#include "ui/Rq7Program.h"

// Shell: the dialog's form and behaviour are filled in by the port setup work.
TTavixComSetupFrm::TTavixComSetupFrm(TRq7Program& program, QWidget* parent) : QDialog(parent), program_(program) {}
TTavixComSetupFrm::~TTavixComSetupFrm() = default;
void TTavixComSetupFrm::ShowPortSetup(TComPort& /*port*/) {}
void TTavixComSetupFrm::ApplyPortSetup(TComPort& /*port*/) {}
