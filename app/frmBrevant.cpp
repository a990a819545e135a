#include "frmBrevant.h"

#include "AttachmentBlock.h"
#include "BoxTexts.h"
#include "Cp1251.h"
#include "Fields.h"
#include "Headers.h"
#include "Server.h"

#include <QCloseEvent>
#include <QDir>
#include <QFileDialog>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTimer>

frmBrevant::frmBrevant(Options options, QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::MSWindowsFixedSizeDialogHint),
      job(QDir(options.jobDirectory).absolutePath()), m_options(std::move(options)),
      m_folder(QDir(m_options.jobDirectory).absolutePath()), m_boxes(new BoxQueue(this))
{
    createControls();
    wireEvents();
    Form_Load();
}

void frmBrevant::wireEvents()
{
    connect(cmdNew, &QPushButton::clicked, this, &frmBrevant::cmdNew_Click);
    connect(cmdSend, &QPushButton::clicked, this, &frmBrevant::cmdSend_Click);
    connect(Command1, &QPushButton::clicked, this, &frmBrevant::Command1_Click);
    connect(Timer1, &QTimer::timeout, this, &frmBrevant::Timer1_Timer);
    connect(cmdAddFile, &QPushButton::clicked, this, &frmBrevant::cmdAddFile_Click);
    connect(cmdRemove, &QPushButton::clicked, this, &frmBrevant::cmdRemove_Click);
    // The recipient is whatever the box holds when the dialogue reaches it.
    connect(Winsock1, &SmtpConnection::recipientWanted, this, [this] {
        const QByteArray recipient = Cp1251::fromUnicode(txtRecipient->text());
        m_run->setRecipient(recipient, boxLine());
        Winsock1->sendRecipient(recipient);
    });
    // On disk before QUIT goes out: a restart never sends this message again.
    connect(Winsock1, &SmtpConnection::delivered, this, [this](const QByteArray &reply) {
        m_pacer.delivered(now());
        const QString failure =
            m_run->record(DeliveryLog::Result::Delivered, Cp1251::toUnicode(reply));
        if (failure.isNull())
            return;
        // The message has gone. Its row waits for the next chance, and nothing more goes out
        // until it is on disk. Told once the dialogue has ended.
        Timer1->stop();
        logged(failure);
        QTimer::singleShot(0, this, [this, failure, address = txtRecipient->text()] {
            m_boxes->show(QMessageBox::Warning, windowTitle(),
                          BoxTexts::deliveredNotLogged(*m_run, address, failure));
        });
    });
    connect(Winsock1, &SmtpConnection::over, this, [this] { moveOn(); });
    connect(Winsock1, &SmtpConnection::refused, this, &frmBrevant::onRefused);
    connect(Winsock1, &SmtpConnection::unsafe, this,
            [this](SmtpConnection::Problem problem, const QString &detail) {
                const QString text = BoxTexts::unsafe(problem, m_server, detail);
                logged(m_run->record(DeliveryLog::Result::Failed, text));
                showSmtpError(text);
            });
    connect(Winsock1, &SmtpConnection::invalidRecipient, this,
            [this] { showSmtpError(BoxTexts::lineBreakIn(BoxTexts::Field::Recipient)); });
    connect(Winsock1, &SmtpConnection::brokeOff, this, &frmBrevant::onBrokeOff);
}

