#include "AttachmentBlock.h"

#include "MUUEncode.h"

AttachmentBlockResult BuildAttachmentBlock(int count,
                                           const std::function<QString(int)> &selectEntry)
{
    // Each text is encoded straight into the block, which grows by exactly what each file and
    // its CR LF need: no text is held twice or moved.
    AttachmentBlockResult result;
    for (int i = 0; i < count; ++i) {
        const QString path = selectEntry(i);
        const QString error = MUUEncode::appendFileText(path, result.block, "\r\n");
        if (!error.isNull())
            return {QByteArray(), i, error};
    }
    return result;
}
