#include "directory/directorylog.h"

Q_LOGGING_CATEGORY(lcFtp, "ferrin.ftp", QtWarningMsg)
Q_LOGGING_CATEGORY(lcDirectory, "ferrin.directory", QtWarningMsg)
