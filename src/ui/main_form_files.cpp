// The log file and the settings of the main window.
#include "ui/main_form.hpp"

namespace nira::ui {

void TMainForm::ButtonOpenClick() {}
void TMainForm::ButtonSaveClick() {}
void TMainForm::sMemoOpisChange() {}
void TMainForm::cbPortChange() {}
bool TMainForm::FormCloseQuery() {
    return true;
}
void TMainForm::FormClose() {}

}  // namespace nira::ui
