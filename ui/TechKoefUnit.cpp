#include "ui/TechKoefUnit.h"

#include "ui/Rq7Program.h"

// Shell: filled in by the technological mode work.
TTehForm::TTehForm(TRq7Program& program, QWidget* parent) : QWidget(parent), program_(program) {}
TTehForm::~TTehForm() = default;
void TTehForm::N5Click() {}
