// Catches: a box text that names the wrong field or garbles the server's reply, and an address
// that keeps its brackets, loses more than one pair, or keeps spaces around it.
#include "Fields.h"
#include "Bytes.h"

#include <gtest/gtest.h>

TEST(Fields, AddressesLoseSpacesAndOnePairOfBrackets)
{
    const struct
    {
        QByteArray in, out;
    } cases[] = {
        {"  a@b  ", "a@b"},     {" <a@b> ", "a@b"}, {"<<a@b>>", "<a@b>"},
        {"<a@b", "<a@b"},       {"a@b>", "a@b>"},   {"<>", ""},
        {"\t<a@b>", "\t<a@b>"}, {"", ""},           {"<a> <b>", "a> <b"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(Smtp::address(c.in), c.out) << c.in.toStdString();
}

TEST(Fields, MessagesForTheUser)
{
    EXPECT_EQ(Smtp::invalidFieldMessage(Smtp::RecipientFieldName.toString()),
              QStringLiteral("SMTP Error: поле «E-mail адресата» содержит перевод строки или "
                             "нулевой символ"));
    EXPECT_EQ(Smtp::emptyFieldMessage(Smtp::SenderFieldName.toString()),
              QStringLiteral("SMTP Error: поле «Ваш E-mail» не заполнено"));
    // The whole reply, every line, its Windows-1251 bytes as text.
    EXPECT_EQ(Smtp::refusalMessage("550-\xCD\xE5\xF2\r\n550 no\r\n"),
              QStringLiteral("SMTP Error: 550-Нет\r\n550 no\r\n"));
}
