#pragma once
// The raw message envelope: a 16-byte header (sender and receiver four-character
// codes, message code, payload length, each a 32-bit word in host byte order)
// followed by the payload. Sender and receiver always run on one machine.

#include <QByteArray>
#include <QtGlobal>

struct QMessagePortData {
    quint32 senderSignature = 0;    // four-character code of the sender; 0 when not set
    quint32 receiverSignature = 0;  // four-character code of the addressee; 0 when not set
    quint32 messageCode = 0;        // a request repeats its message identifier; 0 in replies
    quint32 dataLength = 0;         // payload length in bytes
    // Sending side: a heap buffer owned by the envelope (malloc'd, freed by
    // QMessagePortDataClean). Receiving side: a view into the received bytes.
    char* payload = nullptr;
};

inline constexpr int kQMessagePortDataHeaderSize = 16;
// Returned by QMessagePortDataDecapsulate for data that is not an envelope.
inline constexpr int kQMessagePortDataMalformed = -1;

// A four-character code as the 32-bit word whose most significant byte is its
// first character ('JKWD' -> 0x4A4B5744).
constexpr quint32 QMessagePortFourCharCode(const char (&code)[5]) {
    return (quint32(quint8(code[0])) << 24) | (quint32(quint8(code[1])) << 16) | (quint32(quint8(code[2])) << 8) |
           quint32(quint8(code[3]));
}

// Builds the message bytes of envelope into *data: the header, then dataLength
// bytes of payload when a payload is set. The length word tells the payload
// bytes actually written (0 without a payload buffer), so the message never
// announces bytes it does not carry. Does nothing when either argument is null.
// Returns 0.
int QMessagePortDataEncapsulate(const QMessagePortData* envelope, QByteArray* data);

// Fills envelope from received bytes without copying: payload points into
// *data, which must outlive the envelope; dataLength is what follows the header.
// Bytes shorter than the header, or whose length word announces more than they
// hold, are refused: the envelope is zeroed and kQMessagePortDataMalformed is
// returned. Returns 0 otherwise, and when either argument is null (nothing done).
int QMessagePortDataDecapsulate(QMessagePortData* envelope, const QByteArray* data);

// Frees the payload of a sending-side envelope and clears it. Never call it on
// a decapsulated envelope, whose payload belongs to the received bytes.
void QMessagePortDataClean(QMessagePortData* envelope);