void frmBrevant::Form_Load()
{
    // Empty every text box, found by its kind.
    for (QLineEdit *box : findChildren<QLineEdit *>())
        box->clear();
    for (QPlainTextEdit *box : findChildren<QPlainTextEdit *>())
        box->clear();

    job.LoadAll();
    m_server = Smtp::server(job.HostName);
    m_settings = JobSettings::read(m_folder);
    // The addresses that had this mailing in an earlier run are passed over.
    m_run = std::make_unique<MailingRun>(
        job, m_folder,
        m_options.clock ? MailingRun::Clock([this] { return m_options.clock(); }) : nullptr);
    if (m_run->hadBefore() > 0)
        job.CurrentIndex = firstPending();
    if (!m_settings.imapHost.isEmpty()) {
        m_mailbox = new MailboxLoop(m_settings.imapHost, m_settings.imapPort, *m_run, this);
        connect(m_mailbox, &MailboxLoop::learned, this, &frmBrevant::logged);
        connect(m_mailbox, &MailboxLoop::failed, this, [this](const QString &reason) {
            m_boxes->show(QMessageBox::Warning, windowTitle(), BoxTexts::mailboxFailed(reason),
                          false);
        });
    }
    // The daily limit counts the deliveries of earlier runs too: a restart does not reset it.
    m_pacer = Pace::Pacer(m_settings.perDay);
    for (const QDateTime &at : m_run->deliveriesBefore())
        m_pacer.count(at);

    txtRecipient->setText(Cp1251::toUnicode(job.recipientAt(job.CurrentIndex)));
    txtSender->setText(Cp1251::toUnicode(job.SenderAddress));
    txtSubject->setText(Cp1251::toUnicode(job.SubjectLine));
    txtMessage->setPlainText(Cp1251::toUnicode(job.MessageText));
    txtHost->setText(Cp1251::toUnicode(job.HostName));

    // Told once the window shows, so that the box stands in front of it.
    QTimer::singleShot(0, this, &frmBrevant::tellStartUp);
}

void frmBrevant::tellStartUp()
{
    QStringList parts = {BoxTexts::jobReport(job, m_folder), m_settings.problems.join(u'\n')};
    // Another window, or a log that cannot be read, is known now; whether the log can be
    // written is known at the first send.
    const MailingRun::Hold standing = m_run->standing();
    if (standing.kind == MailingRun::Hold::OtherWindow ||
        standing.kind == MailingRun::Hold::LogUnreadable) {
        parts << BoxTexts::held(standing, *m_run);
        setStatus(BoxTexts::heldStatus(standing, *m_run));
    }
    if (m_run->skippedRows() > 0)
        parts << BoxTexts::skippedRows(*m_run);
    if (m_run->bounced() + m_run->unsubscribed() > 0)
        parts << BoxTexts::keptOut(*m_run);
    if (m_run->unfinished())
        return askWhichMailing(parts.join(QStringLiteral("\n\n")).trimmed());
    if (m_run->hadBefore() > 0)
        parts << BoxTexts::resumed(*m_run, job, m_run->nextPending(0));
    parts.removeAll(QString());
    if (!parts.isEmpty())
        m_boxes->show(QMessageBox::Warning, windowTitle(), parts.join(QStringLiteral("\n\n")));
}

void frmBrevant::askWhichMailing(const QString &before)
{
    const MailingHistory::Mailing &unfinished = *m_run->unfinished();
    QString text = BoxTexts::unfinished(*m_run, unfinished, job, m_run->nextPending(0));
    if (!before.isEmpty())
        text = before + QStringLiteral("\n\n") + text;
    if (m_boxes->ask(windowTitle(), text, {BoxTexts::GoOn, BoxTexts::StartAnew}) == 1)
        m_run->startAnew();
    else
        m_run->goOn();
    job.CurrentIndex = firstPending();
    txtRecipient->setText(Cp1251::toUnicode(job.recipientAt(job.CurrentIndex)));
}

void frmBrevant::Form_Unload(qint16 &Cancel)
{
    // Closing is never refused, and nothing is saved; but a delivery whose row could not be
    // written is written now if it can, and told if it cannot.
    Cancel = 0;
    const QStringList unlogged = m_run->unloggedDeliveries();
    if (!unlogged.isEmpty())
        m_boxes->show(QMessageBox::Warning, windowTitle(),
                      BoxTexts::unloggedAtClose(*m_run, unlogged));
}

void frmBrevant::closeEvent(QCloseEvent *event)
{
    qint16 cancel = 0;
    Form_Unload(cancel);
    event->setAccepted(cancel == 0);
}

void frmBrevant::cmdNew_Click()
{
    txtRecipient->clear();
    txtSubject->clear();
    txtMessage->clear();
}

