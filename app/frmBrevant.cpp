#include "frmBrevant.h"

#include "AttachmentBlock.h"
#include "BoxTexts.h"
#include "Cp1251.h"
#include "Fields.h"

#include <QCloseEvent>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTimer>

#include <limits>
#include <type_traits>

namespace {

// The window was designed in twips; at 96 dots per inch a pixel is 15 of them.
constexpr int TwipsPerPixel = 15;

QRect twips(int left, int top, int width, int height)
{
    return QRect(left / TwipsPerPixel, top / TwipsPerPixel, width / TwipsPerPixel,
                 height / TwipsPerPixel);
}

template <typename W>
W *make(QWidget *parent, const char *name, const QRect &rect, const QString &text = {},
        const QString &hint = {})
{
    auto *w = new W(parent);
    w->setObjectName(QLatin1String(name));
    w->setGeometry(rect);
    w->setToolTip(hint);
    if constexpr (std::is_same_v<W, QGroupBox>)
        w->setTitle(text);
    else if constexpr (std::is_same_v<W, QPlainTextEdit>)
        w->setPlainText(text);
    else if constexpr (!std::is_same_v<W, QListWidget>)
        w->setText(text);
    return w;
}

} // namespace

frmBrevant::frmBrevant(Options options, QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::MSWindowsFixedSizeDialogHint), job(options.jobDirectory),
      m_options(std::move(options))
{
    setObjectName(QStringLiteral("frmBrevant"));
    setWindowTitle(QStringLiteral("Программа отправки почтовых сообщений"));
    setWindowIcon(QIcon(QStringLiteral(":/brevant.xpm")));
    setFixedSize(6630 / TwipsPerPixel, 6270 / TwipsPerPixel);
    createControls();
    wireEvents();
    Form_Load();
}

QFont frmBrevant::defaultFont()
{
    QFont font;
    font.setFamilies({QStringLiteral("Liberation Sans"), QStringLiteral("Arial"),
                      QStringLiteral("DejaVu Sans")});
    font.setPixelSize(10);
    return font;
}

