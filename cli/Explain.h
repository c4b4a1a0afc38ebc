#pragma once
// The text `junkward explain` prints for the engine's explanation of a message
// (the JSON object of the engine's Explain method).

#include <QString>
#include <QVariantMap>

namespace junkwardcli {

// Plain text, one fact a line: the deciding list, check or filter and its
// verdict, sender and subject, then each filter with its score and the tokens
// that weighed most (probability first). Missing or ill-typed fields are left out.
QString formatExplanation(const QVariantMap& explanation);

}  // namespace junkwardcli
