#include "AttachmentBlock.h"

#include "FileRead.h"
#include "MUUEncode.h"

#include <new>

AttachmentBlockResult BuildAttachmentBlock(int count,
                                           const std::function<QString(int)> &selectEntry)
{
    AttachmentBlockResult result;
    for (int i = 0; i < count; ++i) {
        const QString path = selectEntry(i);
        // Each file is encoded straight into the block, with room kept for the CR LF behind
        // it, so that no file's text is ever held twice.
        QString error = MUUEncode::appendFileText(path, result.block, 2);
        if (error.isNull()) {
            try {
                result.block.append("\r\n", 2);
            } catch (const std::bad_alloc &) {
                error = QStringLiteral("«%1»: %2").arg(path, FileRead::outOfMemoryReason());
            }
        }
        if (!error.isNull()) {
            result.block = QByteArray();
            result.failedIndex = i;
            result.error = error;
            return result;
        }
    }
    return result;
}