void frmBrevant::cmdAddFile_Click()
{
    const QString path =
        m_options.openFile ? m_options.openFile() : QFileDialog::getOpenFileName(this);
    if (!path.isEmpty())
        lstAttachments->addItem(path);
}

void frmBrevant::cmdRemove_Click()
{
    const QList<QListWidgetItem *> selected = lstAttachments->selectedItems();
    if (selected.isEmpty())
        return;
    delete lstAttachments->takeItem(lstAttachments->row(selected.first()));
}

void frmBrevant::cmdSend_Click()
{
    // One dialogue at a time, and nothing new while a box waits for the user.
    if (Winsock1->isOpen() || m_boxes->holdsSeries() || m_askingPassword || !mayGo() ||
        pacedNow() || waitsForMailbox())
        return;
    // A listed address that had this mailing already is passed over, in a series too.
    if (boxLine() > 0 && m_run->passesOver(job.recipientAt(job.CurrentIndex)) && !moveOn())
        return;

    // The host and the sender are checked before any attachment is read: a send that cannot
    // start reads nothing. It counts all the same; a send without its attachments does not.
    const QString fault = fieldFault();
    if (fault.isNull() && !havePassword()) {
        Timer1->stop(); // cancelled: nothing starts, nothing counts, and a series waits
        return;
    }
    if (fault.isNull()) {
        AttachmentBlockResult built =
            BuildAttachmentBlock(lstAttachments->count(), [this](int index) {
                lstAttachments->setCurrentRow(index);
                return lstAttachments->currentItem()->text();
            });
        if (!built.ok()) {
            m_boxes->show(QMessageBox::Warning, BoxTexts::AttachTitle,
                          BoxTexts::attachmentFailed(built.error));
            return;
        }
        AttachmentBlock = std::move(built.block);
        BeginSession();
    }
    ++job.SentCount;
    Label5->setText(QString::number(job.SentCount));
    if (!fault.isNull())
        showSmtpError(fault);
}

bool frmBrevant::mayGo()
{
    const MailingRun::Hold hold = m_run->hold();
    if (hold.kind == MailingRun::Hold::None) {
        if (m_heldBy != MailingRun::Hold::None)
            setStatus(QString());
        m_heldBy = MailingRun::Hold::None;
        // A log read only now (another window held the folder, or it could not be read) may
        // hold an unfinished mailing to ask about; the question waits for any open box.
        if (m_run->unfinished()) {
            if (m_boxes->isOpen())
                return false;
            askWhichMailing(QString());
        }
        return true;
    }
    const bool series = Timer1->isActive();
    setStatus(BoxTexts::heldStatus(hold, *m_run));
    // A series is told once for a wait however many ticks it lasts, and goes on by itself.
    const bool tell = !series || !m_seriesTold || m_heldBy != hold.kind;
    m_seriesTold = series;
    m_heldBy = hold.kind;
    if (tell && !series)
        m_boxes->show(QMessageBox::Warning, windowTitle(), BoxTexts::held(hold, *m_run));
    // A series' box opens once this tick is over: ticks go on while it is open (a timer does
    // not fire again inside its own tick), and the series with them once it may.
    if (tell && series)
        QTimer::singleShot(0, this, [this, text = BoxTexts::held(hold, *m_run)] {
            m_boxes->show(QMessageBox::Warning, windowTitle(), text, false);
        });
    return false;
}

QString frmBrevant::fieldFault() const
{
    const QByteArray sender = Smtp::address(job.SenderAddress);
    if (Smtp::hasLineBreakOrNul(job.HostName))
        return BoxTexts::lineBreakIn(BoxTexts::Field::Host);
    if (!m_server.valid)
        return BoxTexts::badPort(job.HostName);
    if (Smtp::hasLineBreakOrNul(sender))
        return BoxTexts::lineBreakIn(BoxTexts::Field::Sender);
    // MAIL FROM:<> would send a message nobody can answer.
    return sender.isEmpty() ? BoxTexts::emptyField(BoxTexts::Field::Sender) : QString();
}

int frmBrevant::firstPending() const
{
    // When every address had it, the last one shows: a send there ends the list at once.
    const int next = m_run->nextPending(0);
    return next >= 0 ? next : std::max(job.LastIndex, 0);
}

