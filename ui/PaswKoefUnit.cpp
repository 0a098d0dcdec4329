#include "ui/PaswKoefUnit.h"

#include "ui/Rq7Program.h"

// Shell: filled in by the password dialog work.
TPaswKoefForm::TPaswKoefForm(TRq7Program& program, QWidget* parent) : QDialog(parent), program_(program) {}
TPaswKoefForm::~TPaswKoefForm() = default;
