// brevant: sends one e-mail message to every address on a subscriber list.
#include "frmBrevant.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("brevant"));
    QApplication::setFont(frmBrevant::defaultFont());
    frmBrevant window;
    window.show();
    return app.exec();
}