QDateTime frmBrevant::now() const
{
    return m_options.clock ? m_options.clock() : QDateTime::currentDateTime();
}

void frmBrevant::BeginSession()
{
    m_tickSend = m_tick;
    const QDateTime now = this->now();
    const quint64 random =
        m_options.random ? m_options.random() : QRandomGenerator::system()->generate64();
    m_run->begin(Cp1251::fromUnicode(txtRecipient->text()), boxLine(),
                 Smtp::messageId(now, random, Smtp::address(job.SenderAddress)));
    Winsock1->start(
        Cp1251::toUnicode(m_server.host), m_options.port ? m_options.port : m_server.port,
        {job.SenderAddress, job.SubjectLine, job.MailBody, std::exchange(AttachmentBlock, {}), now,
         random, m_server.security, Cp1251::toUnicode(login()).toUtf8(), m_password.toUtf8(),
         m_settings.listUnsubscribe});
}

void frmBrevant::Command1_Click()
{
    m_run->startSeries();  // pressed again after dead addresses stopped it: it goes on past them
    m_pacer.startSeries(); // its first send is a person's: a refusal gets a box
    if (m_mailbox)
        m_mailbox->seriesStarted(); // its first message waits for the mailbox to be read
    m_seriesTold = false;           // a wait of this series is told once
    if (!Timer1->isActive())
        Timer1->start();
}

void frmBrevant::Timer1_Timer()
{
    m_tick = true; // what the send does is the series', not a press's
    cmdSend_Click();
    m_tick = false;
}

int frmBrevant::boxLine() const
{
    const bool listed =
        job.CurrentIndex <= job.LastIndex &&
        Cp1251::fromUnicode(txtRecipient->text()) == job.recipientAt(job.CurrentIndex);
    return listed ? job.CurrentIndex + 1 : 0;
}

bool frmBrevant::moveOn()
{
    const int next = m_run->nextPending(job.CurrentIndex + 1);
    if (next >= 0) {
        job.CurrentIndex = next;
        txtRecipient->setText(Cp1251::toUnicode(job.recipientAt(job.CurrentIndex)));
        return true;
    }
    const bool series = Timer1->isActive();
    Timer1->stop();
    Label5->setText(QStringLiteral("OK!"));
    logged(m_run->finish());
    if (series && m_run->refusedNow() + m_run->bounced() + m_run->unsubscribed() > 0)
        m_boxes->show(QMessageBox::Information, windowTitle(), BoxTexts::seriesOver(*m_run));
    return false;
}

bool frmBrevant::pacedNow()
{
    if (!m_tick) // a press sends now, whatever a series waits for
        return false;
    const Pace::Pacer::Pause pause = m_pacer.pause(now());
    if (pause.why == Pace::Pacer::Pause::Why::None) {
        setStatus(QString());
        return false;
    }
    setStatus(BoxTexts::paused(pause, now(), m_pacer.perDay(), m_deferredBy));
    return true;
}

bool frmBrevant::waitsForMailbox()
{
    if (!m_tick || !m_mailbox)
        return false;
    if (!m_mailbox->reading() && !havePassword()) {
        Timer1->stop(); // cancelled: nothing starts, and the series waits
        return true;
    }
    const QString login =
        m_settings.imapLogin.isEmpty() ? Cp1251::toUnicode(this->login()) : m_settings.imapLogin;
    if (!m_mailbox->holdsSeries(now(), login, m_password))
        return false;
    setStatus(BoxTexts::readingMailbox(m_mailbox->host()));
    return true;
}

void frmBrevant::defer(Pace::WaitKind kind, const QString &failure)
{
    logged(m_run->record(DeliveryLog::Result::Deferred, failure));
    m_deferredBy = kind == Pace::WaitKind::Network ? BoxTexts::noConnection(failure)
                                                   : BoxTexts::serverSaid(failure);
    const QDateTime until = m_pacer.wait(kind, now());
    setStatus(BoxTexts::paused({Pace::Pacer::Pause::Why::Wait, until}, now(), m_pacer.perDay(),
                               m_deferredBy));
}

