#include "MailingRun.h"

#include "Cp1251.h"
#include "Recipient.h"

#include <QDir>

MailingRun::MailingRun(const MailingJob &job, const QString &folder, Clock clock)
    : m_job(job),
      m_clock(clock ? std::move(clock) : Clock([] { return QDateTime::currentDateTimeUtc(); })),
      m_folder(QDir(folder).absolutePath()), m_lock(m_folder),
      m_log(QDir(m_folder).filePath(QLatin1String(DeliveryLog::FileName)), {})
{
    m_lock.take();
    m_lineHad.assign(std::size_t(std::max(m_job.LastIndex + 1, 0)), false);
    if (readLog())
        choose();
}

QString MailingRun::key(QByteArrayView line) const
{
    return Cp1251::toUnicode(Smtp::recipientOfLine(line).address).toCaseFolded();
}

bool MailingRun::readLog()
{
    MailingHistory history;
    const DeliveryLog::Reading reading =
        DeliveryLog::read(m_log.path(), [&](const DeliveryLog::Row &row) { history.add(row); });
    m_unreadable = reading.error;
    if (!m_unreadable.isNull())
        return false;
    m_unfinished = nullptr; // it pointed into the history it replaces
    m_history = std::move(history);
    m_keptOut = m_history.keptOut();
    m_log.setFormat(reading.format);
    m_skippedRows = reading.skipped;
    return true;
}

void MailingRun::choose()
{
    m_chosen = m_lock.held(); // a window that cannot send asks nothing, until it takes over
    if (!m_history.latest())
        return; // a folder's first mailing: the fingerprint is not even needed yet
    const MailingHistory::Mailing *mine = m_history.mailingOf(letter());
    if (!mine)
        mine = m_history.mailingOf(DeliveryLog::bodyFingerprint(m_job.SubjectLine, m_job.MailBody));
    if (mine)
        return adopt(mine);
    // Another letter than the last mailing's: a new mailing, unless that one stopped halfway
    // through this list, when the user is asked. Going on with it is the default meanwhile.
    const MailingHistory::Mailing *latest = m_history.latest();
    adopt(latest->finished ? nullptr : latest);
    if (nextPending(0) < 0)
        adopt(nullptr); // nobody of this list is left for it: it is over for this list
    else if (m_chosen && !m_mailing.isEmpty())
        m_unfinished = latest;
}

void MailingRun::adopt(const MailingHistory::Mailing *mailing)
{
    m_mailing = mailing ? mailing->name : QByteArray();
    m_had = mailing ? mailing->delivered : QSet<QString>();
    m_hadBefore = m_had.size();
    m_lineHad.assign(std::size_t(std::max(m_job.LastIndex + 1, 0)), false);
    m_linesHad = 0;
    m_lastBefore = mailing ? mailing->lastDelivery : QDateTime();
}

void MailingRun::goOn()
{
    m_unfinished = nullptr;
}

void MailingRun::startAnew()
{
    m_unfinished = nullptr;
    adopt(nullptr);
}

MailingRun::Hold MailingRun::hold()
{
    const bool tookOver = !m_lock.held();
    if (!m_lock.take())
        return lockHold();
    if (tookOver || !m_unreadable.isNull()) {
        if (!readLog())
            return {Hold::LogUnreadable, m_unreadable};
        if (!m_chosen) {
            choose();
        } else if (const MailingHistory::Mailing *mine =
                       m_history.mailingOf(m_mailing.isEmpty() ? letter() : m_mailing)) {
            m_had.unite(mine->delivered); // what the window that held the folder sent
        }
    }
    const QString error = m_log.hasWaiting() ? m_log.flush() : m_log.open();
    if (!error.isNull())
        return {Hold::LogUnwritable, error};
    m_unlogged.clear();
    return {};
}

MailingRun::Hold MailingRun::standing() const
{
    if (!m_lock.held())
        return lockHold();
    if (!m_unreadable.isNull())
        return {Hold::LogUnreadable, m_unreadable};
    return {};
}

MailingRun::Hold MailingRun::lockHold() const
{
    // A lock that cannot even be made means a folder where the log cannot be written either.
    return {m_lock.heldElsewhere() ? Hold::OtherWindow : Hold::LogUnwritable, m_lock.failure()};
}

QStringList MailingRun::unloggedDeliveries()
{
    if (m_log.flush().isNull())
        m_unlogged.clear();
    return m_unlogged;
}

void MailingRun::listKeys() const
{
    if (!m_keys.empty() || m_job.LastIndex < 0)
        return;
    const std::size_t lines = std::size_t(m_job.LastIndex + 1);
    m_keys.reserve(lines);
    m_first.reserve(lines);
    m_lineOfKey.reserve(qsizetype(lines));
    for (int i = 0; i <= m_job.LastIndex; ++i) {
        m_keys.push_back(key(m_job.recipientAt(i)));
        auto first = m_lineOfKey.constFind(m_keys.back());
        if (first == m_lineOfKey.cend())
            first = m_lineOfKey.insert(m_keys.back(), i);
        m_first.push_back(*first);
    }
}

