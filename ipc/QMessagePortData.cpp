#include "ipc/QMessagePortData.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

void appendWord(QByteArray* data, quint32 word) { data->append(reinterpret_cast<const char*>(&word), sizeof word); }

quint32 wordAt(const QByteArray& data, int offset) {
    quint32 word;
    std::memcpy(&word, data.constData() + offset, sizeof word);
    return word;
}

}  // namespace

int QMessagePortDataEncapsulate(const QMessagePortData* envelope, QByteArray* data) {
    if (!envelope || !data)
        return 0;
    const quint32 carried = envelope->payload ? envelope->dataLength : 0;
    QByteArray bytes;
    bytes.reserve(qsizetype(carried) + kQMessagePortDataHeaderSize);
    appendWord(&bytes, envelope->senderSignature);
    appendWord(&bytes, envelope->receiverSignature);
    appendWord(&bytes, envelope->messageCode);
    appendWord(&bytes, carried);
    if (carried != 0)
        bytes.append(envelope->payload, qsizetype(carried));
    *data = std::move(bytes);
    return 0;
}

int QMessagePortDataDecapsulate(QMessagePortData* envelope, const QByteArray* data) {
    if (!envelope || !data)
        return 0;
    *envelope = QMessagePortData{};
    if (data->size() < kQMessagePortDataHeaderSize)
        return kQMessagePortDataMalformed;
    const quint64 held = quint64(data->size() - kQMessagePortDataHeaderSize);
    if (wordAt(*data, 12) > held)
        return kQMessagePortDataMalformed;
    envelope->senderSignature = wordAt(*data, 0);
    envelope->receiverSignature = wordAt(*data, 4);
    envelope->messageCode = wordAt(*data, 8);
    // What arrived decides the length, as the sender may announce less than it sent.
    envelope->dataLength = quint32(std::min<quint64>(held, 0xFFFFFFFFu));
    envelope->payload = held > 0 ? const_cast<char*>(data->constData()) + kQMessagePortDataHeaderSize : nullptr;
    return 0;
}

void QMessagePortDataClean(QMessagePortData* envelope) {
    if (!envelope || !envelope->payload)
        return;
    std::free(envelope->payload);
    envelope->payload = nullptr;
}