void frmBrevant::onBrokeOff(int number, QString description)
{
    const QString failure = QString::number(number) + u' ' + description;
    const Pace::Verdict verdict = Pace::verdictOf({Pace::Failure::Kind::Network, {}, false},
                                                  m_tickSend, m_pacer.deliveredInSeries());
    if (verdict.act == Pace::Verdict::Act::Wait)
        return defer(verdict.wait, failure);
    logged(m_run->record(DeliveryLog::Result::Failed, failure));
    bool cancelDisplay = false;
    Winsock1_Error(qint16(number), description, 0, QString(), QString(), 0, cancelDisplay);
}

void frmBrevant::onRefused(const QByteArray &reply, Smtp::Outcome how)
{
    // A wrong password is asked for again; a login refused for now keeps it.
    if (how == Smtp::Outcome::LoginRefused && !reply.startsWith('4'))
        m_password = QString();
    const Pace::Verdict verdict =
        Pace::verdictOf({Pace::Failure::Kind::Reply, reply, how == Smtp::Outcome::DeadAddress},
                        m_tickSend, m_pacer.deliveredInSeries());
    if (verdict.act == Pace::Verdict::Act::Wait)
        return defer(verdict.wait, Cp1251::toUnicode(reply));
    if (how != Smtp::Outcome::DeadAddress) { // the server or the message: the same address again
        logged(m_run->record(DeliveryLog::Result::Refused, Cp1251::toUnicode(reply)));
        return showSmtpError(BoxTexts::refusal(reply));
    }
    // An address that takes no mail is passed over, in a series without a box, unless it is
    // one too many in a row.
    const bool series = Timer1->isActive();
    QString failure;
    const bool stop = m_run->passOver(Cp1251::toUnicode(reply), series, failure);
    logged(failure);
    if (stop)
        Timer1->stop();
    if (stop || !series)
        showSmtpError(BoxTexts::refusal(reply));
    if (!stop)
        moveOn();
}

QByteArray frmBrevant::login() const
{
    const QByteArray line = Smtp::trimmed(job.Login);
    return line.isEmpty() ? Smtp::address(job.SenderAddress) : line;
}

bool frmBrevant::havePassword()
{
    const bool provider = m_server.security != Smtp::Security::None;
    if ((!provider && !m_mailbox) || !m_password.isNull())
        return true;
    // The mailbox's login and password are the provider's; without a provider, the mailbox's.
    const QString user = provider || m_settings.imapLogin.isEmpty() ? Cp1251::toUnicode(login())
                                                                    : m_settings.imapLogin;
    const QString host = provider ? Cp1251::toUnicode(m_server.host) : m_mailbox->host();
    // A modal dialog of its own: the series waits for the answer, as for a box.
    m_askingPassword = true;
    m_password = m_options.askPassword ? m_options.askPassword(user, host)
                                       : QInputDialog::getText(this, BoxTexts::PasswordTitle,
                                                               BoxTexts::passwordPrompt(user, host),
                                                               QLineEdit::Password);
    m_askingPassword = false;
    return !m_password.isNull();
}

void frmBrevant::logged(const QString &failure)
{
    // The row waits; the next send tries it first and waits itself while it cannot be written.
    if (!failure.isNull())
        setStatus(BoxTexts::heldStatus({MailingRun::Hold::LogUnwritable, failure}, *m_run));
}

void frmBrevant::setStatus(const QString &text)
{
    lblStatus->setText(text);
}

void frmBrevant::Winsock1_Error(qint16 Number, QString &Description, qint32 /*Scode*/,
                                const QString & /*Source*/, const QString & /*HelpFile*/,
                                qint32 /*HelpContext*/, bool & /*CancelDisplay*/)
{
    m_boxes->show(QMessageBox::Warning, BoxTexts::WinsockErrorTitle,
                  BoxTexts::winsockError(Number, Description));
}

void frmBrevant::showSmtpError(const QString &text)
{
    m_boxes->show(QMessageBox::Information, BoxTexts::SmtpErrorTitle, text);
}
