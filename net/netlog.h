#pragma once

// Logging of the peer protocols. Warnings show by default on standard
// error; QT_LOGGING_RULES switches the rest on, for example
//   QT_LOGGING_RULES="ferrin.*.debug=true"

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcSearch)
Q_DECLARE_LOGGING_CATEGORY(lcTransfer)
