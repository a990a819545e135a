// Catches: a line form read to another address or name than Python's email.utils and csv read
// it, a bare or unreadable line sent otherwise than as before, a To field that Python's email
// reads back otherwise, that breaks a line limit or that a name smuggles a header into.
#include "Recipient.h"
#include "Cp1251.h"
#include "Fields.h"
#include "Headers.h"
#include "TestSupport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTimeZone>

#include <gtest/gtest.h>

#include <random>

namespace {

// Runs `script` with one hex-encoded input per line on its standard input and returns the JSON
// value it prints for each.
QJsonArray python(const char *script, const QList<QByteArray> &inputs)
{
    QProcess p;
    p.start("python3", {"-c", script});
    for (const QByteArray &input : inputs)
        p.write(input.toHex() + '\n');
    p.closeWriteChannel();
    EXPECT_TRUE(p.waitForFinished(30000));
    QJsonArray out;
    for (const QByteArray &line : p.readAllStandardOutput().split('\n')) {
        if (!line.isEmpty())
            out.append(QJsonDocument::fromJson(line).object()["v"]);
    }
    EXPECT_EQ(out.size(), inputs.size()) << p.readAllStandardError().toStdString();
    return out;
}

// [[name, address]], as Python's getaddresses gives one mailbox. Appended rather than braced:
// compilers read "QJsonArray({QJsonArray(...)})" as a copy or as a list of one, each its own way.
QJsonArray pairs(const QString &name, const QString &address)
{
    QJsonArray outer;
    outer.append(QJsonArray{name, address});
    return outer;
}

QString text(const QByteArray &cp1251)
{
    return Cp1251::toUnicode(cp1251);
}

} // namespace

