#include "Fields.h"

namespace Smtp {

QByteArray trimmed(QByteArrayView text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text[begin] == ' ')
        ++begin;
    while (end > begin && text[end - 1] == ' ')
        --end;
    return text.sliced(begin, end - begin).toByteArray();
}

QByteArray address(QByteArrayView field)
{
    QByteArray a = trimmed(field);
    if (a.size() >= 2 && a.startsWith('<') && a.endsWith('>'))
        a = a.sliced(1, a.size() - 2);
    return a;
}

bool hasLineBreakOrNul(QByteArrayView field)
{
    for (const char c : field) {
        if (c == '\r' || c == '\n' || c == '\0')
            return true;
    }
    return false;
}

} // namespace Smtp
