// Reads the sender's mailbox with MailboxReader as the program will, RUNS times, and prints each
// run's time and findings, then "result ours_s MEDIAN". Run in the namespace of
// scripts/mail-server/with_mailbox.sh (its environment names the server, login and authority).
// usage: mailbox_bench PORT RUNS
#include "MailboxReader.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSslConfiguration>
#include <QTimer>

#include <algorithm>
#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: mailbox_bench PORT RUNS\n");
        return 2;
    }
    QSslConfiguration trusted = QSslConfiguration::defaultConfiguration();
    trusted.addCaCertificates(qEnvironmentVariable("BREVANT_E2E_CA"));
    QSslConfiguration::setDefaultConfiguration(trusted);
    const quint16 port = quint16(QByteArray(argv[1]).toUInt());
    QList<double> times;
    for (int run = 0; run < QByteArray(argv[2]).toInt(); ++run) {
        MailboxReader reader;
        QElapsedTimer clock;
        int bounced = -1, unsubscribed = 0;
        QObject::connect(
            &reader, &MailboxReader::finished, [&](const QList<Mailbox::Finding> &findings) {
                bounced = 0;
                for (const Mailbox::Finding &f : findings)
                    ++(f.kind == Mailbox::Finding::Kind::Bounced ? bounced : unsubscribed);
                app.quit();
            });
        QObject::connect(&reader, &MailboxReader::failed, [&](const QString &reason) {
            std::fprintf(stderr, "%s\n", qPrintable(reason));
            app.exit(1);
        });
        clock.start();
        reader.start(qEnvironmentVariable("BREVANT_E2E_HOST"), port,
                     qEnvironmentVariable("BREVANT_E2E_LOGIN"),
                     qEnvironmentVariable("BREVANT_E2E_PASSWORD"),
                     QDateTime::currentDateTime().addDays(-1));
        if (app.exec() != 0)
            return 1;
        times.append(clock.nsecsElapsed() / 1e9);
        std::printf("run %d: %.3f s, bounced %d, unsubscribed %d\n", run + 1, times.last(), bounced,
                    unsubscribed);
    }
    std::sort(times.begin(), times.end());
    std::printf("result ours_s %.3f\n", times[times.size() / 2]);
    return 0;
}
