// The window's design: every control with its place, caption and hint, and the program's font.
#include "frmBrevant.h"

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
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
    setObjectName(QStringLiteral("frmBrevant"));
    setWindowTitle(QStringLiteral("Программа отправки почтовых сообщений"));
    setWindowIcon(QIcon(QStringLiteral(":/brevant.xpm")));
    setFixedSize(6630 / TwipsPerPixel, 6270 / TwipsPerPixel);
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

    // What a series waits for, beside the counter; empty while nothing holds it up. A screen
    // reader hears each new text (a label's text is its name).
    lblStatus = make<QLabel>(this, "lblStatus", twips(120, 5580, 4080, 555));
    lblStatus->setWordWrap(true);
    lblStatus->setAlignment(Qt::AlignLeft | Qt::AlignTop);

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
