#include "AttachmentBlock.h"

#include "FileRead.h"
#include "MUUEncode.h"

#include <QFile>
#include <QStringList>

#include <limits>
#include <new>

AttachmentBlockResult BuildAttachmentBlock(int count,
                                           const std::function<QString(int)> &selectEntry)
{
    // Each file is checked and measured as its entry is selected; then the block is allocated
    // once and every text is encoded straight into it, so that no text is held twice or moved.
    QStringList paths;
    qsizetype total = 0;
    for (int i = 0; i < count; ++i) {
        paths.append(selectEntry(i));
        QFile file(paths[i]);
        QString reason = FileRead::refusal(paths[i]);
        if (reason.isNull() && !file.open(QIODevice::ReadOnly))
            reason = FileRead::reason(file);
        if (!reason.isNull())
            return {QByteArray(), i, QStringLiteral("«%1»: %2").arg(paths[i], reason)};
        const qsizetype size =
            MUUEncode::encodedSize(MUUEncode::fileNameOf(paths[i]).size(), file.size());
        constexpr qsizetype kMax = std::numeric_limits<qsizetype>::max();
        total = size < 0 || size > kMax - 2 - total ? kMax : total + size + 2;
    }
    AttachmentBlockResult result;
    try {
        result.block.reserve(total);
    } catch (const std::bad_alloc &) {
        // Too large together: each file takes its room in turn, and the one that finds none fails.
    }
    for (int i = 0; i < count; ++i) {
        QString error = MUUEncode::appendFileText(paths[i], result.block);
        try {
            if (error.isNull())
                result.block.append("\r\n", 2);
        } catch (const std::bad_alloc &) {
            error = QStringLiteral("«%1»: %2").arg(paths[i], FileRead::outOfMemoryReason());
        }
        if (!error.isNull()) {
            if (i + 1 < count)
                selectEntry(i); // the failing entry, not the last, stays selected
            return {QByteArray(), i, error};
        }
    }
    return result;
}
