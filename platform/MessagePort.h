#pragma once
// Named message ports over Unix-domain stream sockets.
//
// Socket folder: $XDG_RUNTIME_DIR/junkward/ (else /tmp/junkward-<uid>/), made 0700,
// refused when another user owns it; the system-wide variant lives in
// /run/junkward/ ($JUNKWARD_SYSTEM_RUNTIME_DIR overrides), socket mode 0666.
// Wire format, little-endian header words:
//   request: int32 message id, uint32 flags (1 = reply wanted), uint32 length, data
//   reply:   uint32 length, data (0 = no data)
// One connection may carry many requests in turn.

#include <QByteArray>
#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <sys/types.h>

namespace platform {

// Status codes of a send.
inline constexpr int kMessagePortSuccess = 0;
inline constexpr int kMessagePortSendTimeout = -1;
inline constexpr int kMessagePortReceiveTimeout = -2;
inline constexpr int kMessagePortIsInvalid = -3;
inline constexpr int kMessagePortTransportError = -4;

inline constexpr quint32 kMessagePortMaxRequest = 64u * 1024u * 1024u;
// Oversized requests up to this size are read, discarded and refused with a reply;
// a header announcing more drops the connection.
inline constexpr quint32 kMessagePortMaxDiscard = 1024u * 1024u * 1024u;

enum class PortScope { User, System };

// The socket path of a port name (the name is encoded so any text is a valid
// file name); empty when the folder cannot be made safe or the path does not
// fit sun_path.
QString messagePortPath(const QString& name, PortScope scope = PortScope::User);

// A port that receives requests, served on the Qt event loop of the thread that
// creates it.
class LocalMessagePort : public QObject {
    Q_OBJECT
public:
    // senderUid is the peer's uid (SO_PEERCRED).
    using Callback = std::function<QByteArray(qint32 msgid, const QByteArray& data, uid_t senderUid)>;

    // nullptr when the name is owned by a live process or the socket cannot be
    // made; a stale socket file is taken over. User ports refuse peers of other
    // uids; system ports accept everyone and report the uid.
    static std::unique_ptr<LocalMessagePort> create(const QString& name, Callback callback,
                                                    PortScope scope = PortScope::User);
    ~LocalMessagePort() override;

    QString name() const;
    QString socketPath() const;
    bool isValid() const;
    void invalidate();  // stops serving and removes the socket
    // A request announcing more than kMessagePortMaxRequest bytes (and at most
    // kMessagePortMaxDiscard) is refused with one
    // console line: its bytes are read and discarded and, when a reply is wanted,
    // this reply is sent (empty unless set), so the client is not left waiting.
    void setOversizeReply(const QByteArray& reply);

private:
    LocalMessagePort();
    struct Private;
    std::unique_ptr<Private> d;
};

// A connection to a port owned by another process. Thread-safe enough to be used
// from one thread at a time with no event loop.
class RemoteMessagePort {
public:
    // nullptr when no process serves the name.
    static std::unique_ptr<RemoteMessagePort> connect(const QString& name, PortScope scope = PortScope::User);
    ~RemoteMessagePort();

    // Sends a request; with replyWanted, waits for the reply into *reply.
    // Time-outs in seconds; returns one of the status codes above.
    int sendRequest(qint32 msgid, const QByteArray& data, double sendTimeout, double receiveTimeout, bool replyWanted,
                    QByteArray* reply);
    bool isValid() const;
    void invalidate();

private:
    RemoteMessagePort();
    struct Private;
    std::unique_ptr<Private> d;
};

}  // namespace platform