void frmBrevant::createControls()
{
    Label1 = make<QLabel>(this, "Label1", twips(480, 120, 900, 195), QStringLiteral("Хост SMTP:"));
    Label2 = make<QLabel>(this, "Label2", twips(480, 480, 825, 195), QStringLiteral("Ваш E-mail:"));
    Label3 = make<QLabel>(this, "Label3", twips(120, 840, 1215, 195),
                          QStringLiteral("E-mail адресата:"));
    Label4 = make<QLabel>(this, "Label4", twips(840, 1200, 450, 195), QStringLiteral("Тема:"));
    // The text boxes' design-time texts; start-up empties every text box before it is shown.
    txtHost = make<QLineEdit>(
        this, "txtHost", twips(1440, 120, 3015, 285), QStringLiteral("smtp.example.test"),
        QStringLiteral("Адрес SMTP сервера (чаще всего адрес сервера Вашего "
                       "Интернет-провайдера). Загружается из файла smtp.txt"));
    txtSender =
        make<QLineEdit>(this, "txtSender", twips(1440, 480, 3015, 285), QStringLiteral("txtSender"),
                        QStringLiteral("Ваш e-mail. Загружается из файла sender.txt"));
    txtRecipient = make<QLineEdit>(this, "txtRecipient", twips(1440, 840, 3015, 285),
                                   QStringLiteral("txtRecipient"),
                                   QStringLiteral("Адреса загружаются из файла mail.txt"));
    // The recipient is read back from this box when it is sent: it must hold any job line whole.
    txtRecipient->setMaxLength(std::numeric_limits<int>::max());
    // Repainted after every message of a series: being opaque spares painting what lies under.
    txtRecipient->setAutoFillBackground(true);
    txtSubject = make<QLineEdit>(
        this, "txtSubject", twips(1440, 1200, 3015, 285), QStringLiteral("txtSubject"),
        QStringLiteral("Тема. Заголовок письма. Загружается из файла tema.txt"));
    txtMessage = make<QPlainTextEdit>(
        this, "txtMessage", twips(120, 1560, 6375, 2415), QStringLiteral("txtMessage"),
        QStringLiteral("Тело письма. Почтовое сообщение загружается из файла message.txt Обычный "
                       "текст. HTML не поддерживается (используйте версию 2.0 для отправки писем "
                       "в формате HTML)."));
    txtMessage->setLineWrapMode(QPlainTextEdit::NoWrap);
    txtMessage->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    txtMessage->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    txtMessage->setTabChangesFocus(true);

    cmdNew = make<QPushButton>(this, "cmdNew", twips(4800, 120, 1695, 375),
                               QStringLiteral("Новое сообщение"));
    cmdSend = make<QPushButton>(this, "cmdSend", twips(4800, 600, 1695, 375),
                                QStringLiteral("Послать одно"));
    Frame1 = make<QGroupBox>(this, "Frame1", twips(120, 4080, 6375, 1215),
                             QStringLiteral("Attach files"));
    cmdAddFile = make<QPushButton>(Frame1, "cmdAddFile", twips(4920, 240, 1335, 375),
                                   QStringLiteral("Вложить..."));
    cmdRemove = make<QPushButton>(Frame1, "cmdRemove", twips(4920, 720, 1335, 375),
                                  QStringLiteral("Удалить"));
    lstAttachments = make<QListWidget>(Frame1, "lstAttachments", twips(120, 240, 4695, 840));
    lstAttachments->setSelectionMode(QAbstractItemView::SingleSelection);
    Command1 = make<QPushButton>(
        this, "Command1", twips(4800, 1080, 1695, 375), QStringLiteral("Послать серию"),
        QStringLiteral("Отправка сообщений по списку в файле mail.txt каждые 3 секунды"));
    Frame2 = make<QGroupBox>(this, "Frame2", twips(4320, 5520, 2055, 615),
                             QStringLiteral("Отправлено:"));
    Label5 = make<QLabel>(Frame2, "Label5", twips(240, 240, 1575, 255), QStringLiteral("0"));
    // The counter keeps its size whatever it shows and paints its own background, so a new
    // count repaints only itself, not the frame around it.
    Label5->setFixedSize(Label5->size());
    Label5->setAutoFillBackground(true);

    // The keyboard visits the controls in the order they were made: "Послать серию" comes last,
    // after the attachment controls, although it stands under the other two buttons.
    txtHost->setFocus();

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(SeriesInterval);
    Timer1->setTimerType(Qt::PreciseTimer);

    Winsock1 = new SmtpConnection(m_options.timeouts, this);

    // A screen reader names each box by the caption beside it; the letter and the list have none.
    for (auto [label, box] : {std::pair<QLabel *, QWidget *>{Label1, txtHost},
                              {Label2, txtSender},
                              {Label3, txtRecipient},
                              {Label4, txtSubject}})
        label->setBuddy(box);
    txtMessage->setAccessibleName(QStringLiteral("Текст письма"));
    lstAttachments->setAccessibleName(QStringLiteral("Вложенные файлы"));
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
    connect(Winsock1, &SmtpConnection::recipientWanted, this,
            [this] { Winsock1->sendRecipient(Cp1251::fromUnicode(txtRecipient->text())); });
    connect(Winsock1, &SmtpConnection::over, this, &frmBrevant::endMessage);
    connect(Winsock1, &SmtpConnection::refused, this,
            [this](const QByteArray &reply) { showSmtpError(BoxTexts::refusal(reply)); });
    connect(Winsock1, &SmtpConnection::invalidRecipient, this,
            [this] { showSmtpError(BoxTexts::lineBreakIn(BoxTexts::Field::Recipient)); });
    connect(Winsock1, &SmtpConnection::brokeOff, this, [this](int number, QString description) {
        bool cancelDisplay = false;
        Winsock1_Error(qint16(number), description, 0, QString(), QString(), 0, cancelDisplay);
    });
}