int MailingRun::nextPending(int from) const
{
    from = std::max(from, 0);
    if (m_had.isEmpty() && m_linesHad == 0 && m_keptOut.isEmpty())
        return from <= m_job.LastIndex ? from : -1;
    listKeys();
    for (int i = from; i <= m_job.LastIndex; ++i) {
        const std::size_t at = std::size_t(i);
        if (!m_lineHad[std::size_t(m_first[at])] && !m_had.contains(m_keys[at]) &&
            !m_keptOut.contains(m_keys[at]))
            return i;
    }
    return -1;
}

bool MailingRun::passesOver(QByteArrayView address) const
{
    const QString k = key(address);
    if (m_had.contains(k) || m_keptOut.contains(k))
        return true;
    if (m_linesHad == 0)
        return false;
    listKeys();
    const auto line = m_lineOfKey.constFind(k);
    return line != m_lineOfKey.cend() && m_lineHad[std::size_t(*line)];
}

void MailingRun::begin(QByteArrayView address, int line, QByteArray messageId)
{
    m_row = DeliveryLog::Row();
    m_row.messageId = std::move(messageId);
    setRecipient(address, line);
}

void MailingRun::setRecipient(QByteArrayView address, int line)
{
    m_row.address = Cp1251::toUnicode(Smtp::recipientOfLine(address).address);
    m_row.line = line;
}

QString MailingRun::record(DeliveryLog::Result result, const QString &reply)
{
    if (result == DeliveryLog::Result::Delivered) {
        // An address of the list is marked by its line, in a table made once: over a series of
        // days the memory does not grow with the messages.
        const QString key = m_row.address.toCaseFolded();
        listKeys();
        const auto line = m_lineOfKey.constFind(key);
        if (line == m_lineOfKey.cend()) {
            m_had.insert(key);
        } else if (!std::exchange(m_lineHad[std::size_t(*line)], char(true))) {
            ++m_linesHad;
        }
        ++m_deliveredNow;
        m_deadInRow = 0;
    }
    m_row.result = result;
    m_row.reply = reply;
    const QString failure = write(m_row);
    if (failure.isNull())
        m_unlogged.clear(); // whatever waited is written now
    else if (result == DeliveryLog::Result::Delivered)
        m_unlogged << m_row.address;
    return failure;
}

bool MailingRun::passOver(const QString &reply, bool series, QString &error)
{
    ++m_refusedNow;
    ++m_deadInRow;
    error = record(DeliveryLog::Result::Refused, reply);
    return series && m_deadInRow >= DeadInRowLimit;
}

QString MailingRun::finish()
{
    if (m_finished)
        return QString();
    DeliveryLog::Row row;
    row.result = DeliveryLog::Result::Finished;
    return write(row);
}

QString MailingRun::learn(const QList<Mailbox::Finding> &findings)
{
    using Kind = Mailbox::Finding::Kind;
    MailingHistory log;
    DeliveryLog::read(m_log.path(), [&](const DeliveryLog::Row &row) { log.add(row); });
    QHash<QByteArray, QByteArray> messageOfToken;
    for (auto sent = log.sent().cbegin(); sent != log.sent().cend(); ++sent)
        messageOfToken.insert(Mailbox::unsubscribeToken(sent.key()), sent.key());
    QString failure;
    for (const Mailbox::Finding &finding : findings) {
        const QByteArray id =
            finding.kind == Kind::Bounced ? finding.messageId : messageOfToken.value(finding.token);
        const auto sent = log.sent().constFind(id);
        if (id.isEmpty() || sent == log.sent().cend())
            continue; // a message this folder did not send
        const QString key = sent->address.toCaseFolded();
        const DeliveryLog::Result why = finding.kind == Kind::Bounced
                                            ? DeliveryLog::Result::Bounced
                                            : DeliveryLog::Result::Unsubscribed;
        if (m_keptOut.contains(key))
            continue;
        m_keptOut.insert(key, why);
        const QString written = m_log.append(
            {m_clock().toUTC(), sent->line, sent->address, why, finding.text, id, sent->letter});
        if (!written.isNull())
            failure = written;
    }
    return failure;
}

qsizetype MailingRun::keptOut(DeliveryLog::Result why) const
{
    return std::count(m_keptOut.cbegin(), m_keptOut.cend(), why);
}

QString MailingRun::write(DeliveryLog::Row row)
{
    row.time = m_clock().toUTC();
    row.mailing = letter();
    // The first row of a corrected letter is preceded by the one that ties it to its mailing.
    if (!m_mailing.isEmpty() && m_mailing != row.mailing && !m_tied) {
        DeliveryLog::Row tie;
        tie.time = row.time;
        tie.result = DeliveryLog::Result::Continued;
        tie.reply = QString::fromLatin1(m_mailing);
        tie.mailing = row.mailing;
        m_log.append(tie);
        m_tied = true;
    }
    m_finished = row.result == DeliveryLog::Result::Finished;
    return m_log.append(row);
}

QByteArray MailingRun::letter() const
{
    // The SHA-256 of a letter of a megabyte takes milliseconds: computed once, when needed.
    if (m_letter.isEmpty())
        m_letter = DeliveryLog::fingerprint(m_job.SubjectLine, m_job.MessageText);
    return m_letter;
}
