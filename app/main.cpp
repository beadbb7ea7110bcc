// The program: the command line, the application, the main window, the About window hidden, the
// message loop.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <cstdio>
#include <optional>

#include "platform/console_signals.hpp"
#include "ui/application.hpp"
#include "ui/form_help.hpp"
#include "ui/main_form.hpp"

namespace {

constexpr const char* kVersion = "0.3";
constexpr const char* kQtOptionsNote =
    "\nQt's own options are taken too: -platform NAME, -style NAME, -display DISPLAY, "
    "-geometry WxH+X+Y, -reverse and the rest Qt documents.\n";

int print(const QString& text) {
    std::fputs(text.toLocal8Bit().constData(), stdout);
    std::fflush(stdout);
    return 0;
}

struct CommandLine {
    QCommandLineParser parser;
    QCommandLineOption help = parser.addHelpOption();
    QCommandLineOption version = parser.addVersionOption();
    QCommandLineOption port{"port",
                            "Choose the port NAME, as the Port list shows it, for this run (the "
                            "saved choice stays as it is until the window closes).",
                            "NAME"};
    QCommandLineOption transmitters{"transmitters",
                                    "Open the site's transmitter list FILE (CSV: id, name, …) "
                                    "instead of the one used last.",
                                    "FILE"};
    QCommandLineOption noJournal{"no-journal",
                                 "Keep no capture journal: the received lines are then only in "
                                 "the log, until it is saved."};

    CommandLine() {
        parser.setApplicationDescription(
            "NIRA-7 UART Analyser: listens to a radio receiver on a serial port, answers each "
            "message and logs it.");
        parser.addOption(port);
        parser.addOption(transmitters);
        parser.addOption(noJournal);
        // Qt's own options (-platform xcb, -style fusion …) are the application object's.
        parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
        for (const char* name : {"platform", "platformpluginpath", "platformtheme", "plugin",
                                 "qwindowgeometry", "qwindowicon", "qwindowtitle", "session",
                                 "style", "stylesheet", "display", "geometry", "title"}) {
            QCommandLineOption qtOption(name, "", "value");
            qtOption.setFlags(QCommandLineOption::HiddenFromHelp);
            parser.addOption(qtOption);
        }
        for (const char* name : {"reverse", "widgetcount", "nograb", "dograb", "sync"}) {
            QCommandLineOption qtOption(name, "");
            qtOption.setFlags(QCommandLineOption::HiddenFromHelp);
            parser.addOption(qtOption);
        }
    }

    // Parses. Returns the exit status when the program ends here (--help, --version, a bad
    // command line), or nothing.
    std::optional<int> parse(const QStringList& arguments) {
        const bool ok = parser.parse(arguments);
        // Help and version go to the output the program was given. Only a window program on
        // Windows started without one (from the desktop) takes Qt's message box, which Qt would
        // also choose under Wine started from a shell, and then wait for a click.
        const bool output = nira::platform::hasStandardOutput();
        if (parser.isSet(version)) {
            if (!output) {
                parser.showVersion();
            }
            return print(QCoreApplication::applicationName() + " " +
                         QCoreApplication::applicationVersion() + "\n");
        }
        // --help-all is Qt's own (with its options): without this, it went on to the window.
        if (parser.isSet(help) || parser.isSet(QStringLiteral("help-all"))) {
            if (!output) {
                parser.showHelp(0);
            }
            return print(parser.helpText() + QString::fromUtf8(kQtOptionsNote));
        }
        if (!ok) {
            std::fprintf(stderr, "nira7-analyser: %s (see --help)\n",
                         qPrintable(parser.errorText()));
            return 2;
        }
        if (!parser.positionalArguments().isEmpty()) {
            std::fprintf(stderr, "nira7-analyser: unexpected argument \"%s\" (see --help)\n",
                         qPrintable(parser.positionalArguments().front()));
            return 2;
        }
        return std::nullopt;
    }
};

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication::setApplicationName("nira7-analyser");
    QCoreApplication::setApplicationVersion(kVersion);
    // The command line is read before any window exists: help, version and a bad option need no
    // display.
    std::optional<QString> port;
    bool journal = true;
    std::optional<QString> transmitters;
    {
        QCoreApplication core(argc, argv);
        CommandLine commandLine;
        if (const auto status = commandLine.parse(QCoreApplication::arguments())) {
            return *status;
        }
        if (commandLine.parser.isSet(commandLine.port)) {
            port = commandLine.parser.value(commandLine.port);
        }
        journal = !commandLine.parser.isSet(commandLine.noJournal);
        if (commandLine.parser.isSet(commandLine.transmitters)) {
            transmitters = commandLine.parser.value(commandLine.transmitters);
        }
    }
    nira::ui::Application application(argc, argv);
    // The menu entry's name: a dock or task switcher matches the window to its launcher.
    QGuiApplication::setDesktopFileName(QStringLiteral("org.example.Nira7Analyser"));
    nira::ui::TMainForm mainForm;
    if (!journal) {
        mainForm.SetJournalling(false);
    }
    if (port) {
        mainForm.ChoosePort(*port);
    }
    if (transmitters) {
        mainForm.OpenTransmitterList(*transmitters);
    }
    mainForm.show();
    nira::ui::TFormHelp formHelp;
    mainForm.SetFormHelp(&formHelp);
    return nira::ui::Application::exec();
}