void frmBrevant::Form_Load()
{
    // Empty every text box, found by its kind.
    for (QLineEdit *box : findChildren<QLineEdit *>())
        box->clear();
    for (QPlainTextEdit *box : findChildren<QPlainTextEdit *>())
        box->clear();

    job.LoadAll();

    txtRecipient->setText(Cp1251::toUnicode(job.recipientAt(job.CurrentIndex)));
    txtSender->setText(Cp1251::toUnicode(job.SenderAddress));
    txtSubject->setText(Cp1251::toUnicode(job.SubjectLine));
    txtMessage->setPlainText(Cp1251::toUnicode(job.MessageText));
    txtHost->setText(Cp1251::toUnicode(job.HostName));

    // Told once the window shows, so that the box stands in front of it.
    const QString report = BoxTexts::jobReport(job, m_options.jobDirectory);
    if (!report.isEmpty()) {
        QTimer::singleShot(
            0, this, [this, report] { showBox(QMessageBox::Warning, windowTitle(), report); });
    }
}

void frmBrevant::Form_Unload(qint16 &Cancel)
{
    // Closing is never refused, and nothing is saved.
    Cancel = 0;
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
    if (Winsock1->isOpen() || m_boxOpen)
        return;

    // The host and the sender are checked before any attachment is read: a send that cannot
    // start reads nothing. It counts all the same; a send without its attachments does not.
    const QString fault = fieldFault();
    if (fault.isNull()) {
        AttachmentBlockResult built =
            BuildAttachmentBlock(lstAttachments->count(), [this](int index) {
                lstAttachments->setCurrentRow(index);
                return lstAttachments->currentItem()->text();
            });
        if (!built.ok()) {
            showBox(QMessageBox::Warning, BoxTexts::AttachTitle,
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

QString frmBrevant::fieldFault() const
{
    const QByteArray sender = Smtp::address(job.SenderAddress);
    if (Smtp::hasLineBreakOrNul(job.HostName))
        return BoxTexts::lineBreakIn(BoxTexts::Field::Host);
    if (Smtp::hasLineBreakOrNul(sender))
        return BoxTexts::lineBreakIn(BoxTexts::Field::Sender);
    // MAIL FROM:<> would send a message nobody can answer.
    return sender.isEmpty() ? BoxTexts::emptyField(BoxTexts::Field::Sender) : QString();
}

void frmBrevant::BeginSession()
{
    const QDateTime now = m_options.clock ? m_options.clock() : QDateTime::currentDateTime();
    const quint64 random =
        m_options.random ? m_options.random() : QRandomGenerator::system()->generate64();
    Winsock1->start(Cp1251::toUnicode(Smtp::trimmed(job.HostName)), m_options.port,
                    {job.SenderAddress, job.SubjectLine, job.MailBody,
                     std::exchange(AttachmentBlock, {}), now, random});
}

void frmBrevant::Command1_Click()
{
    if (!Timer1->isActive())
        Timer1->start();
}

void frmBrevant::Timer1_Timer()
{
    cmdSend_Click();
}

void frmBrevant::endMessage()
{
    if (job.CurrentIndex < job.LastIndex) {
        ++job.CurrentIndex;
        txtRecipient->setText(Cp1251::toUnicode(job.recipientAt(job.CurrentIndex)));
    } else {
        Timer1->stop();
        Label5->setText(QStringLiteral("OK!"));
    }
}

void frmBrevant::Winsock1_Error(qint16 Number, QString &Description, qint32 /*Scode*/,
                                const QString & /*Source*/, const QString & /*HelpFile*/,
                                qint32 /*HelpContext*/, bool & /*CancelDisplay*/)
{
    showBox(QMessageBox::Warning, BoxTexts::WinsockErrorTitle,
            BoxTexts::winsockError(Number, Description));
}

void frmBrevant::showSmtpError(const QString &text)
{
    showBox(QMessageBox::Information, BoxTexts::SmtpErrorTitle, text);
}

void frmBrevant::showBox(QMessageBox::Icon icon, const QString &title, const QString &text)
{
    if (m_boxOpen)
        return; // boxes never nest
    m_boxOpen = true;
    if (m_options.messageBox) {
        m_options.messageBox(icon, title, text);
    } else {
        QString shown = text;
        shown.replace(QLatin1String("\r\n"), QLatin1String("\n"));
        QMessageBox box(icon, title, shown, QMessageBox::Ok, this);
        box.exec();
    }
    m_boxOpen = false;
}
