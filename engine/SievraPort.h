#pragma once
// The engine's message port as its clients see it: the name, the id of a request
// that carries a raw message, its limits, and the 4-byte native-endian reply.

#include <QtGlobal>

inline constexpr const char* SievraMessagePortName = "Sievra";
// Message id of a request that carries a raw message.
inline constexpr qint32 SievraMessageIDFilterMail = 1024;
// The mail plug-in never sends a longer message; its send and reply time-outs.
inline constexpr qsizetype SievraMaximumMessageBytes = 716800;
inline constexpr double SievraMessageTimeout = 60.0;

// The reply: spam, or anything else (not spam, undecided, or a request refused).
inline constexpr qint32 SievraReplySpam = 1;
inline constexpr qint32 SievraReplyNotSpam = 0;
