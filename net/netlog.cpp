#include "net/netlog.h"

Q_LOGGING_CATEGORY(lcSearch, "ferrin.search", QtWarningMsg)
Q_LOGGING_CATEGORY(lcTransfer, "ferrin.transfer", QtWarningMsg)
