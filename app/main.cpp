// The program: the application, the main window, the About window hidden, the message loop.
#include "ui/application.hpp"
#include "ui/form_help.hpp"
#include "ui/main_form.hpp"

int main(int argc, char** argv) {
    nira::ui::Application application(argc, argv);
    nira::ui::TMainForm mainForm;
    mainForm.show();
    nira::ui::TFormHelp formHelp;
    mainForm.SetFormHelp(&formHelp);
    return nira::ui::Application::exec();
}
