// brevant: sends one e-mail message to every address on a subscriber list.
// Usage: brevant [--help] [--version] [FOLDER]
#include "frmBrevant.h"
#include "JobFolder.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFileDialog>

#include <cstdio>
#include <cstdlib>

namespace {

const QString WindowTitle = QStringLiteral("Программа отправки почтовых сообщений");

void describe(QCommandLineParser &parser)
{
    parser.setApplicationDescription(QStringLiteral(
        "Sends one e-mail message to every address of the subscriber list in mail.txt.\n"
        "The job files are read from FOLDER, or from the current directory."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("FOLDER"),
                                 QStringLiteral("The job folder, or a file inside it."),
                                 QStringLiteral("[FOLDER]"));
}

// Parses the command line and answers --help, --version and bad usage on the terminal (the
// first two exit 0, bad usage exits 1). Returns the FOLDER argument, empty when none.
QString parseCommandLine(QCoreApplication &app)
{
    QCommandLineParser parser;
    describe(parser);
    parser.process(app);
    if (parser.positionalArguments().size() > 1) {
        std::fprintf(stderr, "%s: only one FOLDER may be given\n",
                     qPrintable(app.applicationName()));
        std::exit(EXIT_FAILURE);
    }
    return parser.positionalArguments().value(0);
}

// True when the command line asks for help or the version, which need no display.
bool wantsTerminalOnly(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    QCommandLineParser parser;
    describe(parser);
    parser.parse(arguments);
    return parser.isSet(QStringLiteral("help")) || parser.isSet(QStringLiteral("help-all")) ||
           parser.isSet(QStringLiteral("version"));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication::setApplicationName(QStringLiteral("brevant"));
    QCoreApplication::setApplicationVersion(QStringLiteral(BREVANT_VERSION));

    if (wantsTerminalOnly(argc, argv)) {
        QCoreApplication app(argc, argv);
        parseCommandLine(app); // answers and exits
        return EXIT_FAILURE;
    }

    QApplication app(argc, argv);
    // Ties the window to its desktop entry (on Wayland its app id).
    QGuiApplication::setDesktopFileName(QStringLiteral("org.example.brevant"));
    QApplication::setFont(frmBrevant::defaultFont());
    const QString argument = parseCommandLine(app);

    const JobFolder::Choice choice = JobFolder::choose(argument, QDir::currentPath(), [] {
        return QFileDialog::getExistingDirectory(nullptr, QStringLiteral("Выберите папку задания"),
                                                 QDir::homePath());
    });
    if (!choice.error.isEmpty())
        QMessageBox::warning(nullptr, WindowTitle, choice.error);
    if (!QDir::setCurrent(choice.folder))
        QMessageBox::warning(nullptr, WindowTitle,
                             QStringLiteral("Не удалось перейти в папку задания %1.")
                                 .arg(QDir::toNativeSeparators(choice.folder)));

    frmBrevant window;
    window.show();
    return app.exec();
}
