#include "BoxTexts.h"

#include "Fields.h"
#include "MailingJob.h"
#include "MailingRun.h"

#include <QDir>
#include <QStringList>
#include <QTimeZone>

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

namespace {

QString logName(const MailingRun &run)
{
    return QDir::toNativeSeparators(run.logPath());
}

QString when(const QDateTime &time)
{
    return time.toLocalTime().toString(QStringLiteral("dd.MM.yyyy hh:mm"));
}

QString lineOf(const MailingJob &job, int next)
{
    return QStringLiteral("строка %1 файла %2: %3")
        .arg(next + 1)
        .arg(QLatin1String(MailingJob::RecipientsFile))
        .arg(Cp1251::toUnicode(job.recipientAt(next)));
}

} // namespace

QString resumed(const MailingRun &run, const MailingJob &job, int next)
{
    QString text = QStringLiteral("Эту рассылку уже получили адреса из журнала %1: %2, последний — "
                                  "%3.\n")
                       .arg(logName(run))
                       .arg(run.hadBefore())
                       .arg(when(run.lastBefore()));
    text += next < 0 ? QStringLiteral("Все адреса списка уже получили её.")
                     : QStringLiteral("Рассылка продолжится со строки %1 файла %2: %3.")
                           .arg(next + 1)
                           .arg(QLatin1String(MailingJob::RecipientsFile))
                           .arg(Cp1251::toUnicode(job.recipientAt(next)));
    return text + QStringLiteral("\nЧтобы начать рассылку сначала, удалите или переименуйте файл "
                                 "%1.")
                      .arg(QLatin1String(DeliveryLog::FileName));
}

QString unfinished(const MailingRun &run, const MailingHistory::Mailing &mailing,
                   const MailingJob &job, int next)
{
    return QStringLiteral("Тема или текст письма изменились, а рассылка, начатая раньше, не "
                          "закончена: её получили %1 адресов, последний — %2 (журнал %3). "
                          "Следующая — %4.\n\n"
                          "«%5»: исправленное письмо получат только те, кто ещё не получил "
                          "рассылку.\n«%6»: письмо получат все адреса списка, с первой строки.")
        .arg(mailing.delivered.size())
        .arg(when(mailing.lastDelivery), logName(run), lineOf(job, next), GoOn, StartAnew);
}

QString skippedRows(const MailingRun &run)
{
    return QStringLiteral("В журнале рассылки %1 есть строки, которые не удалось прочитать "
                          "(обрезанные или испорченные): %2. Они пропущены.")
        .arg(logName(run))
        .arg(run.skippedRows());
}

QString keptOut(const MailingRun &run)
{
    return QStringLiteral("Не получают рассылки этой папки: вернулись как недоставленные — %1, "
                          "отписались — %2.")
        .arg(run.bounced())
        .arg(run.unsubscribed());
}

QString readingMailbox(const QString &host)
{
    return QStringLiteral("Чтение почтового ящика на сервере %1: недоставленные письма и просьбы "
                          "отписаться…")
        .arg(host);
}

QString mailboxFailed(const QString &reason)
{
    return reason + QStringLiteral("\nРассылка продолжается без него: адреса из отчётов о "
                                   "недоставке и просьб отписаться не будут пропущены.");
}

QString seriesOver(const MailingRun &run)
{
    return QStringLiteral("Рассылка закончена.\nДоставлено сейчас: %1.\nПропущено адресов, которые "
                          "не принимают почту: %2.\nПолучили раньше: %3.\n%4\nЖурнал: %5")
        .arg(run.deliveredNow())
        .arg(run.refusedNow())
        .arg(run.hadBefore())
        .arg(keptOut(run), logName(run));
}

QString held(const MailingRun::Hold &hold, const MailingRun &run)
{
    switch (hold.kind) {
    case MailingRun::Hold::OtherWindow:
        return QStringLiteral("Из этого окна письма не отправляются: %1.\nПапка задания: %2\n"
                              "Работайте в том окне. Когда оно будет закрыто, отправлять "
                              "сможет это окно.")
            .arg(hold.reason, QDir::toNativeSeparators(run.folder()));
    case MailingRun::Hold::LogUnreadable:
        return QStringLiteral("Не удалось прочитать журнал рассылки %1: %2.\nПока журнал нельзя "
                              "прочитать, из этого окна письма не отправляются: по журналу "
                              "программа узнаёт, кто уже получил рассылку. Исправьте журнал или "
                              "переместите его в другую папку.")
            .arg(logName(run), hold.reason);
    case MailingRun::Hold::LogUnwritable:
        return QStringLiteral("Не удаётся записать журнал рассылки %1: %2.\nПока журнал нельзя "
                              "записать, письма не отправляются: иначе после перезапуска "
                              "программа не узнала бы, кто уже получил рассылку. Серия "
                              "продолжится сама, как только журнал можно будет записать.")
            .arg(logName(run), hold.reason);
    case MailingRun::Hold::None:
        break;
    }
    return QString();
}

QString heldStatus(const MailingRun::Hold &hold, const MailingRun & /*run*/)
{
    switch (hold.kind) {
    case MailingRun::Hold::OtherWindow:
        return QStringLiteral("Пауза: %1.").arg(hold.reason);
    case MailingRun::Hold::LogUnreadable:
        return QStringLiteral("Пауза: журнал %1 не читается (%2).")
            .arg(QLatin1String(DeliveryLog::FileName), hold.reason);
    case MailingRun::Hold::LogUnwritable:
        return QStringLiteral("Пауза: журнал %1 не записывается (%2).")
            .arg(QLatin1String(DeliveryLog::FileName), hold.reason);
    case MailingRun::Hold::None:
        break;
    }
    return QString();
}

QString paused(const Pace::Pacer::Pause &pause, const QDateTime &now, int perDay,
               const QString &deferredBy)
{
    const QDateTime local = pause.until.toTimeZone(now.timeZone()); // as the clock shows it
    const QString until = local.toString(
        local.date() == now.date() ? QStringLiteral("hh:mm") : QStringLiteral("dd.MM hh:mm"));
    return pause.why == Pace::Pacer::Pause::Why::DailyLimit
               ? QStringLiteral("Пауза до %1: лимит %2 писем в сутки.").arg(until).arg(perDay)
               : QStringLiteral("Пауза до %1: %2").arg(until, deferredBy);
}

QString serverSaid(const QString &reply)
{
    QString line = reply.section(u'\n', 0, 0).trimmed();
    line.remove(u'\r');
    return QStringLiteral("сервер ответил «%1».").arg(line);
}

QString noConnection(const QString &failure)
{
    return QStringLiteral("нет связи с сервером (Winsock Error %1).").arg(failure);
}

QString deliveredNotLogged(const MailingRun &run, const QString &address, const QString &reason)
{
    return QStringLiteral("Письмо на адрес %1 отправлено, но записать это в журнал рассылки %2 не "
                          "удалось: %3.\nСерия остановлена. Запись будет сделана перед "
                          "следующим письмом, как только журнал можно будет записать. Если "
                          "закрыть программу раньше, после перезапуска этот адрес получит письмо "
                          "ещё раз.")
        .arg(address, logName(run), reason);
}

QString unloggedAtClose(const MailingRun &run, const QStringList &addresses)
{
    return QStringLiteral("Эти адреса получили письмо, но в журнал рассылки %1 это записать не "
                          "удалось: %2.\nУберите их из файла %3, иначе при следующем запуске "
                          "они получат письмо ещё раз.")
        .arg(logName(run), addresses.join(QStringLiteral(", ")),
             QLatin1String(MailingJob::RecipientsFile));
}

} // namespace BoxTexts
