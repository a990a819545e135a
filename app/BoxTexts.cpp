#include "BoxTexts.h"

#include "Fields.h"
#include "MailingJob.h"
#include "MailingRun.h"

#include <QDir>
#include <QStringList>

#include <algorithm>

namespace BoxTexts {

namespace {

QString nameOf(Field field)
{
    static const QString names[] = {QStringLiteral("Хост SMTP"), QStringLiteral("Ваш E-mail"),
                                    QStringLiteral("E-mail адресата")};
    return names[int(field)];
}

} // namespace

QString lineBreakIn(Field field)
{
    return QStringLiteral("SMTP Error: поле «%1» содержит перевод строки или нулевой символ")
        .arg(nameOf(field));
}

QString emptyField(Field field)
{
    return QStringLiteral("SMTP Error: поле «%1» не заполнено").arg(nameOf(field));
}

QString badPort(QByteArrayView line)
{
    return QStringLiteral("SMTP Error: в поле «%1» неверный порт: «%2». Порт — число от 1 до "
                          "65535, например smtp.example.ru:587")
        .arg(nameOf(Field::Host), Cp1251::toUnicode(Smtp::trimmed(line)));
}

QString passwordPrompt(const QString &login, const QString &host)
{
    return QStringLiteral("Пароль для входа «%1» на сервер %2:").arg(login, host);
}

QString unsafe(SmtpConnection::Problem problem, const Smtp::Server &server, const QString &detail)
{
    using Problem = SmtpConnection::Problem;
    const QString host = Cp1251::toUnicode(server.host);
    QString why;
    switch (problem) {
    case Problem::NoStartTls:
        why = QStringLiteral("сервер %1 на порту %2 не предлагает шифрование (STARTTLS)")
                  .arg(host)
                  .arg(server.port);
        break;
    case Problem::NoLoginMethod:
        why = QStringLiteral("сервер %1 не предлагает вход по паролю (AUTH PLAIN или LOGIN)")
                  .arg(host);
        break;
    case Problem::UnknownAuthority:
        why = QStringLiteral("сертификат сервера %1 выдан неизвестным центром сертификации")
                  .arg(host);
        break;
    case Problem::OtherName:
        why = QStringLiteral("сертификат сервера выдан не на имя %1").arg(host);
        break;
    case Problem::Expired:
        why = QStringLiteral("срок действия сертификата сервера %1 истёк или ещё не начался")
                  .arg(host);
        break;
    case Problem::Handshake:
        why = QStringLiteral("не удалось установить шифрованное соединение с %1 (%2)")
                  .arg(host, detail);
        break;
    }
    return QStringLiteral("SMTP Error: %1. Логин и пароль не отправлены, письмо не отправлено.")
        .arg(why);
}

QString jobReport(const MailingJob &job, const QString &folder)
{
    QStringList lines;
    if (!job.problems().isEmpty()) {
        lines << QStringLiteral("Не удалось прочитать файлы задания:");
        for (const JobFileProblem &problem : job.problems())
            lines << QStringLiteral("%1: %2").arg(problem.fileName, problem.reason);
        lines << QStringLiteral("Папка задания: %1")
                     .arg(QDir::toNativeSeparators(QDir(folder).absolutePath()));
    }
    if (job.recipientsLeftOut() > 0) {
        lines << QStringLiteral("В файле %1 больше %2 строк: последние %3 не загружены.")
                     .arg(QLatin1String(MailingJob::RecipientsFile))
                     .arg(MailingJob::RecipientCapacity)
                     .arg(job.recipientsLeftOut());
    }
    const QList<JobEncoding::Unmapped> &unmapped = job.unmapped();
    if (!unmapped.isEmpty()) {
        // A whole file in another script would fill the screen: the first lines tell enough.
        constexpr qsizetype Shown = 10;
        lines << QStringLiteral("Этих символов нет в кодировке Windows-1251, они будут "
                                "отправлены как «?»:");
        for (qsizetype i = 0; i < std::min(Shown, unmapped.size()); ++i) {
            lines << QStringLiteral("%1, строка %2: %3")
                         .arg(unmapped[i].fileName)
                         .arg(unmapped[i].line)
                         .arg(unmapped[i].characters.join(QLatin1Char(' ')));
        }
        if (unmapped.size() > Shown)
            lines << QStringLiteral("и ещё в %1 строках.").arg(unmapped.size() - Shown);
    }
    return lines.join(QLatin1Char('\n'));
}

QString resumed(const MailingRun &run, const MailingJob &job, int next)
{
    QString text =
        QStringLiteral("Эту рассылку уже получили адреса из журнала %1: %2, последний — "
                       "%3.\n")
            .arg(QDir::toNativeSeparators(run.logPath()))
            .arg(run.hadBefore)
            .arg(run.lastBefore.toLocalTime().toString(QStringLiteral("dd.MM.yyyy hh:mm")));
    text += next < 0 ? QStringLiteral("Все адреса списка уже получили её.")
                     : QStringLiteral("Рассылка продолжится со строки %1 файла %2: %3.")
                           .arg(next + 1)
                           .arg(QLatin1String(MailingJob::RecipientsFile))
                           .arg(Cp1251::toUnicode(job.recipientAt(next)));
    return text + QStringLiteral("\nЧтобы начать рассылку сначала, удалите или переименуйте файл "
                                 "%1.")
                      .arg(QLatin1String(DeliveryLog::FileName));
}

QString seriesOver(const MailingRun &run)
{
    return QStringLiteral("Рассылка закончена.\nДоставлено сейчас: %1.\nПропущено адресов, которые "
                          "не принимают почту: %2.\nПолучили раньше: %3.\nЖурнал: %4")
        .arg(run.deliveredNow)
        .arg(run.refusedNow)
        .arg(run.hadBefore)
        .arg(QDir::toNativeSeparators(run.logPath()));
}

QString logFailed(const MailingRun &run, const QString &reason)
{
    return QStringLiteral("Не удалось записать журнал рассылки %1: %2\nРассылка продолжается без "
                          "журнала; после перезапуска программа не узнает, кто уже получил письмо.")
        .arg(QDir::toNativeSeparators(run.logPath()), reason);
}

} // namespace BoxTexts
