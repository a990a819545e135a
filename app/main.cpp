// brevant: sends one e-mail message to every address on a subscriber list.
// Usage: brevant [--help] [--version] [FOLDER]
#include "frmBrevant.h"
#include "JobFolder.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFileDialog>

#include <cstring>

int main(int argc, char *argv[])
{
    QCoreApplication::setApplicationName(QStringLiteral("brevant"));
    QCoreApplication::setApplicationVersion(QStringLiteral(BREVANT_VERSION));
    // --help and --version answer on the terminal, without a display to open a window on.
    bool terminalOnly = false;
    for (int i = 1; i < argc; ++i) {
        for (const char *option : {"-h", "--help", "--help-all", "-v", "--version"})
            terminalOnly = terminalOnly || std::strcmp(argv[i], option) == 0;
    }
    const std::unique_ptr<QCoreApplication> app(terminalOnly ? new QCoreApplication(argc, argv)
                                                             : new QApplication(argc, argv));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Sends one e-mail message to every address of the subscriber list in mail.txt.\n"
        "The job files are read from FOLDER, or from the current directory."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("FOLDER"),
                                 QStringLiteral("The job folder, or a file inside it."),
                                 QStringLiteral("[FOLDER]"));
    parser.process(*app); // answers --help, --version and unknown options, and exits
    if (parser.positionalArguments().size() > 1)
        parser.showHelp(1);

    const QString title = QStringLiteral("Программа отправки почтовых сообщений");
    // Ties the window to its desktop entry (on Wayland its app id).
    QGuiApplication::setDesktopFileName(QStringLiteral("org.example.brevant"));
    QApplication::setFont(frmBrevant::defaultFont());
    const JobFolder::Choice choice =
        JobFolder::choose(parser.positionalArguments().value(0), QDir::currentPath(), [&] {
            return QFileDialog::getExistingDirectory(
                nullptr, QStringLiteral("Выберите папку задания"), QDir::homePath());
        });
    if (!choice.error.isEmpty())
        QMessageBox::warning(nullptr, title, choice.error);
    if (!QDir::setCurrent(choice.folder))
        QMessageBox::warning(nullptr, title,
                             QStringLiteral("Не удалось перейти в папку задания %1.")
                                 .arg(QDir::toNativeSeparators(choice.folder)));
    frmBrevant window{frmBrevant::Options()};
    window.show();
    return app->exec();
}