TEST(Recipient, EveryLineFormGivesItsAddressAndName)
{
    // The judge of a row: "getaddresses" (Python reads the line as exactly this one mailbox),
    // "csv;", "csv\t" or "csv," (Python's csv module splits the line into fields, one of which
    // is the address and the first other non-empty one the name), or none: the table alone.
    const struct
    {
        QString line, address, name;
        QByteArray judge;
    } rows[] = {
        // Bare addresses, as they have always been read.
        {"anna@example.test", "anna@example.test", "", "getaddresses"},
        {"  anna@example.test  ", "anna@example.test", "", "getaddresses"},
        {" <anna@example.test> ", "anna@example.test", "", "getaddresses"},
        {"", "", "", ""},
        {"anna", "anna", "", ""},
        {"< anna@example.test>", " anna@example.test", "", ""},
        // A name before an address in angle brackets.
        {"Anna Ivanova <anna@example.test>", "anna@example.test", "Anna Ivanova", "getaddresses"},
        {"Анна Иванова <anna@example.test>", "anna@example.test", "Анна Иванова", "getaddresses"},
        {"  Анна \t Иванова\t<anna@example.test>  ", "anna@example.test", "Анна Иванова",
         "getaddresses"},
        {"Anna I. Ivanova<anna@example.test>", "anna@example.test", "Anna I. Ivanova",
         "getaddresses"},
        {"O'Neil-Smith < anna@example.test >", "anna@example.test", "O'Neil-Smith", "getaddresses"},
        {"\"Иванова, Анна\" <anna@example.test>", "anna@example.test", "Иванова, Анна",
         "getaddresses"},
        {R"("Anna \"Ann\" I., <x> \\ z" <anna@example.test>)", "anna@example.test",
         R"(Anna "Ann" I., <x> \ z)", "getaddresses"},
        {"\" Анна \" <anna@example.test>", "anna@example.test", " Анна ", "getaddresses"},
        {"\"\" <anna@example.test>", "anna@example.test", "", "getaddresses"},
        // Rows of fields: ";" before a tab before ",", none inside double quotes.
        {"anna@example.test;Анна Иванова", "anna@example.test", "Анна Иванова", "csv;"},
        {"Анна Иванова;anna@example.test", "anna@example.test", "Анна Иванова", "csv;"},
        {" anna@example.test ; Анна Иванова ", "anna@example.test", "Анна Иванова", "csv;"},
        {"anna@example.test;;Анна Иванова;Москва", "anna@example.test", "Анна Иванова", "csv;"},
        {"anna@example.test;", "anna@example.test", "", "csv;"},
        {"Иванова, Анна;<anna@example.test>", "anna@example.test", "Иванова, Анна", "csv;"},
        {R"("anna@example.test";"Иванова; Анна ""Аня""")", "anna@example.test",
         "Иванова; Анна \"Аня\"", "csv;"},
        {"anna@example.test\tИванова, Анна", "anna@example.test", "Иванова, Анна", "csv\t"},
        {"\t<anna@example.test>", "anna@example.test", "", "csv\t"},
        {"anna@example.test;\" Анна Иванова \"", "anna@example.test", "Анна Иванова", "csv;"},
        {"\"Иванова\tАнна\",anna@example.test", "anna@example.test", "Иванова\tАнна", "csv,"},
        {"Anna Ivanova,anna@example.test", "anna@example.test", "Anna Ivanova", "csv,"},
        {R"("Иванова, Анна",anna@example.test,"")", "anna@example.test", "Иванова, Анна", "csv,"},
        {"anna@example.test, \"\" ,Anna", "anna@example.test", "Anna", "csv,"},
        // None of the forms: the line goes to the server as before.
        {"anna@example.test;boris@example.test", "anna@example.test;boris@example.test", "", ""},
        {"Anna <anna@example.test>, Boris <b@example.test>",
         "Anna <anna@example.test>, Boris <b@example.test>", "", ""},
        {"Ivanova, Anna <anna@example.test>", "Ivanova, Anna <anna@example.test>", "", ""},
        {"anna@example.test <b@example.test>", "anna@example.test <b@example.test>", "", ""},
        {" Анна Иванова ", "Анна Иванова", "", ""},
        {"Анна;Иванова", "Анна;Иванова", "", ""},
        {"Anna <not an address>", "Anna <not an address>", "", ""},
        {"Anna <@example.test>", "Anna <@example.test>", "", ""},
        {"\"Anna <anna@example.test>", "\"Anna <anna@example.test>", "", ""},
        {"\"Anna\" Ivanova <anna@example.test>", "\"Anna\" Ivanova <anna@example.test>", "", ""},
        {"<<anna@example.test>>", "<anna@example.test>", "", ""},
        {"<anna@example.test;x>", "anna@example.test;x", "", ""},
        {"\"anna@example.test;Анна", "\"anna@example.test;Анна", "", ""},
    };
    QList<QByteArray> judged;
    for (const auto &row : rows) {
        SCOPED_TRACE(row.line.toStdString());
        const QByteArray line = Cp1251::fromUnicode(row.line);
        const Smtp::Recipient r = Smtp::recipientOfLine(line);
        EXPECT_EQ(text(r.address), row.address);
        EXPECT_EQ(text(r.name), row.name);
        if (row.name.isEmpty() && row.judge.isEmpty()) { // as before
            EXPECT_EQ(r.address, Smtp::address(line));
        }
        if (!row.judge.isEmpty())
            judged << row.judge + ' ' + line.toHex();
    }

    SKIP_WITHOUT_PYTHON();
    const QJsonArray verdicts =
        python("import csv, json, sys\n"
               "from email.utils import getaddresses\n"
               "for line in sys.stdin:\n"
               "    judge, line = bytes.fromhex(line).decode().split(' ')\n"
               "    line = bytes.fromhex(line).decode('cp1251')\n"
               "    v = (getaddresses([line]) if judge == 'getaddresses' else\n"
               "         next(csv.reader([line], delimiter=judge[3], skipinitialspace=True)))\n"
               "    print(json.dumps({'v': v}))",
               judged);
    qsizetype i = 0;
    for (const auto &row : rows) {
        if (row.judge.isEmpty() || i >= verdicts.size())
            continue;
        SCOPED_TRACE(row.line.toStdString());
        const QJsonArray verdict = verdicts[i++].toArray();
        if (row.judge == "getaddresses") {
            EXPECT_EQ(verdict, pairs(row.name, row.address));
            continue;
        }
        // The address is the one field that holds it, the name the first other non-empty one.
        QStringList others;
        int addresses = 0;
        for (const QJsonValue &field : verdict) {
            QString f = field.toString().trimmed();
            if (f.startsWith('<') && f.endsWith('>'))
                f = f.mid(1, f.size() - 2);
            if (f == row.address)
                ++addresses;
            else if (!f.isEmpty())
                others << f;
        }
        EXPECT_EQ(addresses, 1) << verdict.size() << " fields";
        EXPECT_EQ(others.value(0), row.name);
    }
}

// Random lines of the bytes that matter to the forms: each gives the address Smtp::address
// gives and no name, or an address that the line holds, without blanks, brackets, quotes or
// separators.
TEST(Recipient, AnyLineGivesItsOldAddressOrAnAddressItHolds)
{
    std::mt19937 random(20261207);
    const char alphabet[] = {'a', 'a', 'a',  '@', '@', '<',  '>', '"',
                             ';', ',', '\t', ' ', ' ', '\\', '.', '\xC0'};
    int named = 0, unnamed = 0; // lines that gave a new address with a name, without one
    for (int round = 0; round < 200'000; ++round) {
        QByteArray line(std::uniform_int_distribution<int>(0, 14)(random), '\0');
        for (char &c : line)
            c = alphabet[std::uniform_int_distribution<int>(0, sizeof alphabet - 1)(random)];
        const Smtp::Recipient r = Smtp::recipientOfLine(line);
        if (r.address == Smtp::address(line) && r.name.isEmpty())
            continue;
        ++(r.name.isEmpty() ? unnamed : named);
        ASSERT_TRUE(line.contains(r.address)) << line.data();
        const qsizetype at = r.address.indexOf('@');
        ASSERT_TRUE(at > 0 && r.address.lastIndexOf('@') < r.address.size() - 1) << line.data();
        for (const char c : QByteArrayView(" \t<>\";,"))
            ASSERT_FALSE(r.address.contains(c)) << line.data();
    }
    // The forms were reached.
    EXPECT_GT(named, 1000);
    EXPECT_GT(unnamed, 200);
}

TEST(Headers, PythonReadsEachToFieldBackAsTheNameAndTheAddress)
{
    // "To: " and a word of 4 bytes are 31 characters: with " <" and ">" an address of 42 fits
    // on the line, one of 43 goes on the next.
    const QByteArray fits = "anna.ivanova.subscriber@mail2.example.test",
                     longer = "anna.ivanova.subscriber@mail23.example.test";
    const QString x72(72, 'x'); // "To: " and it make 76 characters
    // A start that ends with CR LF is the whole field.
    const struct
    {
        QString name;
        QByteArray address, start;
    } rows[] = {
        {"", "anna@example.test", "To: anna@example.test\r\n"},
        {"Anna Ivanova", "anna@example.test", "To: Anna Ivanova <anna@example.test>\r\n"},
        {"O'Neil-Smith", "anna@example.test", "To: O'Neil-Smith <"},
        {"Ivanova, Anna", "anna@example.test", "To: \"Ivanova, Anna\" <anna@example.test>\r\n"},
        {R"(Anna "Ann" \ I.)", "anna@example.test", R"(To: "Anna \"Ann\" \\ I." <)"},
        {"Anna  Ivanova", "anna@example.test", "To: \"Anna  Ivanova\" <"},
        {" Anna", "anna@example.test", "To: \" Anna\" <"},
        {"Anna ", "anna@example.test", "To: \"Anna \" <"},
        {x72, "anna@example.test", "To: " + x72.toLatin1() + "\r\n <anna@example.test>\r\n"},
        {x72 + 'x', "anna@example.test", "To: =?windows-1251?B?eHh4"},
        {"Анна Иванова", "anna@example.test",
         "To: =?windows-1251?B?wO3t4CDI4uDt7uLg?= <anna@example.test>\r\n"},
        {"Иванова, Анна \"Аня\" <x@y>", "anna@example.test", "To: =?windows-1251?B?"},
        {"Ivanova =?utf-8?q?Anna?=", "anna@example.test", "To: =?windows-1251?B?"},
        {"Anna\tIvanova", "anna@example.test", "To: \"Anna\tIvanova\" <"},
        {"Anna\x01", "anna@example.test", "To: =?windows-1251?B?QW5uYQE=?= <"},
        {"Константинопольская Александра Владимировна", "anna@example.test",
         "To: =?windows-1251?B?"},
        {QString(40, u'Ж'), "anna@example.test", // 39 bytes in the first word, 1 in the next
         "To: =?windows-1251?B?" + QByteArray(13, 'x').replace("x", "xsbG") +
             "?=\r\n =?windows-1251?B?xg==?= <anna@example.test>\r\n"},
        {"Константинопольская Александра Владимировна, " + QString(60, u'Ё'), longer,
         "To: =?windows-1251?B?"},
        {"The subscriber with a rather long name, longer than one line of the header can take",
         "anna@example.test", "To: =?windows-1251?B?"},
        {"Анна", fits, "To: =?windows-1251?B?wO3t4A==?= <" + fits + ">\r\n"},
        {"Анна", longer, "To: =?windows-1251?B?wO3t4A==?=\r\n <" + longer + ">\r\n"},
        {"Anna\r\nBcc: boris@example.test", "anna@example.test", "To: anna@example.test\r\n"},
        {"Anna\nIvanova", "anna@example.test", "To: anna@example.test\r\n"},
        {QString("Anna") + QChar(0) + "Ivanova", "anna@example.test", "To: anna@example.test\r\n"},
    };
    const QDateTime date(QDate(2026, 12, 7), QTime(9, 41, 53), QTimeZone(3 * 3600));
    QList<QByteArray> messages;
    QStringList names; // as the field carries them
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name.toStdString());
        const QByteArray name = Cp1251::fromUnicode(row.name);
        const QByteArray field = Smtp::toField(row.address, name);
        if (row.start.endsWith("\r\n"))
            EXPECT_EQ(field, row.start);
        else
            EXPECT_TRUE(field.startsWith(row.start) && field.endsWith(row.address + ">\r\n"))
                << field.data();
        for (const QByteArray &line : field.chopped(2).split('\n')) {
            EXPECT_LE(line.size(), 77); // 76 and the CR before a fold
            EXPECT_TRUE(std::all_of(line.begin(), line.end(), [](char c) {
                return (uchar(c) >= 0x20 && uchar(c) < 0x7F) || c == '\r' || c == '\t';
            })) << line.data();
        }
        const QByteArray block =
            Smtp::headerBlock({"news@example.test", row.address, "Hi", date, 7, true, name});
        EXPECT_TRUE(block.contains("\r\n" + field)) << block.data();
        messages << block + "Hello\r\n";
        names << (field.contains('<') ? row.name : QString());
    }
    // Without an address there is nothing to put a name beside.
    EXPECT_EQ(Smtp::toField("", "Anna"), "To: \r\n");

    SKIP_WITHOUT_PYTHON();
    // Two readers of the field: the parser of policy.default, and the old getaddresses with
    // decode_header, which joins adjacent encoded-words as RFC 2047 (6.2) says. The structured
    // parser puts a space between two adjacent encoded-words of a name (it does so with the
    // folds it makes itself too), so for a name in several words it is held to the address and
    // to the name's characters other than spaces.
    const QJsonArray verdicts =
        python("import email, email.policy, json, sys\n"
               "from email.header import decode_header, make_header\n"
               "from email.utils import getaddresses\n"
               "for line in sys.stdin:\n"
               "    data = bytes.fromhex(line)\n"
               "    m = email.message_from_bytes(data, policy=email.policy.default)\n"
               "    new = [[a.display_name, a.username + '@' + a.domain]\n"
               "           for a in m['To'].addresses]\n"
               "    old = email.message_from_bytes(data)\n"
               "    old = [[str(make_header(decode_header(n))), a] for n, a in\n"
               "           getaddresses(old.get_all('To'))]\n"
               "    print(json.dumps({'v': [new, old, m.keys()]}))",
               messages);
    for (qsizetype i = 0; i < verdicts.size(); ++i) {
        SCOPED_TRACE(names[i].toStdString());
        const QJsonArray v = verdicts[i].toArray();
        const QJsonArray expected = pairs(names[i], QString(rows[i].address));
        EXPECT_EQ(v[1], expected); // as RFC 2047 reads it
        if (messages[i].count("=?windows-1251?B?") <= 1) {
            EXPECT_EQ(v[0], expected);
        }
        ASSERT_EQ(v[0].toArray().size(), 1);
        EXPECT_EQ(v[0][0][1], QString(rows[i].address));
        EXPECT_EQ(v[0][0][0].toString().remove(' '), QString(names[i]).remove(' '));
        EXPECT_EQ(v[2].toVariant().toStringList().join(' '),
                  "From To Date Message-ID List-Unsubscribe Subject MIME-Version Content-Type "
                  "Content-Transfer-Encoding");
    }
}
