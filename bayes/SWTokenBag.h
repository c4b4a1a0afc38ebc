#pragma once
// A bag of tokens: token string -> number of occurrences (at least 1).
// Ordered by token, so every walk over a bag (scoring, learning) is reproducible.

#include <QMap>
#include <QString>

using SWTokenBag = QMap<QString, int>;
